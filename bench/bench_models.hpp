#pragma once

// Model shapes and deterministic random weights shared by the benchmarks.

#include <cstddef>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth::Bench {

struct ModelShape {
  const char* name;
  std::uint32_t vocabulary;
  std::uint32_t layers;
  std::uint32_t model_dim;
  std::uint32_t query_heads;
  std::uint32_t kv_heads;
  std::uint32_t ffn_dim;
  std::size_t tokens;  // one sequence of this many positions
};

inline constexpr ModelShape kSmall{"small", 2048, 2, 128, 4, 2, 352, 64};
inline constexpr ModelShape kMid{"mid", 8192, 4, 512, 8, 2, 1408, 256};

// Values drawn uniformly from [low, high).
inline Tensor random_tensor(std::vector<std::size_t> shape, std::mt19937_64& engine, double low,
                            double high) {
  Tensor t(std::move(shape), 0.0, true);
  std::uniform_real_distribution<double> distribution(low, high);
  for (double& v : t.data) v = distribution(engine);
  return t;
}

// A valid SwiGLU spec with tied embeddings, context 4096.
inline TransformerSpec spec_of(const ModelShape& m) {
  TransformerSpec spec;
  spec.vocabulary = m.vocabulary;
  spec.context = 4096;
  spec.layers = m.layers;
  spec.model_dim = m.model_dim;
  spec.ffn_dim = m.ffn_dim;
  spec.query_heads = m.query_heads;
  spec.kv_heads = m.kv_heads;
  spec.head_dim = m.model_dim / m.query_heads;
  spec.feed_forward = FeedForwardKind::swiglu;
  spec.tied_embeddings = true;
  spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                {"logits", PortDirection::output, PortKind::logits, m.vocabulary, "logits/1"}};
  return spec;
}

// Weights small enough that every activation stays finite; the same values on
// every call.
inline TransformerWeights weights_of(const ModelShape& m) {
  std::mt19937_64 engine(42);
  const std::size_t d = m.model_dim;
  const std::size_t kv = std::size_t{m.kv_heads} * (d / m.query_heads);
  const std::size_t f = m.ffn_dim;
  TransformerWeights w;
  w.token_embedding = random_tensor({m.vocabulary, d}, engine, -1.0, 1.0);
  for (std::uint32_t i = 0; i < m.layers; ++i) {
    LayerWeights layer;
    layer.attention_norm = random_tensor({d}, engine, 0.8, 1.2);
    layer.query = random_tensor({d, d}, engine, -0.05, 0.05);
    layer.key = random_tensor({kv, d}, engine, -0.05, 0.05);
    layer.value = random_tensor({kv, d}, engine, -0.05, 0.05);
    layer.attention_output = random_tensor({d, d}, engine, -0.05, 0.05);
    layer.ffn_norm = random_tensor({d}, engine, 0.8, 1.2);
    layer.ffn_gate = random_tensor({f, d}, engine, -0.05, 0.05);
    layer.ffn_up = random_tensor({f, d}, engine, -0.05, 0.05);
    layer.ffn_down = random_tensor({d, f}, engine, -0.05, 0.05);
    w.layers.push_back(std::move(layer));
  }
  w.final_norm = random_tensor({d}, engine, 0.8, 1.2);
  return w;
}

}  // namespace Orvane::Core::Lumeth::Bench
