#pragma once

// The one-double "vector" of the kernel templates (kernel_templates.hpp) and
// of the elementary-function core (elementary_core.hpp): the portable kernel
// level and the scalar elementary functions instantiate both with it, so a
// scalar result is computed by exactly the operations each lane of a vector
// level performs.
//
// Unlike the vector levels' traits, this type has external linkage: every
// translation unit that uses it is compiled for the baseline instruction set,
// so all of its instantiations are the same code. Never include it after a
// level's target pragma.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace Orvane::Core::Lumeth::kernels {

struct ScalarTraits {
  using V = double;
  using VI = std::uint64_t;  // the bits of one double, wrapping arithmetic
  using Mask = bool;
  static constexpr std::size_t width = 1;

  static V zero() { return 0.0; }
  static V load(const double* p) { return *p; }
  static void store(double* p, V v) { *p = v; }
  static V broadcast(double x) { return x; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V div(V a, V b) { return a / b; }
  // a < b ? a : b, like the vector minimum instructions (b when either is NaN).
  static V min(V a, V b) { return a < b ? a : b; }
  static V abs(V v) { return std::bit_cast<double>(std::bit_cast<VI>(v) & ~(VI{1} << 63)); }
  static V round_single(V v) { return static_cast<double>(static_cast<float>(v)); }
  // A one-lane square transpose changes nothing.
  static void transpose(V (&)[1]) {}

  static VI ibroadcast(std::uint64_t x) { return x; }
  static VI bits(V v) { return std::bit_cast<VI>(v); }
  static V from_bits(VI i) { return std::bit_cast<double>(i); }
  static VI iadd(VI a, VI b) { return a + b; }
  static VI isub(VI a, VI b) { return a - b; }
  static VI iand(VI a, VI b) { return a & b; }
  static VI ior(VI a, VI b) { return a | b; }
  template <int n>
  static VI ishl(VI a) {
    return a << n;
  }
  template <int n>
  static VI ishr(VI a) {
    return a >> n;
  }
  // table[index] per lane; index in doubles.
  static V gather(const double* table, VI index) { return table[index]; }

  static Mask no_failure() { return false; }
  // Lanes with !(a < b): true when either is NaN.
  static Mask not_less(V a, V b) { return !(a < b); }
  static Mask failure(V v, V limit) { return not_less(abs(v), limit); }
  static Mask merge(Mask a, Mask b) { return a || b; }
  static bool any(Mask m) { return m; }
  // Bit i set for each failing lane i.
  static unsigned mask_bits(Mask m) { return m ? 1U : 0U; }
};

}  // namespace Orvane::Core::Lumeth::kernels
