#pragma once

// The bodies of the exact kernels, written once over a vector-traits type and
// instantiated by each level's source file (kernels_<level>.cpp) under that
// level's instruction-set target. Every template here takes the traits type
// as a parameter; each vector level's traits type lives in an anonymous
// namespace, so every instantiation is private to its file and no level's
// code can be picked for another. (The portable level's ScalarTraits is
// shared with the scalar elementary functions; both are baseline code.)
//
// Include this header after every standard header it needs (below) and after
// the level's target pragma (`#pragma GCC target` under GCC, `#pragma clang
// attribute push` under clang), so that exactly these bodies get the level's
// instructions.
//
// A traits type S provides:
//   V, Mask          vector of S::width doubles; per-lane failure flags
//   VI               vector of S::width 64-bit integers (the doubles' bits)
//   zero, load, store (unaligned), broadcast, add, sub, mul, div, abs
//   swap_pairs(v)    exchanges lanes 2i and 2i + 1 (width >= 2 only)
//   transpose(t)     t is V[width]: lane j of t[k] and lane k of t[j] change
//                    places (a square transpose in registers)
//   round_single(v)  each lane to the nearest float (ties to even), widened
//   ibroadcast, bits(v), from_bits(i), iadd, isub, iand, ishl<n>, ishr<n>
//                    (logical), gather(table, index) (table[index] per lane)
//   no_failure(), not_less(a, b) (lanes with !(a < b)), failure(v, limit)
//   (lanes with !(|v| < limit)), merge(a, b), any(mask), mask_bits(mask)
//   (bit i for lane i)
// The scalar form is kernels::ScalarTraits (scalar_traits.hpp).

#include <algorithm>
#include <cstddef>

#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/internal/elementary_core.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"

