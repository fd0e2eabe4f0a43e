#include "lumeth/inference/operators.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "lumeth/inference/elementary.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr const char* kForwardMessage = "transformer forward produced NaN/Inf";
constexpr const char* kOperatorMessage = "transformer operator produced NaN/Inf";

Tensor make_tensor(std::vector<std::size_t> shape, std::vector<double> values) {
  Tensor t(std::move(shape), 0.0, true);
  t.data = std::move(values);
  return t;
}

bool is_single(double value) { return static_cast<double>(static_cast<float>(value)) == value; }

TEST(GuardValue, PassesFiniteValuesAndRoundsOnRequest) {
  EXPECT_EQ(guard_value(0.1, true, GuardLevel::forward), 0.1);
  EXPECT_EQ(guard_value(0.1, false, GuardLevel::forward), static_cast<double>(0.1F));
  EXPECT_EQ(guard_value(1e300, true, GuardLevel::operation), 1e300);
  EXPECT_TRUE(std::signbit(guard_value(-0.0, false, GuardLevel::operation)));
  // Below the single-precision range a value rounds to zero, which is finite.
  EXPECT_EQ(guard_value(1e-300, false, GuardLevel::operation), 0.0);
  EXPECT_EQ(guard_value(-static_cast<double>(std::numeric_limits<float>::max()), false,
                        GuardLevel::forward),
            -static_cast<double>(std::numeric_limits<float>::max()));
}

TEST(GuardValue, RefusesNonFiniteValuesWithTheLevelsMessage) {
  for (const bool full_precision : {true, false}) {
    for (const double x : {kNaN, kInfinity, -kInfinity}) {
      EXPECT_THAT([&] { (void)guard_value(x, full_precision, GuardLevel::forward); },
                  ThrowsMessage<std::domain_error>(StrEq(kForwardMessage)));
      EXPECT_THAT([&] { (void)guard_value(x, full_precision, GuardLevel::operation); },
                  ThrowsMessage<std::domain_error>(StrEq(kOperatorMessage)));
    }
  }
}

TEST(GuardValue, RefusesValuesWhoseSinglePrecisionRoundingIsInfinite) {
  // Narrowing 1e300 would store +infinity; the guard refuses it instead.
  EXPECT_THAT([] { (void)guard_value(1e300, false, GuardLevel::forward); },
              ThrowsMessage<std::domain_error>(StrEq(kForwardMessage)));
  EXPECT_THAT([] { (void)guard_value(-1e300, false, GuardLevel::operation); },
              ThrowsMessage<std::domain_error>(StrEq(kOperatorMessage)));
  // The boundary: halfway between the largest float and 2^128 rounds (to even)
  // up to infinity; the double just below it rounds down to the largest float.
  const double halfway = 0x1.ffffffp127;
  EXPECT_THAT([&] { (void)guard_value(halfway, false, GuardLevel::operation); },
              ThrowsMessage<std::domain_error>(StrEq(kOperatorMessage)));
  EXPECT_EQ(guard_value(std::nextafter(halfway, 0.0), false, GuardLevel::operation),
            static_cast<double>(std::numeric_limits<float>::max()));
  EXPECT_EQ(guard_value(halfway, true, GuardLevel::operation), halfway);
}

TEST(Linear, ProjectsRowsByOutputMajorWeights) {
  // input [2, 3], weight [2, 3]: output[r, o] = sum_i input[r, i] * weight[o, i].
  const Tensor input = make_tensor({2, 3}, {1, 2, 3, 4, 5, 6});
  const Tensor weight = make_tensor({2, 3}, {1, 0, -1, 0.5, 0.5, 0.5});
  const Tensor out = linear(input, weight, 2, 3, 2, true, GuardLevel::forward);
  EXPECT_THAT(out.shape, ElementsAre(2U, 2U));
  EXPECT_THAT(out.data, ElementsAre(-2.0, 3.0, -2.0, 7.5));
  EXPECT_TRUE(out.full_precision);
}

TEST(Linear, AccumulatesInAscendingOrder) {
  // (1e16 + 1) + -1e16 is 0 in doubles; -1e16 + 1e16 + 1 would be 1.
  const Tensor input = make_tensor({1, 3}, {1e16, 1.0, -1e16});
  const Tensor weight = make_tensor({1, 3}, {1.0, 1.0, 1.0});
  EXPECT_EQ(linear(input, weight, 1, 3, 1, true, GuardLevel::forward).data[0], 0.0);
}

