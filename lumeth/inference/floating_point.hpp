#pragma once

// The inference code's requirement of strict IEEE 754 double arithmetic, and
// the finiteness test the value guard is built on.
//
// Results are defined bit for bit by the order of operations written in each
// operator, and the value guard must see NaN and infinity. -ffast-math (also
// part of -Ofast) lets the compiler reassociate sums and, through
// -ffinite-math-only, assume that no value is NaN or infinite, which changes
// results and removes the guard without a word. The library's CMake target
// adds -fno-fast-math to itself and to everything that links it; a translation
// unit that is built with fast math anyway stops here.

#include <bit>
#include <cstdint>

#if defined(__FAST_MATH__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__ != 0)
#error \
    "Lumeth needs strict IEEE floating point: build without -ffast-math, -Ofast and -ffinite-math-only"
#endif

namespace Orvane::Core::Lumeth {

// Whether x is neither NaN nor infinite, read from its exponent field (all
// ones exactly for NaN and the infinities). Unlike std::isfinite, no
// assumption a compiler may make about floating-point values can fold it to
// true.
[[nodiscard]] constexpr bool is_finite_value(double x) noexcept {
  constexpr std::uint64_t kExponentField = 0x7FF0000000000000U;
  return (std::bit_cast<std::uint64_t>(x) & kExponentField) != kExponentField;
}

// Whether x is finite and above zero (NaN is neither).
[[nodiscard]] constexpr bool is_finite_positive(double x) noexcept {
  return is_finite_value(x) && x > 0.0;
}

}  // namespace Orvane::Core::Lumeth
