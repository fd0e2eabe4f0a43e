#include "lumeth/inference/elementary.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lumeth/inference/internal/elementary_tables.hpp"

// Special values, known answers and exact identities. The known answers were
// computed with MPFR 4.2 at 300 bits and rounded to nearest; the sweeps
// against MPFR are in elementary_accuracy_test.cpp.

namespace Orvane::Core::Lumeth {
namespace {

namespace el = elementary;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kLeast = 0x1p-1074;  // least subnormal

std::uint64_t bits_of(double x) { return std::bit_cast<std::uint64_t>(x); }

// Same bits, or both NaN (any payload).
::testing::AssertionResult same(double got, double want) {
  if (std::isnan(want) ? std::isnan(got) : bits_of(got) == bits_of(want)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "got " << std::hexfloat << got << ", want " << want;
}

struct Case {
  double x;
  double want;
};

TEST(ElementaryExp, SpecialValuesAndKnownAnswers) {
  const std::vector<Case> cases = {
      {kNaN, kNaN},
      {kInf, kInf},
      {-kInf, 0.0},
      {0.0, 1.0},
      {-0.0, 1.0},
      {kLeast, 1.0},
      {1.0, 0x1.5bf0a8b145769p+1},
      {-1.0, 0x1.78b56362cef38p-2},
      {0.5, 0x1.a61298e1e069cp+0},
      // 1 + 2^-26 + 2^-53 + 2^-78/6: just above a midpoint (precise path).
      {0x1p-26, 0x1.0000004000001p+0},
      // The largest finite result and the first overflow.
      {0x1.62e42fefa39efp+9, 0x1.fffffffffff2ap+1023},
      {0x1.62e42fefa39f0p+9, kInf},
      {1000.0, kInf},
      // Gradual underflow: near the least normal, the least subnormal, and
      // the first argument that rounds to +0.
      {-0x1.6232bdd7abcd2p+9, 0x1.000000000007cp-1022},
      {-745.0, kLeast},
      {-0x1.74910d52d3051p+9, kLeast},
      {-0x1.74910d52d3052p+9, 0.0},
      {-1000.0, 0.0},
  };
  for (const Case& c : cases) EXPECT_TRUE(same(el::exp(c.x), c.want)) << std::hexfloat << c.x;
}

TEST(ElementarySinCos, SpecialValuesAndKnownAnswers) {
  const double pi = 0x1.921fb54442d18p+1;  // the double nearest pi
  const std::vector<Case> sines = {
      {kNaN, kNaN},
      {kInf, kNaN},
      {-kInf, kNaN},
      {0.0, 0.0},
      {-0.0, -0.0},
      {kLeast, kLeast},
      {-0x1p-1022, -0x1p-1022},
      {0x1p-26, 0x1p-26},
      {1.0, 0x1.aed548f090ceep-1},
      {pi, 0x1.1a62633145c07p-53},
      {1e22, -0x1.b453ab76bf397p-1},
      {kMax, 0x1.452fc98b34e97p-8},
      {0x1.5e8f0bc6e7a4ep+796, -0x1.f5ec6bbaaa4e4p-1},
  };
  for (const Case& c : sines) EXPECT_TRUE(same(el::sin(c.x), c.want)) << std::hexfloat << c.x;
  const std::vector<Case> cosines = {
      {kNaN, kNaN},
      {kInf, kNaN},
      {-kInf, kNaN},
      {0.0, 1.0},
      {-0.0, 1.0},
      {kLeast, 1.0},
      {1.0, 0x1.14a280fb5068cp-1},
      {pi / 2, 0x1.1a62633145c07p-54},
      {1e22, 0x1.0be2cef01c8f4p-1},
      {kMax, -0x1.fffe62ecfab75p-1},
      // x^2/2 is just above 2^-54: cos x just below 1 - 2^-54, a midpoint.
      {0x1.6a09e667f3bcdp-27, 0x1.fffffffffffffp-1},
  };
  for (const Case& c : cosines) EXPECT_TRUE(same(el::cos(c.x), c.want)) << std::hexfloat << c.x;
}

TEST(ElementaryErf, SpecialValuesAndKnownAnswers) {
  const std::vector<Case> cases = {
      {kNaN, kNaN},
      {kInf, 1.0},
      {-kInf, -1.0},
      {0.0, 0.0},
      {-0.0, -0.0},
      // 2/sqrt(pi) times the least subnormal rounds back to it.
      {kLeast, kLeast},
      {-kLeast, -kLeast},
      {0x1p-1022, 0x1.20dd750429b6dp-1022},
      {0.5, 0x1.0a7ef5c18edd2p-1},
      {1.0, 0x1.af767a741088bp-1},
      {-1.0, -0x1.af767a741088bp-1},
      {3.0, 0x1.fffd1ac4135f9p-1},
      // The last argument below 1 and the first at 1.
      {0x1.7afb48dc96626p+2, 0x1.fffffffffffffp-1},
      {0x1.7afb48dc96627p+2, 1.0},
      {-0x1.7afb48dc96627p+2, -1.0},
  };
  for (const Case& c : cases) EXPECT_TRUE(same(el::erf(c.x), c.want)) << std::hexfloat << c.x;
  EXPECT_EQ(el::tables::kErfOne, 0x1.7afb48dc96627p+2);
}

TEST(ElementaryPow, SpecialValuesOfTheCStandard) {
  struct PowCase {
    double x, y, want;
  };
  const std::vector<PowCase> cases = {
      // y = ±0 gives 1, even for a NaN x; x = 1 gives 1, even for a NaN y.
      {kNaN, 0.0, 1.0},
      {kNaN, -0.0, 1.0},
      {-kInf, 0.0, 1.0},
      {1.0, kNaN, 1.0},
      {1.0, -kInf, 1.0},
      {kNaN, 1.0, kNaN},
      {2.0, kNaN, kNaN},
      // Zero bases.
      {0.0, -3.0, kInf},
      {-0.0, -3.0, -kInf},
      {-0.0, -2.0, kInf},
      {-0.0, -0.5, kInf},
      {-0.0, -kInf, kInf},
      {0.0, 3.0, 0.0},
      {-0.0, 3.0, -0.0},
      {-0.0, 2.0, 0.0},
      {-0.0, 0.5, 0.0},
      {-0.0, kInf, 0.0},
      // Infinite exponents.
      {-1.0, kInf, 1.0},
      {-1.0, -kInf, 1.0},
      {0.5, -kInf, kInf},
      {-0.5, -kInf, kInf},
      {2.0, -kInf, 0.0},
      {0.5, kInf, 0.0},
      {-2.0, kInf, kInf},
      // Infinite bases.
      {-kInf, -3.0, -0.0},
      {-kInf, -2.0, 0.0},
      {-kInf, -0.5, 0.0},
      {-kInf, 3.0, -kInf},
      {-kInf, 2.0, kInf},
      {-kInf, 0.5, kInf},
      {kInf, -1.0, 0.0},
      {kInf, 0.5, kInf},
      // A negative finite base needs an integer exponent.
      {-2.0, 0.5, kNaN},
      {-2.0, 3.0, -8.0},
      {-2.0, -2.0, 0.25},
      {-1.0, 0x1p60, 1.0},                 // even (every |y| >= 2^53 is)
      {-1.0, 0x1.fffffffffffffp52, -1.0},  // odd
      // Overflow and underflow keep the sign of odd powers.
      {10.0, 400.0, kInf},
      {-10.0, 401.0, -kInf},
      {10.0, -400.0, 0.0},
      {-10.0, -401.0, -0.0},
      {0x1.fffffffffffffp+0, 0x1p60, kInf},
      // Exact results.
      {10000.0, 0.5, 100.0},
      {10000.0, 0.25, 10.0},
      {2.0, -1074.0, kLeast},
      {2.0, 1023.0, 0x1p1023},
      {10.0, 22.0, 1e22},
      {10000.0, 1.0 / 64.0, 0x1.279fcaca404e6p+0},
      {2.0, 0.5, 0x1.6a09e667f3bcdp+0},
  };
  for (const PowCase& c : cases) {
    EXPECT_TRUE(same(el::pow(c.x, c.y), c.want)) << std::hexfloat << c.x << " " << c.y;
  }
}

// NaN results are the same bits on every processor: a NaN argument comes
// back with its quiet bit set, an invalid operation gives the positive quiet
// NaN (x86-64 would produce a negative one from inf - inf, ARM a positive).
TEST(ElementaryFunctions, NaNResultsHaveFixedBits) {
  const std::uint64_t canonical = 0x7FF8000000000000ULL;
  const double payload = std::bit_cast<double>(0xFFF0000000000123ULL);  // signalling, negative
  const std::uint64_t quieted = 0xFFF8000000000123ULL;
  EXPECT_EQ(bits_of(el::exp(payload)), quieted);
  EXPECT_EQ(bits_of(el::sin(payload)), quieted);
  EXPECT_EQ(bits_of(el::cos(payload)), quieted);
  EXPECT_EQ(bits_of(el::erf(payload)), quieted);
  EXPECT_EQ(bits_of(el::pow(payload, 2.0)), quieted);
  EXPECT_EQ(bits_of(el::pow(2.0, payload)), quieted);
  EXPECT_EQ(bits_of(el::sin_cos(payload).sine), quieted);
  for (const double inf : {kInf, -kInf}) {
    EXPECT_EQ(bits_of(el::sin(inf)), canonical);
    EXPECT_EQ(bits_of(el::cos(inf)), canonical);
    EXPECT_EQ(bits_of(el::sin_cos(inf).cosine), canonical);
  }
  EXPECT_EQ(bits_of(el::pow(-2.0, 0.5)), canonical);
}

// sin_cos shares the reduction but gives exactly sin's and cos's bits.
TEST(ElementarySinCos, BothAtOnceAreTheSeparateResults) {
  std::mt19937_64 engine(13);
  std::uniform_real_distribution<double> exponent(-30.0, 1023.9);
  std::vector<double> xs = {0.0,  -0.0,        kLeast, 0x1p-27, 0x1p-26, 0x1.921fb54442d18p+0,
                            kMax, -kMax,       kNaN,   kInf,    -kInf,   0x1.6ac5b262ca1ffp+849,
                            1e22, 6381956970.0};
  for (int i = 0; i < 20000; ++i) {
    const double x = std::exp2(exponent(engine));
    xs.push_back((engine() & 1) != 0 ? -x : x);
  }
  for (const double x : xs) {
    const el::SinCos both = el::sin_cos(x);
    ASSERT_TRUE(same(both.sine, el::sin(x))) << std::hexfloat << x;
    ASSERT_TRUE(same(both.cosine, el::cos(x))) << std::hexfloat << x;
    if (std::isnan(both.sine)) {
      ASSERT_EQ(bits_of(both.sine), bits_of(el::sin(x)));
      ASSERT_EQ(bits_of(both.cosine), bits_of(el::cos(x)));
    }
  }
}

// sin and erf are odd, cos is even: bit for bit, over arguments of every
// size.
TEST(ElementaryFunctions, SymmetriesHoldBitForBit) {
  std::mt19937_64 engine(11);
  std::uniform_real_distribution<double> exponent(-40.0, 40.0);
  for (int i = 0; i < 20000; ++i) {
    const double x = std::exp2(exponent(engine));
    ASSERT_TRUE(same(el::sin(-x), -el::sin(x))) << std::hexfloat << x;
    ASSERT_TRUE(same(el::cos(-x), el::cos(x))) << std::hexfloat << x;
    ASSERT_TRUE(same(el::erf(-x), -el::erf(x))) << std::hexfloat << x;
  }
}

// IEEE multiplication, division and square root are correctly rounded, so a
// correctly rounded pow must agree with them exactly: x^2 = x * x,
// x^-1 = 1 / x, x^0.5 = sqrt(x), x^1 = x, subnormal and overflowing results
// included.
TEST(ElementaryPow, AgreesWithTheCorrectlyRoundedBasicOperations) {
  std::mt19937_64 engine(12);
  std::uniform_real_distribution<double> exponent(-1074.0, 1023.9);
  for (int i = 0; i < 20000; ++i) {
    const double x = std::exp2(exponent(engine)) * ((engine() & 1) != 0 ? -1.0 : 1.0);
    ASSERT_TRUE(same(el::pow(x, 2.0), x * x)) << std::hexfloat << x;
    ASSERT_TRUE(same(el::pow(x, -1.0), 1.0 / x)) << std::hexfloat << x;
    ASSERT_TRUE(same(el::pow(x, 1.0), x)) << std::hexfloat << x;
    const double ax = std::fabs(x);
    ASSERT_TRUE(same(el::pow(ax, 0.5), std::sqrt(ax))) << std::hexfloat << ax;
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
