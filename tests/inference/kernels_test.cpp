#include "lumeth/inference/internal/kernels/kernel_table.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/feed_forward.hpp"
#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/cpu_level.hpp"
#include "lumeth/inference/internal/reference/reference_ops.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using kernels::CpuLevel;
using kernels::KernelTable;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
  std::vector<std::uint64_t> bits;
  bits.reserve(values.size());
  for (const double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
  return bits;
}

// "<exception kind>: <message>" of what `run` throws, or "no error".
std::string failure_of(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::out_of_range& e) {
    return std::string("out_of_range: ") + e.what();
  } catch (const std::domain_error& e) {
    return std::string("domain_error: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "no error";
}

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  double value(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(engine_);
  }
  std::size_t index(std::size_t below) {
    return std::uniform_int_distribution<std::size_t>(0, below - 1)(engine_);
  }
  Tensor tensor(std::vector<std::size_t> shape, double low = -1.0, double high = 1.0) {
    Tensor t(std::move(shape), 0.0, true);
    for (double& v : t.data) v = value(low, high);
    return t;
  }

 private:
  std::mt19937_64 engine_;
};

// Every compiled level; a level the processor lacks is skipped.
class KernelLevel : public ::testing::TestWithParam<CpuLevel> {
 protected:
  void SetUp() override {
    if (!kernels::cpu_supports(GetParam())) {
      GTEST_SKIP() << "this processor lacks " << kernels::level_name(GetParam());
    }
  }
  const KernelTable& table() const { return kernels::kernels_for(GetParam()); }
};

std::string level_label(const ::testing::TestParamInfo<CpuLevel>& level) {
  return std::string(kernels::level_name(level.param));
}

INSTANTIATE_TEST_SUITE_P(AllLevels, KernelLevel, ::testing::ValuesIn(kernels::compiled_levels()),
                         level_label);

TEST(CpuLevel, DetectedLevelIsSupportedAndTheWidestCompiled) {
  const CpuLevel detected = kernels::detected_cpu_level();
  EXPECT_TRUE(kernels::cpu_supports(detected));
  for (const CpuLevel level : kernels::compiled_levels()) {
    // The one exception: the 256-bit AVX-512 level stands in for the 512-bit
    // one on processors that split 512-bit operations.
    const bool narrowed = level == CpuLevel::avx512 && detected == CpuLevel::avx512_256;
    if (kernels::cpu_supports(level) && !narrowed) {
      EXPECT_LE(static_cast<int>(level), static_cast<int>(detected)) << kernels::level_name(level);
    }
  }
  EXPECT_EQ(kernels::active_kernels().level, detected);
}

// A level is handed out only where its instructions can run; both AVX-512
// levels are compiled for AVX-512F/DQ/VL and so need all three.
TEST(CpuLevel, KernelsForRefusesLevelsTheProcessorCannotRun) {
  const auto refused = ::testing::ThrowsMessage<std::invalid_argument>(
      ::testing::StrEq("kernel level is not supported by this processor"));
  for (const CpuLevel level : kernels::compiled_levels()) {
    if (kernels::cpu_supports(level)) {
      EXPECT_EQ(kernels::kernels_for(level).level, level);
    } else {
      EXPECT_THAT([level] { (void)kernels::kernels_for(level); }, refused)
          << kernels::level_name(level);
    }
  }
  EXPECT_THAT([] { (void)kernels::kernels_for(static_cast<CpuLevel>(200)); }, refused);
  EXPECT_EQ(kernels::cpu_supports(CpuLevel::avx512), kernels::cpu_supports(CpuLevel::avx512_256));
#if defined(__x86_64__)
  if (kernels::cpu_supports(CpuLevel::avx512)) {
    __builtin_cpu_init();
    EXPECT_NE(__builtin_cpu_supports("avx512vl"), 0);
  }
#endif
}

// The projection kernel against a plain loop, on shapes around every block
// edge: rows around the row block, outputs around the vector and panel
// widths, inputs across the input slices.
struct ProjectionCase {
  std::size_t rows, in, out;
  bool input_major;
  bool limits;
  double scale;
  bool whole_limits = false;  // limits that cut nothing (a decoding step's attention)
};

TEST_P(KernelLevel, ProjectionMatchesThePlainSumBitForBit) {
  const std::vector<ProjectionCase> cases = {
      {1, 1, 1, false, false, 1.0},
      {3, 5, 7, false, false, 1.0},
      {4, 8, 8, false, false, 1.0},
      {5, 17, 49, false, false, 1.0},
      {13, 300, 100, false, false, 1.0},
      {9, 513, 33, false, false, 0.125},
      {8, 64, 57, false, true, 0.3},
      {11, 40, 64, true, true, 1.0},
      {7, 3, 130, true, false, 1.0},
      {2, 600, 5, false, true, 1.0},
      // One to four rows: the matrix-vector paths, around their groups of
      // outputs and inputs, with tails of inputs and of outputs, both weight
      // layouts, and limits that cut nothing.
      {1, 64, 64, false, false, 1.0},
      {1, 13, 37, false, false, 0.125},
      {1, 300, 100, false, false, 1.0},
      {1, 7, 15, false, false, 1.0},
      {1, 16, 17, false, false, 1.0},
      {1, 40, 64, true, true, 1.0},
      {1, 9, 33, false, true, 1.0},
      {2, 30, 21, true, false, 1.0},
      {3, 17, 40, true, false, 1.0},
      {4, 64, 64, true, false, 1.0},
      {4, 19, 9, false, false, 1.0},
      {2, 33, 70, false, false, 0.5},
      {3, 33, 50, false, true, 0.125, true},
      {4, 70, 16, true, true, 1.0, true},
      {1, 5, 3, true, false, 1.0}};
  Random random(7);
  for (const ProjectionCase& c : cases) {
    for (const bool full_precision : {true, false}) {
      const Tensor x = random.tensor({c.rows, c.in});
      // Output-major [out, in] or input-major [in, out], with two spare
      // columns to exercise the stride.
      const std::size_t stride = (c.input_major ? c.out : c.in) + 2;
      const Tensor w = random.tensor({c.input_major ? c.in : c.out, stride});
      std::vector<std::size_t> in_limits(c.rows);
      std::vector<std::size_t> out_limits(c.rows);
      for (std::size_t r = 0; r < c.rows; ++r) {
        in_limits[r] = c.whole_limits ? c.in : 1 + random.index(c.in);
        out_limits[r] = c.whole_limits ? c.out : 1 + random.index(c.out);
      }
      std::vector<double> y(c.rows * c.out, -7.0);
      std::vector<const double*> x_rows(c.rows);
      std::vector<double*> y_rows(c.rows);
      for (std::size_t r = 0; r < c.rows; ++r) {
        x_rows[r] = x.data.data() + r * c.in;
        y_rows[r] = y.data() + r * c.out;
      }
      kernels::ProjectArgs args;
      args.rows = c.rows;
      args.in = c.in;
      args.out = c.out;
      args.x_rows = x_rows.data();
      args.in_limits = c.limits ? in_limits.data() : nullptr;
      args.weight = w.data.data();
      args.weight_stride = stride;
      args.weight_input_major = c.input_major;
      args.y_rows = y_rows.data();
      args.out_limits = c.limits ? out_limits.data() : nullptr;
      args.scale = c.scale;
      args.guard = kernels::guard_mode(full_precision);
      ASSERT_TRUE(run_projection(table(), args));

      for (std::size_t r = 0; r < c.rows; ++r) {
        const std::size_t used = c.limits ? in_limits[r] : c.in;
        const std::size_t stored = c.limits ? out_limits[r] : c.out;
        for (std::size_t o = 0; o < c.out; ++o) {
          double expected = -7.0;  // untouched
          if (o < stored) {
            double acc = 0.0;
            for (std::size_t k = 0; k < used; ++k) {
              const double weight = c.input_major ? w.data[k * stride + o] : w.data[o * stride + k];
              acc = acc + x.data[r * c.in + k] * weight;
            }
            expected = guard_value(acc * c.scale, full_precision, GuardLevel::forward);
          }
          ASSERT_EQ(std::bit_cast<std::uint64_t>(y[r * c.out + o]),
                    std::bit_cast<std::uint64_t>(expected))
              << c.rows << "x" << c.in << "x" << c.out << " at " << r << "," << o;
        }
      }
    }
  }
}

