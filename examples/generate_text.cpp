// Generate text with a seeded sampler, stream it as it forms, save the
// session in the middle of the run, and continue from the saved file as
// another process would: the continuation is the same, byte for byte.
//
//   generate_text [SESSION_FILE [MODEL_DIRECTORY]]
//
// The model is a hand-made bigram model of one sentence (after each byte of
// it, the bytes that follow it in the sentence are the likeliest), so the
// output looks like the sentence with detours. Sampling draws from a
// counter-based generator whose seed and draw count live in the session, and
// the text stream's unfinished character (the emoji's four bytes come one id
// at a time) lives in the session too: nothing of the run is lost by saving.

#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/lumeth.hpp"

namespace lm = Orvane::Core::Lumeth;

namespace {

// One layer, model_dim 260 (the 258 ids rounded up to a multiple of 4): id i
// embeds as the unit vector e_i; the output row of id t holds `strength` /
// sqrt(260) at every id that precedes t in `sentence` (read as a cycle), so
// after the final norm the logit of each byte that can follow the last one is
// `strength` and every other logit 0. The layer weights are zero.
std::shared_ptr<const lm::TransformerModel> bigram_model(const std::string& sentence,
                                                         const lm::ByteTokenizer& tokenizer) {
  constexpr std::uint32_t d = 260;
  lm::TransformerSpec spec;
  spec.vocabulary = lm::kByteVocabularySize;
  spec.context = 128;
  spec.layers = 1;
  spec.model_dim = d;
  spec.ffn_dim = 4;
  spec.query_heads = 2;
  spec.kv_heads = 1;
  spec.head_dim = d / 2;
  spec.tied_embeddings = false;
  spec.ports = {{.name = "tokens",
                 .direction = lm::PortDirection::input,
                 .kind = lm::PortKind::token_ids,
                 .width = 1,
                 .schema = "tokens/1"},
                {.name = "logits",
                 .direction = lm::PortDirection::output,
                 .kind = lm::PortKind::logits,
                 .width = spec.vocabulary,
                 .schema = "logits/1"}};
  const double strength = 6.0;
  lm::TransformerWeights w;
  w.token_embedding = lm::Tensor({spec.vocabulary, d}, 0.0, true);
  w.output_embedding = lm::Tensor({spec.vocabulary, d}, 0.0, true);
  for (std::size_t i = 0; i < spec.vocabulary; ++i) w.token_embedding.data[i * d + i] = 1.0;
  for (std::size_t k = 0; k < sentence.size(); ++k) {
    const auto from = static_cast<unsigned char>(sentence[k]);
    const auto to = static_cast<unsigned char>(sentence[(k + 1) % sentence.size()]);
    w.output_embedding.data[std::size_t{to} * d + from] = strength / std::sqrt(double{d});
  }
  lm::LayerWeights layer;
  layer.attention_norm = lm::Tensor({d}, 1.0, true);
  layer.query = lm::Tensor({d, d}, 0.0, true);
  layer.key = lm::Tensor({d / 2, d}, 0.0, true);
  layer.value = lm::Tensor({d / 2, d}, 0.0, true);
  layer.attention_output = lm::Tensor({d, d}, 0.0, true);
  layer.ffn_norm = lm::Tensor({d}, 1.0, true);
  layer.ffn_gate = lm::Tensor({4, d}, 0.0, true);
  layer.ffn_up = lm::Tensor({4, d}, 0.0, true);
  layer.ffn_down = lm::Tensor({d, 4}, 0.0, true);
  w.layers.push_back(std::move(layer));
  w.final_norm = lm::Tensor({d}, 1.0, true);
  return lm::make_model(spec, std::move(w), tokenizer.descriptor().hash);
}

}  // namespace

int main(int argc, char** argv) try {
  const std::filesystem::path session_path = argc > 1 ? argv[1] : "generation.lumects";
  const std::filesystem::path model_directory =
      argc > 2 ? std::filesystem::path(argv[2]) : session_path.parent_path() / "bigram-model";
  const auto tokenizer = std::make_shared<const lm::ByteTokenizer>();
  const auto model = bigram_model("Same seed, same bits \xF0\x9F\xA7\xA0\n", *tokenizer);
  lm::save_model_directory(model_directory, *model, {.base = tokenizer});

  // The loop: a prompt, a sampler, a limit, and a callback that streams.
  lm::InferenceSession session = lm::make_generation_session(model, /*seed=*/2024);
  lm::GenerationOptions options;
  options.sampler = {.method = lm::SamplingMethod::temperature, .temperature = 0.7, .top_p = 0.95};
  options.max_new_tokens = 60;
  std::vector<std::string> chunks;
  const lm::GenerationResult result =
      lm::generate(session, *tokenizer, "Same", options, [&](const lm::GeneratedToken& token) {
        std::cout << token.text << std::flush;
        chunks.emplace_back(token.text);
        // Saved after 20 new ids: the file holds the ids, the cache, the
        // draw count and the half-streamed character, if any.
        if (token.index == 19) lm::write_file_atomically(session_path, token.session.save());
        return lm::GenerationControl::proceed;
      });
  std::cout << "\n[" << result.ids.size() << " ids]\n";

  // Later, elsewhere: load the model directory and the session file, and
  // continue with the same sampler options and precision (the file has the
  // seed and the draw count, not the options).
  const lm::LoadedModelDirectory loaded = lm::load_model_directory(model_directory, {});
  lm::InferenceSession resumed(loaded.model, 1);
  resumed.restore(lm::read_file_bytes(session_path, std::uint64_t{64} << 20), lm::ArtifactLimits{});
  options.max_new_tokens = 40;
  std::string expected;
  for (std::size_t k = 20; k < chunks.size(); ++k) expected += chunks[k];
  const std::string continued = lm::continue_generation(resumed, *loaded.tokenizer, options).text;
  std::cout << "continued from the file: " << (continued == expected ? "the same text" : "DIFFERS")
            << '\n';
  return continued == expected ? 0 : 1;
} catch (const std::exception& error) {
  std::cerr << "generate_text: " << error.what() << '\n';
  return 1;
}
