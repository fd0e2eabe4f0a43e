#pragma once

// Causal grouped-query self-attention over a batch of right-padded sequences.
//
// query is [batch * seq, query_heads * head_dim]; key and value are
// [batch * seq, kv_heads * head_dim] (row of position s of sequence b at
// b * seq + s; head h at columns h * head_dim ..). Query head h reads key/value
// head h / (query_heads / kv_heads): consecutive query heads share one
// key/value head. Queries and keys arrive already rotated.

#include <cstddef>
#include <span>

#include "lumeth/inference/tensor.hpp"

namespace Orvane::Core::Lumeth {

// Every tensor is created filled with 0.0 and carries the caller's
// full_precision flag.
struct AttentionResult {
  // [batch, query_heads, seq, seq]: guard(q . k * (1 / sqrt(head_dim))) for
  // key positions j <= query position i within the sequence's length; 0.0
  // elsewhere (the causal mask is structural, never -infinity).
  Tensor scores;
  // [batch, query_heads, seq, seq]: softmax of each row's visible scores
  // (row maximum subtracted first); 0.0 elsewhere.
  Tensor probabilities;
  // [batch * seq, query_heads * head_dim]: probability-weighted value rows;
  // rows at or beyond a sequence's length are 0.0.
  Tensor output;
};

// `lengths` is empty (every sequence uses all seq positions) or holds one
// length per sequence. Dot products run over d ascending; the softmax sum and
// the weighted accumulation output = value * p + output over j ascending,
// with the stored (guarded) scores and probabilities.
// Throws, in this order: std::invalid_argument "GQA query heads must be
// divisible by KV heads" (zero heads or a remainder), "attention lengths do
// not match batch", "attention query has an invalid shape", "attention key has
// an invalid shape", "attention value has an invalid shape" (std::overflow_error
// "tensor shape overflows size_t" when a shape product does not fit); then,
// while computing sequence by sequence, "attention length exceeds sequence"
// and std::domain_error "transformer operator produced NaN/Inf".
[[nodiscard]] AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                                        std::size_t batch, std::size_t seq, std::size_t query_heads,
                                        std::size_t kv_heads, std::size_t head_dim,
                                        std::span<const std::size_t> lengths, bool full_precision);

}  // namespace Orvane::Core::Lumeth