TEST_P(KernelLevel, ProjectionReportsEveryGuardFailureAndOnlyStoredOnes) {
  // Several rows, and one or three (the matrix-vector paths).
  for (const std::size_t rows : {std::size_t{6}, std::size_t{1}, std::size_t{3}}) {
    SCOPED_TRACE(rows);
    const std::size_t in = 20;
    const std::size_t out = 37;
    Random random(11);
    const Tensor x = random.tensor({rows, in});
    std::vector<const double*> x_rows(rows);
    std::vector<double> y(rows * out);
    std::vector<double*> y_rows(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      x_rows[r] = x.data.data() + r * in;
      y_rows[r] = y.data() + r * out;
    }
    const auto run = [&](const Tensor& w, bool full_precision, const std::size_t* out_limits) {
      kernels::ProjectArgs args;
      args.rows = rows;
      args.in = in;
      args.out = out;
      args.x_rows = x_rows.data();
      args.weight = w.data.data();
      args.weight_stride = in;
      args.y_rows = y_rows.data();
      args.out_limits = out_limits;
      args.guard = kernels::guard_mode(full_precision);
      return run_projection(table(), args);
    };
    // One bad weight in every position of the last, partial vector and panel.
    for (const std::size_t o : {std::size_t{0}, std::size_t{9}, std::size_t{36}}) {
      for (const double bad : {kNaN, kInfinity, -kInfinity}) {
        Tensor w = random.tensor({out, in});
        w.data[o * in + 3] = bad;
        EXPECT_FALSE(run(w, true, nullptr)) << o;
        EXPECT_FALSE(run(w, false, nullptr)) << o;
      }
    }
    // Finite sums beyond the single-precision range fail only when rounding.
    Tensor big = random.tensor({out, in});
    big.data[20 * in + 0] = 1e300;
    EXPECT_TRUE(run(big, true, nullptr));
    EXPECT_FALSE(run(big, false, nullptr));
    // Outputs past a row's limit are never stored, so never guarded.
    Tensor hidden = random.tensor({out, in});
    hidden.data[30 * in + 5] = kNaN;
    const std::vector<std::size_t> limits(rows, 30);
    EXPECT_TRUE(run(hidden, true, limits.data()));
  }
}

TEST_P(KernelLevel, ElementwiseKernelsMatchTheScalarGuard) {
  Random random(3);
  for (const std::size_t n : std::vector<std::size_t>{1, 2, 3, 8, 15, 16, 17, 64, 99}) {
    for (const bool full_precision : {true, false}) {
      const kernels::GuardMode guard = kernels::guard_mode(full_precision);
      std::vector<double> a(n), b(n), w(n);
      for (std::size_t k = 0; k < n; ++k) {
        a[k] = random.value(-3.0, 3.0);
        b[k] = random.value(-3.0, 3.0);
        w[k] = random.value(0.5, 1.5);
      }
      std::vector<double> cos_pairs(n), sin_pairs(n);
      for (std::size_t k = 0; k + 1 < n; k += 2) {
        const double angle = random.value(-3.0, 3.0);
        cos_pairs[k] = cos_pairs[k + 1] = elementary::cos(angle);
        sin_pairs[k] = -elementary::sin(angle);
        sin_pairs[k + 1] = elementary::sin(angle);
      }
      const auto g = [&](double x) { return guard_value(x, full_precision, GuardLevel::forward); };

      std::vector<double> got(n), expected(n);
      ASSERT_TRUE(table().guard_copy(got.data(), a.data(), n, guard));
      for (std::size_t k = 0; k < n; ++k) expected[k] = g(a[k]);
      EXPECT_EQ(bits_of(got), bits_of(expected)) << "copy " << n;

      got = a;
      ASSERT_TRUE(table().add_guard(got.data(), b.data(), n, guard));
      for (std::size_t k = 0; k < n; ++k) expected[k] = g(a[k] + b[k]);
      EXPECT_EQ(bits_of(got), bits_of(expected)) << "add " << n;

      ASSERT_TRUE(table().scale_weight_guard(got.data(), a.data(), w.data(), 0.37, n, guard));
      for (std::size_t k = 0; k < n; ++k) expected[k] = g(w[k] * (a[k] * 0.37));
      EXPECT_EQ(bits_of(got), bits_of(expected)) << "norm " << n;

      ASSERT_TRUE(table().divide_guard(got.data(), a.data(), 2.9, n, guard));
      for (std::size_t k = 0; k < n; ++k) expected[k] = g(a[k] / 2.9);
      EXPECT_EQ(bits_of(got), bits_of(expected)) << "divide " << n;

      const std::size_t even = n - n % 2;
      got = a;
      expected = a;
      ASSERT_TRUE(
          table().rotate_pairs(got.data(), cos_pairs.data(), sin_pairs.data(), even, guard));
      for (std::size_t k = 0; k + 1 < even; k += 2) {
        const double c = cos_pairs[k];
        const double s = sin_pairs[k + 1];
        expected[k] = g(a[k] * c - a[k + 1] * s);
        expected[k + 1] = g(a[k + 1] * c + a[k] * s);
      }
      EXPECT_EQ(bits_of(got), bits_of(expected)) << "rotate " << n;

      // A failure in any lane, including the scalar tail, is reported.
      for (const std::size_t at : {std::size_t{0}, n - 1}) {
        std::vector<double> bad = a;
        bad[at] = full_precision ? kInfinity : 1e39;
        EXPECT_FALSE(table().guard_copy(got.data(), bad.data(), n, guard)) << n << " " << at;
        got = a;
        EXPECT_FALSE(table().add_guard(got.data(), bad.data(), n, guard)) << n << " " << at;
      }
    }
  }
}

