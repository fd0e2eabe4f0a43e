#include "lumeth/inference/internal/forward_support.hpp"

#include <stdexcept>

namespace Orvane::Core::Lumeth {

Dimensions dimensions_of(const TransformerSpec& spec) {
  Dimensions d{spec.vocabulary,
               spec.model_dim,
               spec.ffn_dim,
               spec.query_heads,
               spec.kv_heads,
               spec.head_dim,
               0,
               0};
  d.q = checked_product(d.query_heads, d.head_dim);
  d.kv = checked_product(d.kv_heads, d.head_dim);
  return d;
}

std::size_t sequence_length(const TokenBatch& batch, std::size_t b) {
  return batch.lengths.empty() ? batch.width : batch.lengths[b];
}

void check_layer_shapes(const LayerWeights& weights, const Dimensions& d) {
  check_shape(weights.attention_norm, {d.model_dim}, "attention norm");
  check_shape(weights.query, {d.q, d.model_dim}, "query weight");
  check_shape(weights.key, {d.kv, d.model_dim}, "key weight");
  check_shape(weights.value, {d.kv, d.model_dim}, "value weight");
  check_shape(weights.attention_output, {d.model_dim, d.q}, "attention output weight");
  check_shape(weights.ffn_norm, {d.model_dim}, "feed-forward norm");
  check_shape(weights.ffn_gate, {d.ffn_dim, d.model_dim}, "feed-forward gate weight");
  check_shape(weights.ffn_up, {d.ffn_dim, d.model_dim}, "feed-forward up weight");
  check_shape(weights.ffn_down, {d.model_dim, d.ffn_dim}, "feed-forward down weight");
}

void check_rope_arguments(const Tensor& query, const Tensor& key, std::size_t batch,
                          std::size_t seq, std::size_t query_heads, std::size_t kv_heads,
                          const RopeTable& table) {
  if (table.positions < seq) {
    throw std::invalid_argument("RoPE table is shorter than the sequence");
  }
  const std::size_t rows = checked_product(batch, seq);
  check_shape(query, {rows, checked_product(query_heads, table.dim)}, "RoPE query");
  check_shape(key, {rows, checked_product(kv_heads, table.dim)}, "RoPE key");
  // A table assembled by hand may break what build_rope_table guarantees. It
  // is refused as a whole, with the error its lookups raise, before anything
  // is rotated: it must never pair columns across heads or read past its
  // vectors.
  std::size_t entries = 0;
  if (table.dim == 0 || table.dim % 2 != 0 ||
      __builtin_mul_overflow(table.positions, table.dim / 2, &entries) ||
      table.cos.size() < entries || table.sin.size() < entries) {
    throw std::out_of_range("RoPE table index out of bounds");
  }
  check_storage(query);
  check_storage(key);
}

}  // namespace Orvane::Core::Lumeth
