#pragma once

// The position-wise feed-forward block of a transformer layer, in its two
// kinds: gelu_mlp (up projection, exact erf GELU, down projection) and swiglu
// (SiLU of the gate projection times the up projection, down projection).
//
// input is [rows, model_dim]; gate_weight and up_weight are
// [ffn_dim, model_dim]; down_weight is [model_dim, ffn_dim].

#include <cstddef>

#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

// The double nearest 1 / sqrt(2).
inline constexpr double kInverseSqrt2 = 0.7071067811865476;

// Exact GELU of u, as (erf(u * (1 / sqrt 2)) + 1) * (u * 0.5). Unguarded.
[[nodiscard]] double gelu_activation(double u);

// SiLU-gated value (g / (exp(-g) + 1)) * up. Unguarded; a very negative gate
// makes exp(-g) infinite and the result a signed zero, not NaN.
[[nodiscard]] double swiglu_activation(double gate, double up);

// Returns [rows, model_dim] carrying full_precision. The three projections
// are operation-level `linear`s; every hidden value passes the
// operation-level guard. The gate weight is read (and its shape tested) only
// by swiglu.
// Throws in the order of the computation; every non-finite value is
// std::domain_error "transformer operator produced NaN/Inf":
//   1. the up projection: std::invalid_argument "linear input has an invalid
//      shape", "linear weight has an invalid shape", then a non-finite up
//      value;
//   2. by kind: std::invalid_argument "unknown feed-forward operator" for a
//      kind other than gelu_mlp and swiglu; for swiglu the gate projection
//      ("linear weight has an invalid shape", then a non-finite gate value);
//      then a non-finite hidden value;
//   3. the down projection: "linear weight has an invalid shape", then a
//      non-finite output value.
// So a non-finite up value is reported before a wrong gate or down weight
// shape.
[[nodiscard]] Tensor feed_forward(const Tensor& input, const Tensor& gate_weight,
                                  const Tensor& up_weight, const Tensor& down_weight,
                                  std::size_t rows, std::size_t model_dim, std::size_t ffn_dim,
                                  FeedForwardKind kind, bool full_precision);

}  // namespace Orvane::Core::Lumeth
