#include "lumeth/inference/operators.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <vector>

#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/internal/forward_support.hpp"
#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/internal/parallel_parts.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr const char* kForwardNonFinite = "transformer forward produced NaN/Inf";
constexpr const char* kOperatorNonFinite = "transformer operator produced NaN/Inf";

// Offset of entry (p, i), also refusing entries that a hand-assembled table's
// vectors do not hold.
std::size_t rope_entry(const RopeTable& table, std::size_t p, std::size_t i) {
  const std::size_t half = table.dim / 2;
  std::size_t entry = 0;
  if (p >= table.positions || i >= half || __builtin_mul_overflow(p, half, &entry) ||
      entry + i >= table.cos.size() || entry + i >= table.sin.size()) {
    throw std::out_of_range("RoPE table index out of bounds");
  }
  return entry + i;
}

}  // namespace

void throw_non_finite(GuardLevel level) {
  throw std::domain_error(level == GuardLevel::forward ? kForwardNonFinite : kOperatorNonFinite);
}

bool run_projection(const kernels::KernelTable& kernels, kernels::ProjectArgs args,
                    ThreadPool* pool) {
  // A part of fewer multiply-adds than this (a few to a few tens of
  // microseconds) would cost about as much to hand to a thread as it saves.
  constexpr double kLeastPartWork = 32768.0;
  const std::size_t parts =
      part_count(pool, args.out, kernels.output_block,
                 static_cast<double>(args.rows) * static_cast<double>(args.in), kLeastPartWork);
  if (parts <= 1) {
    // Working memory only: every value is written before it is read.
    const auto scratch = std::make_unique_for_overwrite<double[]>(
        kernels.project_scratch(args.rows, args.in, args.out));
    args.scratch = scratch.get();
    return kernels.project(args);
  }
  // The parts split the outputs: each computes whole sums, over the same
  // rows, so the rows are packed once for all of them (only the blocked
  // path above kFewRows rows reads them packed).
  std::unique_ptr<double[]> packed;
  if (args.rows > kernels::kFewRows && args.packed_x == nullptr) {
    packed = std::make_unique_for_overwrite<double[]>(kernels.packed_rows_size(args.rows, args.in));
    args.packed_x = kernels.pack_rows(args, packed.get());
  }
  std::vector<unsigned char> ok(parts, 0);
  parallel_for(pool, parts, [&](std::size_t p) {
    const PartRange range = part_range(args.out, parts, p, kernels.output_block);
    kernels::ProjectArgs part = args;
    part.out = range.end - range.begin;
    part.weight = args.weight_input_major ? args.weight + range.begin
                                          : args.weight + range.begin * args.weight_stride;
    std::vector<double*> y_rows(args.rows);
    for (std::size_t r = 0; r < args.rows; ++r) y_rows[r] = args.y_rows[r] + range.begin;
    part.y_rows = y_rows.data();
    std::vector<std::size_t> out_limits;
    if (args.out_limits != nullptr) {
      out_limits.resize(args.rows);
      for (std::size_t r = 0; r < args.rows; ++r) {
        const std::size_t limit = std::min(args.out_limits[r], args.out);
        out_limits[r] = limit > range.begin ? std::min(limit, range.end) - range.begin : 0;
      }
      part.out_limits = out_limits.data();
    }
    const auto scratch = std::make_unique_for_overwrite<double[]>(
        kernels.project_scratch(args.rows, args.in, part.out));
    part.scratch = scratch.get();
    ok[p] = kernels.project(part) ? 1 : 0;
  });
  return std::all_of(ok.begin(), ok.end(), [](unsigned char value) { return value != 0; });
}

