#include "lumeth/inference/tensor.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

namespace Orvane::Core::Lumeth {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr std::size_t kTwoTo31 = std::size_t{1} << 31;
constexpr std::size_t kTwoTo32 = std::size_t{1} << 32;
constexpr std::size_t kMax = static_cast<std::size_t>(-1);

TEST(ElementCount, CountsExtents) {
  EXPECT_EQ(element_count(std::vector<std::size_t>{}), 1U);
  EXPECT_EQ(element_count(std::vector<std::size_t>{7}), 7U);
  EXPECT_EQ(element_count(std::vector<std::size_t>{2, 3, 4}), 24U);
  EXPECT_EQ(element_count(std::vector<std::size_t>{kTwoTo32, kTwoTo31}), std::size_t{1} << 63);
  EXPECT_EQ(element_count(std::vector<std::size_t>{kMax}), kMax);
}

TEST(ElementCount, RefusesZeroExtentsAndOverflowInOrder) {
  const auto count = [](std::vector<std::size_t> shape) {
    return [shape] { (void)element_count(shape); };
  };
  EXPECT_THAT(count({2, 0, 3}),
              ThrowsMessage<std::invalid_argument>(StrEq("tensor extent must be positive")));
  EXPECT_THAT(count({kTwoTo32, kTwoTo32}),
              ThrowsMessage<std::overflow_error>(StrEq("tensor shape overflows size_t")));
  EXPECT_THAT(count({kMax, 2}),
              ThrowsMessage<std::overflow_error>(StrEq("tensor shape overflows size_t")));
  // Extents are examined in order: the zero comes first here, the overflow
  // first there.
  EXPECT_THAT(count({kTwoTo32, 0, kTwoTo32}),
              ThrowsMessage<std::invalid_argument>(StrEq("tensor extent must be positive")));
  EXPECT_THAT(count({kTwoTo32, kTwoTo32, 0}),
              ThrowsMessage<std::overflow_error>(StrEq("tensor shape overflows size_t")));
}

TEST(CheckedProduct, DetectsOverflow) {
  EXPECT_EQ(checked_product(kTwoTo32, kTwoTo31), std::size_t{1} << 63);
  EXPECT_EQ(checked_product(0, kMax), 0U);
  EXPECT_THAT([] { (void)checked_product(kTwoTo32, kTwoTo32); },
              ThrowsMessage<std::overflow_error>(StrEq("tensor shape overflows size_t")));
}

TEST(Tensor, ConstructionFillsEveryElement) {
  const Tensor t({2, 3}, 1.5, false);
  EXPECT_THAT(t.shape, ElementsAre(2U, 3U));
  EXPECT_EQ(t.data, std::vector<double>(6, 1.5));
  EXPECT_FALSE(t.full_precision);

  const Tensor scalar({}, -2.0, true);
  EXPECT_EQ(scalar.data.size(), 1U);
  EXPECT_EQ(scalar.at({}), -2.0);
}

TEST(Tensor, DefaultIsTheEmptyStateNotAScalar) {
  const Tensor t;
  EXPECT_THAT(t.shape, IsEmpty());
  EXPECT_THAT(t.data, IsEmpty());
  EXPECT_TRUE(t.full_precision);
  EXPECT_THAT([&] { (void)t.at({}); },
              ThrowsMessage<std::out_of_range>(StrEq("tensor index out of bounds")));
}

TEST(Tensor, ConstructionFailures) {
  EXPECT_THAT(
      [] {
        Tensor({2, 0, 3}, 0.0, true);
      },
      ThrowsMessage<std::invalid_argument>(StrEq("tensor extent must be positive")));
  EXPECT_THAT(
      [] {
        Tensor({kTwoTo32, kTwoTo32}, 0.0, true);
      },
      ThrowsMessage<std::overflow_error>(StrEq("tensor shape overflows size_t")));
  // The count fits in size_t but not in a vector of doubles.
  EXPECT_THROW(Tensor({kTwoTo32, kTwoTo31}, 0.0, true), std::length_error);
}

TEST(Tensor, RowMajorIndexing) {
  Tensor t({2, 3}, 0.0, true);
  EXPECT_EQ(t.offset({1, 2}), 5U);
  EXPECT_EQ(t.offset({1, 0}), 3U);
  t.at({1, 2}) = 7.0;
  EXPECT_EQ(t.data[5], 7.0);
  const Tensor& view = t;
  EXPECT_EQ(view.at({1, 2}), 7.0);
  const std::vector<std::size_t> index{0, 1};
  t.at(index) = 4.0;
  EXPECT_EQ(view.at(index), 4.0);
  EXPECT_EQ(t.data[1], 4.0);

  Tensor cube({2, 3, 4}, 0.0, true);
  EXPECT_EQ(cube.offset({1, 2, 3}), 23U);
  EXPECT_EQ(cube.offset({1, 0, 2}), 14U);
}

TEST(Tensor, IndexingFailuresChangeNothing) {
  Tensor t({2, 3}, 1.0, true);
  const auto read = [&t](std::vector<std::size_t> index) {
    return [&t, index] { (void)std::as_const(t).at(index); };
  };
  const auto write = [&t](std::vector<std::size_t> index) {
    return [&t, index] { t.at(index) = 9.0; };
  };
  EXPECT_THAT(read({2, 0}), ThrowsMessage<std::out_of_range>(StrEq("tensor index out of bounds")));
  EXPECT_THAT(read({0, 3}), ThrowsMessage<std::out_of_range>(StrEq("tensor index out of bounds")));
  EXPECT_THAT(read({1}), ThrowsMessage<std::out_of_range>(StrEq("tensor rank mismatch")));
  EXPECT_THAT(read({0, 0, 0}), ThrowsMessage<std::out_of_range>(StrEq("tensor rank mismatch")));
  // The rank is checked before any bound.
  EXPECT_THAT(read({5}), ThrowsMessage<std::out_of_range>(StrEq("tensor rank mismatch")));
  EXPECT_THAT(write({2, 0}), ThrowsMessage<std::out_of_range>(StrEq("tensor index out of bounds")));
  EXPECT_THAT(write({0}), ThrowsMessage<std::out_of_range>(StrEq("tensor rank mismatch")));
  EXPECT_EQ(t.data, std::vector<double>(6, 1.0));
}

TEST(Tensor, StorageShorterThanShapeIsNeverRead) {
  Tensor t({2, 3}, 1.0, true);
  t.data.resize(4);
  EXPECT_EQ(t.at({1, 0}), 1.0);
  EXPECT_THAT(
      [&] {
        (void)t.at({1, 1});
      },
      ThrowsMessage<std::out_of_range>(StrEq("tensor index out of bounds")));
  EXPECT_THAT([&] { check_storage(t); },
              ThrowsMessage<std::out_of_range>(StrEq("tensor index out of bounds")));
  t.data.resize(6);
  EXPECT_NO_THROW(check_storage(t));
}

TEST(Tensor, OffsetsThatWouldWrapAreOutOfBounds) {
  // Shapes no constructor accepts, set by hand over two stored values: an
  // offset past 2^64 - 1 must not wrap onto one of them.
  const std::size_t big = std::size_t{1} << 32;
  Tensor t;
  t.data = {5.0, 6.0};
  t.shape = {big, big, big};
  EXPECT_EQ(t.at({0, 0, 0}), 5.0);
  EXPECT_EQ(t.at({0, 0, 1}), 6.0);
  const auto out_of_bounds = ThrowsMessage<std::out_of_range>(StrEq("tensor index out of bounds"));
  // 1 * 2^32 * 2^32 wraps to 0 in the multiplication.
  EXPECT_THAT([&] { (void)t.at({1, 0, 0}); }, out_of_bounds);
  EXPECT_THAT([&] { (void)t.offset({big - 1, big - 1, 1}); }, out_of_bounds);
  // (2^64 - 1) / 3 * 3 is 2^64 - 1; adding 1 wraps to 0 in the addition.
  t.shape = {std::size_t{1} << 63, 3};
  EXPECT_THAT([&] { (void)t.at({std::numeric_limits<std::size_t>::max() / 3, 1}); }, out_of_bounds);
  EXPECT_EQ(t.at({0, 1}), 6.0);
}

TEST(Tensor, CopyIsDeepAndMoveLeavesTheSourceEmpty) {
  Tensor source({2}, 3.0, false);
  Tensor copy = source;
  copy.data[0] = 4.0;
  EXPECT_EQ(source.data[0], 3.0);
  EXPECT_FALSE(copy.full_precision);

  Tensor moved = std::move(source);
  EXPECT_THAT(moved.shape, ElementsAre(2U));
  EXPECT_EQ(moved.data, std::vector<double>(2, 3.0));
  EXPECT_FALSE(moved.full_precision);
  // NOLINTBEGIN(bugprone-use-after-move): the moved-from state is the contract.
  EXPECT_THAT(source.shape, IsEmpty());
  EXPECT_THAT(source.data, IsEmpty());
  EXPECT_FALSE(source.full_precision);

  Tensor target({3, 3}, 1.0, true);
  target = std::move(moved);
  EXPECT_THAT(target.shape, ElementsAre(2U));
  EXPECT_FALSE(target.full_precision);
  EXPECT_THAT(moved.shape, IsEmpty());
  EXPECT_THAT(moved.data, IsEmpty());
  // NOLINTEND(bugprone-use-after-move)
  // Not a valid scalar any more.
  EXPECT_THAT([&] { (void)moved.at({}); },
              ThrowsMessage<std::out_of_range>(StrEq("tensor index out of bounds")));
}

TEST(CheckShape, DemandsTheExactExtents) {
  const Tensor t({4}, 0.0, true);
  EXPECT_NO_THROW(check_shape(t, {4}, "query weight"));
  // Same element count, different rank.
  EXPECT_THAT(
      [&] {
        check_shape(t, {4, 1}, "query weight");
      },
      ThrowsMessage<std::invalid_argument>(StrEq("query weight has an invalid shape")));
  EXPECT_THAT([&] { check_shape(t, {5}, "token embedding"); },
              ThrowsMessage<std::invalid_argument>(StrEq("token embedding has an invalid shape")));
  const Tensor matrix({2, 3}, 0.0, true);
  EXPECT_THAT(
      [&] {
        check_shape(matrix, {3, 2}, "linear input");
      },
      ThrowsMessage<std::invalid_argument>(StrEq("linear input has an invalid shape")));
  EXPECT_THAT([&] { check_shape(Tensor(), {1}, "final norm"); },
              ThrowsMessage<std::invalid_argument>(StrEq("final norm has an invalid shape")));
  EXPECT_NO_THROW(check_shape(Tensor(), {}, "empty"));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