namespace Orvane::Core::Lumeth::kernels {

// One stored value of a tail, with the scalar guard's test and rounding.
template <class S>
inline double guard_scalar(double x, GuardMode guard, bool& failed) {
  const double magnitude = x < 0.0 ? -x : x;
  if (!(magnitude < guard.limit)) {
    failed = true;
  }
  return guard.round ? static_cast<double>(static_cast<float>(x)) : x;
}

template <class S>
inline typename S::V guard_vector(typename S::V x, typename S::V limit, bool round,
                                  typename S::Mask& failures) {
  failures = S::merge(failures, S::failure(x, limit));
  return round ? S::round_single(x) : x;
}

// dst[k] = guard(src[k] * scale).
template <class S>
bool scale_guard(double* dst, const double* src, double scale, std::size_t n, GuardMode guard) {
  constexpr std::size_t W = S::width;
  const typename S::V limit = S::broadcast(guard.limit);
  const typename S::V factor = S::broadcast(scale);
  typename S::Mask failures = S::no_failure();
  std::size_t k = 0;
  for (; k + W <= n; k += W) {
    S::store(dst + k,
             guard_vector<S>(S::mul(S::load(src + k), factor), limit, guard.round, failures));
  }
  bool failed = S::any(failures);
  for (; k < n; ++k) {
    dst[k] = guard_scalar<S>(src[k] * scale, guard, failed);
  }
  return !failed;
}

template <class S>
bool guard_copy(double* dst, const double* src, std::size_t n, GuardMode guard) noexcept {
  constexpr std::size_t W = S::width;
  const typename S::V limit = S::broadcast(guard.limit);
  typename S::Mask failures = S::no_failure();
  std::size_t k = 0;
  for (; k + W <= n; k += W) {
    S::store(dst + k, guard_vector<S>(S::load(src + k), limit, guard.round, failures));
  }
  bool failed = S::any(failures);
  for (; k < n; ++k) {
    dst[k] = guard_scalar<S>(src[k], guard, failed);
  }
  return !failed;
}

template <class S>
bool add_guard(double* x, const double* delta, std::size_t n, GuardMode guard) noexcept {
  constexpr std::size_t W = S::width;
  const typename S::V limit = S::broadcast(guard.limit);
  typename S::Mask failures = S::no_failure();
  std::size_t k = 0;
  for (; k + W <= n; k += W) {
    const typename S::V sum = S::add(S::load(x + k), S::load(delta + k));
    S::store(x + k, guard_vector<S>(sum, limit, guard.round, failures));
  }
  bool failed = S::any(failures);
  for (; k < n; ++k) {
    x[k] = guard_scalar<S>(x[k] + delta[k], guard, failed);
  }
  return !failed;
}

template <class S>
bool scale_weight_guard(double* y, const double* x, const double* w, double factor, std::size_t n,
                        GuardMode guard) noexcept {
  constexpr std::size_t W = S::width;
  const typename S::V limit = S::broadcast(guard.limit);
  const typename S::V f = S::broadcast(factor);
  typename S::Mask failures = S::no_failure();
  std::size_t k = 0;
  for (; k + W <= n; k += W) {
    const typename S::V value = S::mul(S::load(w + k), S::mul(S::load(x + k), f));
    S::store(y + k, guard_vector<S>(value, limit, guard.round, failures));
  }
  bool failed = S::any(failures);
  for (; k < n; ++k) {
    y[k] = guard_scalar<S>(w[k] * (x[k] * factor), guard, failed);
  }
  return !failed;
}

template <class S>
bool divide_guard(double* y, const double* x, double divisor, std::size_t n,
                  GuardMode guard) noexcept {
  constexpr std::size_t W = S::width;
  const typename S::V limit = S::broadcast(guard.limit);
  const typename S::V d = S::broadcast(divisor);
  typename S::Mask failures = S::no_failure();
  std::size_t k = 0;
  for (; k + W <= n; k += W) {
    S::store(y + k, guard_vector<S>(S::div(S::load(x + k), d), limit, guard.round, failures));
  }
  bool failed = S::any(failures);
  for (; k < n; ++k) {
    y[k] = guard_scalar<S>(x[k] / divisor, guard, failed);
  }
  return !failed;
}

// exp of every lane: the fast path of elementary::exp (the same template the
// scalar function runs), and the scalar function itself for the lanes the
// fast path cannot round with certainty. Every lane gets exactly the bits
// elementary::exp returns.
template <class S>
inline typename S::V exp_vector(typename S::V x) {
  typename S::Mask uncertain;
  typename S::V y = elementary::core::exp_fast<S>(x, uncertain);
  if (S::any(uncertain)) {
    double xs[S::width];
    double ys[S::width];
    S::store(xs, x);
    S::store(ys, y);
    const unsigned lanes = S::mask_bits(uncertain);
    for (std::size_t i = 0; i < S::width; ++i) {
      if (((lanes >> i) & 1U) != 0) {
        ys[i] = elementary::exp(xs[i]);
      }
    }
    y = S::load(ys);
  }
  return y;
}

template <class S>
void exp_shifted(double* y, const double* x, double shift, std::size_t n) noexcept {
  constexpr std::size_t W = S::width;
  const typename S::V s = S::broadcast(shift);
  std::size_t k = 0;
  for (; k + W <= n; k += W) {
    S::store(y + k, exp_vector<S>(S::sub(S::load(x + k), s)));
  }
  for (; k < n; ++k) {
    y[k] = elementary::exp(x[k] - shift);
  }
}

// -g is computed as g * -1.0 (exact, and -0.0 for +0.0 like unary minus).
template <class S>
bool swiglu_guard(double* y, const double* gate, const double* up, std::size_t n,
                  GuardMode guard) noexcept {
  constexpr std::size_t W = S::width;
  const typename S::V limit = S::broadcast(guard.limit);
  const typename S::V one = S::broadcast(1.0);
  const typename S::V minus_one = S::broadcast(-1.0);
  typename S::Mask failures = S::no_failure();
  std::size_t k = 0;
  for (; k + W <= n; k += W) {
    const typename S::V g = S::load(gate + k);
    const typename S::V e = exp_vector<S>(S::mul(g, minus_one));
    const typename S::V v = S::mul(S::div(g, S::add(e, one)), S::load(up + k));
    S::store(y + k, guard_vector<S>(v, limit, guard.round, failures));
  }
  bool failed = S::any(failures);
  for (; k < n; ++k) {
    const double g = gate[k];
    y[k] = guard_scalar<S>((g / (elementary::exp(-g) + 1.0)) * up[k], guard, failed);
  }
  return !failed;
}

// erf of every lane, like exp_vector: the fast path of elementary::erf and
// the scalar function for the lanes it cannot round with certainty.
template <class S>
inline typename S::V erf_vector(typename S::V x) {
  typename S::Mask uncertain;
  typename S::V y = elementary::core::erf_fast<S>(x, uncertain);
  if (S::any(uncertain)) {
    double xs[S::width];
    double ys[S::width];
    S::store(xs, x);
    S::store(ys, y);
    const unsigned lanes = S::mask_bits(uncertain);
    for (std::size_t i = 0; i < S::width; ++i) {
      if (((lanes >> i) & 1U) != 0) {
        ys[i] = elementary::erf(xs[i]);
      }
    }
    y = S::load(ys);
  }
  return y;
}

template <class S>
bool gelu_guard(double* y, const double* up, double scale, std::size_t n,
                GuardMode guard) noexcept {
  constexpr std::size_t W = S::width;
  const typename S::V limit = S::broadcast(guard.limit);
  const typename S::V s = S::broadcast(scale);
  const typename S::V one = S::broadcast(1.0);
  const typename S::V half = S::broadcast(0.5);
  typename S::Mask failures = S::no_failure();
  std::size_t k = 0;
  for (; k + W <= n; k += W) {
    const typename S::V u = S::load(up + k);
    const typename S::V e = erf_vector<S>(S::mul(u, s));
    const typename S::V v = S::mul(S::add(e, one), S::mul(u, half));
    S::store(y + k, guard_vector<S>(v, limit, guard.round, failures));
  }
  bool failed = S::any(failures);
  for (; k < n; ++k) {
    const double u = up[k];
    y[k] = guard_scalar<S>((elementary::erf(u * scale) + 1.0) * (u * 0.5), guard, failed);
  }
  return !failed;
}

// x0 * c + x1 * (-s) is bit-identical to x0 * c - x1 * s: negation is exact
// and a - b is defined as a + (-b).
template <class S>
bool rotate_pairs(double* values, const double* cos_pairs, const double* sin_pairs, std::size_t n,
                  GuardMode guard) noexcept {
  constexpr std::size_t W = S::width;
  bool failed = false;
  std::size_t k = 0;
  if constexpr (W >= 2) {
    const typename S::V limit = S::broadcast(guard.limit);
    typename S::Mask failures = S::no_failure();
    for (; k + W <= n; k += W) {
      const typename S::V x = S::load(values + k);
      const typename S::V rotated = S::add(S::mul(x, S::load(cos_pairs + k)),
                                           S::mul(S::swap_pairs(x), S::load(sin_pairs + k)));
      S::store(values + k, guard_vector<S>(rotated, limit, guard.round, failures));
    }
    failed = S::any(failures);
  }
  for (; k + 2 <= n; k += 2) {
    const double x0 = values[k];
    const double x1 = values[k + 1];
    values[k] = guard_scalar<S>(x0 * cos_pairs[k] + x1 * sin_pairs[k], guard, failed);
    values[k + 1] = guard_scalar<S>(x1 * cos_pairs[k + 1] + x0 * sin_pairs[k + 1], guard, failed);
  }
  return !failed;
}

// A few rows (up to kFewRows) through a weight: matrix-vector products,
// where each weight is used once per row and the cost is reading the weights.
// The weights stream straight from memory, with no copy into a panel:
// - output-major (a linear weight, attention keys): lane j of a vector sums
//   output o + j; W weight rows are loaded W inputs at a time and transposed
//   in registers;
// - input-major (attention values): a vector of W neighbouring outputs is
//   loaded as it lies.
// Groups of outputs run side by side with the rows, so that their sums, each
// a chain of dependent additions, overlap. Every output's sum is the blocked
// projection's: from 0.0, one input at a time in ascending order, x * w then
// the addition, then scaled and guarded by scale_guard. Limits are not
// applied here: the caller takes this path only when no row's limits cut
// anything.

template <class S, std::size_t R>
struct FewRowsProjection {
  static constexpr std::size_t W = S::width;
  // Groups of W outputs (output-major) and vectors of outputs (input-major)
  // per pass: with the R rows, at least four chains of additions in flight,
  // and few enough accumulators for sixteen registers.
  static constexpr std::size_t G = W >= 4 ? (R <= 2 ? 2 : 1) : (R <= 2 ? 8 : 4) / W;
  static constexpr std::size_t V = R <= 2 ? 4 : 2;