Tensor linear_with(const kernels::KernelTable& kernels, const Tensor& input, const Tensor& weight,
                   std::size_t rows, std::size_t in_features, std::size_t out_features,
                   bool full_precision, GuardLevel level, ThreadPool* pool) {
  check_shape(input, {rows, in_features}, "linear input");
  check_shape(weight, {out_features, in_features}, "linear weight");
  check_storage(input);
  check_storage(weight);
  Tensor output({rows, out_features}, 0.0, full_precision);
  std::vector<const double*> x_rows(rows);
  std::vector<double*> y_rows(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    x_rows[r] = input.data.data() + r * in_features;
    y_rows[r] = output.data.data() + r * out_features;
  }
  kernels::ProjectArgs args;
  args.rows = rows;
  args.in = in_features;
  args.out = out_features;
  args.x_rows = x_rows.data();
  args.weight = weight.data.data();
  args.weight_stride = in_features;
  args.y_rows = y_rows.data();
  args.guard = kernels::guard_mode(full_precision);
  if (!run_projection(kernels, args, pool)) {
    throw_non_finite(level);
  }
  return output;
}

Tensor linear(const Tensor& input, const Tensor& weight, std::size_t rows, std::size_t in_features,
              std::size_t out_features, bool full_precision, GuardLevel level) {
  return linear_with(kernels::active_kernels(), input, weight, rows, in_features, out_features,
                     full_precision, level);
}

Tensor rms_norm_with(const kernels::KernelTable& kernels, const Tensor& input, const Tensor& weight,
                     std::size_t rows, std::size_t cols, double epsilon, bool full_precision,
                     ThreadPool* pool) {
  if (!is_finite_positive(epsilon)) {
    throw std::invalid_argument("RMSNorm epsilon must be finite and positive");
  }
  check_shape(input, {rows, cols}, "RMSNorm input");
  check_shape(weight, {cols}, "RMSNorm weight");
  check_storage(input);
  check_storage(weight);
  Tensor output({rows, cols}, 0.0, full_precision);
  const double count = static_cast<double>(cols);
  const kernels::GuardMode guard = kernels::guard_mode(full_precision);
  // Row by row; each row is computed on its own, so rows may go to any thread.
  const bool ok = parallel_elements(
      pool, rows, 2.0 * static_cast<double>(cols), [&](std::size_t first, std::size_t end) {
        bool rows_ok = true;
        for (std::size_t r = first; r < end; ++r) {
          const double* const x_row = input.data.data() + r * cols;
          double s = 0.0;
          for (std::size_t c = 0; c < cols; ++c) {
            s = s + x_row[c] * x_row[c];
          }
          const double m = s / count + epsilon;
          const double k = 1.0 / std::sqrt(m);
          rows_ok = kernels.scale_weight_guard(output.data.data() + r * cols, x_row,
                                               weight.data.data(), k, cols, guard) &&
                    rows_ok;
        }
        return rows_ok;
      });
  if (!ok) {
    throw_non_finite(GuardLevel::operation);
  }
  return output;
}

Tensor rms_norm(const Tensor& input, const Tensor& weight, std::size_t rows, std::size_t cols,
                double epsilon, bool full_precision) {
  return rms_norm_with(kernels::active_kernels(), input, weight, rows, cols, epsilon,
                       full_precision);
}

double RopeTable::cos_at(std::size_t p, std::size_t i) const {
  return cos[rope_entry(*this, p, i)];
}

double RopeTable::sin_at(std::size_t p, std::size_t i) const {
  return sin[rope_entry(*this, p, i)];
}

