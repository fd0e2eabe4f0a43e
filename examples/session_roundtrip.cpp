// Bind a tokenizer to a model, encode text for it, feed the ids to a session
// and carry the session through a saved session file.
//
//   session_roundtrip [SESSION_FILE]
//
// A bound model accepts text only through the tokenizer it was built for:
// encodeForModel refuses any other. A session runs the model over ids as they
// come (append), keeping every earlier position's keys and values, so a new
// id costs one pass over the weights; its logits are bit for bit those of a
// forward pass over the whole sequence. A session file ("LUMECTS1") is checked
// against the model it is restored into (spec, identity, binding, checksums).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/lumeth.hpp"

namespace lm = Orvane::Core::Lumeth;

namespace {

// A one-layer model over the byte tokenizer's 258 ids with constant weights:
// enough to show binding and sessions; see forward_pass.cpp for real weights.
std::shared_ptr<const lm::TransformerModel> make_bound_model(const lm::ByteTokenizer& tokenizer) {
  lm::TransformerSpec spec;
  spec.vocabulary = lm::kByteVocabularySize;
  spec.context = 64;
  spec.layers = 1;
  spec.model_dim = 2;
  spec.ffn_dim = 3;
  spec.query_heads = 1;
  spec.kv_heads = 1;
  spec.head_dim = 2;
  spec.ports = {
      {.name = "tokens",
       .direction = lm::PortDirection::input,
       .kind = lm::PortKind::token_ids,
       .width = 1,
       .schema = "tokens/1"},
      {.name = "logits",
       .direction = lm::PortDirection::output,
       .kind = lm::PortKind::logits,
       .width = spec.vocabulary,
       .schema = "logits/1"},
  };
  lm::TransformerWeights weights;
  weights.token_embedding = lm::Tensor({spec.vocabulary, 2}, 0.01, true);
  lm::LayerWeights layer;
  layer.attention_norm = lm::Tensor({2}, 1.0, true);
  layer.query = lm::Tensor({2, 2}, 0.1, true);
  layer.key = lm::Tensor({2, 2}, 0.1, true);
  layer.value = lm::Tensor({2, 2}, 0.1, true);
  layer.attention_output = lm::Tensor({2, 2}, 0.1, true);
  layer.ffn_norm = lm::Tensor({2}, 1.0, true);
  layer.ffn_gate = lm::Tensor({3, 2}, 0.1, true);
  layer.ffn_up = lm::Tensor({3, 2}, 0.1, true);
  layer.ffn_down = lm::Tensor({2, 3}, 0.1, true);
  weights.layers.push_back(std::move(layer));
  weights.final_norm = lm::Tensor({2}, 1.0, true);
  // The third argument binds the model to this tokenizer's descriptor hash.
  return lm::make_model(spec, std::move(weights), tokenizer.descriptor().hash);
}

}  // namespace

int main(int argc, char** argv) try {
  const std::string session_path = argc > 1 ? argv[1] : "example.lumects";
  const auto tokenizer = std::make_shared<const lm::ByteTokenizer>();
  const std::shared_ptr<const lm::TransformerModel> model = make_bound_model(*tokenizer);

  // Text reaches the model only through its own tokenizer.
  const std::string text = "naïve";  // 'ï' is two bytes in UTF-8
  const lm::EncodedText encoded = lm::encodeForModel(*model, *tokenizer, text, {});
  std::cout << text << " -> " << encoded.ids.size() << " ids\n";

  // Feed the ids up to the middle of 'ï' to a session, and stream-decode
  // them: the decoder holds the unfinished character back instead of
  // emitting half of it.
  const std::span<const std::uint32_t> ids = encoded.ids;
  lm::InferenceSession session(model, /*setting=*/1);
  const lm::ForwardOptions options;  // full precision, no observer
  (void)session.append(ids.first(3), options, lm::LogitRows::last);
  lm::DecoderState decoder;
  std::string shown = lm::decodeChunk(decoder, ids.first(3), false);
  std::cout << "fed " << session.position() << " ids, streamed so far: \"" << shown << "\" ("
            << decoder.pending.size() << " byte pending)\n";

  // The decoder state travels inside the session as its tokenizer state,
  // beside the ids and the key/value cache.
  session.set_tokenizer_state(lm::serializeDecoderState(decoder));
  const lm::ByteBuffer file = session.save();
  {
    std::ofstream out(session_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()),
              static_cast<std::streamsize>(file.size()));
    if (!out) throw std::runtime_error("cannot write " + session_path);
  }

  // Later, perhaps in another process: a session over the same model restores
  // the file; every check runs before anything changes. It must be stepped
  // with the precision it was filled with (the file does not record it).
  std::ifstream in(session_path, std::ios::binary);
  const std::vector<std::uint8_t> stored{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
  lm::InferenceSession restored(model, 1);
  restored.restore(stored, lm::ArtifactLimits{});

  // Feed the rest: only the new ids are computed.
  const lm::Tensor next = restored.append(ids.subspan(3), options, lm::LogitRows::last);
  lm::DecoderState resumed;
  lm::parseDecoderState(resumed, restored.tokenizer_state());
  shown += lm::decodeChunk(resumed, ids.subspan(3), true);
  std::cout << "after restore: \"" << shown << "\", " << restored.position() << " ids\n";

  // The same logits as one forward pass over every id.
  lm::TokenBatch batch;
  batch.batch_size = 1;
  batch.width = ids.size();
  batch.tokens.assign(ids.begin(), ids.end());
  const lm::Tensor whole = lm::forward(model->spec(), model->weights(), batch, options);
  const std::size_t vocabulary = model->spec().vocabulary;
  const bool same = std::equal(next.data.begin(), next.data.end(),
                               whole.data.end() - static_cast<std::ptrdiff_t>(vocabulary));
  std::cout << "next-token logits " << (same ? "equal" : "differ from")
            << " those of a forward pass over the whole text\n";
  return shown == text && same ? 0 : 1;
} catch (const std::exception& error) {
  std::cerr << "session_roundtrip: " << error.what() << '\n';
  return 1;
}
