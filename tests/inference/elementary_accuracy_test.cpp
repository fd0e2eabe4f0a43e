// The library's elementary functions against MPFR (256-bit reference values):
// over the ranges the library feeds them (softmax and SiLU exponents, GELU
// inputs, rotary frequencies and angles up to the largest context times the
// largest frequency), over their whole domains, and on hard cases built to
// lie within a hair of a rounding boundary. Every result must be the
// correctly rounded one, and every fast-path approximation must lie within
// the error bound its rounding test assumes.
//
// Each sweep prints one line: arguments, fraction correctly rounded, largest
// error in units in the last place, the fast path's largest relative error
// against its bound, and how often the precise path ran. Built with
// LUMETH_ACCURACY_SCALE = 100 under the sanitizers (a hundredth of the
// points).

#include <gmp.h>
#include <mpfr.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/internal/elementary_core.hpp"
#include "lumeth/inference/internal/elementary_detail.hpp"
#include "lumeth/inference/internal/elementary_tables.hpp"
#include "lumeth/inference/internal/kernels/scalar_traits.hpp"
#include "tests/inference/elementary_table_math.hpp"

#ifndef LUMETH_ACCURACY_SCALE
#define LUMETH_ACCURACY_SCALE 1
#endif

namespace Orvane::Core::Lumeth {
namespace {

namespace el = elementary;
using el::detail::Approximation;

std::size_t points(std::size_t n) { return std::max<std::size_t>(n / LUMETH_ACCURACY_SCALE, 200); }

std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

// An MPFR number that frees itself.
class Big {
 public:
  explicit Big(mpfr_prec_t precision = 256) { mpfr_init2(v_, precision); }
  Big(const Big&) = delete;
  Big& operator=(const Big&) = delete;
  ~Big() { mpfr_clear(v_); }
  operator mpfr_ptr() { return v_; }

 private:
  mpfr_t v_;
};

enum class Function { exp, sin, cos, erf, pow, log };

const char* name_of(Function f) {
  switch (f) {
    case Function::exp:
      return "exp";
    case Function::sin:
      return "sin";
    case Function::cos:
      return "cos";
    case Function::erf:
      return "erf";
    case Function::pow:
      return "pow";
    case Function::log:
      return "log";
  }
  return "?";
}

void exact(Function f, double x, double y, mpfr_ptr out) {
  Big a(64);
  mpfr_set_d(a, x, MPFR_RNDN);
  switch (f) {
    case Function::exp:
      mpfr_exp(out, a, MPFR_RNDN);
      break;
    case Function::sin:
      mpfr_sin(out, a, MPFR_RNDN);
      break;
    case Function::cos:
      mpfr_cos(out, a, MPFR_RNDN);
      break;
    case Function::erf:
      mpfr_erf(out, a, MPFR_RNDN);
      break;
    case Function::log:
      mpfr_log(out, a, MPFR_RNDN);
      break;
    case Function::pow: {
      Big b(64);
      mpfr_set_d(b, y, MPFR_RNDN);
      mpfr_pow(out, a, b, MPFR_RNDN);
      break;
    }
  }
}

double library(Function f, double x, double y) {
  switch (f) {
    case Function::exp:
      return el::exp(x);
    case Function::sin:
      return el::sin(x);
    case Function::cos:
      return el::cos(x);
    case Function::erf:
      return el::erf(x);
    case Function::pow:
      return el::pow(x, y);
    case Function::log:
      return el::detail::log_approximation(x).hi;
  }
  return 0.0;
}

Approximation approximation(Function f, double x, double y) {
  switch (f) {
    case Function::exp:
      return el::detail::exp_approximation(x);
    case Function::sin:
      return el::detail::sin_approximation(x);
    case Function::cos:
      return el::detail::cos_approximation(x);
    case Function::erf:
      return el::detail::erf_approximation(x);
    case Function::pow:
      return x > 0.0 && x != 1.0 && std::isfinite(x) && std::isfinite(y) && y != 0.0
                 ? el::detail::pow_approximation(x, y)
                 : Approximation{};
    case Function::log:
      return el::detail::log_approximation(x);
  }
  return {};
}

// The unit in the last place of the double nearest v (finite), subnormals
// included.
double ulp_of(double v) {
  const int e = std::max(std::ilogb(v == 0.0 ? 0x1p-1074 : v), -1022);
  return std::ldexp(1.0, e - 52);
}

struct Tally {
  std::string name;
  std::size_t count = 0;
  std::size_t correctly_rounded = 0;
  std::size_t outside = 0;  // arguments the fast path does not cover
  std::size_t precise = 0;  // covered, but its rounding was uncertain
  std::size_t bound_violations = 0;
  double max_ulps = 0.0;
  double max_fast = 0.0;  // largest relative error of an available fast path
  std::vector<std::string> failures;