RopeTable build_rope_table(std::size_t positions, std::size_t dim, double base,
                           std::size_t position_offset) {
  if (positions == 0 || dim == 0 || dim % 2 != 0) {
    throw std::invalid_argument("RoPE table dimensions must be positive and even");
  }
  if (!is_finite_positive(base)) {
    throw std::invalid_argument("RoPE base must be finite and positive");
  }
  const std::size_t half = dim / 2;
  const std::size_t entries = checked_product(positions, half);
  std::size_t last_position = 0;
  if (__builtin_add_overflow(position_offset, positions - 1, &last_position)) {
    throw std::overflow_error("RoPE position overflows size_t");
  }
  RopeTable table;
  table.positions = positions;
  table.dim = dim;
  table.cos.assign(entries, 0.0);
  table.sin.assign(entries, 0.0);
  // The frequency of a pair does not depend on the position: one pow per pair.
  std::vector<double> frequency(half);
  for (std::size_t i = 0; i < half; ++i) {
    const double e = static_cast<double>(2 * i) / static_cast<double>(dim);
    frequency[i] = elementary::pow(base, e);
  }
  for (std::size_t p = 0; p < positions; ++p) {
    const double t = static_cast<double>(position_offset + p);
    for (std::size_t i = 0; i < half; ++i) {
      const elementary::SinCos turn = elementary::sin_cos(t / frequency[i]);
      table.cos[p * half + i] = turn.cosine;
      table.sin[p * half + i] = turn.sine;
    }
  }
  return table;
}

void apply_rope_with(const kernels::KernelTable& kernels, Tensor& query, Tensor& key,
                     std::size_t batch, std::size_t seq, std::size_t query_heads,
                     std::size_t kv_heads, const RopeTable& table, bool full_precision,
                     bool inverse, ThreadPool* pool) {
  check_rope_arguments(query, key, batch, seq, query_heads, kv_heads, table);
  // Per position, the cosines and the signed sines laid out like the head
  // columns they meet: (c, c) and (-s, s) for each pair.
  const std::size_t dim = table.dim;
  const std::size_t half = dim / 2;
  std::vector<double> cos_pairs(checked_product(seq, dim));
  std::vector<double> sin_pairs(cos_pairs.size());
  for (std::size_t s = 0; s < seq; ++s) {
    for (std::size_t i = 0; i < half; ++i) {
      const double c = table.cos[s * half + i];
      const double n = inverse ? -table.sin[s * half + i] : table.sin[s * half + i];
      cos_pairs[s * dim + 2 * i] = c;
      cos_pairs[s * dim + 2 * i + 1] = c;
      sin_pairs[s * dim + 2 * i] = -n;
      sin_pairs[s * dim + 2 * i + 1] = n;
    }
  }
  const kernels::GuardMode guard = kernels::guard_mode(full_precision);
  // The query tensor first, then the key tensor; a failure in the query
  // stops before the key is touched.
  for (Tensor* const t : {&query, &key}) {
    const std::size_t heads = t == &query ? query_heads : kv_heads;
    const std::size_t width = heads * dim;
    const bool ok = parallel_elements(
        pool, batch * seq, 2.0 * static_cast<double>(width),
        [&](std::size_t first, std::size_t end) {
          bool rows_ok = true;
          for (std::size_t row_index = first; row_index < end; ++row_index) {
            const std::size_t s = row_index % seq;
            double* const row = t->data.data() + row_index * width;
            for (std::size_t h = 0; h < heads; ++h) {
              rows_ok = kernels.rotate_pairs(row + h * dim, cos_pairs.data() + s * dim,
                                             sin_pairs.data() + s * dim, dim, guard) &&
                        rows_ok;
            }
          }
          return rows_ok;
        });
    if (!ok) {
      throw_non_finite(GuardLevel::operation);
    }
  }
}

void apply_rope(Tensor& query, Tensor& key, std::size_t batch, std::size_t seq,
                std::size_t query_heads, std::size_t kv_heads, const RopeTable& table,
                bool full_precision, bool inverse) {
  apply_rope_with(kernels::active_kernels(), query, key, batch, seq, query_heads, kv_heads, table,
                  full_precision, inverse);
}

void rotate_query_key(Tensor& query, Tensor& key, std::size_t batch, std::size_t seq,
                      std::size_t query_heads, std::size_t kv_heads, std::size_t head_dim,
                      double base, std::size_t position_offset, bool full_precision, bool inverse) {
  const RopeTable table = build_rope_table(seq, head_dim, base, position_offset);
  apply_rope(query, key, batch, seq, query_heads, kv_heads, table, full_precision, inverse);
}

}  // namespace Orvane::Core::Lumeth
