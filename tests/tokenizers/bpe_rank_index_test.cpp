#include "lumeth/tokenizers/internal/bpe_rank_index.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "lumeth/tokenizers/internal/bpe_reference.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// A merge list of `count` merges, each joining two random earlier tokens of
// a three-letter alphabet: many repeated pairs and many merged-id pairs. The
// bytes are not needed by the index and are left empty.
std::vector<BpeMerge> randomMerges(std::uint32_t count, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<std::uint32_t> ids = {'a', 'b', 'c'};
  std::vector<BpeMerge> merges;
  for (std::uint32_t i = 0; i < count; ++i) {
    merges.push_back(BpeMerge{
        .left = ids[random() % ids.size()], .right = ids[random() % ids.size()], .bytes = {}});
    ids.push_back(kFirstBpeMergeId + i);
  }
  return merges;
}

// Looks up every pair of ids below `limit` in both the index and the plain
// rank table.
void expectSameAsTheRankTable(const BpeRankIndex& index, const BpeRankTable& ranks,
                              std::uint32_t limit) {
  for (std::uint32_t left = 0; left < limit; ++left) {
    for (std::uint32_t right = 0; right < limit; ++right) {
      const auto found = ranks.find(pairKey(left, right));
      const std::uint32_t expected = found == ranks.end() ? BpeRankIndex::kAbsent : found->second;
      ASSERT_EQ(index.find(left, right), expected) << left << ", " << right;
    }
  }
}

TEST(BpeRankIndex, FindsTheFirstIdOfEveryPairAndThePairOfEveryId) {
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    const std::vector<BpeMerge> merges = randomMerges(300, seed);
    const BpeRankIndex index(merges);
    expectSameAsTheRankTable(index, buildBpeRankTable(merges), kFirstBpeMergeId + 310);
    for (std::uint32_t i = 0; i < merges.size(); ++i) {
      EXPECT_EQ(index.pairOf(kFirstBpeMergeId + i), pairKey(merges[i].left, merges[i].right));
    }
  }
  EXPECT_TRUE(BpeRankIndex({}).empty());
}

TEST(BpeRankIndex, AnUnvalidatedPairOfTheLargestIdsDisturbsNoOtherLookup) {
  // The key of (0xFFFFFFFF, 0xFFFFFFFF) is the pair table's empty-slot
  // marker. Such a merge can never apply (no run holds that id), and every
  // other pair must still be found, or found absent, as before.
  for (std::uint64_t seed = 1; seed <= 3; ++seed) {
    std::vector<BpeMerge> merges = randomMerges(300, seed);
    const BpeRankTable ranks = buildBpeRankTable(merges);
    merges.push_back(BpeMerge{.left = 0xFFFFFFFF, .right = 0xFFFFFFFF, .bytes = {}});
    const BpeRankIndex index(merges);
    expectSameAsTheRankTable(index, ranks, kFirstBpeMergeId + 310);
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
