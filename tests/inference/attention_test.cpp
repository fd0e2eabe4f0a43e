#include "lumeth/inference/attention.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "lumeth/inference/elementary.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

Tensor make_tensor(std::vector<std::size_t> shape, std::vector<double> values) {
  Tensor t(std::move(shape), 0.0, true);
  t.data = std::move(values);
  return t;
}

bool is_single(double value) { return static_cast<double>(static_cast<float>(value)) == value; }

TEST(Attention, SinglePositionCopiesItsValueRow) {
  const Tensor q = make_tensor({1, 2}, {0.3, -0.7});
  const Tensor k = make_tensor({1, 2}, {1.5, 2.5});
  const Tensor v = make_tensor({1, 2}, {4.0, -5.0});
  const AttentionResult r = attention(q, k, v, 1, 1, 1, 1, 2, {}, true);
  EXPECT_THAT(r.scores.shape, ElementsAre(1U, 1U, 1U, 1U));
  EXPECT_EQ(r.scores.data[0], (0.3 * 1.5 + -0.7 * 2.5) * (1.0 / std::sqrt(2.0)));
  EXPECT_EQ(r.probabilities.data[0], 1.0);
  EXPECT_THAT(r.output.shape, ElementsAre(1U, 2U));
  EXPECT_THAT(r.output.data, ElementsAre(4.0, -5.0));
}

TEST(Attention, SecondPositionAttendsCausallyWithAStableSoftmax) {
  // One head of width 4 (scale exactly 0.5), two positions.
  const Tensor q = make_tensor({2, 4}, {9, 9, 9, 9, 1, 2, 0, 0});
  const Tensor k = make_tensor({2, 4}, {1, 0, 0, 0, 0, 1, 0, 0});
  const Tensor v = make_tensor({2, 4}, {1, 2, 3, 4, -1, 0.5, 0, 2});
  const AttentionResult r = attention(q, k, v, 1, 2, 1, 1, 4, {}, true);

  // Row 0 sees only key 0; row 1 sees keys 0 and 1 with scores 0.5 and 1.0.
  const double e0 = elementary::exp(0.5 - 1.0);
  const double e1 = elementary::exp(1.0 - 1.0);
  const double sum = 0.0 + e0 + e1;
  const double p0 = e0 / sum;
  const double p1 = e1 / sum;
  EXPECT_THAT(r.scores.data, ElementsAre(4.5, 0.0, 0.5, 1.0));
  EXPECT_THAT(r.probabilities.data, ElementsAre(1.0, 0.0, p0, p1));
  const std::vector<double> v0 = {1, 2, 3, 4};
  const std::vector<double> v1 = {-1, 0.5, 0, 2};
  for (std::size_t d = 0; d < 4; ++d) {
    EXPECT_EQ(r.output.at({0, d}), v0[d]);
    EXPECT_EQ(r.output.at({1, d}), v1[d] * p1 + (v0[d] * p0 + 0.0)) << d;
  }
}

TEST(Attention, EqualScoresShareEvenly) {
  const Tensor q = make_tensor({2, 1}, {1.0, 1.0});
  const Tensor k = make_tensor({2, 1}, {2.0, 2.0});
  const Tensor v = make_tensor({2, 1}, {6.0, 10.0});
  const AttentionResult r = attention(q, k, v, 1, 2, 1, 1, 1, {}, true);
  EXPECT_EQ(r.probabilities.at({0, 0, 1, 0}), 0.5);
  EXPECT_EQ(r.probabilities.at({0, 0, 1, 1}), 0.5);
  EXPECT_EQ(r.output.at({1, 0}), 8.0);
}

