// The AVX-512 levels: eight doubles per vector, and four doubles per vector
// with AVX-512's 32 registers (for processors that split 512-bit operations).
// The target adds AVX-512F/DQ/VL only; the source is compiled without
// contraction, so no fused multiply-add is ever formed from the separate
// products and sums.

#include "lumeth/inference/internal/kernels/kernel_table.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

// Every function declared from here to the matching pop (the kernel
// templates and this level's traits) is compiled for the level's target. GCC
// takes the target from its pragma; clang ignores that pragma and needs the
// attribute pushed onto each function. Per-file -m flags are not used: they
// would also give inline functions from the headers (emitted as weak symbols)
// the wide instructions, and the linker could keep that copy for portable code.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx512dq,avx512vl"))), \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq,avx512vl")
#endif

#include "lumeth/inference/internal/kernels/kernel_templates.hpp"

namespace Orvane::Core::Lumeth::kernels {
namespace {

struct Avx512 {
  using V = __m512d;
  using VI = __m512i;
  using Mask = __mmask8;
  static constexpr std::size_t width = 8;

  static V zero() { return _mm512_setzero_pd(); }
  static V load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
  static V broadcast(double x) { return _mm512_set1_pd(x); }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V div(V a, V b) { return _mm512_div_pd(a, b); }
  // Masked with every lane selected, for the same reason as round_single.
  static V min(V a, V b) { return _mm512_maskz_min_pd(0xFF, a, b); }
  static V abs(V v) { return _mm512_abs_pd(v); }
  static V swap_pairs(V v) { return _mm512_shuffle_pd(v, v, 0x55); }
  // Pairs within each 128-bit lane, then lanes: a_i holds the pairs of rows
  // (2m, 2m + 1), b the lanes of two such, t[k] the lanes of column k. The
  // zero-masking forms with every lane selected, as in round_single.
  [[gnu::always_inline]] static void transpose(V (&t)[8]) {
    V a[8];
    for (int m = 0; m < 4; ++m) {
      a[2 * m] = _mm512_maskz_unpacklo_pd(0xFF, t[2 * m], t[2 * m + 1]);
      a[2 * m + 1] = _mm512_maskz_unpackhi_pd(0xFF, t[2 * m], t[2 * m + 1]);
    }
    // For even (lo) and odd (hi) columns alike.
    for (int odd = 0; odd < 2; ++odd) {
      const V b0 = _mm512_maskz_shuffle_f64x2(0xFF, a[0 + odd], a[2 + odd], 0x88);
      const V b1 = _mm512_maskz_shuffle_f64x2(0xFF, a[0 + odd], a[2 + odd], 0xDD);
      const V b2 = _mm512_maskz_shuffle_f64x2(0xFF, a[4 + odd], a[6 + odd], 0x88);
      const V b3 = _mm512_maskz_shuffle_f64x2(0xFF, a[4 + odd], a[6 + odd], 0xDD);
      t[0 + odd] = _mm512_maskz_shuffle_f64x2(0xFF, b0, b2, 0x88);
      t[4 + odd] = _mm512_maskz_shuffle_f64x2(0xFF, b0, b2, 0xDD);
      t[2 + odd] = _mm512_maskz_shuffle_f64x2(0xFF, b1, b3, 0x88);
      t[6 + odd] = _mm512_maskz_shuffle_f64x2(0xFF, b1, b3, 0xDD);
    }
  }
  // The zero-masking forms with every lane selected: the plain forms start
  // from an undefined register, which the compiler flags as uninitialised.
  static V round_single(V v) { return _mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_cvtpd_ps(0xFF, v)); }

  static VI ibroadcast(std::uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }
  static VI bits(V v) { return _mm512_castpd_si512(v); }
  static V from_bits(VI i) { return _mm512_castsi512_pd(i); }
  static VI iadd(VI a, VI b) { return _mm512_add_epi64(a, b); }
  static VI isub(VI a, VI b) { return _mm512_sub_epi64(a, b); }
  static VI iand(VI a, VI b) { return _mm512_and_si512(a, b); }
  static VI ior(VI a, VI b) { return _mm512_or_si512(a, b); }
  // Shifts and the gather in their masked forms with every lane selected,
  // for the same reason as round_single.
  template <int n>
  static VI ishl(VI a) {
    return _mm512_maskz_slli_epi64(0xFF, a, n);
  }
  template <int n>
  static VI ishr(VI a) {
    return _mm512_maskz_srli_epi64(0xFF, a, n);
  }
  // Without optimisation the masked gather is a macro whose expansion
  // converts the mask to a plain char, which -Wsign-conversion flags.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-conversion"
  static V gather(const double* table, VI index) {
    return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, index, table, 8);
  }
#pragma GCC diagnostic pop

