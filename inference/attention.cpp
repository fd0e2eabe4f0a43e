#include "inference/attention.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "inference/operators.hpp"

namespace Orvane::Core::Lumeth {

AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::size_t batch, std::size_t seq, std::size_t query_heads,
                          std::size_t kv_heads, std::size_t head_dim,
                          std::span<const std::size_t> lengths, bool full_precision) {
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
  // exp(score - max) of the current row, computed once for the sum and reused
  // for the probabilities (exp is deterministic, so the bits are the same).
  std::vector<double> weights(seq);

  const double* const q = query.data.data();
  const double* const k = key.data.data();
  const double* const v = value.data.data();
  double* const scores = result.scores.data.data();
  double* const probabilities = result.probabilities.data.data();
  double* const out = result.output.data.data();

  for (std::size_t b = 0; b < batch; ++b) {
    const std::size_t length = lengths.empty() ? seq : lengths[b];
    if (length > seq) {
      throw std::invalid_argument("attention length exceeds sequence");
    }
    const std::size_t first_row = b * seq;
    for (std::size_t h = 0; h < query_heads; ++h) {
      const std::size_t g = h / group;
      for (std::size_t i = 0; i < length; ++i) {
        const std::size_t score_row = ((b * query_heads + h) * seq + i) * seq;
        double* const score = scores + score_row;
        double* const probability = probabilities + score_row;
        const double* const q_head = q + (first_row + i) * q_width + h * head_dim;
        double* const out_head = out + (first_row + i) * q_width + h * head_dim;

        double m = -std::numeric_limits<double>::infinity();
        for (std::size_t j = 0; j <= i; ++j) {
          const double* const k_head = k + (first_row + j) * kv_width + g * head_dim;
          double dot = 0.0;
          for (std::size_t d = 0; d < head_dim; ++d) {
            dot = dot + q_head[d] * k_head[d];
          }
          score[j] = guard_value(dot * scale, full_precision, GuardLevel::operation);
          if (score[j] > m) {
            m = score[j];
          }
        }

        double sum = 0.0;
        for (std::size_t j = 0; j <= i; ++j) {
          weights[j] = std::exp(score[j] - m);
          sum = sum + weights[j];
        }

        for (std::size_t j = 0; j <= i; ++j) {
          const double p = guard_value(weights[j] / sum, full_precision, GuardLevel::operation);
          probability[j] = p;
          const double* const v_head = v + (first_row + j) * kv_width + g * head_dim;
          for (std::size_t d = 0; d < head_dim; ++d) {
            out_head[d] = v_head[d] * p + out_head[d];
          }
        }
        for (std::size_t d = 0; d < head_dim; ++d) {
          out_head[d] = guard_value(out_head[d], full_precision, GuardLevel::operation);
        }
      }
    }
  }
  return result;
}

}  // namespace Orvane::Core::Lumeth