TEST(Linear, SinglePrecisionStoresTheRoundedValue) {
  const Tensor out = linear(make_tensor({1, 1}, {0.1}), make_tensor({1, 1}, {1.0}), 1, 1, 1, false,
                            GuardLevel::forward);
  EXPECT_FALSE(out.full_precision);
  EXPECT_EQ(out.data[0], 0.100000001490116119384765625);
  EXPECT_NE(out.data[0], 0.1);
}

TEST(Linear, ShapeErrorsInputFirst) {
  const Tensor input = make_tensor({1, 2}, {1, 2});
  const Tensor weight = make_tensor({1, 2}, {1, 2});
  EXPECT_THAT([&] { (void)linear(input, weight, 1, 3, 1, true, GuardLevel::forward); },
              ThrowsMessage<std::invalid_argument>(StrEq("linear input has an invalid shape")));
  EXPECT_THAT([&] { (void)linear(input, weight, 1, 2, 2, true, GuardLevel::forward); },
              ThrowsMessage<std::invalid_argument>(StrEq("linear weight has an invalid shape")));
  EXPECT_THAT([&] { (void)linear(weight, input, 2, 2, 1, true, GuardLevel::forward); },
              ThrowsMessage<std::invalid_argument>(StrEq("linear input has an invalid shape")));
}

TEST(Linear, OverflowingSumsUseTheLevelsMessage) {
  const Tensor input = make_tensor({1, 2}, {1e308, 1e308});
  const Tensor weight = make_tensor({1, 2}, {1.0, 1.0});
  EXPECT_THAT([&] { (void)linear(input, weight, 1, 2, 1, true, GuardLevel::forward); },
              ThrowsMessage<std::domain_error>(StrEq(kForwardMessage)));
  EXPECT_THAT([&] { (void)linear(input, weight, 1, 2, 1, true, GuardLevel::operation); },
              ThrowsMessage<std::domain_error>(StrEq(kOperatorMessage)));
}

TEST(RmsNorm, ScalesEachRowByItsRootMeanSquare) {
  const Tensor input = make_tensor({2, 2}, {3.0, 4.0, 0.0, 0.0});
  const Tensor weight = make_tensor({2}, {1.0, 2.0});
  const double epsilon = 1e-5;
  const Tensor out = rms_norm(input, weight, 2, 2, epsilon, true);
  const double k = 1.0 / std::sqrt((3.0 * 3.0 + 4.0 * 4.0) / 2.0 + epsilon);
  EXPECT_THAT(out.data, ElementsAre(1.0 * (3.0 * k), 2.0 * (4.0 * k), 0.0, 0.0));
  // A zero row stays exactly zero: m = epsilon keeps k finite.
  EXPECT_FALSE(std::signbit(out.data[2]));
}

TEST(RmsNorm, EpsilonIsCheckedBeforeAnyShape) {
  const Tensor wrong = make_tensor({3}, {1, 2, 3});
  for (const double epsilon : {0.0, -1e-5, kNaN, kInfinity}) {
    EXPECT_THAT(
        [&] { (void)rms_norm(wrong, wrong, 1, 2, epsilon, true); },
        ThrowsMessage<std::invalid_argument>(StrEq("RMSNorm epsilon must be finite and positive")));
  }
  EXPECT_THAT([&] { (void)rms_norm(wrong, wrong, 1, 2, 1e-5, true); },
              ThrowsMessage<std::invalid_argument>(StrEq("RMSNorm input has an invalid shape")));
  const Tensor input = make_tensor({1, 2}, {1, 2});
  EXPECT_THAT([&] { (void)rms_norm(input, wrong, 1, 2, 1e-5, true); },
              ThrowsMessage<std::invalid_argument>(StrEq("RMSNorm weight has an invalid shape")));
}

