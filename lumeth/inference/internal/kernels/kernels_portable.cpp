// The portable level: the kernels one double at a time, in plain C++. It is
// the only level on processors other than x86-64, and the reference the
// vector levels are compared with on x86-64.

#include <algorithm>
#include <cstddef>

#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/internal/kernels/kernel_templates.hpp"

namespace Orvane::Core::Lumeth::kernels {
namespace {

struct Scalar {
  using V = double;
  using Mask = bool;
  static constexpr std::size_t width = 1;

  static V zero() { return 0.0; }
  static V load(const double* p) { return *p; }
  static void store(double* p, V v) { *p = v; }
  static V broadcast(double x) { return x; }
  static V add(V a, V b) { return a + b; }
  static V mul(V a, V b) { return a * b; }
  static V div(V a, V b) { return a / b; }
  static V round_single(V v) { return static_cast<double>(static_cast<float>(v)); }
  static void transpose(V (&)[1]) {}
  static Mask no_failure() { return false; }
  static Mask failure(V v, V limit) { return !((v < 0.0 ? -v : v) < limit); }
  static Mask merge(Mask a, Mask b) { return a || b; }
  static bool any(Mask m) { return m; }
};

constexpr KernelTable kPortable = make_kernel_table<Scalar, 4, 3>(CpuLevel::portable);

}  // namespace

const KernelTable& portable_kernels() noexcept { return kPortable; }

}  // namespace Orvane::Core::Lumeth::kernels
