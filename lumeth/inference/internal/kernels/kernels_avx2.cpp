// The AVX2 level: four doubles per vector. The target adds AVX2 only, never
// FMA: products and sums stay separate instructions.

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
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "lumeth/inference/internal/kernels/kernel_templates.hpp"

namespace Orvane::Core::Lumeth::kernels {
namespace {

struct Avx2 {
  using V = __m256d;
  using VI = __m256i;
  using Mask = __m256d;
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

  static Mask no_failure() { return _mm256_setzero_pd(); }
  // Not-less-than, unordered: true for NaN, as the failure test needs.
  static Mask not_less(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_NLT_UQ); }
  static Mask failure(V v, V limit) { return not_less(abs(v), limit); }
  static Mask merge(Mask a, Mask b) { return _mm256_or_pd(a, b); }
  static bool any(Mask m) { return _mm256_movemask_pd(m) != 0; }
  static unsigned mask_bits(Mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
};

constexpr KernelTable kAvx2 = make_kernel_table<Avx2, 6, 2>(CpuLevel::avx2);

}  // namespace
}  // namespace Orvane::Core::Lumeth::kernels

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

namespace Orvane::Core::Lumeth::kernels {

const KernelTable& avx2_kernels() noexcept { return kAvx2; }

}  // namespace Orvane::Core::Lumeth::kernels

#endif
