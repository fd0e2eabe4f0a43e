#include "lumeth/inference/feed_forward.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "lumeth/inference/elementary.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using ::testing::DoubleNear;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Tensor make_tensor(std::vector<std::size_t> shape, std::vector<double> values) {
  Tensor t(std::move(shape), 0.0, true);
  t.data = std::move(values);
  return t;
}

TEST(GeluActivation, ExactErfForm) {
  EXPECT_EQ(gelu_activation(0.0), 0.0);
  EXPECT_NEAR(gelu_activation(1.0), 0.8413447460685429, 1e-15);
  EXPECT_NEAR(gelu_activation(-1.0), -0.15865525393145707, 1e-15);
  EXPECT_EQ(gelu_activation(1.0), (elementary::erf(1.0 * 0.7071067811865476) + 1.0) * (1.0 * 0.5));
  // The tanh approximation gives 0.841191990607..., off in the fourth digit.
  EXPECT_GT(std::fabs(gelu_activation(1.0) - 0.8411919906082768), 1e-4);
}

TEST(SwigluActivation, GateScalesTheUpValue) {
  EXPECT_EQ(swiglu_activation(0.0, 123.0), 0.0);
  EXPECT_EQ(swiglu_activation(0.0, -5.0), -0.0);
  EXPECT_NEAR(swiglu_activation(40.0, 3.0), 120.0, 1e-12);
  EXPECT_EQ(swiglu_activation(1.5, 2.0), (1.5 / (elementary::exp(-1.5) + 1.0)) * 2.0);
  // exp(1000) is infinite: the quotient is -0.0 and the product stays finite.
  const double v = swiglu_activation(-1000.0, 2.0);
  EXPECT_EQ(v, 0.0);
  EXPECT_TRUE(std::signbit(v));
}

// rows 2, model_dim 2, ffn_dim 2.
struct Block {
  Tensor input = make_tensor({2, 2}, {1.0, -0.5, 0.25, 2.0});
  Tensor gate = make_tensor({2, 2}, {0.5, 1.0, -1.0, 0.25});
  Tensor up = make_tensor({2, 2}, {1.0, 0.5, -0.75, 1.5});
  Tensor down = make_tensor({2, 2}, {1.0, -2.0, 0.5, 3.0});
};

// The same block computed element by element in the test.
std::vector<double> expected_block(const Block& w, bool swiglu) {
  std::vector<double> out(4, 0.0);
  for (std::size_t r = 0; r < 2; ++r) {
    double hidden[2];
    for (std::size_t f = 0; f < 2; ++f) {
      const double u = 0.0 + w.input.data[r * 2] * w.up.data[f * 2] +
                       w.input.data[r * 2 + 1] * w.up.data[f * 2 + 1];
      const double g = 0.0 + w.input.data[r * 2] * w.gate.data[f * 2] +
                       w.input.data[r * 2 + 1] * w.gate.data[f * 2 + 1];
      hidden[f] = swiglu ? (g / (elementary::exp(-g) + 1.0)) * u
                         : (elementary::erf(u * 0.7071067811865476) + 1.0) * (u * 0.5);
    }
    for (std::size_t o = 0; o < 2; ++o) {
      out[r * 2 + o] = 0.0 + hidden[0] * w.down.data[o * 2] + hidden[1] * w.down.data[o * 2 + 1];
    }
  }
  return out;
}

TEST(FeedForward, BothKindsMatchAnElementwiseComputation) {
  const Block w;
  const Tensor s =
      feed_forward(w.input, w.gate, w.up, w.down, 2, 2, 2, FeedForwardKind::swiglu, true);
  EXPECT_THAT(s.shape, ElementsAre(2U, 2U));
  EXPECT_EQ(s.data, expected_block(w, true));
  const Tensor g =
      feed_forward(w.input, w.gate, w.up, w.down, 2, 2, 2, FeedForwardKind::gelu_mlp, true);
  EXPECT_EQ(g.data, expected_block(w, false));
}

