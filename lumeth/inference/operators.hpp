#pragma once

// Element-level building blocks of the forward pass: the value guard that
// every computed value passes before it is stored, the dense projection
// `linear`, `rms_norm`, and rotary position encoding (RopeTable,
// build_rope_table, apply_rope, rotate_query_key).
//
// Layout shared by every operator: activations of a batch are 2-D,
// [batch * seq, features]; the row of position s of sequence b is
// b * seq + s; the features of head h are columns h * head_dim ..
// h * head_dim + head_dim - 1. Weights are output-major: [out, in].
//
// Arithmetic is in doubles, accumulated sequentially in ascending index order
// exactly as each formula is written (no reassociation, no fused multiply-add),
// so results are bit-reproducible. Each operator checks its inputs' shapes
// under fixed labels before computing and creates its output with the
// full_precision flag it was given (the input tensors' own flags are not
// read).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lumeth/inference/floating_point.hpp"
#include "lumeth/inference/tensor.hpp"

namespace Orvane::Core::Lumeth {

// Which stage stores a value; it selects the message of the non-finite error.
enum class GuardLevel : std::uint8_t {
  forward = 0,    // the forward pass and its own projections
  operation = 1,  // inside normalization, rotation, attention and feed-forward
};

// Throws std::domain_error "transformer forward produced NaN/Inf" (forward) or
// "transformer operator produced NaN/Inf" (operation).
[[noreturn]] void throw_non_finite(GuardLevel level);

// The largest magnitude below which narrowing to single precision stays
// finite: 2^128 - 2^103 lies halfway between the largest float and 2^128, and
// ties go to the even neighbour, which is infinity.
inline constexpr double kSinglePrecisionOverflow = 0x1.ffffffp127;

// The value to store for a computed `x`: throws (see throw_non_finite) when x
// is NaN or infinite, or when full_precision is false and x rounds to an
// infinite single-precision value; otherwise returns x (full_precision true)
// or x rounded to the nearest float (ties to even) and widened back.
[[nodiscard]] inline double guard_value(double x, bool full_precision, GuardLevel level) {
  if (!is_finite_value(x)) {
    throw_non_finite(level);
  }
  if (full_precision) {
    return x;
  }
  if (std::fabs(x) >= kSinglePrecisionOverflow) {
    throw_non_finite(level);
  }
  return static_cast<double>(static_cast<float>(x));
}

// input is [rows, in_features], weight is [out_features, in_features];
// returns [rows, out_features] with output[r, o] = guard(sum over i ascending
// of input[r, i] * weight[o, i]). No bias. Throws std::invalid_argument
// "linear input has an invalid shape", then "linear weight has an invalid
// shape"; std::domain_error from the guard of `level`.
[[nodiscard]] Tensor linear(const Tensor& input, const Tensor& weight, std::size_t rows,
                            std::size_t in_features, std::size_t out_features, bool full_precision,
                            GuardLevel level);

// input is [rows, cols], weight is [cols]; returns [rows, cols] with
// output[r, c] = guard(weight[c] * (input[r, c] * k)), k = 1 / sqrt(mean of
// squares of row r + epsilon). No mean subtraction, no bias; a zero row stays
// zero. Throws std::invalid_argument "RMSNorm epsilon must be finite and
// positive" (checked first), then "RMSNorm input has an invalid shape",
// "RMSNorm weight has an invalid shape"; operation-level guard errors.
[[nodiscard]] Tensor rms_norm(const Tensor& input, const Tensor& weight, std::size_t rows,
                              std::size_t cols, double epsilon, bool full_precision);

// Cosines and sines of the rotary angles for `positions` consecutive positions
// and a head of width `dim` (even): entry (p, i), 0 <= i < dim / 2, is at
// p * dim / 2 + i and belongs to position position_offset + p and the pair of
// head columns (2i, 2i + 1).
struct RopeTable {
  std::size_t positions = 0;
  std::size_t dim = 0;
  std::vector<double> cos;
  std::vector<double> sin;

  // Throw std::out_of_range "RoPE table index out of bounds" when p >=
  // positions or i >= dim / 2.
  [[nodiscard]] double cos_at(std::size_t p, std::size_t i) const;
  [[nodiscard]] double sin_at(std::size_t p, std::size_t i) const;
};

// angle(p, i) = (position_offset + p) / pow(base, (2i) / dim). Throws
// std::invalid_argument "RoPE table dimensions must be positive and even",
// then "RoPE base must be finite and positive"; std::overflow_error "tensor
// shape overflows size_t" when positions * dim / 2 does not fit and "RoPE
// position overflows size_t" when position_offset + positions - 1 does not.
[[nodiscard]] RopeTable build_rope_table(std::size_t positions, std::size_t dim, double base,
                                         std::size_t position_offset);

// Rotates query [batch * seq, query_heads * table.dim] and key
// [batch * seq, kv_heads * table.dim] in place: for position s of every
// sequence and each head, the adjacent pair (x0, x1) at head columns (2i,
// 2i + 1) becomes (x0 * c - x1 * n, x1 * c + x0 * n) with c = cos(s, i) and
// n = sin(s, i), negated when `inverse` (which undoes the rotation up to
// rounding). Query first, then key.
// Throws, in this order and before anything is rotated:
// std::invalid_argument "RoPE table is shorter than the sequence", "RoPE
// query has an invalid shape", "RoPE key has an invalid shape"; then
// std::out_of_range "RoPE table index out of bounds" for a table assembled by
// hand whose dim is zero or odd or whose vectors hold fewer than positions *
// dim / 2 values. Then operation-level guard errors; on a guard error the
// tensors are left partly rotated.
void apply_rope(Tensor& query, Tensor& key, std::size_t batch, std::size_t seq,
                std::size_t query_heads, std::size_t kv_heads, const RopeTable& table,
                bool full_precision, bool inverse);

// build_rope_table(seq, head_dim, base, position_offset), then apply_rope with
// that table; the errors of both, in that order.
void rotate_query_key(Tensor& query, Tensor& key, std::size_t batch, std::size_t seq,
                      std::size_t query_heads, std::size_t kv_heads, std::size_t head_dim,
                      double base, std::size_t position_offset, bool full_precision, bool inverse);

}  // namespace Orvane::Core::Lumeth
