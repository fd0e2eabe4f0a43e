#include "lumeth/inference/feed_forward.hpp"

#include <stdexcept>

#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/internal/parallel_parts.hpp"
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
                         std::size_t ffn_dim, FeedForwardKind kind, bool full_precision,
                         ThreadPool* pool) {
  const Tensor up = linear_with(kernels, input, up_weight, rows, model_dim, ffn_dim, full_precision,
                                GuardLevel::operation, pool);
  Tensor hidden({rows, ffn_dim}, 0.0, full_precision);
  const std::size_t count = hidden.data.size();
  const kernels::GuardMode guard = kernels::guard_mode(full_precision);
  // Each activation takes one elementary function call, about twenty
  // element-wise operations.
  constexpr double kActivationWork = 20.0;
  switch (kind) {
    case FeedForwardKind::swiglu: {
      const Tensor gate = linear_with(kernels, input, gate_weight, rows, model_dim, ffn_dim,
                                      full_precision, GuardLevel::operation, pool);
      if (!parallel_elements(pool, count, kActivationWork, [&](std::size_t first, std::size_t end) {
            return kernels.swiglu_guard(hidden.data.data() + first, gate.data.data() + first,
                                        up.data.data() + first, end - first, guard);
          })) {
        throw_non_finite(GuardLevel::operation);
      }
      break;
    }
    case FeedForwardKind::gelu_mlp:
      if (!parallel_elements(pool, count, kActivationWork, [&](std::size_t first, std::size_t end) {
            return kernels.gelu_guard(hidden.data.data() + first, up.data.data() + first,
                                      kInverseSqrt2, end - first, guard);
          })) {
        throw_non_finite(GuardLevel::operation);
      }
      break;
    default:
      throw std::invalid_argument("unknown feed-forward operator");
  }
  return linear_with(kernels, hidden, down_weight, rows, ffn_dim, model_dim, full_precision,
                     GuardLevel::operation, pool);
}

Tensor feed_forward(const Tensor& input, const Tensor& gate_weight, const Tensor& up_weight,
                    const Tensor& down_weight, std::size_t rows, std::size_t model_dim,
                    std::size_t ffn_dim, FeedForwardKind kind, bool full_precision) {
  return feed_forward_with(kernels::active_kernels(), input, gate_weight, up_weight, down_weight,
                           rows, model_dim, ffn_dim, kind, full_precision);
}

}  // namespace Orvane::Core::Lumeth
