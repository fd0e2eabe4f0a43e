#include "tokenizers/bpe_rank_index.hpp"

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
    const auto id = static_cast<std::uint32_t>(256 + i);
    pairs_.push_back(pairKey(left, right));
    // The first (lowest) id of a repeated pair stays.
    if ((left | right) < 256) {
      std::uint32_t& slot = bytePairs_[(left << 8) | right];
      if (slot == kAbsent) {
        slot = id;
      }
    } else {
      others_.insert(pairKey(left, right), id);
    }
  }
}

}  // namespace Orvane::Core::Lumeth
