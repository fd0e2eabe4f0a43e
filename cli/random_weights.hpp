#pragma once

// Deterministic random weights for a spec, so that anyone can try a model
// without weights of their own, and the same seed gives the same model on
// every machine: only integer arithmetic and correctly rounded IEEE
// operations, no standard-library distributions, no math-library calls.
//
// Values are drawn from one stream per model, tensor after tensor in the
// artifact's order (named_weight_tensors: token_embedding, the nine tensors of
// each layer, final_norm, output_embedding when untied), each tensor
// row-major. The k-th draw (k = 0, 1, ...) is
//   x = splitmix64(seed + (k + 1) * 0x9E3779B97F4A7C15)    (mod 2^64)
//   value = double(int64(x >> 11) - 2^52) * 2^-52 * scale
// with splitmix64(z): z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
// z = (z ^ (z >> 27)) * 0x94D049BB133111EB; z ^ (z >> 31). So a value is
// uniform over [-scale, scale) in steps of scale * 2^-52, where scale =
// 1 / sqrt(n) for a matrix of n columns (the embeddings: model_dim). The
// three norms are all 1.0 and draw nothing.

#include <cstdint>

#include "lumeth/inference/forward.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth::Cli {

// Weights of the shapes `spec` demands (it must be valid), drawn as above.
[[nodiscard]] TransformerWeights random_weights(const TransformerSpec& spec, std::uint64_t seed);

}  // namespace Orvane::Core::Lumeth::Cli
