// The portable level: the kernels one double at a time, in plain C++. It is
// the only level on processors other than x86-64, and the reference the
// vector levels are compared with on x86-64.

#include <algorithm>
#include <cstddef>

#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/internal/kernels/kernel_templates.hpp"
#include "lumeth/inference/internal/kernels/scalar_traits.hpp"

namespace Orvane::Core::Lumeth::kernels {
namespace {

// ScalarTraits is shared with the scalar elementary functions, so a lane of
// this level is exactly what they compute.
constexpr KernelTable kPortable = make_kernel_table<ScalarTraits, 4, 3>(CpuLevel::portable);

}  // namespace

const KernelTable& portable_kernels() noexcept { return kPortable; }

}  // namespace Orvane::Core::Lumeth::kernels