TEST(RmsNorm, NonFiniteResultsUseTheOperatorMessage) {
  const Tensor input = make_tensor({1, 1}, {1.0});
  EXPECT_THAT([&] { (void)rms_norm(input, make_tensor({1}, {kInfinity}), 1, 1, 1e-5, true); },
              ThrowsMessage<std::domain_error>(StrEq(kOperatorMessage)));
  EXPECT_THAT(
      [&] {
        (void)rms_norm(make_tensor({1, 1}, {kNaN}), make_tensor({1}, {1.0}), 1, 1, 1e-5, true);
      },
      ThrowsMessage<std::domain_error>(StrEq(kOperatorMessage)));
  // Finite in doubles, infinite once narrowed.
  const Tensor large = make_tensor({1}, {1e300});
  EXPECT_NO_THROW((void)rms_norm(input, large, 1, 1, 1e-5, true));
  EXPECT_THAT([&] { (void)rms_norm(input, large, 1, 1, 1e-5, false); },
              ThrowsMessage<std::domain_error>(StrEq(kOperatorMessage)));
}

TEST(RopeTable, FirstPairTurnsOneRadianPerPosition) {
  const RopeTable table = build_rope_table(4, 2, 10000.0, 0);
  EXPECT_EQ(table.positions, 4U);
  EXPECT_EQ(table.dim, 2U);
  EXPECT_EQ(table.cos.size(), 4U);
  for (std::size_t p = 0; p < 4; ++p) {
    EXPECT_EQ(table.cos_at(p, 0), elementary::cos(static_cast<double>(p))) << p;
    EXPECT_EQ(table.sin_at(p, 0), elementary::sin(static_cast<double>(p))) << p;
  }
  // cos 1 and sin 1 rounded to nearest (MPFR).
  EXPECT_EQ(table.cos_at(1, 0), 0x1.14a280fb5068cp-1);
  EXPECT_EQ(table.sin_at(1, 0), 0x1.aed548f090ceep-1);
}

TEST(RopeTable, LaterPairsTurnSlowerAndOffsetShiftsPositions) {
  const RopeTable table = build_rope_table(4, 4, 10000.0, 0);
  for (std::size_t p = 0; p < 4; ++p) {
    const double t = static_cast<double>(p);
    EXPECT_EQ(table.cos_at(p, 0), elementary::cos(t));
    // pow(10000, 2/4) = 100.
    EXPECT_EQ(table.cos_at(p, 1), elementary::cos(t / 100.0)) << p;
    EXPECT_EQ(table.sin_at(p, 1), elementary::sin(t / 100.0)) << p;
    EXPECT_EQ(table.cos[p * 2 + 1], table.cos_at(p, 1));
  }
  const RopeTable shifted = build_rope_table(2, 4, 10000.0, 5);
  EXPECT_EQ(shifted.cos_at(0, 0), elementary::cos(5.0));
  EXPECT_EQ(shifted.sin_at(1, 1), elementary::sin(6.0 / 100.0));
}

TEST(RopeTable, Failures) {
  const auto build = [](std::size_t positions, std::size_t dim, double base, std::size_t offset) {
    return [=] { (void)build_rope_table(positions, dim, base, offset); };
  };
  const auto dimensions = ThrowsMessage<std::invalid_argument>(
      StrEq("RoPE table dimensions must be positive and even"));
  EXPECT_THAT(build(4, 3, 10000.0, 0), dimensions);
  EXPECT_THAT(build(0, 2, 10000.0, 0), dimensions);
  EXPECT_THAT(build(4, 0, 10000.0, 0), dimensions);
  EXPECT_THAT(build(0, 3, 0.0, 0), dimensions);  // dimensions before base
  for (const double base : {0.0, -2.0, kNaN, kInfinity}) {
    EXPECT_THAT(build(4, 2, base, 0), ThrowsMessage<std::invalid_argument>(
                                          StrEq("RoPE base must be finite and positive")));
  }
  EXPECT_THAT(build(std::size_t{1} << 63, 4, 10000.0, 0),
              ThrowsMessage<std::overflow_error>(StrEq("tensor shape overflows size_t")));
  EXPECT_THAT(build(2, 2, 10000.0, static_cast<std::size_t>(-1)),
              ThrowsMessage<std::overflow_error>(StrEq("RoPE position overflows size_t")));
  EXPECT_NO_THROW((void)build_rope_table(1, 2, 10000.0, static_cast<std::size_t>(-1)));

  const RopeTable table = build_rope_table(4, 4, 10000.0, 0);
  const auto out_of_bounds =
      ThrowsMessage<std::out_of_range>(StrEq("RoPE table index out of bounds"));
  EXPECT_THAT([&] { (void)table.cos_at(4, 0); }, out_of_bounds);
  EXPECT_THAT([&] { (void)table.sin_at(0, 2); }, out_of_bounds);
  EXPECT_NO_THROW((void)table.sin_at(3, 1));
}