  void record_failure(const std::string& what) {
    if (failures.size() < 8) failures.push_back(what);
  }
};

void measure(Tally& t, Function f, double x, double y = 0.0) {
  Big e;
  exact(f, x, y, e);
  ++t.count;
  const Approximation a = approximation(f, x, y);
  if (!a.available) ++t.outside;
  if (a.available) {
    // |(hi + lo) - exact * 2^-exponent| against the bound, on hi's scale.
    Big scaled;
    mpfr_mul_2si(scaled, e, -a.exponent, MPFR_RNDN);
    Big diff;
    mpfr_set_d(diff, a.hi, MPFR_RNDN);
    mpfr_add_d(diff, diff, a.lo, MPFR_RNDN);
    mpfr_sub(diff, diff, scaled, MPFR_RNDN);
    mpfr_abs(diff, diff, MPFR_RNDN);
    if (mpfr_cmp_d(diff, a.error) > 0) {
      ++t.bound_violations;
      char text[160];
      std::snprintf(text, sizeof text, "%s(%a, %a): fast path beyond its bound", name_of(f), x, y);
      t.record_failure(text);
    }
    mpfr_div_d(diff, diff, std::fabs(a.hi), MPFR_RNDN);
    t.max_fast = std::max(t.max_fast, mpfr_get_d(diff, MPFR_RNDU));
    const double h = std::fabs(a.hi);
    const double l = a.hi < 0.0 ? -a.lo : a.lo;
    if (el::core::rounding_uncertain<kernels::ScalarTraits>(h, l, a.error)) ++t.precise;
  }
  if (f == Function::log) return;  // log is only the fast path pow uses

  const double got = library(f, x, y);
  const double want = mpfr_get_d(e, MPFR_RNDN);
  // NaN bits are the library's own (elementary_test.cpp pins them).
  if (bits_of(got) == bits_of(want) || (std::isnan(got) && std::isnan(want))) {
    ++t.correctly_rounded;
  } else {
    char text[160];
    std::snprintf(text, sizeof text, "%s(%a, %a) = %a, correctly rounded %a", name_of(f), x, y, got,
                  want);
    t.record_failure(text);
  }
  if (std::isfinite(want) && std::isfinite(got)) {
    Big diff;
    mpfr_sub_d(diff, e, got, MPFR_RNDN);
    mpfr_abs(diff, diff, MPFR_RNDN);
    mpfr_div_d(diff, diff, ulp_of(want), MPFR_RNDN);
    t.max_ulps = std::max(t.max_ulps, mpfr_get_d(diff, MPFR_RNDU));
  }
}

void report_and_check(const Tally& t, double fast_bound) {
  const double covered = static_cast<double>(t.count - t.outside);
  char fast[120];
  if (t.count == t.outside) {
    std::snprintf(fast, sizeof fast, "fast path not used");
  } else {
    char bound[40];
    if (fast_bound > 0.0) {
      std::snprintf(bound, sizeof bound, "bound 2^%.0f", std::log2(fast_bound));
    } else {
      std::snprintf(bound, sizeof bound, "bound per argument");
    }
    char uncertain[40];
    if (t.precise == 0) {
      std::snprintf(uncertain, sizeof uncertain, "never uncertain");
    } else {
      std::snprintf(uncertain, sizeof uncertain, "uncertain 1 in %.0f",
                    covered / static_cast<double>(t.precise));
    }
    std::snprintf(fast, sizeof fast, "fast path max 2^%.1f (%s), %s", std::log2(t.max_fast), bound,
                  uncertain);
  }
  const bool log_only = t.name.rfind("log", 0) == 0;  // pow's fast-path logarithm
  char rounding[80];
  if (log_only) {
    std::snprintf(rounding, sizeof rounding, "(a fast-path part of pow)");
  } else {
    std::snprintf(rounding, sizeof rounding, "correctly rounded %9.5f%%  max %.4f ulp",
                  100.0 * static_cast<double>(t.correctly_rounded) /
                      static_cast<double>(std::max<std::size_t>(t.count, 1)),
                  t.max_ulps);
  }
  std::printf("%-42s %8zu args  %s  %s, not covered %zu\n", t.name.c_str(), t.count, rounding, fast,
              t.outside);
  std::fflush(stdout);
  for (const std::string& f : t.failures) ADD_FAILURE() << t.name << ": " << f;
  EXPECT_EQ(t.bound_violations, 0U) << t.name;
  if (!log_only) {
    EXPECT_EQ(t.correctly_rounded, t.count) << t.name;
    EXPECT_LE(t.max_ulps, 0.5) << t.name;
  }
}

// Bounds as the functions use them, relative (the pow bound grows with
// |y ln x| and is checked per argument by `measure`).
constexpr double kExpBound = 0x1p-68;
constexpr double kTrigBound = 0x1p-68;
constexpr double kErfBound = 0x1p-68;
constexpr double kPerArgument = 0.0;  // pow's and log's bounds depend on the argument

class Sampler {
 public:
  explicit Sampler(std::uint64_t seed) : engine_(seed) {}
  double uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(engine_);
  }
  // |x| log-uniform between 2^low and 2^high, random sign when `signed`.
  double log_uniform(double low, double high, bool any_sign = false) {
    const double v = std::exp2(uniform(low, high));
    return any_sign && (engine_() & 1) != 0 ? -v : v;
  }
  std::uint64_t bits() { return engine_(); }
  std::uint64_t below(std::uint64_t n) {
    return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(engine_);
  }