TEST(FeedForward, GeluNeverReadsTheGate) {
  Block w;
  const Tensor reference =
      feed_forward(w.input, w.gate, w.up, w.down, 2, 2, 2, FeedForwardKind::gelu_mlp, true);
  w.gate = make_tensor({2, 2}, {kNaN, kNaN, kNaN, kNaN});
  EXPECT_EQ(
      feed_forward(w.input, w.gate, w.up, w.down, 2, 2, 2, FeedForwardKind::gelu_mlp, true).data,
      reference.data);
  // Not even its shape.
  w.gate = Tensor();
  EXPECT_NO_THROW(
      (void)feed_forward(w.input, w.gate, w.up, w.down, 2, 2, 2, FeedForwardKind::gelu_mlp, true));
  EXPECT_THAT(
      [&] {
        (void)feed_forward(w.input, w.gate, w.up, w.down, 2, 2, 2, FeedForwardKind::swiglu, true);
      },
      ThrowsMessage<std::invalid_argument>(StrEq("linear weight has an invalid shape")));
}

TEST(FeedForward, VeryNegativeGateIsNotAnError) {
  // Gate -1000 in every hidden unit: hidden is -0.0 * up, the output zero.
  const Tensor input = make_tensor({1, 1}, {1.0});
  const Tensor gate = make_tensor({1, 1}, {-1000.0});
  const Tensor up = make_tensor({1, 1}, {5.0});
  const Tensor down = make_tensor({1, 1}, {1.0});
  const Tensor out = feed_forward(input, gate, up, down, 1, 1, 1, FeedForwardKind::swiglu, false);
  EXPECT_EQ(out.data[0], 0.0);
  // A large gate passes the up value through almost unchanged.
  const Tensor open = feed_forward(input, make_tensor({1, 1}, {50.0}), up, down, 1, 1, 1,
                                   FeedForwardKind::swiglu, true);
  EXPECT_THAT(open.data[0], DoubleNear(250.0, 1e-9));
}

TEST(FeedForward, SinglePrecisionStoresFloats) {
  const Block w;
  for (const FeedForwardKind kind : {FeedForwardKind::swiglu, FeedForwardKind::gelu_mlp}) {
    const Tensor out = feed_forward(w.input, w.gate, w.up, w.down, 2, 2, 2, kind, false);
    EXPECT_FALSE(out.full_precision);
    for (const double value : out.data) {
      EXPECT_EQ(static_cast<double>(static_cast<float>(value)), value);
    }
  }
}

TEST(FeedForward, UnknownKindIsReportedAfterTheUpProjectionChecks) {
  const Block w;
  const auto kind2 = static_cast<FeedForwardKind>(2);
  EXPECT_THAT([&] { (void)feed_forward(w.input, w.gate, w.up, w.down, 2, 2, 2, kind2, true); },
              ThrowsMessage<std::invalid_argument>(StrEq("unknown feed-forward operator")));
  const Tensor wrong_input = make_tensor({2, 1}, {1.0, 2.0});
  EXPECT_THAT([&] { (void)feed_forward(wrong_input, w.gate, w.up, w.down, 2, 2, 2, kind2, true); },
              ThrowsMessage<std::invalid_argument>(StrEq("linear input has an invalid shape")));
  EXPECT_THAT(
      [&] { (void)feed_forward(w.input, w.gate, wrong_input, w.down, 2, 2, 2, kind2, true); },
      ThrowsMessage<std::invalid_argument>(StrEq("linear weight has an invalid shape")));
  // The down weight is only reached after the kind.
  EXPECT_THAT([&] { (void)feed_forward(w.input, w.gate, w.up, wrong_input, 2, 2, 2, kind2, true); },
              ThrowsMessage<std::invalid_argument>(StrEq("unknown feed-forward operator")));
}

TEST(FeedForward, NonFiniteValuesUseTheOperatorMessage) {
  const Tensor input = make_tensor({1, 1}, {1.0});
  const Tensor one = make_tensor({1, 1}, {1.0});
  const Tensor huge = make_tensor({1, 1}, {1e200});
  const auto non_finite =
      ThrowsMessage<std::domain_error>(StrEq("transformer operator produced NaN/Inf"));
  // up is 1e200, hidden (gate 1e200) is about 1e400.
  EXPECT_THAT(
      [&] { (void)feed_forward(input, huge, huge, one, 1, 1, 1, FeedForwardKind::swiglu, true); },
      non_finite);
  // hidden finite, the down projection overflows.
  EXPECT_THAT(
      [&] { (void)feed_forward(input, one, huge, huge, 1, 1, 1, FeedForwardKind::gelu_mlp, true); },
      non_finite);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