  static bool finish(const ProjectArgs& a, std::size_t r, std::size_t o, const double* sums,
                     std::size_t count) {
    return scale_guard<S>(a.y_rows[r] + o, sums, a.scale, count, a.guard);
  }

  static bool output_major(const ProjectArgs& a) {
    const std::size_t in = a.in;
    const std::size_t stride = a.weight_stride;
    double sums[G * W];
    bool ok = true;
    std::size_t o = 0;
    for (; o + G * W <= a.out; o += G * W) {
      typename S::V acc[R][G];
      for (std::size_t r = 0; r < R; ++r) {
        for (std::size_t g = 0; g < G; ++g) acc[r][g] = S::zero();
      }
      const double* const rows = a.weight + o * stride;
      std::size_t k = 0;
      for (; k + W <= in; k += W) {
#pragma GCC unroll 8
        for (std::size_t g = 0; g < G; ++g) {
          typename S::V t[W];
#pragma GCC unroll 8
          for (std::size_t j = 0; j < W; ++j) t[j] = S::load(rows + (g * W + j) * stride + k);
          S::transpose(t);
#pragma GCC unroll 8
          for (std::size_t i = 0; i < W; ++i) {
#pragma GCC unroll 4
            for (std::size_t r = 0; r < R; ++r) {
              acc[r][g] = S::add(acc[r][g], S::mul(S::broadcast(a.x_rows[r][k + i]), t[i]));
            }
          }
        }
      }
      for (; k < in; ++k) {
        for (std::size_t g = 0; g < G; ++g) {
          double column[W];
          for (std::size_t j = 0; j < W; ++j) column[j] = rows[(g * W + j) * stride + k];
          const typename S::V w = S::load(column);
          for (std::size_t r = 0; r < R; ++r) {
            acc[r][g] = S::add(acc[r][g], S::mul(S::broadcast(a.x_rows[r][k]), w));
          }
        }
      }
      for (std::size_t r = 0; r < R; ++r) {
        for (std::size_t g = 0; g < G; ++g) S::store(sums + g * W, acc[r][g]);
        ok = finish(a, r, o, sums, G * W) && ok;
      }
    }
    // The last outputs, fewer than a group, one sum each.
    const std::size_t rest = a.out - o;
    for (std::size_t r = 0; r < R; ++r) {
      const double* const x = a.x_rows[r];
      for (std::size_t j = 0; j < rest; ++j) {
        const double* const row = a.weight + (o + j) * stride;
        double acc = 0.0;
        for (std::size_t k = 0; k < in; ++k) acc = acc + x[k] * row[k];
        sums[j] = acc;
      }
      ok = finish(a, r, o, sums, rest) && ok;
    }
    return ok;
  }

