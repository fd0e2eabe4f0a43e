#include "cli/random_weights.hpp"

#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace Orvane::Core::Lumeth::Cli {
namespace {

class WeightStream {
 public:
  explicit WeightStream(std::uint64_t seed) : seed_(seed) {}

  Tensor matrix(std::size_t rows, std::size_t columns) {
    Tensor tensor({rows, columns}, 0.0, true);
    const double scale = 1.0 / std::sqrt(static_cast<double>(columns));
    for (double& value : tensor.data) {
      value = next() * scale;
    }
    return tensor;
  }

 private:
  // Uniform over [-1, 1) in steps of 2^-52: exact in binary64.
  double next() {
    ++draws_;
    std::uint64_t z = seed_ + draws_ * 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    const std::int64_t centred = static_cast<std::int64_t>(z >> 11) - (std::int64_t{1} << 52);
    return static_cast<double>(centred) * 0x1p-52;
  }

  std::uint64_t seed_;
  std::uint64_t draws_ = 0;
};

}  // namespace

TransformerWeights random_weights(const TransformerSpec& spec, std::uint64_t seed) {
  const std::size_t vocabulary = spec.vocabulary;
  const std::size_t d = spec.model_dim;
  const std::size_t q = std::size_t{spec.query_heads} * spec.head_dim;
  const std::size_t kv = std::size_t{spec.kv_heads} * spec.head_dim;
  const std::size_t f = spec.ffn_dim;
  WeightStream stream(seed);
  TransformerWeights weights;
  weights.token_embedding = stream.matrix(vocabulary, d);
  for (std::uint32_t i = 0; i < spec.layers; ++i) {
    LayerWeights layer;
    layer.attention_norm = Tensor({d}, 1.0, true);
    layer.query = stream.matrix(q, d);
    layer.key = stream.matrix(kv, d);
    layer.value = stream.matrix(kv, d);
    layer.attention_output = stream.matrix(d, q);
    layer.ffn_norm = Tensor({d}, 1.0, true);
    layer.ffn_gate = stream.matrix(f, d);
    layer.ffn_up = stream.matrix(f, d);
    layer.ffn_down = stream.matrix(d, f);
    weights.layers.push_back(std::move(layer));
  }
  weights.final_norm = Tensor({d}, 1.0, true);
  if (!spec.tied_embeddings) {
    weights.output_embedding = stream.matrix(vocabulary, d);
  }
  return weights;
}

}  // namespace Orvane::Core::Lumeth::Cli
