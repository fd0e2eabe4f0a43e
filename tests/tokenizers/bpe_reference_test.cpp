#include "lumeth/tokenizers/internal/bpe_reference.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Orvane::Core::Lumeth {
namespace {

using Ids = std::vector<std::uint32_t>;

constexpr std::uint32_t a = 'a';
constexpr std::uint32_t b = 'b';
constexpr std::uint32_t c = 'c';

// ---- Encoding ----

TEST(ReplaceEveryPair, ReplacesLeftToRightWithoutOverlap) {
  Ids three{a, a, a};
  replaceEveryPair(three, a, a, 256);
  EXPECT_EQ(three, (Ids{256, a}));

  Ids mixed{a, b, a, a, b, b};
  replaceEveryPair(mixed, a, b, 300);
  EXPECT_EQ(mixed, (Ids{300, a, 300, b}));

  Ids none{b, a};
  replaceEveryPair(none, a, b, 300);
  EXPECT_EQ(none, (Ids{b, a}));
}

TEST(MergeRunReference, AppliesTheLowestIdFirstAndKeepsTheFirstIdOfARepeatedPair) {
  // 256 = (a, b), 257 = (b, c), 258 = (a, b) again, 259 = (256, c).
  const std::vector<BpeMerge> merges = {{a, b, "ab"}, {b, c, "bc"}, {a, b, "ab"}, {256, c, "abc"}};
  const BpeRankTable ranks = buildBpeRankTable(merges);
  EXPECT_EQ(ranks,
            (BpeRankTable{{pairKey(a, b), 256}, {pairKey(b, c), 257}, {pairKey(256, c), 259}}));

  Ids symbols{a, b, c, c, b, c};
  mergeRunReference(symbols, ranks);
  EXPECT_EQ(symbols, (Ids{259, c, 257}));

  Ids untouched{c, a};
  mergeRunReference(untouched, ranks);
  EXPECT_EQ(untouched, (Ids{c, a}));
}

// ---- Training ----

TEST(BpeWordTable, HoldsEachDistinctRunOnceWithItsCountInFirstOccurrenceOrder) {
  const std::vector<BpeWord> words = buildBpeWordTable("ab  ab\nab  c");
  const std::vector<BpeWord> expected = {
      {{'a', 'b'}, 3},
      {{' ', ' '}, 2},
      {{'\n'}, 1},
      {{'c'}, 1},
  };
  EXPECT_EQ(words, expected);
  EXPECT_TRUE(buildBpeWordTable("").empty());
}

TEST(BpePairCounts, WeighsEveryAdjacentPairByItsWordCount) {
  const std::vector<BpeWord> words = {{{'a', 'a', 'a'}, 5}, {{'a', 'b'}, 2}, {{'z'}, 9}};
  const BpePairCounts counts = countBpePairs(words);
  EXPECT_EQ(counts, (BpePairCounts{{pairKey('a', 'a'), 10}, {pairKey('a', 'b'), 2}}));
}

TEST(SelectBestBpePair, PrefersTheGreatestCountThenTheSmallestKey) {
  std::vector<std::string> tokenBytes;
  for (int value = 0; value < 256; ++value) {
    tokenBytes.emplace_back(1, static_cast<char>(value));
  }
  tokenBytes.emplace_back("abc");  // id 256
  const BpePairCounts counts = {
      {pairKey('b', 'a'), 4},
      {pairKey('a', 'c'), 4},
      {pairKey('a', 'b'), 3},
      {pairKey(256, 256), 9},  // 6 bytes
  };
  EXPECT_EQ(selectBestBpePair(counts, tokenBytes, 6),
            (BpePairChoice{.key = pairKey(256, 256), .count = 9}));
  EXPECT_EQ(selectBestBpePair(counts, tokenBytes, 5),
            (BpePairChoice{.key = pairKey('a', 'c'), .count = 4}));
  EXPECT_FALSE(selectBestBpePair({{pairKey(256, 'a'), 9}}, tokenBytes, 3).has_value());
  EXPECT_FALSE(selectBestBpePair({}, tokenBytes, 16).has_value());
}

TEST(TrainBpeReference, RefusesInvalidLimitsLikeTrainBpe) {
  try {
    (void)trainBpeReference("ab", BpeTrainingLimits{.vocabularySize = 257});
    ADD_FAILURE() << "expected the vocabulary message";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "BPE vocabulary must be in [258, 1048576]");
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