// exp, the SiLU gate and the GELU give the scalar functions' bits in every
// lane and in the scalar tail: for ordinary values, for values whose exp or
// erf the fast path cannot round with certainty (that lane falls back to the
// scalar function), and for special values, each placed in every position in
// turn.
TEST_P(KernelLevel, ElementaryKernelsGiveTheScalarFunctionsBitsInEveryLane) {
  Random random(4);
  const double erf_one = 0x1.7afb48dc96627p+2 / kInverseSqrt2;  // erf(u / sqrt 2) near 1
  const std::vector<double> specials = {
      kNaN,  kInfinity, -kInfinity, 0.0,       -0.0,    0x1p-1074, -0x1p-1074, 0x1p-26,
      708.0, -708.0,    709.7,      710.0,     -745.0,  -745.2,    -1000.0,    1000.0,
      1e300, -1e300,    1e-280,     -0x1p-899, erf_one, -erf_one,  3 * 0x1p-26};
  for (const std::size_t n : std::vector<std::size_t>{1, 2, 3, 5, 8, 9, 16, 17, 19}) {
    std::vector<double> x(n), up(n), got(n), expected(n);
    for (std::size_t k = 0; k < n; ++k) up[k] = random.value(-2.0, 2.0);
    for (const double special : specials) {
      for (std::size_t at = 0; at < n; ++at) {
        for (std::size_t k = 0; k < n; ++k) x[k] = random.value(-40.0, 40.0);
        x[at] = special;
        const std::string label =
            std::to_string(special) + " at " + std::to_string(at) + " of " + std::to_string(n);
        for (const double shift : {0.0, 1.5}) {
          table().exp_shifted(got.data(), x.data(), shift, n);
          for (std::size_t k = 0; k < n; ++k) expected[k] = elementary::exp(x[k] - shift);
          ASSERT_EQ(bits_of(got), bits_of(expected)) << "exp " << shift << " " << label;
        }
        for (const bool fp : {true, false}) {
          const kernels::GuardMode guard = kernels::guard_mode(fp);
          // Failed values are stored as computed; only the verdict is compared.
          const auto expect_scalar = [&](const char* what, bool ok, auto scalar) {
            bool scalar_ok = true;
            for (std::size_t k = 0; k < n; ++k) {
              try {
                expected[k] = guard_value(scalar(k), fp, GuardLevel::operation);
              } catch (const std::domain_error&) {
                scalar_ok = false;
                expected[k] = got[k];
              }
            }
            ASSERT_EQ(ok, scalar_ok) << what << " " << label;
            ASSERT_EQ(bits_of(got), bits_of(expected)) << what << " " << label;
          };
          expect_scalar("swiglu", table().swiglu_guard(got.data(), x.data(), up.data(), n, guard),
                        [&](std::size_t k) { return swiglu_activation(x[k], up[k]); });
          expect_scalar("gelu", table().gelu_guard(got.data(), x.data(), kInverseSqrt2, n, guard),
                        [&](std::size_t k) { return gelu_activation(x[k]); });
        }
      }
    }
  }
}

// The guard's boundary in every vector lane and in the scalar tail, for every
// kernel that stores: the halfway point between the largest float and 2^128
// (narrowing rounds it to infinity), the double just below it (narrowing
// gives the largest float), their negatives and NaN. Each kernel passes the
// value through unchanged (x + 0, 1 * (x * 1), x / 1, a rotation by angle 0,
// a projection by 1), so its verdict and its stored bits must be the scalar
// guard's.
TEST_P(KernelLevel, GuardBoundaryIsTheScalarGuardsInEveryLane) {
  const double halfway = 0x1.ffffffp127;
  const double below = std::nextafter(halfway, 0.0);
  const std::vector<double> specials = {halfway, below, -halfway, -below, kNaN};
  // 19 values: two full 8-wide vectors and a tail of 3, four 4-wide vectors
  // and a tail of 3, nine pairs and a tail of 1.
  const std::size_t n = 19;
  std::vector<double> base(n);
  for (std::size_t k = 0; k < n; ++k) base[k] = 0.25 * static_cast<double>(k) - 2.0;
  const std::vector<double> zeros(n, 0.0);
  const std::vector<double> ones(n, 1.0);
  std::vector<double> cos_pairs(n, 1.0);
  std::vector<double> sin_pairs(n, 0.0);
  for (std::size_t k = 0; k < n; k += 2) sin_pairs[k] = -0.0;

  for (const bool fp : {true, false}) {
    const kernels::GuardMode guard = kernels::guard_mode(fp);
    for (const double special : specials) {
      bool scalar_fails = false;
      double scalar_stored = 0.0;
      try {
        scalar_stored = guard_value(special, fp, GuardLevel::operation);
      } catch (const std::domain_error&) {
        scalar_fails = true;
      }
      for (std::size_t at = 0; at < n; ++at) {
        std::vector<double> x = base;
        x[at] = special;
        const std::string label =
            std::to_string(special) + " at " + std::to_string(at) + (fp ? " full" : " single");
        // The stored bits of `got` at `at` are the scalar guard's, when it passes.
        const auto check = [&](const char* kernel, bool ok, const std::vector<double>& got) {
          EXPECT_EQ(ok, !scalar_fails) << kernel << " " << label;
          if (!scalar_fails) {
            EXPECT_EQ(std::bit_cast<std::uint64_t>(got[at]),
                      std::bit_cast<std::uint64_t>(scalar_stored))
                << kernel << " " << label;
          }
        };
        std::vector<double> got(n);
        check("copy", table().guard_copy(got.data(), x.data(), n, guard), got);
        got = x;
        check("add", table().add_guard(got.data(), zeros.data(), n, guard), got);
        check("norm", table().scale_weight_guard(got.data(), x.data(), ones.data(), 1.0, n, guard),
              got);
        check("divide", table().divide_guard(got.data(), x.data(), 1.0, n, guard), got);
        // The rotation covers the even prefix; the last value stays outside.
        if (at + 1 < n) {
          got = x;
          check("rotate",
                table().rotate_pairs(got.data(), cos_pairs.data(), sin_pairs.data(), n - 1, guard),
                got);
        }
        // One input, one row; output o is 1 * weight o, so the special sits
        // in output lane `at`.
        const double one = 1.0;
        const double* const x_rows[] = {&one};
        double* const y_rows[] = {got.data()};
        kernels::ProjectArgs args;
        args.rows = 1;
        args.in = 1;
        args.out = n;
        args.x_rows = x_rows;
        args.weight = x.data();
        args.weight_stride = 1;
        args.weight_input_major = true;
        args.y_rows = y_rows;
        args.guard = guard;
        check("project", run_projection(table(), args), got);
      }
    }
  }
}

