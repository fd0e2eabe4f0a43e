#pragma once

// A hash table from a pairKey to an unsigned value (a merged id, or the index
// of a pair record), used where BPE training and encoding look pairs up
// millions of times. Kept at most three quarters full; entries are never
// removed.
//
// The all-ones key marks an empty slot and must never be inserted. pairKey
// gives it only for the pair (0xFFFFFFFF, 0xFFFFFFFF), which no valid merge
// names: training and the artifact loader give merges ids below 2^20, and the
// rank index leaves such a pair out of an unvalidated merge list.

#include <cstddef>
#include <cstdint>

#include "lumeth/tokenizers/internal/probed_slots.hpp"

namespace Orvane::Core::Lumeth {

template <typename Value>
class BpePairTable {
 public:
  static constexpr Value kAbsent = static_cast<Value>(~Value{0});
  static constexpr std::uint64_t kReservedKey = ~std::uint64_t{0};

  // Room for `expected` entries before the first growth.
  explicit BpePairTable(std::size_t expected = 0) : slots_(expected + expected / 3 + 1) {}

  // The value stored for `key`, or kAbsent.
  [[nodiscard]] Value find(std::uint64_t key) const noexcept {
    // An empty slot holds kAbsent, so a miss needs no second test.
    return slots_[slots_.find(hashOf(key), [key](const Entry& entry) { return entry.key == key; })]
        .value;
  }

  // Stores `value` (not kAbsent) for `key` (not kReservedKey) unless the key
  // is present; returns the value the key has afterwards (the earlier one
  // when it was present).
  Value insert(std::uint64_t key, Value value) {
    if (4 * (size_ + 1) > 3 * slots_.capacity()) {
      slots_.grow();
    }
    Entry& entry = slots_[slots_.find(
        hashOf(key), [key](const Entry& candidate) { return candidate.key == key; })];
    if (entry.empty()) {
      entry = Entry{key, value};
      ++size_;
    }
    return entry.value;
  }

  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  struct Entry {
    std::uint64_t key = kReservedKey;
    Value value = kAbsent;

    [[nodiscard]] bool empty() const noexcept { return key == kReservedKey; }
    [[nodiscard]] std::uint64_t hash() const noexcept { return hashOf(key); }
  };

  // Fibonacci hashing: the multiply spreads both ids over the high bits,
  // which pick the home slot.
  [[nodiscard]] static std::uint64_t hashOf(std::uint64_t key) noexcept {
    return key * 0x9E3779B97F4A7C15ull;
  }

  ProbedSlots<Entry> slots_;
  std::size_t size_ = 0;
};

}  // namespace Orvane::Core::Lumeth