TEST(Attention, ConsecutiveQueryHeadsShareAKeyValueHead) {
  // Four query heads of width 1 over two key/value heads; seq 2. Key head 0
  // favours position 0, key head 1 favours position 1.
  const Tensor q = make_tensor({2, 4}, {1, 1, 1, 1, 1, 1, 1, 1});
  const Tensor k = make_tensor({2, 2}, {50, -50, -50, 50});
  const Tensor v = make_tensor({2, 2}, {1, 100, 2, 200});
  const AttentionResult r = attention(q, k, v, 1, 2, 4, 2, 1, {}, true);
  // Position 0 sees only itself: heads 0, 1 copy value head 0, heads 2, 3 head 1.
  EXPECT_THAT(std::vector<double>(r.output.data.begin(), r.output.data.begin() + 4),
              ElementsAre(1.0, 1.0, 100.0, 100.0));
  // Position 1: heads 0 and 1 lean to position 0, heads 2 and 3 to position 1.
  for (std::size_t h = 0; h < 4; ++h) {
    const std::size_t g = h / 2;
    const double key0 = k.at({0, g});
    const double key1 = k.at({1, g});
    EXPECT_EQ(r.scores.at({0, h, 1, 0}), key0) << h;
    EXPECT_EQ(r.scores.at({0, h, 1, 1}), key1) << h;
  }
  EXPECT_EQ(r.output.at({1, 0}), r.output.at({1, 1}));
  EXPECT_EQ(r.output.at({1, 2}), r.output.at({1, 3}));
  EXPECT_LT(r.output.at({1, 0}), 1.5);
  EXPECT_GT(r.output.at({1, 2}), 199.0);
}

TEST(Attention, PositionsBeyondALengthStayZero) {
  // Batch 2, seq 3, lengths [1, 3]; one head of width 1.
  const Tensor q = make_tensor({6, 1}, {1, 2, 3, 4, 5, 6});
  const Tensor k = make_tensor({6, 1}, {1, 1, 1, 1, 1, 1});
  const Tensor v = make_tensor({6, 1}, {7, 8, 9, 1, 2, 3});
  const std::vector<std::size_t> lengths = {1, 3};
  const AttentionResult r = attention(q, k, v, 2, 3, 1, 1, 1, lengths, true);
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      const bool visible = i == 0 && j == 0;
      EXPECT_EQ(r.scores.at({0, 0, i, j}) != 0.0, visible) << i << j;
      EXPECT_EQ(r.probabilities.at({0, 0, i, j}) != 0.0, visible) << i << j;
      // Sequence 1 uses all positions causally; the upper triangle stays 0.0.
      EXPECT_EQ(r.probabilities.at({1, 0, i, j}) != 0.0, j <= i) << i << j;
    }
  }
  EXPECT_EQ(r.output.data[0], 7.0);
  EXPECT_EQ(r.output.data[1], 0.0);
  EXPECT_EQ(r.output.data[2], 0.0);
  EXPECT_EQ(r.output.data[3], 1.0);
}

TEST(Attention, SinglePrecisionStoresFloats) {
  const Tensor q = make_tensor({3, 2}, {0.1, 0.2, 0.3, 0.4, 0.5, 0.6});
  const Tensor k = make_tensor({3, 2}, {0.7, 0.8, 0.9, 1.0, 1.1, 1.2});
  const Tensor v = make_tensor({3, 2}, {1.3, 1.4, 1.5, 1.6, 1.7, 1.8});
  const AttentionResult r = attention(q, k, v, 1, 3, 1, 1, 2, {}, false);
  EXPECT_FALSE(r.scores.full_precision);
  EXPECT_FALSE(r.probabilities.full_precision);
  EXPECT_FALSE(r.output.full_precision);
  for (const Tensor* t : {&r.scores, &r.probabilities, &r.output}) {
    for (const double value : t->data) EXPECT_TRUE(is_single(value)) << value;
  }
  const AttentionResult full = attention(q, k, v, 1, 3, 1, 1, 2, {}, true);
  EXPECT_NE(full.scores.data, r.scores.data);
}

