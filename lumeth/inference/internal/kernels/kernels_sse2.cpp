// The x86-64 baseline level: SSE2, two doubles per vector. Every x86-64
// processor has it.

#include "lumeth/inference/internal/kernels/kernel_table.hpp"

#if defined(__x86_64__)

#include <emmintrin.h>

#include <algorithm>
#include <cstddef>

#include "lumeth/inference/internal/kernels/kernel_templates.hpp"

namespace Orvane::Core::Lumeth::kernels {
namespace {

struct Sse2 {
  using V = __m128d;
  using Mask = __m128d;
  static constexpr std::size_t width = 2;

  static V zero() { return _mm_setzero_pd(); }
  static V load(const double* p) { return _mm_loadu_pd(p); }
  static void store(double* p, V v) { _mm_storeu_pd(p, v); }
  static V broadcast(double x) { return _mm_set1_pd(x); }
  static V add(V a, V b) { return _mm_add_pd(a, b); }
  static V mul(V a, V b) { return _mm_mul_pd(a, b); }
  static V div(V a, V b) { return _mm_div_pd(a, b); }
  static V swap_pairs(V v) { return _mm_shuffle_pd(v, v, 1); }
  [[gnu::always_inline]] static void transpose(V (&t)[2]) {
    const V low = _mm_unpacklo_pd(t[0], t[1]);
    t[1] = _mm_unpackhi_pd(t[0], t[1]);
    t[0] = low;
  }
  static V round_single(V v) { return _mm_cvtps_pd(_mm_cvtpd_ps(v)); }
  static Mask no_failure() { return _mm_setzero_pd(); }
  // Not-less-than is true for NaN, as the failure test needs.
  static Mask failure(V v, V limit) {
    return _mm_cmpnlt_pd(_mm_andnot_pd(_mm_set1_pd(-0.0), v), limit);
  }
  static Mask merge(Mask a, Mask b) { return _mm_or_pd(a, b); }
  static bool any(Mask m) { return _mm_movemask_pd(m) != 0; }
};

constexpr KernelTable kSse2 = make_kernel_table<Sse2, 3, 4>(CpuLevel::sse2);

}  // namespace

const KernelTable& sse2_kernels() noexcept { return kSse2; }

}  // namespace Orvane::Core::Lumeth::kernels

#endif
