#include "lumeth/tokenizers/internal/bpe_rank_index.hpp"

namespace Orvane::Core::Lumeth {

BpeRankIndex::BpeRankIndex(std::span<const BpeMerge> merges) : others_(merges.size()) {
  if (merges.empty()) {
    return;
  }
  bytePairs_.assign(std::size_t{256} * 256, kAbsent);
  pairs_.reserve(merges.size());
  for (std::size_t i = 0; i < merges.size(); ++i) {
    const std::uint32_t left = merges[i].left;
    const std::uint32_t right = merges[i].right;
    const auto id = static_cast<std::uint32_t>(kFirstBpeMergeId + i);
    const std::uint64_t key = pairKey(left, right);
    pairs_.push_back(key);
    // The first (lowest) id of a repeated pair stays.
    if ((left | right) < 256) {
      std::uint32_t& slot = bytePairs_[(left << 8) | right];
      if (slot == kAbsent) {
        slot = id;
      }
    } else if (key != BpePairTable<std::uint32_t>::kReservedKey) {
      // The pair (0xFFFFFFFF, 0xFFFFFFFF), which only an unvalidated merge
      // list can name, is left out: its key is the table's empty-slot
      // marker, and no run ever holds that id, so it could never apply.
      others_.insert(key, id);
    }
  }
}

}  // namespace Orvane::Core::Lumeth