TEST(ApplyRope, PositionZeroIsTheIdentityAndPairsAreAdjacent) {
  // batch 1, seq 2, one head of width 4.
  Tensor query = make_tensor({2, 4}, {1, 2, 3, 4, 1, 2, 3, 4});
  Tensor key = make_tensor({2, 4}, {5, 6, 7, 8, 5, 6, 7, 8});
  const RopeTable table = build_rope_table(2, 4, 10000.0, 0);
  apply_rope(query, key, 1, 2, 1, 1, table, true, false);
  EXPECT_THAT(std::vector<double>(query.data.begin(), query.data.begin() + 4),
              ElementsAre(1, 2, 3, 4));
  const double c0 = elementary::cos(1.0);
  const double s0 = elementary::sin(1.0);
  const double c1 = elementary::cos(0.01);
  const double s1 = elementary::sin(0.01);
  EXPECT_THAT(std::vector<double>(query.data.begin() + 4, query.data.end()),
              ElementsAre(1 * c0 - 2 * s0, 2 * c0 + 1 * s0, 3 * c1 - 4 * s1, 4 * c1 + 3 * s1));
  EXPECT_THAT(std::vector<double>(key.data.begin() + 4, key.data.end()),
              ElementsAre(5 * c0 - 6 * s0, 6 * c0 + 5 * s0, 7 * c1 - 8 * s1, 8 * c1 + 7 * s1));
}

TEST(ApplyRope, InverseUndoesTheRotation) {
  const std::vector<double> values = {0.3, -1.2, 2.5,  0.7, -0.4, 1.9,  3.1, -2.2,
                                      1.1, 0.2,  -0.9, 4.0, 0.5,  -3.3, 2.2, 0.8};
  // batch 2, seq 2, two query heads and one key/value head of width 2.
  Tensor query = make_tensor({4, 4}, values);
  Tensor key = make_tensor({4, 2}, std::vector<double>(values.begin(), values.begin() + 8));
  const RopeTable table = build_rope_table(2, 2, 10000.0, 3);
  apply_rope(query, key, 2, 2, 2, 1, table, true, false);
  EXPECT_NE(query.data, values);
  apply_rope(query, key, 2, 2, 2, 1, table, true, true);
  for (std::size_t k = 0; k < values.size(); ++k) {
    EXPECT_NEAR(query.data[k], values[k], 1e-12) << k;
  }
  for (std::size_t k = 0; k < 8; ++k) {
    EXPECT_NEAR(key.data[k], values[k], 1e-12) << k;
  }
}

TEST(ApplyRope, SharedKeyHeadRotatesOnlyItsOwnColumns) {
  // Four query heads, one key/value head, head width 2, seq 2 (position 1 turns).
  Tensor query({2, 8}, 1.0, true);
  Tensor key = make_tensor({2, 2}, {1, 0, 1, 0});
  rotate_query_key(query, key, 1, 2, 4, 1, 2, 10000.0, 0, true, false);
  EXPECT_THAT(key.data, ElementsAre(1.0, 0.0, elementary::cos(1.0), elementary::sin(1.0)));
  for (std::size_t h = 0; h < 4; ++h) {
    EXPECT_EQ(query.at({1, 2 * h}), elementary::cos(1.0) - elementary::sin(1.0)) << h;
  }
}

TEST(ApplyRope, SinglePrecisionStoresFloats) {
  Tensor query = make_tensor({2, 2}, {0.1, 0.2, 0.3, 0.4});
  Tensor key = make_tensor({2, 2}, {0.5, 0.6, 0.7, 0.8});
  rotate_query_key(query, key, 1, 2, 1, 1, 2, 10000.0, 0, false, false);
  for (const double value : query.data) EXPECT_TRUE(is_single(value)) << value;
  for (const double value : key.data) EXPECT_TRUE(is_single(value)) << value;
}

