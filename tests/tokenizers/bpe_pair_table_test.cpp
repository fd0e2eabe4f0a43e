#include "lumeth/tokenizers/internal/bpe_pair_table.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// 200000 distinct keys: every pair of 400 left ids and 500 right ids, which
// share most of their bits, as the pairs of a real merge list do.
std::vector<std::uint64_t> manyKeys() {
  std::vector<std::uint64_t> keys;
  keys.reserve(200000);
  for (std::uint32_t left = 0; left < 400; ++left) {
    for (std::uint32_t right = 0; right < 500; ++right) {
      keys.push_back(pairKey(left * 2621 + 256, right));
    }
  }
  return keys;
}

TEST(BpePairTable, FindsEveryKeyAfterGrowingManyTimes) {
  const std::vector<std::uint64_t> keys = manyKeys();
  BpePairTable<std::uint32_t> table;  // room for few entries: it grows often
  for (std::uint32_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(table.insert(keys[i], i), i);
  }
  EXPECT_EQ(table.size(), keys.size());
  for (std::uint32_t i = 0; i < keys.size(); ++i) {
    ASSERT_EQ(table.find(keys[i]), i) << i;
  }
  for (const std::uint64_t absent : {pairKey(255, 0), pairKey(256, 500), pairKey(0xFFFFFFFF, 7),
                                     std::uint64_t{0xFFFFFFFFFFFFFFFEull}}) {
    EXPECT_EQ(table.find(absent), BpePairTable<std::uint32_t>::kAbsent) << absent;
  }
}

TEST(BpePairTable, KeepsTheFirstValueOfAKey) {
  const std::vector<std::uint64_t> keys = manyKeys();
  BpePairTable<std::uint32_t> table(1000);
  for (std::uint32_t i = 0; i < keys.size(); ++i) {
    table.insert(keys[i], i);
  }
  for (std::uint32_t i = 0; i < keys.size(); i += 7) {
    ASSERT_EQ(table.insert(keys[i], 0xABCDEFu), i);
  }
  EXPECT_EQ(table.size(), keys.size());
  EXPECT_EQ(table.find(keys[14]), 14u);
}

TEST(BpePairTable, WideValuesUseTheirOwnAbsentMarker) {
  BpePairTable<std::uint64_t> table;
  EXPECT_EQ(table.find(pairKey(1, 2)), 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(table.insert(pairKey(1, 2), std::uint64_t{1} << 40), std::uint64_t{1} << 40);
  EXPECT_EQ(table.find(pairKey(1, 2)), std::uint64_t{1} << 40);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
