#include "lumeth/inference/internal/kernels/kernel_table.hpp"

#include <limits>
#include <stdexcept>

#include "lumeth/inference/operators.hpp"

namespace Orvane::Core::Lumeth::kernels {

// Defined by the level sources (kernels_<level>.cpp).
const KernelTable& portable_kernels() noexcept;
#if defined(__x86_64__)
const KernelTable& sse2_kernels() noexcept;
const KernelTable& avx2_kernels() noexcept;
const KernelTable& avx512_256_kernels() noexcept;
const KernelTable& avx512_kernels() noexcept;
#endif

GuardMode guard_mode(bool full_precision) noexcept {
  if (full_precision) {
    return GuardMode{std::numeric_limits<double>::infinity(), false};
  }
  return GuardMode{kSinglePrecisionOverflow, true};
}

namespace {

// The table of a level this processor supports.
const KernelTable& table_of(CpuLevel level) noexcept {
  switch (level) {
#if defined(__x86_64__)
    case CpuLevel::sse2:
      return sse2_kernels();
    case CpuLevel::avx2:
      return avx2_kernels();
    case CpuLevel::avx512_256:
      return avx512_256_kernels();
    case CpuLevel::avx512:
      return avx512_kernels();
#endif
    default:
      return portable_kernels();
  }
}

}  // namespace

const KernelTable& kernels_for(CpuLevel level) {
  if (!cpu_supports(level)) {
    throw std::invalid_argument("kernel level is not supported by this processor");
  }
  return table_of(level);
}

const KernelTable& active_kernels() noexcept {
  static const KernelTable& table = table_of(detected_cpu_level());
  return table;
}

}  // namespace Orvane::Core::Lumeth::kernels