  static bool input_major(const ProjectArgs& a) {
    const std::size_t in = a.in;
    const std::size_t stride = a.weight_stride;
    double sums[V * W];
    bool ok = true;
    std::size_t o = 0;
    for (; o + V * W <= a.out; o += V * W) {
      typename S::V acc[R][V];
      for (std::size_t r = 0; r < R; ++r) {
        for (std::size_t v = 0; v < V; ++v) acc[r][v] = S::zero();
      }
      for (std::size_t k = 0; k < in; ++k) {
        typename S::V w[V];
#pragma GCC unroll 8
        for (std::size_t v = 0; v < V; ++v) w[v] = S::load(a.weight + k * stride + o + v * W);
#pragma GCC unroll 4
        for (std::size_t r = 0; r < R; ++r) {
          const typename S::V x = S::broadcast(a.x_rows[r][k]);
#pragma GCC unroll 8
          for (std::size_t v = 0; v < V; ++v) acc[r][v] = S::add(acc[r][v], S::mul(x, w[v]));
        }
      }
      for (std::size_t r = 0; r < R; ++r) {
        for (std::size_t v = 0; v < V; ++v) S::store(sums + v * W, acc[r][v]);
        ok = finish(a, r, o, sums, V * W) && ok;
      }
    }
    // The last outputs, fewer than a pass, one sum each.
    const std::size_t rest = a.out - o;
    for (std::size_t r = 0; r < R; ++r) {
      const double* const x = a.x_rows[r];
      for (std::size_t j = 0; j < rest; ++j) {
        double acc = 0.0;
        for (std::size_t k = 0; k < in; ++k) acc = acc + x[k] * a.weight[k * stride + o + j];
        sums[j] = acc;
      }
      ok = finish(a, r, o, sums, rest) && ok;
    }
    return ok;
  }

