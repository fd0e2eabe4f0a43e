#include "lumeth/inference/feed_forward.hpp"

#include <stdexcept>

#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/operators.hpp"

namespace Orvane::Core::Lumeth {

double gelu_activation(double u) { return (elementary::erf(u * kInverseSqrt2) + 1.0) * (u * 0.5); }

// The kernels' swiglu_guard computes exactly these operations.
double swiglu_activation(double gate, double up) {
  return (gate / (elementary::exp(-gate) + 1.0)) * up;
}

Tensor feed_forward_with(const kernels::KernelTable& kernels, const Tensor& input,
                         const Tensor& gate_weight, const Tensor& up_weight,
                         const Tensor& down_weight, std::size_t rows, std::size_t model_dim,
                         std::size_t ffn_dim, FeedForwardKind kind, bool full_precision) {
  const Tensor up = linear_with(kernels, input, up_weight, rows, model_dim, ffn_dim, full_precision,
                                GuardLevel::operation);
  Tensor hidden({rows, ffn_dim}, 0.0, full_precision);
  const std::size_t count = hidden.data.size();
  switch (kind) {
    case FeedForwardKind::swiglu: {
      const Tensor gate = linear_with(kernels, input, gate_weight, rows, model_dim, ffn_dim,
                                      full_precision, GuardLevel::operation);
      if (!kernels.swiglu_guard(hidden.data.data(), gate.data.data(), up.data.data(), count,
                                kernels::guard_mode(full_precision))) {
        throw_non_finite(GuardLevel::operation);
      }
      break;
    }
    case FeedForwardKind::gelu_mlp:
      if (!kernels.gelu_guard(hidden.data.data(), up.data.data(), kInverseSqrt2, count,
                              kernels::guard_mode(full_precision))) {
        throw_non_finite(GuardLevel::operation);
      }
      break;
    default:
      throw std::invalid_argument("unknown feed-forward operator");
  }
  return linear_with(kernels, hidden, down_weight, rows, ffn_dim, model_dim, full_precision,
                     GuardLevel::operation);
}

Tensor feed_forward(const Tensor& input, const Tensor& gate_weight, const Tensor& up_weight,
                    const Tensor& down_weight, std::size_t rows, std::size_t model_dim,
                    std::size_t ffn_dim, FeedForwardKind kind, bool full_precision) {
  return feed_forward_with(kernels::active_kernels(), input, gate_weight, up_weight, down_weight,
                           rows, model_dim, ffn_dim, kind, full_precision);
}

}  // namespace Orvane::Core::Lumeth