 private:
  std::mt19937_64 engine_;
};

void sweep(const char* name, Function f, std::size_t n, const std::function<double()>& next,
           double bound) {
  Tally t;
  t.name = std::string(name_of(f)) + " " + name;
  for (std::size_t i = 0; i < points(n); ++i) measure(t, f, next());
  report_and_check(t, bound);
}

void sweep_values(const char* name, Function f, const std::vector<double>& xs, double bound) {
  Tally t;
  t.name = std::string(name_of(f)) + " " + name;
  for (const double x : xs) measure(t, f, x);
  report_and_check(t, bound);
}

// The doubles from `count` steps below v to `count` steps above.
void push_neighbours(std::vector<double>& out, double v, int count) {
  double up = v;
  double down = v;
  out.push_back(v);
  for (int i = 0; i < count; ++i) {
    up = std::nextafter(up, std::numeric_limits<double>::infinity());
    down = std::nextafter(down, -std::numeric_limits<double>::infinity());
    out.push_back(up);
    out.push_back(down);
  }
}

// ---- tables ----

TEST(ElementaryTables, EveryEntryIsTheRoundedMpfrValue) {
  namespace tb = el::tables;
  const auto same = [](const std::vector<double>& expected, const double* got, std::size_t n,
                       const char* name) {
    ASSERT_EQ(expected.size(), n) << name;
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(bits_of(got[i]), bits_of(expected[i])) << name << "[" << i << "]";
    }
  };
  const TableMath::ExpTables e = TableMath::exp_tables();
  EXPECT_EQ(bits_of(tb::kExpInverseStep), bits_of(e.inverse_step));
  EXPECT_EQ(bits_of(tb::kExpStep1), bits_of(e.step1));
  EXPECT_EQ(bits_of(tb::kExpStep2), bits_of(e.step2));
  same(e.table, tb::kExp2Table, std::size(tb::kExp2Table), "kExp2Table");