  static bool run(const ProjectArgs& a) {
    return a.weight_input_major ? input_major(a) : output_major(a);
  }
};

// Whether FewRowsProjection computes exactly what the blocked projection
// would: few rows, and limits (if any) that leave every input and every
// output of every row in.
inline bool few_rows_apply(const ProjectArgs& a) noexcept {
  if (a.rows > kFewRows) return false;
  for (std::size_t r = 0; r < a.rows; ++r) {
    if (a.in_limits != nullptr && a.in_limits[r] < a.in) return false;
    if (a.out_limits != nullptr && a.out_limits[r] < a.out) return false;
  }
  return true;
}

template <class S>
bool project_few_rows(const ProjectArgs& a) noexcept {
  switch (a.rows) {
    case 1:
      return FewRowsProjection<S, 1>::run(a);
    case 2:
      return FewRowsProjection<S, 2>::run(a);
    case 3:
      return FewRowsProjection<S, 3>::run(a);
    default:
      return FewRowsProjection<S, 4>::run(a);
  }
}

// The register-blocked projection: MR rows by NV vectors of outputs per
// block, each output's sum kept in its own accumulator and extended one input
// at a time in ascending order.
//
// Working memory, carved from the caller's scratch (64-byte aligned):
//   packed_x  row blocks of MR rows, input-major inside a block:
//             [block][k][MR], rows past `rows` and terms past in_limits 0.0
//   panel     one panel of up to NR outputs, input-major: [k][NR]
//   sums      the panel's running sums for every row: [rows rounded up][NR]
// Inputs are taken in slices of KC so that a slice of the panel stays in the
// first-level cache while every row block passes over it; the running sums
// carry each output's sum from slice to slice unchanged.
template <class S, std::size_t MR, std::size_t NV>
struct Projection {
  static constexpr std::size_t W = S::width;
  static constexpr std::size_t NR = NV * W;
  static constexpr std::size_t KC = 256;
  static constexpr std::size_t kAlign = 8;  // doubles per 64 bytes

  static std::size_t padded_rows(std::size_t rows) { return (rows + MR - 1) / MR * MR; }

  static std::size_t scratch(std::size_t rows, std::size_t in, std::size_t) noexcept {
    const std::size_t padded = padded_rows(rows);
    return padded * in + in * NR + padded * NR + 3 * kAlign;
  }

  static double* align(double* p) {
    const std::size_t misalignment = reinterpret_cast<std::size_t>(p) % (kAlign * sizeof(double));
    return misalignment == 0 ? p : p + (kAlign - misalignment / sizeof(double));
  }

  // sums[r][v] (row stride NR) for the first MRt rows of a block, over one
  // slice of `count` inputs; starts from 0.0 when `first`.
  // Kept out of line: inlined into the driver, the accumulators compete with
  // its variables for registers and some are spilled to memory.
  template <std::size_t MRt, std::size_t NVt>
  [[gnu::noinline]] static void block(const double* packed_x, const double* panel,
                                      std::size_t count, double* sums, bool first) {
    typename S::V acc[MRt][NVt];
#pragma GCC unroll 16
    for (std::size_t r = 0; r < MRt; ++r) {
#pragma GCC unroll 16
      for (std::size_t v = 0; v < NVt; ++v) {
        acc[r][v] = first ? S::zero() : S::load(sums + r * NR + v * W);
      }
    }
    for (std::size_t k = 0; k < count; ++k) {
      typename S::V w[NVt];
#pragma GCC unroll 16
      for (std::size_t v = 0; v < NVt; ++v) {
        w[v] = S::load(panel + k * NVt * W + v * W);
      }
#pragma GCC unroll 16
      for (std::size_t r = 0; r < MRt; ++r) {
        const typename S::V x = S::broadcast(packed_x[k * MR + r]);
#pragma GCC unroll 16
        for (std::size_t v = 0; v < NVt; ++v) {
          acc[r][v] = S::add(acc[r][v], S::mul(x, w[v]));
        }
      }
    }
#pragma GCC unroll 16
    for (std::size_t r = 0; r < MRt; ++r) {
#pragma GCC unroll 16
      for (std::size_t v = 0; v < NVt; ++v) {
        S::store(sums + r * NR + v * W, acc[r][v]);
      }
    }
  }