  static Mask no_failure() { return 0; }
  // Not-less-than, unordered: true for NaN, as the failure test needs.
  static Mask not_less(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_NLT_UQ); }
  static Mask failure(V v, V limit) { return not_less(abs(v), limit); }
  static Mask merge(Mask a, Mask b) { return static_cast<Mask>(a | b); }
  static bool any(Mask m) { return m != 0; }
  static unsigned mask_bits(Mask m) { return m; }
};

// The same operations on 256-bit vectors; with 32 registers the blocks can be
// wider than under AVX2.
struct Avx512Narrow {
  using V = __m256d;
  using VI = __m256i;
  using Mask = __mmask8;
  static constexpr std::size_t width = 4;

  static V zero() { return _mm256_setzero_pd(); }
  static V load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
  static V broadcast(double x) { return _mm256_set1_pd(x); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V div(V a, V b) { return _mm256_div_pd(a, b); }
  static V min(V a, V b) { return _mm256_min_pd(a, b); }
  static V abs(V v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
  static V swap_pairs(V v) { return _mm256_permute_pd(v, 0x5); }
  // Pairs within each 128-bit half, then the halves.
  [[gnu::always_inline]] static void transpose(V (&t)[4]) {
    const V a0 = _mm256_unpacklo_pd(t[0], t[1]);
    const V a1 = _mm256_unpackhi_pd(t[0], t[1]);
    const V a2 = _mm256_unpacklo_pd(t[2], t[3]);
    const V a3 = _mm256_unpackhi_pd(t[2], t[3]);
    t[0] = _mm256_permute2f128_pd(a0, a2, 0x20);
    t[1] = _mm256_permute2f128_pd(a1, a3, 0x20);
    t[2] = _mm256_permute2f128_pd(a0, a2, 0x31);
    t[3] = _mm256_permute2f128_pd(a1, a3, 0x31);
  }
  static V round_single(V v) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(v)); }

  static VI ibroadcast(std::uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }
  static VI bits(V v) { return _mm256_castpd_si256(v); }
  static V from_bits(VI i) { return _mm256_castsi256_pd(i); }
  static VI iadd(VI a, VI b) { return _mm256_add_epi64(a, b); }
  static VI isub(VI a, VI b) { return _mm256_sub_epi64(a, b); }
  static VI iand(VI a, VI b) { return _mm256_and_si256(a, b); }
  static VI ior(VI a, VI b) { return _mm256_or_si256(a, b); }
  template <int n>
  static VI ishl(VI a) {
    return _mm256_slli_epi64(a, n);
  }
  template <int n>
  static VI ishr(VI a) {
    return _mm256_srli_epi64(a, n);
  }
  static V gather(const double* table, VI index) { return _mm256_i64gather_pd(table, index, 8); }

  static Mask no_failure() { return 0; }
  // Not-less-than, unordered: true for NaN, as the failure test needs.
  static Mask not_less(V a, V b) { return _mm256_cmp_pd_mask(a, b, _CMP_NLT_UQ); }
  static Mask failure(V v, V limit) { return not_less(abs(v), limit); }
  static Mask merge(Mask a, Mask b) { return static_cast<Mask>(a | b); }
  static bool any(Mask m) { return m != 0; }
  static unsigned mask_bits(Mask m) { return m; }
};

constexpr KernelTable kAvx512 = make_kernel_table<Avx512, 4, 6>(CpuLevel::avx512);
constexpr KernelTable kAvx512Narrow = make_kernel_table<Avx512Narrow, 4, 6>(CpuLevel::avx512_256);

}  // namespace
}  // namespace Orvane::Core::Lumeth::kernels

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace Orvane::Core::Lumeth::kernels {

const KernelTable& avx512_kernels() noexcept { return kAvx512; }

const KernelTable& avx512_256_kernels() noexcept { return kAvx512Narrow; }

}  // namespace Orvane::Core::Lumeth::kernels

#endif
