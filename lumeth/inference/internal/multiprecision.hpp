#pragma once

// Binary floating-point numbers with a 256-bit significand, in integer
// arithmetic only: the slow, precise path of the elementary functions, taken
// for the rare arguments whose fast double-double result is too close to a
// rounding boundary to be rounded with certainty.
//
// Every operation truncates its exact result to 256 bits (toward zero), so a
// result is within 2^-255 of the exact value, relative; the functions below
// chain a few hundred operations at most. Being integer code, every result is
// the same on every machine and compiler.

#include <array>
#include <cstdint>

#include "lumeth/inference/internal/elementary_tables.hpp"

namespace Orvane::Core::Lumeth::multiprecision {

inline constexpr int kLimbs = 4;

// (negative ? -1 : 1) * 0.limbs[0]limbs[1]limbs[2]limbs[3] (binary) *
// 2^exponent. Normalised: the top bit of limbs[0] is set, so the significand
// lies in [1/2, 1); zero has every limb 0 (exponent and sign then carry no
// meaning).
struct Float {
  std::array<std::uint64_t, kLimbs> limbs{};
  std::int64_t exponent = 0;
  bool negative = false;
};

[[nodiscard]] bool is_zero(const Float& a) noexcept;

// Exact. x must be finite.
[[nodiscard]] Float from_double(double x) noexcept;

// A table constant, truncated to kLimbs limbs.
[[nodiscard]] Float from_constant(const elementary::tables::MultiprecisionConstant& c) noexcept;

// The s-bit binary fraction held in the low s bits of `limbs` (most
// significant limb first, count limbs), as 0.bits: the value (sum of the
// field) * 2^-s. Bits above s are ignored. count <= 12.
[[nodiscard]] Float from_fraction(const std::uint64_t* limbs, int count, int s) noexcept;

[[nodiscard]] Float negate(Float a) noexcept;
[[nodiscard]] Float add(const Float& a, const Float& b) noexcept;
[[nodiscard]] Float subtract(const Float& a, const Float& b) noexcept;
[[nodiscard]] Float multiply(const Float& a, const Float& b) noexcept;
[[nodiscard]] Float multiply(const Float& a, std::uint64_t k) noexcept;
// k >= 1.
[[nodiscard]] Float divide(const Float& a, std::uint64_t k) noexcept;
// a * 2^k.
[[nodiscard]] Float scale(Float a, std::int64_t k) noexcept;

// a rounded to the nearest double, ties to even, with gradual underflow and
// overflow to infinity.
[[nodiscard]] double to_double(const Float& a) noexcept;

// Like to_double, but an `a` that lies within a relative 2^-(54 + 150) of a
// double or of a midpoint between two doubles is taken to be exactly that
// value (a midpoint then rounds to even). For results that can be exact
// midpoints (powers), whose approximation lands on either side of the tie.
[[nodiscard]] double to_double_snapped(const Float& a) noexcept;

// exp(x) for |x| < 2^11.
[[nodiscard]] Float exp(const Float& x) noexcept;

// ln(x) for a positive finite double x (normal or subnormal), starting from
// an approximation `guess` accurate to a relative 2^-60.
[[nodiscard]] Float log(double x, const Float& guess) noexcept;

// sin(r) and cos(r) for |r| <= 1.
[[nodiscard]] Float sin(const Float& r) noexcept;
[[nodiscard]] Float cos(const Float& r) noexcept;

// The reduction of a finite |x| >= pi / 4 modulo pi / 2: x = (4n + quadrant) *
// pi / 2 + r with |r| <= pi / 4, r computed to 256 bits relative however
// close x lies to a multiple of pi / 2.
struct Reduced {
  Float r;
  unsigned quadrant = 0;
};
[[nodiscard]] Reduced reduce_half_pi(double x) noexcept;

// erf(x) for a finite double x with 0 < |x| < 6.
[[nodiscard]] Float erf(double x) noexcept;

}  // namespace Orvane::Core::Lumeth::multiprecision
