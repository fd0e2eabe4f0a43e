// Bind a tokenizer to a model, encode text for it, save the model as a model
// directory, feed the ids to a session and carry the session through a saved
// session file, then load both back as another process would.
//
//   session_roundtrip [SESSION_FILE [MODEL_DIRECTORY]]
//
// A bound model accepts text only through the tokenizer it was built for:
// encodeForModel refuses any other. A model directory holds the spec, the
// model artifact and the tokenizer artifact, checked together on loading. A
// session runs the model over ids as they come (append), keeping every
// earlier position's keys and values, so a new id costs one pass over the
// weights; its logits are bit for bit those of a forward pass over the whole
// sequence. A session file ("LUMECTS1") is checked against the model it is
// restored into (spec, identity, binding, checksums). Files are written with
// write_file_atomically, so a crash never leaves one half written.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
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
  const std::filesystem::path session_path = argc > 1 ? argv[1] : "example.lumects";
  const std::filesystem::path model_directory =
      argc > 2 ? std::filesystem::path(argv[2]) : session_path.parent_path() / "example-model";
  const auto tokenizer = std::make_shared<const lm::ByteTokenizer>();
  const std::shared_ptr<const lm::TransformerModel> model = make_bound_model(*tokenizer);

  // The model and its tokenizer, saved together: spec.txt, model.lumectm and
  // tokenizer.lumetok in one folder.
  lm::save_model_directory(model_directory, *model, {.base = tokenizer});

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
  lm::write_file_atomically(session_path, session.save());

  // Later, perhaps in another process: load the model directory (every file
  // checked, and checked against the others), then restore the session over
  // the loaded model; every check runs before anything changes. It must be
  // stepped with the precision it was filled with (the file does not record
  // it).
  const lm::LoadedModelDirectory loaded = lm::load_model_directory(model_directory, {});
  std::cout << "loaded model " << lm::toHex16(loaded.model->identity())
            << (loaded.model->identity() == model->identity() ? " (same identity)\n"
                                                              : " (DIFFERS)\n");
  // 64 MiB is this program's ceiling on the session file's size.
  const lm::ByteBuffer stored = lm::read_file_bytes(session_path, std::uint64_t{64} << 20);
  lm::InferenceSession restored(loaded.model, 1);
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
  return shown == text && same && loaded.tokenizer->descriptor() == tokenizer->descriptor() ? 0
                                                                                          : 1;
} catch (const std::exception& error) {
  std::cerr << "session_roundtrip: " << error.what() << '\n';
  return 1;
}
