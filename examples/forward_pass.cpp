// Build a tiny model and run the forward pass over token ids, then print the
// most likely next token.
//
// A model is a TransformerSpec (the architecture) plus TransformerWeights
// (one Tensor per weight). make_model checks both, runs a probe and returns a
// shared, immutable model whose identity is the checksum of its artifact.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <iostream>
#include <utility>
#include <vector>

#include "lumeth/lumeth.hpp"

namespace lm = Orvane::Core::Lumeth;

namespace {

// Deterministic small weights in [-0.5, 0.5): a linear congruential sequence,
// so every run (and every machine) builds the same model.
lm::Tensor random_tensor(std::vector<std::size_t> shape, std::uint64_t& state) {
  lm::Tensor tensor(std::move(shape), 0.0, true);
  for (double& value : tensor.data) {
    state = state * 6364136223846793005U + 1442695040888963407U;
    value = static_cast<double>(state >> 11) / 9007199254740992.0 - 0.5;
  }
  return tensor;
}

}  // namespace

int main() try {
  // 16 token ids, 2 layers, model width 8 = 2 query heads of 4, one shared
  // key/value head (grouped-query attention), a SiLU-gated feed-forward.
  lm::TransformerSpec spec;
  spec.vocabulary = 16;
  spec.context = 32;
  spec.layers = 2;
  spec.model_dim = 8;
  spec.ffn_dim = 16;
  spec.query_heads = 2;
  spec.kv_heads = 1;
  spec.head_dim = 4;
  spec.feed_forward = lm::FeedForwardKind::swiglu;
  spec.tied_embeddings = true;
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
  for (const lm::SpecIssue& issue : lm::validate_spec(spec)) {
    std::cerr << issue.field << ": " << issue.message << '\n';
  }

  // Shapes: d = model_dim, q = query_heads * head_dim, kv = kv_heads *
  // head_dim, f = ffn_dim; norms start at 1.
  const std::size_t d = 8, q = 8, kv = 4, f = 16;
  std::uint64_t state = 42;
  lm::TransformerWeights weights;
  weights.token_embedding = random_tensor({spec.vocabulary, d}, state);
  for (std::uint32_t layer = 0; layer < spec.layers; ++layer) {
    lm::LayerWeights w;
    w.attention_norm = lm::Tensor({d}, 1.0, true);
    w.query = random_tensor({q, d}, state);
    w.key = random_tensor({kv, d}, state);
    w.value = random_tensor({kv, d}, state);
    w.attention_output = random_tensor({d, q}, state);
    w.ffn_norm = lm::Tensor({d}, 1.0, true);
    w.ffn_gate = random_tensor({f, d}, state);
    w.ffn_up = random_tensor({f, d}, state);
    w.ffn_down = random_tensor({d, f}, state);
    weights.layers.push_back(std::move(w));
  }
  weights.final_norm = lm::Tensor({d}, 1.0, true);

  const std::shared_ptr<const lm::TransformerModel> model =
      lm::make_model(spec, std::move(weights));
  std::cout << "model identity " << lm::toHex16(model->identity()) << '\n';

  // One sequence of five ids; logits come back as [1, 5, vocabulary].
  lm::TokenBatch batch;
  batch.batch_size = 1;
  batch.width = 5;
  batch.tokens = {1, 4, 9, 4, 1};
  const lm::Tensor logits = lm::forward(model->spec(), model->weights(), batch, {});

  // The next token follows the last position: the id with the largest logit.
  const std::size_t last = (batch.width - 1) * spec.vocabulary;
  std::uint32_t best = 0;
  for (std::uint32_t id = 1; id < spec.vocabulary; ++id) {
    if (logits.data[last + id] > logits.data[last + best]) best = id;
  }
  std::cout << "most likely next token " << best << " (logit " << logits.data[last + best] << ")\n";
  return 0;
} catch (const std::exception& error) {
  std::cerr << "forward_pass: " << error.what() << '\n';
  return 1;
}