// ---- operators on each level against the reference loops ----

TEST_P(KernelLevel, OperatorsMatchTheReference) {
  Random random(5);
  struct Shape {
    std::size_t batch, seq, query_heads, kv_heads, head_dim, ffn;
    std::vector<std::size_t> lengths;
  };
  const std::vector<Shape> shapes = {{1, 1, 1, 1, 2, 3, {}},
                                     {2, 5, 4, 2, 4, 7, {5, 3}},
                                     {3, 9, 6, 3, 6, 10, {0, 9, 4}},
                                     {1, 33, 8, 1, 10, 19, {}},
                                     {2, 12, 2, 2, 16, 40, {12, 1}}};
  for (const Shape& s : shapes) {
    for (const bool fp : {true, false}) {
      const std::size_t rows = s.batch * s.seq;
      const std::size_t d = s.query_heads * s.head_dim;
      const std::size_t kv = s.kv_heads * s.head_dim;
      const std::string label = std::to_string(s.seq) + "/" + std::to_string(s.query_heads) + "/" +
                                std::to_string(s.kv_heads) + (fp ? " full" : " single");
      const Tensor x = random.tensor({rows, d});
      const Tensor wq = random.tensor({d, d});
      const Tensor norm = random.tensor({d}, 0.5, 1.5);

      for (const GuardLevel level : {GuardLevel::forward, GuardLevel::operation}) {
        EXPECT_EQ(bits_of(linear_with(table(), x, wq, rows, d, d, fp, level).data),
                  bits_of(reference::linear(x, wq, rows, d, d, fp, level).data))
            << label;
      }
      EXPECT_EQ(bits_of(rms_norm_with(table(), x, norm, rows, d, 1e-5, fp).data),
                bits_of(reference::rms_norm(x, norm, rows, d, 1e-5, fp).data))
          << label;

      const RopeTable rope = build_rope_table(s.seq, s.head_dim, 10000.0, 3);
      for (const bool inverse : {false, true}) {
        Tensor q1 = random.tensor({rows, d}, -2.0, 2.0);
        Tensor k1 = random.tensor({rows, kv}, -2.0, 2.0);
        Tensor q2 = q1;
        Tensor k2 = k1;
        apply_rope_with(table(), q1, k1, s.batch, s.seq, s.query_heads, s.kv_heads, rope, fp,
                        inverse);
        reference::apply_rope(q2, k2, s.batch, s.seq, s.query_heads, s.kv_heads, rope, fp, inverse);
        EXPECT_EQ(bits_of(q1.data), bits_of(q2.data)) << label;
        EXPECT_EQ(bits_of(k1.data), bits_of(k2.data)) << label;
      }

      // Inputs stored as the forward pass would store them; filler rows 0.0.
      Tensor q = random.tensor({rows, d}, -3.0, 3.0);
      Tensor k = random.tensor({rows, kv}, -3.0, 3.0);
      Tensor v = random.tensor({rows, kv});
      for (Tensor* t : {&q, &k, &v}) {
        for (double& value : t->data) value = guard_value(value, fp, GuardLevel::operation);
      }
      const AttentionResult fast = attention_with(table(), q, k, v, s.batch, s.seq, s.query_heads,
                                                  s.kv_heads, s.head_dim, s.lengths, fp);
      const AttentionResult plain = reference::attention(q, k, v, s.batch, s.seq, s.query_heads,
                                                         s.kv_heads, s.head_dim, s.lengths, fp);
      EXPECT_EQ(bits_of(fast.scores.data), bits_of(plain.scores.data)) << label;
      EXPECT_EQ(bits_of(fast.probabilities.data), bits_of(plain.probabilities.data)) << label;
      EXPECT_EQ(bits_of(fast.output.data), bits_of(plain.output.data)) << label;
      EXPECT_EQ(bits_of(attention_output_with(table(), q, k, v, s.batch, s.seq, s.query_heads,
                                              s.kv_heads, s.head_dim, s.lengths, fp)
                            .data),
                bits_of(plain.output.data))
          << label;

      const Tensor gate = random.tensor({s.ffn, d});
      const Tensor up = random.tensor({s.ffn, d});
      const Tensor down = random.tensor({d, s.ffn});
      for (const FeedForwardKind kind : {FeedForwardKind::gelu_mlp, FeedForwardKind::swiglu}) {
        EXPECT_EQ(
            bits_of(feed_forward_with(table(), x, gate, up, down, rows, d, s.ffn, kind, fp).data),
            bits_of(reference::feed_forward(x, gate, up, down, rows, d, s.ffn, kind, fp).data))
            << label;
      }
    }
  }
}