  // block<MRt, NVt> for the given counts of rows (1..MR) and vectors
  // (1..NV): the full block, or a narrower one at the edges.
  template <std::size_t MRt, std::size_t NVt>
  static void block_of_size(std::size_t rows, std::size_t vectors, const double* packed_x,
                            const double* panel, std::size_t count, double* sums, bool first) {
    if constexpr (MRt > 1) {
      if (rows < MRt) {
        block_of_size<MRt - 1, NVt>(rows, vectors, packed_x, panel, count, sums, first);
        return;
      }
    }
    if constexpr (NVt > 1) {
      if (vectors < NVt) {
        block_of_size<MRt, NVt - 1>(rows, vectors, packed_x, panel, count, sums, first);
        return;
      }
    }
    block<MRt, NVt>(packed_x, panel, count, sums, first);
  }

  static std::size_t in_limit(const ProjectArgs& a, std::size_t r) {
    return a.in_limits == nullptr ? a.in : std::min(a.in_limits[r], a.in);
  }

  static std::size_t out_limit(const ProjectArgs& a, std::size_t r) {
    return a.out_limits == nullptr ? a.out : std::min(a.out_limits[r], a.out);
  }

  static void pack_rows(const ProjectArgs& a, double* packed_x) {
    const std::size_t padded = padded_rows(a.rows);
    for (std::size_t r = 0; r < padded; ++r) {
      double* const target = packed_x + (r / MR) * a.in * MR + r % MR;
      const std::size_t used = r < a.rows ? in_limit(a, r) : 0;
      const double* const source = r < a.rows ? a.x_rows[r] : nullptr;
      for (std::size_t k = 0; k < used; ++k) {
        target[k * MR] = source[k];
      }
      for (std::size_t k = used; k < a.in; ++k) {
        target[k * MR] = 0.0;
      }
    }
  }

  // Outputs [first, first + width) of every input into panel[k][stride];
  // columns up to `stride` beyond `width` are 0.0.
  static void pack_panel(const ProjectArgs& a, std::size_t first, std::size_t width,
                         std::size_t stride, double* panel) {
    if (a.weight_input_major) {
      for (std::size_t k = 0; k < a.in; ++k) {
        const double* const source = a.weight + k * a.weight_stride + first;
        double* const target = panel + k * stride;
        for (std::size_t j = 0; j < width; ++j) {
          target[j] = source[j];
        }
        for (std::size_t j = width; j < stride; ++j) {
          target[j] = 0.0;
        }
      }
      return;
    }
    // A transposing copy, eight weight rows at a time: each of the eight is
    // read front to back (a stream the hardware prefetcher follows) and each
    // step writes eight neighbouring panel values.
    constexpr std::size_t kRowsAtOnce = 8;
    for (std::size_t j0 = 0; j0 < stride; j0 += kRowsAtOnce) {
      const std::size_t j1 = std::min(stride, j0 + kRowsAtOnce);
      if (j1 <= width && j1 - j0 == kRowsAtOnce) {
        const double* sources[kRowsAtOnce];
        for (std::size_t j = 0; j < kRowsAtOnce; ++j) {
          sources[j] = a.weight + (first + j0 + j) * a.weight_stride;
        }
        for (std::size_t k = 0; k < a.in; ++k) {
          double* const target = panel + k * stride + j0;
#pragma GCC unroll 8
          for (std::size_t j = 0; j < kRowsAtOnce; ++j) {
            target[j] = sources[j][k];
          }
        }
        continue;
      }
      for (std::size_t j = j0; j < j1; ++j) {
        const double* const source = j < width ? a.weight + (first + j) * a.weight_stride : nullptr;
        for (std::size_t k = 0; k < a.in; ++k) {
          panel[k * stride + j] = source != nullptr ? source[k] : 0.0;
        }
      }
    }
  }

