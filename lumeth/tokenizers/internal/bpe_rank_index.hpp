#pragma once

// The lookup encoding runs for every adjacent pair it considers: the merged
// id of a pair of tokens (the lowest id when a pair is merged more than
// once) and, back from a merged id, the pair it stands for. Built once per
// tokenizer and only read afterwards.
//
// Pairs of two byte tokens, which every run starts with, are looked up in a
// direct 256 x 256 table; other pairs in a BpePairTable.

#include <cstdint>
#include <span>
#include <vector>

#include "lumeth/tokenizers/internal/bpe_pair_table.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {

class BpeRankIndex {
 public:
  static constexpr std::uint32_t kAbsent = BpePairTable<std::uint32_t>::kAbsent;

  // Merge i gets id 256 + i. `merges` should name only byte ids and ids of
  // earlier merges; with other merges the index is still safe to use, but
  // encoding with it need not agree with mergeRunReference.
  explicit BpeRankIndex(std::span<const BpeMerge> merges);

  [[nodiscard]] bool empty() const noexcept { return pairs_.empty(); }

  // The merged id of (left, right), or kAbsent. Only for an index that is
  // not empty(): encoding without merges never looks pairs up.
  [[nodiscard]] std::uint32_t find(std::uint32_t left, std::uint32_t right) const noexcept {
    if ((left | right) < 256) {
      return bytePairs_[(left << 8) | right];
    }
    return others_.find(pairKey(left, right));
  }

  // pairKey of the merge that made token `id` (256 <= id < 256 + merges).
  [[nodiscard]] std::uint64_t pairOf(std::uint32_t id) const noexcept {
    return pairs_[id - kFirstBpeMergeId];
  }

 private:
  std::vector<std::uint32_t> bytePairs_;  // (left << 8) | right -> id; empty without merges
  BpePairTable<std::uint32_t> others_;
  std::vector<std::uint64_t> pairs_;  // pairKey of merge i
};

}  // namespace Orvane::Core::Lumeth