// Values the uniform draws never produce: signed zeros, subnormals, and
// values whose products or rotations leave the single-precision range. On
// every level each operator gives the reference's bits, the sign of every
// zero included, or fails with the reference's error.
TEST_P(KernelLevel, SpecialValuesMatchTheReferenceBitForBit) {
  using Fill = double (*)(std::size_t row, std::size_t col);
  struct Case {
    const char* name;
    Fill x;  // linear and norm inputs, queries, attention values
    Fill w;  // linear weights (row = output), norm weights (row 0), keys
  };
  // Output rows with only positive, only negative and mixed weights.
  const Fill signed_weights = [](std::size_t r, std::size_t c) {
    return r % 3 == 0 ? 0.5 : r % 3 == 1 ? -0.75 : (c % 2 == 0 ? 1.25 : -0.25);
  };
  const std::vector<Case> cases = {
      // -0.0 times a positive weight is -0.0, times a negative one +0.0. A
      // sum started from 0.0 is +0.0 either way; one started from -0.0 or
      // from its first product is -0.0 where every weight is positive.
      {"negative zeros",
       [](std::size_t r, std::size_t c) { return r % 2 == 0 || c % 2 == 0 ? -0.0 : 0.0; },
       signed_weights},
      // Subnormal inputs times 0.3 round inside the subnormal range (flushing
      // them to zero would show); times subnormal weights they underflow to
      // zeros signed by the operands.
      {"subnormals",
       [](std::size_t r, std::size_t c) {
         return (r % 2 == 0 ? 1.0 : -1.0) * static_cast<double>(c + 1) * 0x1p-1070;
       },
       [](std::size_t r, std::size_t c) {
         return r % 3 == 0   ? 0.3
                : r % 3 == 1 ? static_cast<double>(c + 1) * 0x1p-1060
                             : -static_cast<double>(c + 1) * 0x1p-1060;
       }},
      // ±3.0e38 is a float, ±3.0e38 * 1.5 is not: single-precision runs that
      // form such products or rotations fail their guard, full ones store
      // them.
      {"beyond the largest float",
       [](std::size_t r, std::size_t c) { return (r + c / 2) % 2 == 0 ? 3.0e38 : -3.0e38; },
       [](std::size_t r, std::size_t c) { return c == r % 8 ? 1.5 : 0.0; }},
      // ±3.0e38 * 1.125 is just inside the float range: linear outputs round
      // to floats near the limit (scaled, divided and rotated values still
      // leave it).
      {"just inside the largest float",
       [](std::size_t r, std::size_t c) { return (r + c / 2) % 2 == 0 ? 3.0e38 : -3.0e38; },
       [](std::size_t r, std::size_t c) { return c == r % 8 ? 1.125 : -0.0; }},
  };
  const auto filled = [](std::size_t rows, std::size_t cols, Fill f) {
    Tensor t({rows, cols}, 0.0, true);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < cols; ++c) t.data[r * cols + c] = f(r, c);
    }
    return t;
  };
  // Two sequences of three positions, the second with a filler row; two
  // query heads share one key/value head of width 4.
  const std::size_t batch = 2, seq = 3, rows = batch * seq, heads = 2, head_dim = 4;
  const std::size_t d = heads * head_dim, out = 11;
  const std::vector<std::size_t> lengths = {3, 2};
  // Positions 0 and 1 turn by 0 and by a half turn with signed zero sines,
  // position 2 by quarter turns with signed zero cosines.
  const RopeTable signed_zero_turns{
      seq, head_dim, {1.0, -1.0, -1.0, 1.0, 0.0, -0.0}, {0.0, -0.0, -0.0, 0.0, 1.0, -1.0}};
  const RopeTable built = build_rope_table(seq, head_dim, 10000.0, 0);  // sin(0) is +0.0

  // Where neither path fails the bits agree; where one fails both do, alike.
  std::string label;
  const auto expect_same = [&](const char* what, const std::function<std::vector<double>()>& fast,
                               const std::function<std::vector<double>()>& plain) {
    std::vector<double> fast_values;
    std::vector<double> plain_values;
    const std::string fast_error = failure_of([&] { fast_values = fast(); });
    EXPECT_EQ(fast_error, failure_of([&] { plain_values = plain(); })) << what << " " << label;
    EXPECT_EQ(bits_of(fast_values), bits_of(plain_values)) << what << " " << label;
  };
  const auto joined = [](const AttentionResult& a) {
    std::vector<double> all = a.scores.data;
    all.insert(all.end(), a.probabilities.data.begin(), a.probabilities.data.end());
    all.insert(all.end(), a.output.data.begin(), a.output.data.end());
    return all;
  };

  for (const Case& c : cases) {
    const Tensor x = filled(rows, d, c.x);
    const Tensor w = filled(out, d, c.w);
    Tensor norm({d}, 0.0, true);
    for (std::size_t col = 0; col < d; ++col) norm.data[col] = c.w(0, col);
    const Tensor values = filled(rows, head_dim, c.x);
    const Tensor keys = filled(rows, head_dim, c.w);
    for (const bool fp : {true, false}) {
      label = std::string(c.name) + (fp ? " full" : " single");
      expect_same(
          "linear",
          [&] { return linear_with(table(), x, w, rows, d, out, fp, GuardLevel::forward).data; },
          [&] { return reference::linear(x, w, rows, d, out, fp, GuardLevel::forward).data; });
      expect_same(
          "norm", [&] { return rms_norm_with(table(), x, norm, rows, d, 1e-5, fp).data; },
          [&] { return reference::rms_norm(x, norm, rows, d, 1e-5, fp).data; });
      for (const RopeTable* rope : {&built, &signed_zero_turns}) {
        for (const bool inverse : {false, true}) {
          const auto rotated = [&](auto&& apply) {
            Tensor q = x;
            Tensor k = keys;
            apply(q, k);
            std::vector<double> both = q.data;
            both.insert(both.end(), k.data.begin(), k.data.end());
            return both;
          };
          expect_same(
              inverse ? "inverse rope" : "rope",
              [&] {
                return rotated([&](Tensor& q, Tensor& k) {
                  apply_rope_with(table(), q, k, batch, seq, heads, 1, *rope, fp, inverse);
                });
              },
              [&] {
                return rotated([&](Tensor& q, Tensor& k) {
                  reference::apply_rope(q, k, batch, seq, heads, 1, *rope, fp, inverse);
                });
              });
        }
      }
      const auto plain_attention = [&] {
        return reference::attention(x, keys, values, batch, seq, heads, 1, head_dim, lengths, fp);
      };
      expect_same(
          "attention",
          [&] {
            return joined(attention_with(table(), x, keys, values, batch, seq, heads, 1, head_dim,
                                         lengths, fp));
          },
          [&] { return joined(plain_attention()); });
      expect_same(
          "attention output",
          [&] {
            return attention_output_with(table(), x, keys, values, batch, seq, heads, 1, head_dim,
                                         lengths, fp)
                .data;
          },
          [&] { return plain_attention().output.data; });

      // The elementwise kernels against the scalar guard, over the flat
      // inputs; the inputs added to their own reversal meet zeros of both
      // signs and sums beyond the largest float.
      const std::vector<double>& a = x.data;
      const std::size_t n = a.size();
      std::vector<double> b = w.data;
      b.resize(n);
      const std::vector<double> reversed(a.rbegin(), a.rend());
      const kernels::GuardMode guard = kernels::guard_mode(fp);
      const auto elementwise = [&](const char* what, const std::function<bool(double*)>& kernel,
                                   const std::function<double(std::size_t)>& formula) {
        expect_same(
            what,
            [&] {
              std::vector<double> got = a;
              if (!kernel(got.data())) throw_non_finite(GuardLevel::operation);
              return got;
            },
            [&] {
              std::vector<double> expected(n);
              for (std::size_t k = 0; k < n; ++k) {
                expected[k] = guard_value(formula(k), fp, GuardLevel::operation);
              }
              return expected;
            });
      };
      elementwise(
          "copy", [&](double* y) { return table().guard_copy(y, a.data(), n, guard); },
          [&](std::size_t k) { return a[k]; });
      elementwise(
          "add", [&](double* y) { return table().add_guard(y, reversed.data(), n, guard); },
          [&](std::size_t k) { return a[k] + reversed[k]; });
      elementwise(
          "scale",
          [&](double* y) {
            return table().scale_weight_guard(y, a.data(), b.data(), 1.5, n, guard);
          },
          [&](std::size_t k) { return b[k] * (a[k] * 1.5); });
      elementwise(
          "divide", [&](double* y) { return table().divide_guard(y, a.data(), -0.75, n, guard); },
          [&](std::size_t k) { return a[k] / -0.75; });
    }
  }
}