  const TableMath::TrigTables t = TableMath::trig_tables();
  EXPECT_EQ(bits_of(tb::kTwoOverPi), bits_of(t.two_over_pi));
  EXPECT_EQ(bits_of(tb::kPiOver2Part1), bits_of(t.part1));
  EXPECT_EQ(bits_of(tb::kPiOver2Part2), bits_of(t.part2));
  EXPECT_EQ(bits_of(tb::kPiOver2Part3), bits_of(t.part3));
  EXPECT_EQ(bits_of(tb::kPiOver2Hi), bits_of(t.pio2_hi));
  EXPECT_EQ(bits_of(tb::kPiOver2Lo), bits_of(t.pio2_lo));
  same(t.table, tb::kSinCosTable, std::size(tb::kSinCosTable), "kSinCosTable");
  ASSERT_EQ(t.bits.size(), std::size(tb::kTwoOverPiBits));
  for (std::size_t i = 0; i < t.bits.size(); ++i) {
    EXPECT_EQ(tb::kTwoOverPiBits[i], t.bits[i]) << "kTwoOverPiBits[" << i << "]";
  }

  const TableMath::LogTables l = TableMath::log_tables();
  EXPECT_EQ(bits_of(tb::kLn2Hi), bits_of(l.ln2_hi));
  EXPECT_EQ(bits_of(tb::kLn2Lo), bits_of(l.ln2_lo));
  EXPECT_EQ(tb::kLogOffset, l.offset);
  same(l.table, tb::kLogTable, std::size(tb::kLogTable), "kLogTable");

  const TableMath::ErfTables f = TableMath::erf_tables();
  EXPECT_EQ(bits_of(tb::kErfOne), bits_of(f.one));
  EXPECT_EQ(tb::kErfFirstInterval, f.first_interval);
  EXPECT_EQ(tb::kErfIntervals, f.intervals);
  EXPECT_EQ(tb::kErfDegree, f.degree);
  same(f.table, tb::kErfTable, std::size(tb::kErfTable), "kErfTable");

  const auto constant = [](const tb::MultiprecisionConstant& got, TableMath::MpConstant which,
                           const char* name) {
    const TableMath::MultiprecisionConstant want = TableMath::mp_constant(which);
    EXPECT_EQ(got.exponent, want.exponent) << name;
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(got.limbs[i], want.limbs[i]) << name << i;
  };
  constant(tb::kMpLn2, TableMath::MpConstant::ln2, "kMpLn2");
  constant(tb::kMpPiOver2, TableMath::MpConstant::pi_over_2, "kMpPiOver2");
  constant(tb::kMpTwoOverSqrtPi, TableMath::MpConstant::two_over_sqrt_pi, "kMpTwoOverSqrtPi");
}

// ---- exp ----

TEST(ExpAccuracy, SoftmaxExponents) {
  // score - max <= 0: mostly within a few tens, sometimes far below (a
  // probability that underflows to a subnormal or to zero).
  Sampler s(1);
  sweep(
      "softmax, [-50, 0]", Function::exp, 1500000, [&] { return s.uniform(-50.0, 0.0); },
      kExpBound);
  sweep(
      "softmax, -2^-60..-746 log-uniform", Function::exp, 500000,
      [&] { return -s.log_uniform(-60.0, std::log2(746.0)); }, kExpBound);
}

TEST(ExpAccuracy, SiluExponents) {
  // exp(-g) for gate values g: moderate, of either sign, with a log-uniform
  // spread down to tiny gates.
  Sampler s(2);
  sweep(
      "SiLU, [-40, 40]", Function::exp, 1000000, [&] { return s.uniform(-40.0, 40.0); }, kExpBound);
  sweep(
      "SiLU, +-2^-70..2^10 log-uniform", Function::exp, 300000,
      [&] { return s.log_uniform(-70.0, 10.0, true); }, kExpBound);
}

