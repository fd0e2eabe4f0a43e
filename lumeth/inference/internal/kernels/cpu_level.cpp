#include "lumeth/inference/internal/kernels/cpu_level.hpp"

#include <array>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace Orvane::Core::Lumeth::kernels {
namespace {

#if defined(__x86_64__)
constexpr std::array kCompiled = {CpuLevel::portable, CpuLevel::sse2, CpuLevel::avx2,
                                  CpuLevel::avx512_256, CpuLevel::avx512};
#else
constexpr std::array kCompiled = {CpuLevel::portable};
#endif

#if defined(__x86_64__)
// Family 19h is the first AMD family with AVX-512, and its processors execute
// every 512-bit operation as two 256-bit halves. Only that family is matched:
// later families are given the 512-bit level.
bool splits_512_bit_operations() noexcept {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(0, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  // "AuthenticAMD" in ebx, edx, ecx.
  const bool amd = ebx == 0x68747541U && edx == 0x69746e65U && ecx == 0x444d4163U;
  if (!amd || __get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  const unsigned base_family = (eax >> 8) & 0xFU;
  const unsigned family = base_family == 0xFU ? base_family + ((eax >> 20) & 0xFFU) : base_family;
  return family == 0x19U;
}
#endif

CpuLevel detect() noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (cpu_supports(CpuLevel::avx512)) {
    return splits_512_bit_operations() ? CpuLevel::avx512_256 : CpuLevel::avx512;
  }
  if (cpu_supports(CpuLevel::avx2)) {
    return CpuLevel::avx2;
  }
  return CpuLevel::sse2;
#else
  return CpuLevel::portable;
#endif
}

}  // namespace

std::span<const CpuLevel> compiled_levels() noexcept { return kCompiled; }

bool cpu_supports(CpuLevel level) noexcept {
  switch (level) {
    case CpuLevel::portable:
      return true;
#if defined(__x86_64__)
    case CpuLevel::sse2:
      return true;
    case CpuLevel::avx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2") != 0;
    // Both AVX-512 levels are compiled for AVX-512F/DQ/VL, so both need all
    // three, even though the 512-bit kernels themselves use no VL form.
    case CpuLevel::avx512_256:
    case CpuLevel::avx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0 &&
             __builtin_cpu_supports("avx512vl") != 0;
#endif
    default:
      return false;
  }
}

CpuLevel detected_cpu_level() noexcept {
  static const CpuLevel level = detect();
  return level;
}

std::string_view level_name(CpuLevel level) noexcept {
  switch (level) {
    case CpuLevel::portable:
      return "portable";
    case CpuLevel::sse2:
      return "sse2";
    case CpuLevel::avx2:
      return "avx2";
    case CpuLevel::avx512_256:
      return "avx512_256";
    case CpuLevel::avx512:
      return "avx512";
  }
  return "unknown";
}

}  // namespace Orvane::Core::Lumeth::kernels
