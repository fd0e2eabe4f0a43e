#pragma once

// The plain reference implementation of the inference operators and the
// forward pass: element-by-element loops written exactly as the formulas read.
// The library's operators compute the same results bit for bit with blocked,
// vectorised kernels; these loops are kept to check them against.
//
// Every function takes the same arguments, returns the same results and
// throws the same errors, in the same order, as the public operator of the
// same name (lumeth/inference/operators.hpp, attention.hpp, feed_forward.hpp,
// forward.hpp).

#include <cstddef>
#include <span>

#include "lumeth/inference/attention.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/operators.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth::reference {

[[nodiscard]] Tensor linear(const Tensor& input, const Tensor& weight, std::size_t rows,
                            std::size_t in_features, std::size_t out_features, bool full_precision,
                            GuardLevel level);

[[nodiscard]] Tensor rms_norm(const Tensor& input, const Tensor& weight, std::size_t rows,
                              std::size_t cols, double epsilon, bool full_precision);

void apply_rope(Tensor& query, Tensor& key, std::size_t batch, std::size_t seq,
                std::size_t query_heads, std::size_t kv_heads, const RopeTable& table,
                bool full_precision, bool inverse);

void rotate_query_key(Tensor& query, Tensor& key, std::size_t batch, std::size_t seq,
                      std::size_t query_heads, std::size_t kv_heads, std::size_t head_dim,
                      double base, std::size_t position_offset, bool full_precision, bool inverse);

[[nodiscard]] AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                                        std::size_t batch, std::size_t seq, std::size_t query_heads,
                                        std::size_t kv_heads, std::size_t head_dim,
                                        std::span<const std::size_t> lengths, bool full_precision);

[[nodiscard]] Tensor feed_forward(const Tensor& input, const Tensor& gate_weight,
                                  const Tensor& up_weight, const Tensor& down_weight,
                                  std::size_t rows, std::size_t model_dim, std::size_t ffn_dim,
                                  FeedForwardKind kind, bool full_precision);

[[nodiscard]] Tensor forward(const TransformerSpec& spec, const TransformerWeights& weights,
                             const TokenBatch& batch, const ForwardOptions& options);

}  // namespace Orvane::Core::Lumeth::reference