TEST(ExpAccuracy, WholeDomain) {
  Sampler s(3);
  sweep(
      "[-746, 710]", Function::exp, 300000, [&] { return s.uniform(-746.0, 710.0); }, kExpBound);
  // Every bit pattern whose magnitude is at most 746 (tiny and subnormal
  // arguments included).
  sweep(
      "random bit patterns", Function::exp, 200000,
      [&] {
        for (;;) {
          const double x = std::bit_cast<double>(s.bits());
          if (std::fabs(x) <= 746.0) return x;
        }
      },
      kExpBound);
}

TEST(ExpAccuracy, HardCases) {
  std::vector<double> xs;
  // exp(a 2^-26) = 1 + a 2^-26 + a^2 2^-53 + a^3 2^-78 / 6 + ...: for odd a
  // the first three terms end on a midpoint between doubles, and the rest is
  // a few 2^-26 units in the last place away from it.
  for (int a = 1; a < 64; a += 2) {
    xs.push_back(a * 0x1p-26);
    xs.push_back(-a * 0x1p-26);
  }
  // The ends of the range: the largest finite result, the overflow, the
  // least subnormal and the first argument that rounds to zero, the start
  // of gradual underflow, the fast path's limit.
  for (const double edge : {0x1.62e42fefa39efp+9, -0x1.74910d52d3051p+9, -0x1.6232bdd7abcd2p+9,
                            -0x1.74385446d71c3p+9, 708.0, -708.0}) {
    push_neighbours(xs, edge, 40);
  }
  // Subnormal and tiny arguments.
  for (const double tiny : {0x1p-1074, 0x1p-1022, 0x1p-54, 0x1p-53, 0x1p-30}) {
    push_neighbours(xs, tiny, 3);
    push_neighbours(xs, -tiny, 3);
  }
  sweep_values("hard cases", Function::exp, xs, kExpBound);
}

// ---- sin and cos ----

// The angles build_rope_table computes: t / pow(base, 2i / dim).
double rope_angle(Sampler& s, double base, std::uint64_t largest_position) {
  const std::uint64_t dim = 2 * (1 + s.below(256));
  const std::uint64_t i = s.below(dim / 2);
  const double e = static_cast<double>(2 * i) / static_cast<double>(dim);
  const double t = static_cast<double>(s.below(largest_position + 1));
  return t / el::pow(base, e);
}

TEST(SinCosAccuracy, RotaryAngles) {
  // Positions up to the largest context validate_spec accepts (2^32 - 1); bases
  // from 10000 (frequencies up to 1) to below 1, where the frequency
  // 1 / pow(base, e) exceeds 1 and the angles grow past the positions.
  Sampler s(4);
  for (const Function f : {Function::sin, Function::cos}) {
    sweep(
        "rotary, base 10000, positions < 4096", f, 600000,
        [&] { return rope_angle(s, 10000.0, 4095); }, kTrigBound);
    sweep(
        "rotary, base 10000, positions < 2^32", f, 400000,
        [&] { return rope_angle(s, 10000.0, 0xFFFFFFFFULL); }, kTrigBound);
    sweep(
        "rotary, base 2^-60..2^60, positions < 2^32", f, 300000,
        [&] { return rope_angle(s, s.log_uniform(-60.0, 60.0), 0xFFFFFFFFULL); }, kTrigBound);
  }
}

TEST(SinCosAccuracy, WholeDomain) {
  Sampler s(5);
  for (const Function f : {Function::sin, Function::cos}) {
    sweep(
        "[-8, 8]", f, 300000, [&] { return s.uniform(-8.0, 8.0); }, kTrigBound);
    sweep(
        "every exponent, 2^-40..2^1024", f, 200000,
        [&] { return s.log_uniform(-40.0, 1023.99, true); }, kTrigBound);
  }
}

