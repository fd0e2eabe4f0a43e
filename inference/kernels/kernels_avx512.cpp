// The AVX-512 level: eight doubles per vector. The target adds AVX-512F/DQ
// only; the source is compiled without contraction, so no fused multiply-add
// is ever formed from the separate products and sums.

#include "inference/kernels/kernel_table.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cstddef>

#pragma GCC push_options
#pragma GCC target("avx512f,avx512dq")

#include "inference/kernels/kernel_templates.hpp"

namespace Orvane::Core::Lumeth::kernels {
namespace {

struct Avx512 {
  using V = __m512d;
  using Mask = __mmask8;
  static constexpr std::size_t width = 8;

  static V zero() { return _mm512_setzero_pd(); }
  static V load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
  static V broadcast(double x) { return _mm512_set1_pd(x); }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V div(V a, V b) { return _mm512_div_pd(a, b); }
  static V swap_pairs(V v) { return _mm512_shuffle_pd(v, v, 0x55); }
  // The zero-masking forms with every lane selected: the plain forms start
  // from an undefined register, which the compiler flags as uninitialised.
  static V round_single(V v) { return _mm512_maskz_cvtps_pd(0xFF, _mm512_maskz_cvtpd_ps(0xFF, v)); }
  static Mask no_failure() { return 0; }
  // Not-less-than, unordered: true for NaN, as the failure test needs.
  static Mask failure(V v, V limit) {
    return _mm512_cmp_pd_mask(_mm512_abs_pd(v), limit, _CMP_NLT_UQ);
  }
  static Mask merge(Mask a, Mask b) { return static_cast<Mask>(a | b); }
  static bool any(Mask m) { return m != 0; }
};

constexpr KernelTable kAvx512 = make_kernel_table<Avx512, 4, 6>(CpuLevel::avx512);

}  // namespace
}  // namespace Orvane::Core::Lumeth::kernels

#pragma GCC pop_options

namespace Orvane::Core::Lumeth::kernels {

const KernelTable& avx512_kernels() noexcept { return kAvx512; }

}  // namespace Orvane::Core::Lumeth::kernels

#endif
