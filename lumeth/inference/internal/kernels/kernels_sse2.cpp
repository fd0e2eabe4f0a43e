// The x86-64 baseline level: SSE2, two doubles per vector. Every x86-64
// processor has it.

#include "lumeth/inference/internal/kernels/kernel_table.hpp"

#if defined(__x86_64__)

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "lumeth/inference/internal/kernels/kernel_templates.hpp"

namespace Orvane::Core::Lumeth::kernels {
namespace {

struct Sse2 {
  using V = __m128d;
  using VI = __m128i;
  using Mask = __m128d;
  static constexpr std::size_t width = 2;

  static V zero() { return _mm_setzero_pd(); }
  static V load(const double* p) { return _mm_loadu_pd(p); }
  static void store(double* p, V v) { _mm_storeu_pd(p, v); }
  static V broadcast(double x) { return _mm_set1_pd(x); }
  static V add(V a, V b) { return _mm_add_pd(a, b); }
  static V sub(V a, V b) { return _mm_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm_mul_pd(a, b); }
  static V div(V a, V b) { return _mm_div_pd(a, b); }
  static V min(V a, V b) { return _mm_min_pd(a, b); }
  static V abs(V v) { return _mm_andnot_pd(_mm_set1_pd(-0.0), v); }
  static V swap_pairs(V v) { return _mm_shuffle_pd(v, v, 1); }
  [[gnu::always_inline]] static void transpose(V (&t)[2]) {
    const V low = _mm_unpacklo_pd(t[0], t[1]);
    t[1] = _mm_unpackhi_pd(t[0], t[1]);
    t[0] = low;
  }
  static V round_single(V v) { return _mm_cvtps_pd(_mm_cvtpd_ps(v)); }

  static VI ibroadcast(std::uint64_t x) { return _mm_set1_epi64x(static_cast<long long>(x)); }
  static VI bits(V v) { return _mm_castpd_si128(v); }
  static V from_bits(VI i) { return _mm_castsi128_pd(i); }
  static VI iadd(VI a, VI b) { return _mm_add_epi64(a, b); }
  static VI isub(VI a, VI b) { return _mm_sub_epi64(a, b); }
  static VI iand(VI a, VI b) { return _mm_and_si128(a, b); }
  static VI ior(VI a, VI b) { return _mm_or_si128(a, b); }
  template <int n>
  static VI ishl(VI a) {
    return _mm_slli_epi64(a, n);
  }
  template <int n>
  static VI ishr(VI a) {
    return _mm_srli_epi64(a, n);
  }
  // SSE2 has no gather: two loads.
  static V gather(const double* table, VI index) {
    const long long i0 = _mm_cvtsi128_si64(index);
    const long long i1 = _mm_cvtsi128_si64(_mm_unpackhi_epi64(index, index));
    return _mm_set_pd(table[i1], table[i0]);
  }

  static Mask no_failure() { return _mm_setzero_pd(); }
  // Not-less-than is true for NaN, as the failure test needs.
  static Mask not_less(V a, V b) { return _mm_cmpnlt_pd(a, b); }
  static Mask failure(V v, V limit) { return not_less(abs(v), limit); }
  static Mask merge(Mask a, Mask b) { return _mm_or_pd(a, b); }
  static bool any(Mask m) { return _mm_movemask_pd(m) != 0; }
  static unsigned mask_bits(Mask m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
};

constexpr KernelTable kSse2 = make_kernel_table<Sse2, 3, 4>(CpuLevel::sse2);

}  // namespace

const KernelTable& sse2_kernels() noexcept { return kSse2; }

}  // namespace Orvane::Core::Lumeth::kernels

#endif
