#pragma once

// The library's own elementary functions in IEEE 754 binary64: exp, sin,
// cos, erf and pow, correctly rounded (the exact result rounded to the
// nearest double, ties to even) and therefore the same bits on every machine,
// operating system and compiler. The inference operators use these, never
// the C math library, whose results differ by platform (and, with glibc, by
// processor).
//
// How: a fast path evaluates the function in double-double arithmetic with a
// proven relative error bound (2^-68; for pow it grows with |y ln x|) and
// returns its result when that bound leaves no doubt about the rounding; the
// rare arguments (one call in 15000 to 28000 in the accuracy tests) whose
// result lies too close to a midpoint between two doubles are recomputed in
// 256-bit integer arithmetic, accurate to about 2^-240, which rounds
// correctly every argument whose result is not within 2^-240 of a midpoint;
// for exp, sin and cos the hardest doubles known come nowhere near that (the
// published worst cases need about 2^-120), erf and non-exact powers are
// believed to behave alike. Only +, -, *, /, conversions and integer
// operations on the bits are used, never a fused multiply-add, and the code
// is compiled without contraction. The accuracy tests compare several million
// arguments with MPFR (tests/inference/elementary_accuracy_test.cpp).
//
// All functions are pure, thread-safe and never throw. Special values follow
// the C standard's Annex F: the sign of zero is kept where Annex F keeps it,
// overflow gives infinity and underflow a correctly rounded subnormal or
// zero. NaN results are the same bits everywhere too: a NaN argument is
// returned with its quiet bit set (for pow, x's if both are NaN), an invalid
// operation (sin of infinity, a negative base to a non-integer power) gives
// the positive quiet NaN 0x7FF8000000000000. errno is never set and the
// floating-point exception flags are unspecified.

namespace Orvane::Core::Lumeth::elementary {

// e^x for every double x. exp(±0) = 1, exp(+inf) = +inf, exp(-inf) = +0;
// x > 709.78... overflows to +inf, x < -745.13... underflows to +0.
// Correctly rounded.
[[nodiscard]] double exp(double x) noexcept;

// sin x and cos x for every finite x (radians), with the argument reduced
// modulo pi/2 against 1536 bits of 2/pi, so that results stay correctly
// rounded for the largest doubles. sin(±0) = ±0, sin and cos of ±inf or NaN
// are NaN. Correctly rounded.
[[nodiscard]] double sin(double x) noexcept;
[[nodiscard]] double cos(double x) noexcept;

// sin x and cos x together, sharing the argument reduction: exactly the bits
// of sin(x) and cos(x), in about two thirds of their time (rotary tables
// need both).
struct SinCos {
  double sine;
  double cosine;
};
[[nodiscard]] SinCos sin_cos(double x) noexcept;

// The error function, 2/sqrt(pi) times the integral of exp(-t^2) from 0 to
// x. erf(±0) = ±0, erf(±inf) = ±1; |x| >= 5.9215871957... gives ±1 exactly.
// Correctly rounded.
[[nodiscard]] double erf(double x) noexcept;

// x^y with every special case of the C standard (pow(x, ±0) = 1 even for
// NaN x, pow(1, y) = 1 even for NaN y, pow of a negative x is NaN unless y
// is an integer, signed zeros and infinities by the parity of y, and so on).
// Correctly rounded, including the exact cases (pow(4, 0.5) is 2, a result
// that is exactly a midpoint rounds to even).
[[nodiscard]] double pow(double x, double y) noexcept;

}  // namespace Orvane::Core::Lumeth::elementary