TEST(Attention, ArgumentChecksRunInOrderBeforeAnyComputation) {
  const Tensor q = make_tensor({2, 2}, {1, 2, 3, 4});
  const Tensor kv = make_tensor({2, 2}, {1, 2, 3, 4});
  const Tensor narrow = make_tensor({2, 1}, {1, 2});
  struct Case {
    const char* name;
    std::size_t batch, seq, query_heads, kv_heads, head_dim;
    std::vector<std::size_t> lengths;
    const Tensor* key;
    const Tensor* value;
    const char* message;
  };
  const char* gqa = "GQA query heads must be divisible by KV heads";
  const std::vector<Case> cases = {
      // The head check comes before the shapes, which are wrong too here.
      {"indivisible", 1, 2, 4, 3, 1, {}, &narrow, &narrow, gqa},
      {"no query heads", 1, 2, 0, 1, 2, {}, &kv, &kv, gqa},
      {"no kv heads", 1, 2, 1, 0, 2, {}, &kv, &kv, gqa},
      {"lengths count",
       3,
       2,
       1,
       1,
       2,
       {1, 1},
       &narrow,
       &narrow,
       "attention lengths do not match batch"},
      {"query", 1, 2, 2, 1, 2, {}, &kv, &kv, "attention query has an invalid shape"},
      {"key", 1, 2, 1, 1, 2, {}, &narrow, &kv, "attention key has an invalid shape"},
      {"value", 1, 2, 1, 1, 2, {}, &kv, &narrow, "attention value has an invalid shape"},
      {"length above seq", 1, 2, 1, 1, 2, {3}, &kv, &kv, "attention length exceeds sequence"},
  };
  for (const Case& c : cases) {
    EXPECT_THAT(
        [&] {
          (void)attention(q, *c.key, *c.value, c.batch, c.seq, c.query_heads, c.kv_heads,
                          c.head_dim, c.lengths, true);
        },
        ThrowsMessage<std::invalid_argument>(StrEq(c.message)))
        << c.name;
  }
}

TEST(Attention, OverflowingShapeProductsAreRefused) {
  const Tensor t = make_tensor({2, 2}, {1, 2, 3, 4});
  const auto overflow = ThrowsMessage<std::overflow_error>(StrEq("tensor shape overflows size_t"));
  const std::size_t huge = std::size_t{1} << 63;
  EXPECT_THAT([&] { (void)attention(t, t, t, huge, 2, 1, 1, 2, {}, true); }, overflow);
  EXPECT_THAT([&] { (void)attention(t, t, t, 1, 2, huge, 1, 2, {}, true); }, overflow);
}

TEST(Attention, EarlierSequencesAreComputedBeforeALaterLengthIsChecked) {
  // Sequence 0 overflows its score; sequence 1 has a bad length. The
  // computation reaches sequence 0 first.
  const double big = 1e200;
  const Tensor q = make_tensor({2, 1}, {big, 1.0});
  const Tensor k = make_tensor({2, 1}, {big, 1.0});
  const std::vector<std::size_t> lengths = {1, 2};
  EXPECT_THAT([&] { (void)attention(q, k, k, 2, 1, 1, 1, 1, lengths, true); },
              ThrowsMessage<std::domain_error>(StrEq("transformer operator produced NaN/Inf")));
  const Tensor fine = make_tensor({2, 1}, {1.0, 1.0});
  EXPECT_THAT([&] { (void)attention(fine, fine, fine, 2, 1, 1, 1, 1, lengths, true); },
              ThrowsMessage<std::invalid_argument>(StrEq("attention length exceeds sequence")));
}

TEST(Attention, ZeroLengthSequencesProduceNothing) {
  const Tensor t = make_tensor({2, 1}, {1.0, 2.0});
  const std::vector<std::size_t> lengths = {0};
  const AttentionResult r = attention(t, t, t, 1, 2, 1, 1, 1, lengths, true);
  EXPECT_THAT(r.scores.data, Each(0.0));
  EXPECT_THAT(r.probabilities.data, Each(0.0));
  EXPECT_THAT(r.output.data, Each(0.0));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
