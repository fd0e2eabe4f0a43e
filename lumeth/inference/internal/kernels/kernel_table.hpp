#pragma once

// The exact compute kernels behind the inference operators, one table per
// instruction-set level.
//
// Every kernel keeps each result's arithmetic exactly as the plain loops
// write it: one accumulator per output, summed in ascending index order in
// doubles, separate multiply and add (never fused), no reassociation. The
// vector units work across outputs, never inside one output's sum, so every
// level gives the same bits.
//
// Kernels never throw and never allocate: they report values that fail the
// value guard by returning false, having still written every result (a
// failed value is stored as computed, possibly rounded), and take their
// working memory from the caller. The callers (inference operators) turn a
// false into the guard's exception at the point where the plain loops would
// have raised it.

#include <cstddef>
#include <limits>

#include "lumeth/inference/floating_point.hpp"
#include "lumeth/inference/internal/kernels/cpu_level.hpp"

namespace Orvane::Core::Lumeth::kernels {

// The value guard in the form the kernels apply it: a stored value passes
// when |x| < limit (false for NaN), and is then rounded to single precision
// when `round` is set. limit is +infinity for full precision and the
// single-precision overflow bound otherwise, which is exactly the scalar
// guard's test.
struct GuardMode {
  double limit = std::numeric_limits<double>::infinity();
  bool round = false;
};

[[nodiscard]] GuardMode guard_mode(bool full_precision) noexcept;

// y_rows[r][o] = guard(scale * sum over k ascending of x_rows[r][k] * w(o, k))
// for r < rows and o < out_limit(r), accumulated from 0.0.
//
// Weight layout: output-major (w(o, k) = weight[o * weight_stride + k], the
// layout of every linear weight) or input-major (w(o, k) =
// weight[k * weight_stride + o], the layout of attention values).
//
// in_limits, when given, holds one count per row: terms with k at or beyond
// it are taken with x = 0.0 (or skipped, past every limit of a row block).
// They leave the sum unchanged when the weights they meet are finite; a
// non-finite one can make the sum NaN and fail the row's guard. A caller uses
// limits only where such a weight fails the same operation with the same
// error anyway (attention: the last row of a sequence reads every value row).
// out_limits, when given,
// holds one count per row (at most `out`): only the first out_limits[r]
// outputs of row r are computed into storage and guarded; the rest of the
// row is not touched.
struct ProjectArgs {
  std::size_t rows = 0;
  std::size_t in = 0;
  std::size_t out = 0;
  const double* const* x_rows = nullptr;
  const std::size_t* in_limits = nullptr;
  const double* weight = nullptr;
  std::size_t weight_stride = 0;
  bool weight_input_major = false;
  double* const* y_rows = nullptr;
  const std::size_t* out_limits = nullptr;
  double scale = 1.0;
  GuardMode guard;
  // At least project_scratch(rows, in, out) doubles.
  double* scratch = nullptr;
  // Null, or these very rows (x_rows, in_limits) already packed by the same
  // table's pack_rows: projections that share their rows (the parts of one
  // projection run on several threads) pack them once.
  const double* packed_x = nullptr;
};

// Up to this many rows (with limits that cut nothing) a projection streams
// the weights straight from memory and packs nothing; above it, rows are
// packed into row blocks and the weights into panels.
inline constexpr std::size_t kFewRows = 4;

struct KernelTable {
  CpuLevel level;
  // Outputs that `project` computes together in one block (above kFewRows
  // rows): a projection cut into parts at multiples of this keeps full
  // blocks.
  std::size_t output_block;
  // Doubles of scratch that `project` needs for these sizes.
  std::size_t (*project_scratch)(std::size_t rows, std::size_t in, std::size_t out) noexcept;
  // Doubles of buffer that pack_rows needs for `rows` rows of `in` inputs.
  std::size_t (*packed_rows_size)(std::size_t rows, std::size_t in) noexcept;
  // Packs the rows of `args` (x_rows, rows, in, in_limits) into `buffer`
  // and returns where the packed rows start, for ProjectArgs::packed_x.
  const double* (*pack_rows)(const ProjectArgs& args, double* buffer) noexcept;
  bool (*project)(const ProjectArgs& args) noexcept;
  // dst[k] = guard(src[k]) for k < n.
  bool (*guard_copy)(double* dst, const double* src, std::size_t n, GuardMode guard) noexcept;
  // x[k] = guard(x[k] + delta[k]) for k < n.
  bool (*add_guard)(double* x, const double* delta, std::size_t n, GuardMode guard) noexcept;
  // y[k] = guard(w[k] * (x[k] * factor)) for k < n.
  bool (*scale_weight_guard)(double* y, const double* x, const double* w, double factor,
                             std::size_t n, GuardMode guard) noexcept;
  // y[k] = guard(x[k] / divisor) for k < n.
  bool (*divide_guard)(double* y, const double* x, double divisor, std::size_t n,
                       GuardMode guard) noexcept;
  // y[k] = exp(x[k] - shift) for k < n: the difference rounded once, then
  // elementary::exp, so every level stores the scalar function's bits.
  void (*exp_shifted)(double* y, const double* x, double shift, std::size_t n) noexcept;
  // y[k] = guard((g / (exp(-g) + 1.0)) * up[k]) with g = gate[k], for k < n:
  // the SiLU-gated value of the feed-forward block, operation by operation
  // as swiglu_activation computes it.
  bool (*swiglu_guard)(double* y, const double* gate, const double* up, std::size_t n,
                       GuardMode guard) noexcept;
  // y[k] = guard((erf(u * scale) + 1.0) * (u * 0.5)) with u = up[k], for
  // k < n: the exact GELU of the feed-forward block (scale is the double
  // nearest 1 / sqrt 2), operation by operation as gelu_activation computes
  // it, with elementary::erf.
  bool (*gelu_guard)(double* y, const double* up, double scale, std::size_t n,
                     GuardMode guard) noexcept;
  // Rotates the adjacent pairs of `values` (n even) in place:
  // (x0, x1) -> (guard(x0 * c - x1 * s), guard(x1 * c + x0 * s)) with, for
  // pair i, cos_pairs[2i] = cos_pairs[2i + 1] = c and sin_pairs[2i] = -s,
  // sin_pairs[2i + 1] = s.
  bool (*rotate_pairs)(double* values, const double* cos_pairs, const double* sin_pairs,
                       std::size_t n, GuardMode guard) noexcept;
};

// The table of `level`, for running the operators on a chosen level (tests
// and benchmarks compare the levels this way). Throws std::invalid_argument
// "kernel level is not supported by this processor" unless
// cpu_supports(level): a level that is not compiled into this build, or whose
// instructions this processor (or its operating system) lacks, is never
// handed out, since running its kernels would fault.
[[nodiscard]] const KernelTable& kernels_for(CpuLevel level);

// The table of detected_cpu_level().
[[nodiscard]] const KernelTable& active_kernels() noexcept;

}  // namespace Orvane::Core::Lumeth::kernels