TEST(ApplyRope, FailuresInOrder) {
  Tensor query({2, 4}, 1.0, true);
  Tensor key({2, 2}, 1.0, true);
  const RopeTable table = build_rope_table(2, 2, 10000.0, 0);
  const auto rope = [&query, &key](std::size_t batch, std::size_t seq, std::size_t query_heads,
                                   std::size_t kv_heads, RopeTable t) {
    return [&query, &key, batch, seq, query_heads, kv_heads, t] {
      apply_rope(query, key, batch, seq, query_heads, kv_heads, t, true, false);
    };
  };
  EXPECT_THAT(rope(1, 3, 2, 1, table), ThrowsMessage<std::invalid_argument>(
                                           StrEq("RoPE table is shorter than the sequence")));
  EXPECT_THAT(rope(1, 2, 1, 1, table),
              ThrowsMessage<std::invalid_argument>(StrEq("RoPE query has an invalid shape")));
  EXPECT_THAT(rope(1, 2, 2, 2, table),
              ThrowsMessage<std::invalid_argument>(StrEq("RoPE key has an invalid shape")));
  EXPECT_THAT(rope(std::size_t{1} << 63, 2, 2, 1, table),
              ThrowsMessage<std::overflow_error>(StrEq("tensor shape overflows size_t")));
  EXPECT_THAT(rope(1, 2, std::size_t{1} << 63, 1, table),
              ThrowsMessage<std::overflow_error>(StrEq("tensor shape overflows size_t")));
  // Shape errors leave the tensors untouched.
  EXPECT_EQ(query.data, std::vector<double>(8, 1.0));
}

TEST(ApplyRope, InconsistentHandBuiltTablesAreRefusedAfterTheShapes) {
  const RopeTable table = build_rope_table(2, 2, 10000.0, 0);
  RopeTable odd = table;
  odd.dim = 3;
  RopeTable zero = table;
  zero.dim = 0;
  RopeTable short_sin = table;
  short_sin.sin.pop_back();
  RopeTable short_cos = table;
  short_cos.cos.pop_back();
  RopeTable huge = table;
  huge.positions = std::numeric_limits<std::size_t>::max();

  // Query and key of one head each, shaped for the table's own dim.
  const auto fitting = [](std::size_t dim, double fill) {
    Tensor t;
    t.shape = {2, dim};
    t.data.assign(2 * dim, fill);
    return t;
  };
  const auto index_error =
      ThrowsMessage<std::out_of_range>(StrEq("RoPE table index out of bounds"));
  for (const RopeTable* bad : {&odd, &zero, &short_sin, &short_cos, &huge}) {
    Tensor query = fitting(bad->dim, 1.0);
    Tensor key = fitting(bad->dim, 2.0);
    EXPECT_THAT([&] { apply_rope(query, key, 1, 2, 1, 1, *bad, true, false); }, index_error)
        << bad->dim << " " << bad->positions;
    // Refused before anything is rotated.
    EXPECT_EQ(query.data, std::vector<double>(2 * bad->dim, 1.0));
    EXPECT_EQ(key.data, std::vector<double>(2 * bad->dim, 2.0));
    // The sequence length and the shapes are checked first.
    EXPECT_THAT([&] { apply_rope(query, key, 1, 3, 1, 1, *bad, true, false); },
                ThrowsMessage<std::invalid_argument>(
                    StrEq(bad == &huge ? "RoPE query has an invalid shape"
                                       : "RoPE table is shorter than the sequence")));
    Tensor wide_query = fitting(bad->dim + 2, 1.0);
    EXPECT_THAT([&] { apply_rope(wide_query, key, 1, 2, 1, 1, *bad, true, false); },
                ThrowsMessage<std::invalid_argument>(StrEq("RoPE query has an invalid shape")));
    Tensor wide_key = fitting(bad->dim + 2, 1.0);
    EXPECT_THAT([&] { apply_rope(query, wide_key, 1, 2, 1, 1, *bad, true, false); },
                ThrowsMessage<std::invalid_argument>(StrEq("RoPE key has an invalid shape")));
  }
  // The per-element lookups raise the same error.
  EXPECT_THAT([&] { (void)short_sin.sin_at(1, 0); }, index_error);
  EXPECT_THAT([&] { (void)odd.cos_at(0, 1); }, index_error);
}

TEST(ApplyRope, NonFiniteRotationUsesTheOperatorMessage) {
  Tensor query = make_tensor({2, 2}, {1.0, 1.0, 1.5e308, 1.5e308});
  Tensor key({2, 2}, 1.0, true);
  // At position 1, x1 * c + x0 * n = 1.5e308 * (cos 1 + sin 1) overflows.
  EXPECT_THAT([&] { rotate_query_key(query, key, 1, 2, 1, 1, 2, 10000.0, 0, true, false); },
              ThrowsMessage<std::domain_error>(StrEq(kOperatorMessage)));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