TEST(SinCosAccuracy, HardCases) {
  std::vector<double> xs;
  // The doubles nearest multiples of pi/2 (results far below the argument),
  // among them the double closest to a multiple of pi/2 of all,
  // 6381956970095103 * 2^797.
  Big pio2;
  mpfr_const_pi(pio2, MPFR_RNDN);
  mpfr_div_2ui(pio2, pio2, 1, MPFR_RNDN);
  Big v;
  for (unsigned long k = 1; k < 4000; ++k) {
    mpfr_mul_ui(v, pio2, k, MPFR_RNDN);
    push_neighbours(xs, mpfr_get_d(v, MPFR_RNDN), 1);
  }
  for (int e = 21; e < 1000; e += 7) {
    mpfr_mul_2si(v, pio2, e, MPFR_RNDN);
    mpfr_add_ui(v, v, 1, MPFR_RNDN);
    push_neighbours(xs, mpfr_get_d(v, MPFR_RNDN), 1);
  }
  push_neighbours(xs, std::ldexp(6381956970095103.0, 797), 2);
  // Tiny arguments where x^3/6 (sin) or x^2/2 (cos) is an odd number of half
  // units in the last place of the result: the result lies within about
  // 2^-50 of a unit in the last place of a midpoint.
  Big target;
  for (int binade = -26; binade <= -14; ++binade) {
    for (unsigned long k = 1; k < 40; k += 2) {
      // sin: x^3 = 6 k 2^(binade - 53)
      mpfr_set_ui(target, 6 * k, MPFR_RNDN);
      mpfr_mul_2si(target, target, binade - 53, MPFR_RNDN);
      mpfr_cbrt(target, target, MPFR_RNDN);
      const double x = mpfr_get_d(target, MPFR_RNDN);
      if (std::ilogb(x) == binade) push_neighbours(xs, x, 2);
    }
  }
  for (unsigned long k = 1; k < 400; k += 2) {
    // cos near 1: x^2 / 2 = k 2^-54
    mpfr_set_ui(target, k, MPFR_RNDN);
    mpfr_mul_2si(target, target, -53, MPFR_RNDN);
    mpfr_sqrt(target, target, MPFR_RNDN);
    push_neighbours(xs, mpfr_get_d(target, MPFR_RNDN), 2);
  }
  for (const double edge : {0x1p-26, 0x1p-27, 0x1.921fb54442d18p-1, 0x1p20, 0x1p52, 0x1p63,
                            std::numeric_limits<double>::max(), 0x1p-1022, 0x1p-1074}) {
    push_neighbours(xs, edge, 2);
    push_neighbours(xs, -edge, 2);
  }
  sweep_values("hard cases", Function::sin, xs, kTrigBound);
  sweep_values("hard cases", Function::cos, xs, kTrigBound);
}

// ---- erf ----

TEST(ErfAccuracy, GeluInputs) {
  // erf(u / sqrt 2) for pre-activations u: mostly within a few units, with
  // tails, and tiny values.
  Sampler s(6);
  sweep(
      "GELU, [-8, 8] / sqrt 2", Function::erf, 600000,
      [&] { return s.uniform(-8.0, 8.0) * 0.7071067811865476; }, kErfBound);
  sweep(
      "GELU, +-2^-1074..2^3 log-uniform", Function::erf, 300000,
      [&] { return s.log_uniform(-1074.0, 3.0, true); }, kErfBound);
}

TEST(ErfAccuracy, HardCases) {
  std::vector<double> xs;
  // The seams of the fast path: every interval boundary and centre, and the
  // argument from which erf rounds to 1.
  for (int i = 0; i <= 192; ++i) {
    push_neighbours(xs, (i - 0.5) / 32.0, 2);
    push_neighbours(xs, i / 32.0, 1);
  }
  push_neighbours(xs, el::tables::kErfOne, 20);
  for (const double tiny : {0x1p-1074, 0x1p-1022, 0x1p-900, 0x1p-100, 0x1p-27}) {
    push_neighbours(xs, tiny, 3);
  }
  std::vector<double> both = xs;
  for (const double x : xs) both.push_back(-x);
  sweep_values("hard cases", Function::erf, both, kErfBound);
}

