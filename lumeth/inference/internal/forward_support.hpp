#pragma once

// Internal to the library: the sizes and argument checks that the operators
// and the forward pass share with the plain reference loops they are tested
// against, written once so that both run the same checks in the same order.

#include <cstddef>

#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/operators.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

// Sizes taken from a validated spec; q = query_heads * head_dim and
// kv = kv_heads * head_dim.
struct Dimensions {
  std::size_t vocabulary;
  std::size_t model_dim;
  std::size_t ffn_dim;
  std::size_t query_heads;
  std::size_t kv_heads;
  std::size_t head_dim;
  std::size_t q;
  std::size_t kv;
};

// Throws std::overflow_error "tensor shape overflows size_t" when q or kv
// does not fit.
[[nodiscard]] Dimensions dimensions_of(const TransformerSpec& spec);

// The length of sequence b: its entry in batch.lengths, or the width when
// lengths is empty. b < batch.batch_size; lengths already validated.
[[nodiscard]] std::size_t sequence_length(const TokenBatch& batch, std::size_t b);

// Tests the nine tensors of one layer in their declaration order; throws
// std::invalid_argument "<label> has an invalid shape" for the first wrong
// one ("attention norm" ... "feed-forward down weight").
void check_layer_shapes(const LayerWeights& weights, const Dimensions& d);

// The checks apply_rope runs before it rotates anything, in this order:
// std::invalid_argument "RoPE table is shorter than the sequence", "RoPE
// query has an invalid shape", "RoPE key has an invalid shape"
// (std::overflow_error "tensor shape overflows size_t" when a shape product
// does not fit); then std::out_of_range "RoPE table index out of bounds" for a
// table that is not internally consistent (dim zero or odd, or cos or sin
// holding fewer than positions * dim / 2 values: what the per-element lookups
// would raise), and "tensor index out of bounds" for query or key storage
// shorter than its shape.
void check_rope_arguments(const Tensor& query, const Tensor& key, std::size_t batch,
                          std::size_t seq, std::size_t query_heads, std::size_t kv_heads,
                          const RopeTable& table);

}  // namespace Orvane::Core::Lumeth