// The same errors, in the same order, as the reference: a non-finite value
// in an earlier sequence is reported before a bad length of a later one, and
// a bad length before the non-finite values of its own and later sequences.
// A non-finite value row j inside a sequence's length also meets the rows
// i < j as a masked term; it fails the same sequence with the same message.
// Filler rows are never read. Where nothing fails, the bits are the
// reference's.
TEST_P(KernelLevel, AttentionErrorsComeInTheReferenceOrder) {
  Random random(9);
  const std::size_t batch = 3;
  const std::size_t seq = 4;
  enum class Planted { key, value };
  struct Case {
    const char* name;
    std::vector<std::size_t> lengths;
    Planted tensor;
    std::size_t bad_row;  // row of the key or value tensor made non-finite
    std::string expected;
  };
  const std::string length_error = "invalid_argument: attention length exceeds sequence";
  const std::string nan_error = "domain_error: transformer operator produced NaN/Inf";
  const std::vector<Case> cases = {
      {"key before bad length", {4, 5, 4}, Planted::key, 2, nan_error},
      {"bad length before key", {4, 5, 4}, Planted::key, 5, length_error},
      {"key in the middle sequence", {4, 4, 5}, Planted::key, 5, nan_error},
      {"key in a filler row", {2, 4, 4}, Planted::key, 3, "no error"},
      {"key in a later filler row", {4, 4, 1}, Planted::key, 10, "no error"},
      {"value of the first position", {4, 4, 4}, Planted::value, 0, nan_error},
      {"value masked for earlier rows", {4, 4, 4}, Planted::value, 2, nan_error},
      {"value of the last position", {3, 4, 4}, Planted::value, 2, nan_error},
      {"value before bad length", {4, 5, 4}, Planted::value, 3, nan_error},
      {"bad length before value", {4, 5, 4}, Planted::value, 6, length_error},
      {"value in a later sequence", {4, 2, 4}, Planted::value, 9, nan_error},
      {"value in a filler row", {2, 4, 4}, Planted::value, 2, "no error"},
      {"value in a later filler row", {4, 4, 1}, Planted::value, 11, "no error"},
  };
  for (const Case& c : cases) {
    for (const double bad : {kNaN, kInfinity, -kInfinity}) {
      for (const bool fp : {true, false}) {
        const std::string label =
            std::string(c.name) + " " + std::to_string(bad) + (fp ? " full" : " single");
        const Tensor q = random.tensor({batch * seq, 4 * 2});
        Tensor k = random.tensor({batch * seq, 2 * 2});
        Tensor v = random.tensor({batch * seq, 2 * 2});
        (c.tensor == Planted::key ? k : v).data[c.bad_row * 4 + 1] = bad;
        EXPECT_EQ(failure_of([&] {
                    (void)reference::attention(q, k, v, batch, seq, 4, 2, 2, c.lengths, fp);
                  }),
                  c.expected)
            << label;
        EXPECT_EQ(failure_of([&] {
                    (void)attention_with(table(), q, k, v, batch, seq, 4, 2, 2, c.lengths, fp);
                  }),
                  c.expected)
            << label;
        EXPECT_EQ(failure_of([&] {
                    (void)attention_output_with(table(), q, k, v, batch, seq, 4, 2, 2, c.lengths,
                                                fp);
                  }),
                  c.expected)
            << label;
        if (c.expected == "no error") {
          const AttentionResult plain =
              reference::attention(q, k, v, batch, seq, 4, 2, 2, c.lengths, fp);
          const AttentionResult fast =
              attention_with(table(), q, k, v, batch, seq, 4, 2, 2, c.lengths, fp);
          EXPECT_EQ(bits_of(fast.scores.data), bits_of(plain.scores.data)) << label;
          EXPECT_EQ(bits_of(fast.probabilities.data), bits_of(plain.probabilities.data)) << label;
          EXPECT_EQ(bits_of(fast.output.data), bits_of(plain.output.data)) << label;
          EXPECT_EQ(
              bits_of(
                  attention_output_with(table(), q, k, v, batch, seq, 4, 2, 2, c.lengths, fp).data),
              bits_of(plain.output.data))
              << label;
        }
      }
    }
  }
}

