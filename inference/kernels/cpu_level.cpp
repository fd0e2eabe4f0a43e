#include "inference/kernels/cpu_level.hpp"

#include <array>

namespace Orvane::Core::Lumeth::kernels {
namespace {

#if defined(__x86_64__)
constexpr std::array kCompiled = {CpuLevel::portable, CpuLevel::sse2, CpuLevel::avx2,
                                  CpuLevel::avx512};
#else
constexpr std::array kCompiled = {CpuLevel::portable};
#endif

CpuLevel detect() noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (cpu_supports(CpuLevel::avx512)) {
    return CpuLevel::avx512;
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
    case CpuLevel::avx512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512dq") != 0;
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
    case CpuLevel::avx512:
      return "avx512";
  }
  return "unknown";
}

}  // namespace Orvane::Core::Lumeth::kernels
