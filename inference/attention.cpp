#include "inference/attention.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "inference/kernel_operators.hpp"
#include "inference/kernels/kernel_table.hpp"
#include "inference/operators.hpp"

namespace Orvane::Core::Lumeth {

// Works sequence by sequence and, inside a sequence, key/value head by
// key/value head: the query heads that share a key/value head form one block
// of rows (head by head, position by position) for two projections,
//   scores  = guard(query rows . key rows * scale), key positions j <= i only;
//   output  = guard(sum over j ascending of value[j] * p[i, j]),
// with the softmax row by row in between. A sequence's length is checked
// before any of its work and a non-finite value is reported once the
// sequence's work is done, so errors come in the same order as a
// position-by-position walk: every error inside one sequence carries the same
// message.
AttentionResult attention_with(const kernels::KernelTable& kernels, const Tensor& query,
                               const Tensor& key, const Tensor& value, std::size_t batch,
                               std::size_t seq, std::size_t query_heads, std::size_t kv_heads,
                               std::size_t head_dim, std::span<const std::size_t> lengths,
                               bool full_precision) {
  if (query_heads == 0 || kv_heads == 0 || query_heads % kv_heads != 0) {
    throw std::invalid_argument("GQA query heads must be divisible by KV heads");
  }
  if (!lengths.empty() && lengths.size() != batch) {
    throw std::invalid_argument("attention lengths do not match batch");
  }
  const std::size_t rows = checked_product(batch, seq);
  const std::size_t q_width = checked_product(query_heads, head_dim);
  check_shape(query, {rows, q_width}, "attention query");
  const std::size_t kv_width = checked_product(kv_heads, head_dim);
  check_shape(key, {rows, kv_width}, "attention key");
  check_shape(value, {rows, kv_width}, "attention value");
  check_storage(query);
  check_storage(key);
  check_storage(value);

  AttentionResult result{Tensor({batch, query_heads, seq, seq}, 0.0, full_precision),
                         Tensor({batch, query_heads, seq, seq}, 0.0, full_precision),
                         Tensor({rows, q_width}, 0.0, full_precision)};
  const double scale = 1.0 / std::sqrt(static_cast<double>(head_dim));
  const std::size_t group = query_heads / kv_heads;
  const kernels::GuardMode guard = kernels::guard_mode(full_precision);

  const double* const q = query.data.data();
  const double* const k = key.data.data();
  const double* const v = value.data.data();
  double* const scores = result.scores.data.data();
  double* const probabilities = result.probabilities.data.data();
  double* const out = result.output.data.data();

  const std::size_t block_rows = checked_product(group, seq);
  std::vector<const double*> x_rows(block_rows);
  std::vector<double*> y_rows(block_rows);
  std::vector<std::size_t> visible(block_rows);
  // Both projections of a block fit in scratch sized for the larger one.
  std::vector<double> scratch(std::max(kernels.project_scratch(block_rows, head_dim, seq),
                                       kernels.project_scratch(block_rows, seq, head_dim)));
  // exp(score - max) of the current row, computed once for the sum and reused
  // for the probabilities (exp is deterministic, so the bits are the same).
  std::vector<double> weights(seq);

  for (std::size_t b = 0; b < batch; ++b) {
    const std::size_t length = lengths.empty() ? seq : lengths[b];
    if (length > seq) {
      throw std::invalid_argument("attention length exceeds sequence");
    }
    if (length == 0) {
      continue;
    }
    const std::size_t first_row = b * seq;
    const std::size_t count = group * length;
    bool ok = true;
    for (std::size_t g = 0; g < kv_heads; ++g) {
      for (std::size_t member = 0; member < group; ++member) {
        const std::size_t h = g * group + member;
        for (std::size_t i = 0; i < length; ++i) {
          const std::size_t r = member * length + i;
          x_rows[r] = q + (first_row + i) * q_width + h * head_dim;
          y_rows[r] = scores + ((b * query_heads + h) * seq + i) * seq;
          visible[r] = i + 1;
        }
      }
      kernels::ProjectArgs dots;
      dots.rows = count;
      dots.in = head_dim;
      dots.out = length;
      dots.x_rows = x_rows.data();
      dots.weight = k + first_row * kv_width + g * head_dim;
      dots.weight_stride = kv_width;
      dots.y_rows = y_rows.data();
      dots.out_limits = visible.data();
      dots.scale = scale;
      dots.guard = guard;
      dots.scratch = scratch.data();
      ok = kernels.project(dots) && ok;
      if (!ok) {
        break;
      }

      for (std::size_t r = 0; r < count; ++r) {
        const double* const score = y_rows[r];
        const std::size_t n = visible[r];
        double m = -std::numeric_limits<double>::infinity();
        for (std::size_t j = 0; j < n; ++j) {
          if (score[j] > m) {
            m = score[j];
          }
        }
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) {
          weights[j] = std::exp(score[j] - m);
          sum = sum + weights[j];
        }
        double* const probability = probabilities + (y_rows[r] - scores);
        ok = kernels.divide_guard(probability, weights.data(), sum, n, guard) && ok;
        x_rows[r] = probability;
      }
      if (!ok) {
        break;
      }

      // The probability rows hold 0.0 past the visible keys, and stored values
      // are finite, so the terms the blocks add there leave the sums unchanged.
      for (std::size_t member = 0; member < group; ++member) {
        const std::size_t h = g * group + member;
        for (std::size_t i = 0; i < length; ++i) {
          y_rows[member * length + i] = out + (first_row + i) * q_width + h * head_dim;
        }
      }
      kernels::ProjectArgs sums;
      sums.rows = count;
      sums.in = length;
      sums.out = head_dim;
      sums.x_rows = x_rows.data();
      sums.in_limits = visible.data();
      sums.weight = v + first_row * kv_width + g * head_dim;
      sums.weight_stride = kv_width;
      sums.weight_input_major = true;
      sums.y_rows = y_rows.data();
      sums.guard = guard;
      sums.scratch = scratch.data();
      ok = kernels.project(sums) && ok;
      if (!ok) {
        break;
      }
    }
    if (!ok) {
      throw_non_finite(GuardLevel::operation);
    }
  }
  return result;
}

AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::size_t batch, std::size_t seq, std::size_t query_heads,
                          std::size_t kv_heads, std::size_t head_dim,
                          std::span<const std::size_t> lengths, bool full_precision) {
  return attention_with(kernels::active_kernels(), query, key, value, batch, seq, query_heads,
                        kv_heads, head_dim, lengths, full_precision);
}

}  // namespace Orvane::Core::Lumeth