// ---- pow, and the logarithm inside it ----

TEST(PowAccuracy, RotaryFrequencies) {
  // pow(base, 2i / dim) for every base validate_spec accepts (finite, positive).
  Sampler s(7);
  const auto exponent = [&] {
    const std::uint64_t dim = 2 * (1 + s.below(512));
    return static_cast<double>(2 * s.below(dim / 2)) / static_cast<double>(dim);
  };
  Tally typical;
  typical.name = "pow rotary, base 2..2^24";
  Tally any;
  any.name = "pow rotary, base 2^-1074..2^1024";
  for (std::size_t i = 0; i < points(400000); ++i) {
    measure(typical, Function::pow, s.log_uniform(1.0, 24.0), exponent());
    measure(any, Function::pow, s.log_uniform(-1074.0, 1023.99), exponent());
  }
  report_and_check(typical, kPerArgument);
  report_and_check(any, kPerArgument);
}

TEST(PowAccuracy, GeneralArguments) {
  Sampler s(8);
  Tally t;
  t.name = "pow x in 2^-30..2^30, y in [-40, 40]";
  Tally negative;
  negative.name = "pow x < 0, integer y";
  for (std::size_t i = 0; i < points(300000); ++i) {
    measure(t, Function::pow, s.log_uniform(-30.0, 30.0), s.uniform(-40.0, 40.0));
    const double y = static_cast<double>(static_cast<std::int64_t>(s.below(81)) - 40);
    measure(negative, Function::pow, -s.log_uniform(-20.0, 20.0), y);
  }
  report_and_check(t, kPerArgument);
  report_and_check(negative, kPerArgument);
}

TEST(PowAccuracy, ExactAndMidpointResults) {
  Tally t;
  t.name = "pow exact and midpoint results";
  // Squares and their square roots, powers of two and ten, and results that
  // are exactly midpoints between doubles: (t^2)^1.5 = t^3 and x^2 with 54
  // significant bits, which must round to even.
  for (std::uint64_t k = 1; k < 3000; k += 7) {
    const double v = static_cast<double>(k);
    measure(t, Function::pow, v * v, 0.5);
    measure(t, Function::pow, v, 2.0);
    measure(t, Function::pow, v * v, 1.5);
    measure(t, Function::pow, v * v * v * v, 0.25);
    measure(t, Function::pow, v * v * v * v, -0.75);
  }
  for (int k = -1074; k <= 1023; k += 3) measure(t, Function::pow, 2.0, k);
  for (int k = -30; k <= 30; ++k) measure(t, Function::pow, 10.0, k);
  // Odd t near 2^18: t^3 has 54 significant bits, a midpoint.
  for (std::uint64_t odd = (1ULL << 18) - 8001; odd < (1ULL << 18); odd += 2) {
    const double v = static_cast<double>(odd);
    measure(t, Function::pow, v * v, 1.5);
  }
  // Odd v near 2^27: v^2 has 54 significant bits.
  for (std::uint64_t odd = (1ULL << 27) - 8001; odd < (1ULL << 27); odd += 2) {
    measure(t, Function::pow, static_cast<double>(odd), 2.0);
  }
  report_and_check(t, kPerArgument);
}

TEST(LogApproximation, StaysWithinItsBound) {
  Sampler s(9);
  sweep(
      "(pow's), 2^-1074..2^1024", Function::log, 300000,
      [&] { return s.log_uniform(-1074.0, 1023.99); }, kPerArgument);
  sweep(
      "(pow's), [0.99, 1.01]", Function::log, 300000, [&] { return s.uniform(0.99, 1.01); },
      kPerArgument);
  sweep(
      "(pow's), 1 +- 2^-53..2^-8 log-uniform", Function::log, 200000,
      [&] { return 1.0 + s.log_uniform(-53.0, -8.0, true); }, kPerArgument);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