// A rotation that leaves the finite range fails on every level with the
// reference's error, whether the pair is in the query or, once the whole
// query has passed, in the key. The pair (v, v) at position 2 (cos 2 = -0.42,
// sin 2 = 0.91) rotates, forward and inverse, to a component of about -1.33 v:
// beyond the doubles for v = 1.7e308, beyond the largest float for v = 3.0e38.
TEST_P(KernelLevel, RopeFailuresMatchTheReference) {
  struct Case {
    const char* name;
    bool in_key;
    double value;
    std::string full, single;
  };
  const std::string nan_error = "domain_error: transformer operator produced NaN/Inf";
  const std::vector<Case> cases = {
      {"query overflows", false, 1.7e308, nan_error, nan_error},
      {"key overflows", true, 1.7e308, nan_error, nan_error},
      {"query leaves the float range", false, 3.0e38, "no error", nan_error},
      {"key leaves the float range", true, 3.0e38, "no error", nan_error},
  };
  const RopeTable rope = build_rope_table(3, 4, 10000.0, 0);
  Random random(13);
  for (const Case& c : cases) {
    for (const bool fp : {true, false}) {
      for (const bool inverse : {false, true}) {
        const std::string label =
            std::string(c.name) + (fp ? " full" : " single") + (inverse ? " inverse" : "");
        Tensor q = random.tensor({2 * 3, 2 * 4});
        Tensor k = random.tensor({2 * 3, 1 * 4});
        // Pair 0 of the last head at position 2 of the first sequence.
        double* const pair = c.in_key ? k.data.data() + 2 * 4 : q.data.data() + 2 * 8 + 4;
        pair[0] = pair[1] = c.value;
        Tensor fast_q = q, fast_k = k;
        const std::string fast_error = failure_of(
            [&] { apply_rope_with(table(), fast_q, fast_k, 2, 3, 2, 1, rope, fp, inverse); });
        EXPECT_EQ(fast_error, fp ? c.full : c.single) << label;
        EXPECT_EQ(failure_of([&] { reference::apply_rope(q, k, 2, 3, 2, 1, rope, fp, inverse); }),
                  fast_error)
            << label;
        if (fast_error == "no error") {
          EXPECT_EQ(bits_of(fast_q.data), bits_of(q.data)) << label;
          EXPECT_EQ(bits_of(fast_k.data), bits_of(k.data)) << label;
        }
      }
    }
  }
}

// Sequences longer than the projection's input slice (256 terms): the
// weighted value sums run across slices, rows of one block stop in different
// slices, and the blocks without matrices cover many chunks of rows.
TEST_P(KernelLevel, LongSequencesMatchTheReference) {
  Random random(17);
  const std::size_t batch = 2;
  const std::size_t seq = 300;
  const std::size_t query_heads = 4;
  const std::size_t kv_heads = 2;
  const std::size_t head_dim = 8;
  const std::vector<std::size_t> lengths = {300, 270};
  for (const bool fp : {true, false}) {
    Tensor q = random.tensor({batch * seq, query_heads * head_dim}, -2.0, 2.0);
    Tensor k = random.tensor({batch * seq, kv_heads * head_dim}, -2.0, 2.0);
    Tensor v = random.tensor({batch * seq, kv_heads * head_dim});
    for (Tensor* t : {&q, &k, &v}) {
      for (double& value : t->data) value = guard_value(value, fp, GuardLevel::operation);
    }
    const AttentionResult plain =
        reference::attention(q, k, v, batch, seq, query_heads, kv_heads, head_dim, lengths, fp);
    const AttentionResult fast =
        attention_with(table(), q, k, v, batch, seq, query_heads, kv_heads, head_dim, lengths, fp);
    EXPECT_EQ(bits_of(fast.scores.data), bits_of(plain.scores.data)) << fp;
    EXPECT_EQ(bits_of(fast.probabilities.data), bits_of(plain.probabilities.data)) << fp;
    EXPECT_EQ(bits_of(fast.output.data), bits_of(plain.output.data)) << fp;
    EXPECT_EQ(bits_of(attention_output_with(table(), q, k, v, batch, seq, query_heads, kv_heads,
                                            head_dim, lengths, fp)
                          .data),
              bits_of(plain.output.data))
        << fp;
  }
}

// ---- whole forward passes ----

struct ModelCase {
  std::uint32_t vocabulary, layers, model_dim, ffn_dim, query_heads, kv_heads;
  FeedForwardKind kind;
  bool tied;
  std::size_t batch, width;
  std::vector<std::size_t> lengths;
};

TransformerSpec spec_of(const ModelCase& m) {
  TransformerSpec spec;
  spec.vocabulary = m.vocabulary;
  spec.context = 64;
  spec.layers = m.layers;
  spec.model_dim = m.model_dim;
  spec.ffn_dim = m.ffn_dim;
  spec.query_heads = m.query_heads;
  spec.kv_heads = m.kv_heads;
  spec.head_dim = m.model_dim / m.query_heads;
  spec.feed_forward = m.kind;
  spec.tied_embeddings = m.tied;
  spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                {"logits", PortDirection::output, PortKind::logits, m.vocabulary, "logits/1"}};
  return spec;
}

TransformerWeights weights_of(const ModelCase& m, Random& random) {
  const std::size_t d = m.model_dim;
  const std::size_t q = d;
  const std::size_t kv = std::size_t{m.kv_heads} * (d / m.query_heads);
  TransformerWeights w;
  w.token_embedding = random.tensor({m.vocabulary, d});
  for (std::uint32_t i = 0; i < m.layers; ++i) {
    LayerWeights layer;
    layer.attention_norm = random.tensor({d}, 0.5, 1.5);
    layer.query = random.tensor({q, d}, -0.5, 0.5);
    layer.key = random.tensor({kv, d}, -0.5, 0.5);
    layer.value = random.tensor({kv, d}, -0.5, 0.5);
    layer.attention_output = random.tensor({d, q}, -0.5, 0.5);
    layer.ffn_norm = random.tensor({d}, 0.5, 1.5);
    layer.ffn_gate = random.tensor({m.ffn_dim, d}, -0.5, 0.5);
    layer.ffn_up = random.tensor({m.ffn_dim, d}, -0.5, 0.5);
    layer.ffn_down = random.tensor({d, m.ffn_dim}, -0.5, 0.5);
    w.layers.push_back(std::move(layer));
  }
  w.final_norm = random.tensor({d}, 0.5, 1.5);
  if (!m.tied) {
    w.output_embedding = random.tensor({m.vocabulary, d});
  }
  return w;
}

