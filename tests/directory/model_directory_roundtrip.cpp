// Two halves of one test, run as separate processes by two_processes.cmake:
//
//   lumeth_model_directory_roundtrip save DIR
//     builds a model (two layers, untied embeddings, every weight different)
//     bound to a chat tokenizer over a freshly trained BPE tokenizer, saves
//     it as a model directory in DIR, and writes DIR/expected.bin: the token
//     ids of a fixed text, then the bit patterns of the logits over them;
//   lumeth_model_directory_roundtrip check DIR
//     loads the directory, encodes the same text with the tokenizer it
//     describes, runs the forward pass and compares ids and logits with
//     expected.bin bit for bit.
//
// Exit status 0 when the step succeeded, 1 otherwise (with a message).

#include <bit>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lumeth/lumeth.hpp"

namespace lm = Orvane::Core::Lumeth;
namespace fs = std::filesystem;

namespace {

constexpr std::string_view kText = "<|user|>\nahoj světe<|end|><|assistant|>\nčeský chatbot<|end|>";

lm::Tensor varied(std::vector<std::size_t> shape, std::uint64_t& seed) {
  lm::Tensor tensor(std::move(shape), 0.0, true);
  for (double& value : tensor.data) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    value = static_cast<double>(seed >> 11) / 9007199254740992.0 - 0.5;
  }
  return tensor;
}

std::shared_ptr<const lm::TransformerModel> build_model(std::uint32_t vocabulary,
                                                        std::string binding) {
  lm::TransformerSpec spec;
  spec.vocabulary = vocabulary;
  spec.context = 64;
  spec.layers = 2;
  spec.model_dim = 8;
  spec.ffn_dim = 12;
  spec.query_heads = 2;
  spec.kv_heads = 1;
  spec.head_dim = 4;
  spec.tied_embeddings = false;
  spec.ports = {
      {"tokens", lm::PortDirection::input, lm::PortKind::token_ids, 1, "tokens/1"},
      {"logits", lm::PortDirection::output, lm::PortKind::logits, vocabulary, "logits/1"}};
  std::uint64_t seed = 42;
  lm::TransformerWeights weights;
  weights.token_embedding = varied({vocabulary, 8}, seed);
  for (int i = 0; i < 2; ++i) {
    lm::LayerWeights layer;
    layer.attention_norm = varied({8}, seed);
    layer.query = varied({8, 8}, seed);
    layer.key = varied({4, 8}, seed);
    layer.value = varied({4, 8}, seed);
    layer.attention_output = varied({8, 8}, seed);
    layer.ffn_norm = varied({8}, seed);
    layer.ffn_gate = varied({12, 8}, seed);
    layer.ffn_up = varied({12, 8}, seed);
    layer.ffn_down = varied({8, 12}, seed);
    weights.layers.push_back(std::move(layer));
  }
  weights.final_norm = varied({8}, seed);
  weights.output_embedding = varied({vocabulary, 8}, seed);
  return lm::make_model(spec, std::move(weights), std::move(binding));
}

// The ids of kText for `model`, then the bits of the logits over them.
std::vector<std::uint64_t> outputs(const lm::TransformerModel& model,
                                   const lm::ITransformerTokenizer& tokenizer) {
  const lm::EncodedText encoded = lm::encodeForModel(model, tokenizer, kText, {.addBos = true});
  const lm::TokenBatch batch{.batch_size = 1,
                             .width = encoded.ids.size(),
                             .tokens = encoded.ids,
                             .lengths = {},
                             .target_mask = {}};
  const lm::Tensor logits = lm::forward(model.spec(), model.weights(), batch, {});
  std::vector<std::uint64_t> values(encoded.ids.begin(), encoded.ids.end());
  for (const double value : logits.data) values.push_back(std::bit_cast<std::uint64_t>(value));
  return values;
}

lm::ByteBuffer encode(const std::vector<std::uint64_t>& values) {
  lm::ByteBuffer bytes;
  for (const std::uint64_t value : values) lm::appendU64(bytes, value);
  return bytes;
}

int save(const fs::path& directory) {
  const auto base = std::make_shared<const lm::SubwordTokenizer>(
      lm::trainBpe("ahoj světe ahoj světe český chatbot ahoj světe",
                   lm::BpeTrainingLimits{.vocabularySize = 300, .minPairFrequency = 2}));
  const lm::ChatTokenizer chat(base);
  const lm::TokenizerDescriptor descriptor = chat.descriptor();
  const auto model = build_model(descriptor.vocabularySize, descriptor.hash);
  lm::save_model_directory(directory, *model, {.base = base, .chat = true});
  const std::vector<std::uint64_t> expected = outputs(*model, chat);
  lm::write_file_atomically(directory / "expected.bin", encode(expected));
  std::cout << "saved " << expected.size() << " values";
  return 0;
}

int check(const fs::path& directory) {
  const lm::LoadedModelDirectory loaded = lm::load_model_directory(directory, {});
  if (!loaded.tokenizer || !loaded.stored.chat) {
    std::cerr << "the directory lost its chat tokenizer\n";
    return 1;
  }
  const lm::ByteBuffer expected = lm::read_file_bytes(directory / "expected.bin", 1 << 20);
  if (encode(outputs(*loaded.model, *loaded.tokenizer)) != expected) {
    std::cerr << "ids or logits differ from the saving process\n";
    return 1;
  }
  std::cout << "identical ids and logits (" << expected.size() / 8 << " values)";
  return 0;
}

}  // namespace

int main(int argc, char** argv) try {
  const std::string step = argc == 3 ? argv[1] : "";
  if (step == "save") return save(argv[2]);
  if (step == "check") return check(argv[2]);
  std::cerr << "usage: lumeth_model_directory_roundtrip save|check DIR\n";
  return 2;
} catch (const std::exception& error) {
  std::cerr << "lumeth_model_directory_roundtrip: " << error.what() << '\n';
  return 1;
}