  static std::size_t packed_size(std::size_t rows, std::size_t in) noexcept {
    return padded_rows(rows) * in + kAlign;
  }

  static const double* pack(const ProjectArgs& a, double* buffer) noexcept {
    double* const packed_x = align(buffer);
    pack_rows(a, packed_x);
    return packed_x;
  }

  static bool run(const ProjectArgs& a) noexcept {
    if (a.rows == 0 || a.out == 0) {
      return true;
    }
    // A few rows meet each weight once or a few times: packing the weights
    // into panels would only add a copy to the read. (A cached decoding step:
    // one row per projection, a few query heads per key/value head.)
    if (few_rows_apply(a)) {
      return project_few_rows<S>(a);
    }
    const std::size_t padded = padded_rows(a.rows);
    const std::size_t blocks = padded / MR;
    double* const own_packed_x = a.packed_x == nullptr ? align(a.scratch) : nullptr;
    double* const panel = align(own_packed_x == nullptr ? a.scratch : own_packed_x + padded * a.in);
    double* const sums = align(panel + a.in * NR);
    if (own_packed_x != nullptr) {
      pack_rows(a, own_packed_x);
    }
    const double* const packed_x = own_packed_x != nullptr ? own_packed_x : a.packed_x;

    bool ok = true;
    for (std::size_t first = 0; first < a.out; first += NR) {
      const std::size_t width = std::min(NR, a.out - first);
      const std::size_t vectors = (width + W - 1) / W;
      pack_panel(a, first, width, vectors * W, panel);
      for (std::size_t k0 = 0; k0 < a.in || k0 == 0; k0 += KC) {
        const std::size_t slice_end = std::min(a.in, k0 + KC);
        for (std::size_t b = 0; b < blocks; ++b) {
          std::size_t block_in = 0;
          std::size_t block_out = 0;
          for (std::size_t r = b * MR; r < std::min(a.rows, b * MR + MR); ++r) {
            block_in = std::max(block_in, in_limit(a, r));
            block_out = std::max(block_out, out_limit(a, r));
          }
          if (block_out <= first || (k0 > 0 && block_in <= k0)) {
            continue;  // nothing of this block is stored from this panel, or its sums are done
          }
          const std::size_t end = std::min(slice_end, block_in);
          block_of_size<MR, NV>(std::min(MR, a.rows - b * MR), vectors,
                                packed_x + b * a.in * MR + k0 * MR, panel + k0 * vectors * W,
                                end > k0 ? end - k0 : 0, sums + b * MR * NR, k0 == 0);
        }
        if (a.in == 0) {
          break;
        }
      }
      for (std::size_t r = 0; r < a.rows; ++r) {
        const std::size_t limit = out_limit(a, r);
        if (limit <= first) {
          continue;
        }
        const std::size_t count = std::min(width, limit - first);
        ok = scale_guard<S>(a.y_rows[r] + first, sums + r * NR, a.scale, count, a.guard) && ok;
      }
    }
    return ok;
  }
};

template <class S, std::size_t MR, std::size_t NV>
constexpr KernelTable make_kernel_table(CpuLevel level) {
  return KernelTable{level,
                     Projection<S, MR, NV>::NR,
                     &Projection<S, MR, NV>::scratch,
                     &Projection<S, MR, NV>::packed_size,
                     &Projection<S, MR, NV>::pack,
                     &Projection<S, MR, NV>::run,
                     &guard_copy<S>,
                     &add_guard<S>,
                     &scale_weight_guard<S>,
                     &divide_guard<S>,
                     &exp_shifted<S>,
                     &swiglu_guard<S>,
                     &gelu_guard<S>,
                     &rotate_pairs<S>};
}

}  // namespace Orvane::Core::Lumeth::kernels