TokenBatch batch_of(const ModelCase& m, Random& random) {
  TokenBatch batch;
  batch.batch_size = m.batch;
  batch.width = m.width;
  batch.lengths = m.lengths;
  for (std::size_t k = 0; k < m.batch * m.width; ++k) {
    batch.tokens.push_back(static_cast<std::uint32_t>(random.index(m.vocabulary)));
  }
  return batch;
}

const std::vector<ModelCase>& model_cases() {
  static const std::vector<ModelCase> cases = {
      {257, 1, 2, 3, 1, 1, FeedForwardKind::swiglu, true, 1, 1, {}},
      {50, 2, 8, 5, 4, 2, FeedForwardKind::gelu_mlp, false, 2, 6, {6, 4}},
      {97, 2, 24, 37, 6, 3, FeedForwardKind::swiglu, false, 3, 7, {7, 0, 2}},
      {61, 3, 32, 70, 8, 1, FeedForwardKind::gelu_mlp, true, 1, 19, {}},
      {300, 1, 48, 130, 4, 4, FeedForwardKind::swiglu, true, 2, 11, {11, 5}},
  };
  return cases;
}

TEST_P(KernelLevel, ForwardMatchesTheReferenceInEveryObservedTensor) {
  Random random(21);
  for (const ModelCase& m : model_cases()) {
    const TransformerSpec spec = spec_of(m);
    const TransformerWeights weights = weights_of(m, random);
    const TokenBatch batch = batch_of(m, random);
    for (const bool fp : {true, false}) {
      std::vector<std::pair<std::string, Tensor>> fast_seen;
      std::vector<std::pair<std::string, Tensor>> plain_seen;
      ForwardOptions fast_options;
      fast_options.full_precision = fp;
      fast_options.observer = [&](std::string_view name, const Tensor& t) {
        fast_seen.emplace_back(std::string(name), t);
      };
      ForwardOptions plain_options = fast_options;
      plain_options.observer = [&](std::string_view name, const Tensor& t) {
        plain_seen.emplace_back(std::string(name), t);
      };
      const Tensor fast = forward_with(table(), spec, weights, batch, fast_options);
      const Tensor plain = reference::forward(spec, weights, batch, plain_options);
      const std::string label = std::to_string(m.vocabulary) + (fp ? " full" : " single");
      EXPECT_EQ(fast.shape, plain.shape) << label;
      EXPECT_EQ(fast.full_precision, plain.full_precision) << label;
      EXPECT_EQ(bits_of(fast.data), bits_of(plain.data)) << label;
      // Without an observer the attention matrices are never built; the
      // logits do not change.
      ForwardOptions unobserved;
      unobserved.full_precision = fp;
      EXPECT_EQ(bits_of(forward_with(table(), spec, weights, batch, unobserved).data),
                bits_of(plain.data))
          << label;
      ASSERT_EQ(fast_seen.size(), plain_seen.size()) << label;
      for (std::size_t i = 0; i < fast_seen.size(); ++i) {
        EXPECT_EQ(fast_seen[i].first, plain_seen[i].first) << label;
        EXPECT_EQ(fast_seen[i].second.shape, plain_seen[i].second.shape) << fast_seen[i].first;
        EXPECT_EQ(bits_of(fast_seen[i].second.data), bits_of(plain_seen[i].second.data))
            << label << " " << fast_seen[i].first;
      }
    }
  }
}

// Non-finite values planted at each stage give the same error, at the same
// point (the same observations made before it), on both paths.
TEST_P(KernelLevel, ForwardFailsLikeTheReference) {
  const ModelCase m = model_cases()[2];
  const TransformerSpec spec = spec_of(m);
  struct Case {
    const char* name;
    std::function<void(TransformerWeights&)> edit;
  };
  const std::vector<Case> cases = {
      {"embedding",
       [](TransformerWeights& w) {
         w.token_embedding.data.assign(w.token_embedding.data.size(), kNaN);
       }},
      {"attention norm",
       [](TransformerWeights& w) { w.layers[1].attention_norm.data[3] = kInfinity; }},
      {"query", [](TransformerWeights& w) { w.layers[0].query.data[40] = kNaN; }},
      {"value", [](TransformerWeights& w) { w.layers[1].value.data[7] = -kInfinity; }},
      {"output projection",
       [](TransformerWeights& w) { w.layers[0].attention_output.data[5] = 1e300; }},
      {"gate", [](TransformerWeights& w) { w.layers[1].ffn_gate.data[2] = kNaN; }},
      {"down", [](TransformerWeights& w) { w.layers[0].ffn_down.data[11] = kInfinity; }},
      {"final norm", [](TransformerWeights& w) { w.final_norm.data[0] = kNaN; }},
      {"output embedding", [](TransformerWeights& w) { w.output_embedding.data[100] = 1e300; }},
  };
  Random random(33);
  const TransformerWeights clean = weights_of(m, random);
  const TokenBatch batch = batch_of(m, random);
  for (const Case& c : cases) {
    TransformerWeights weights = clean;
    c.edit(weights);
    for (const bool fp : {true, false}) {
      std::vector<std::string> fast_names;
      std::vector<std::string> plain_names;
      ForwardOptions fast_options;
      fast_options.full_precision = fp;
      fast_options.observer = [&](std::string_view name, const Tensor&) {
        fast_names.emplace_back(name);
      };
      ForwardOptions plain_options = fast_options;
      plain_options.observer = [&](std::string_view name, const Tensor&) {
        plain_names.emplace_back(name);
      };
      const std::string fast_error =
          failure_of([&] { (void)forward_with(table(), spec, weights, batch, fast_options); });
      const std::string plain_error =
          failure_of([&] { (void)reference::forward(spec, weights, batch, plain_options); });
      EXPECT_EQ(fast_error, plain_error) << c.name << (fp ? " full" : " single");
      EXPECT_EQ(fast_names, plain_names) << c.name;
      ForwardOptions unobserved;
      unobserved.full_precision = fp;
      EXPECT_EQ(failure_of([&] { (void)forward_with(table(), spec, weights, batch, unobserved); }),
                plain_error)
          << c.name;
    }
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
