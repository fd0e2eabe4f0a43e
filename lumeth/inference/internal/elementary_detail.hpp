#pragma once

// The fast paths of the elementary functions before their rounding decision,
// for the accuracy tests that hold each one to its error bound. The public
// functions (elementary.hpp) return RN(hi + lo) * 2^exponent when `error`
// leaves no doubt about that rounding, and take the precise path otherwise.

#include <cstdint>

namespace Orvane::Core::Lumeth::elementary::detail {

struct Approximation {
  // Whether the fast path covers this argument at all (out of it: special
  // values, results near overflow or underflow, reductions too close to a
  // multiple of pi/2, and the like).
  bool available = false;
  // f(x) lies within error * 2^exponent of (hi + lo) * 2^exponent; hi
  // normal, |lo| <= ulp(hi) / 2.
  double hi = 0.0;
  double lo = 0.0;
  std::int64_t exponent = 0;
  double error = 0.0;
};

[[nodiscard]] Approximation exp_approximation(double x) noexcept;
[[nodiscard]] Approximation sin_approximation(double x) noexcept;
[[nodiscard]] Approximation cos_approximation(double x) noexcept;
[[nodiscard]] Approximation erf_approximation(double x) noexcept;
// x > 0 and finite, x != 1, y finite and nonzero.
[[nodiscard]] Approximation pow_approximation(double x, double y) noexcept;
// ln x for x > 0 finite (exponent 0).
[[nodiscard]] Approximation log_approximation(double x) noexcept;

}  // namespace Orvane::Core::Lumeth::elementary::detail
