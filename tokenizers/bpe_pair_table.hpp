#pragma once

// An open-addressing hash table from a pairKey to a u32 value, used where BPE
// training and encoding look pairs up millions of times. Keys are pairKey
// values of two ids below 2^31, so the all-ones key never occurs and marks an
// empty slot. Linear probing over a power-of-two array kept at most three
// quarters full; entries are never removed.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Orvane::Core::Lumeth {

class BpePairTable {
 public:
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;

  // Room for `expected` entries before the first growth.
  explicit BpePairTable(std::size_t expected = 0) { rehash(capacityFor(expected)); }

  // The value stored for `key`, or kAbsent.
  [[nodiscard]] std::uint32_t find(std::uint64_t key) const noexcept {
    for (std::size_t slot = home(key);; slot = (slot + 1) & mask_) {
      const Entry& entry = entries_[slot];
      if (entry.key == key) {
        return entry.value;
      }
      if (entry.key == kEmptyKey) {
        return kAbsent;
      }
    }
  }

  // Stores `value` for `key` unless the key is present; returns the value
  // the key has afterwards (the earlier one when it was present).
  std::uint32_t insert(std::uint64_t key, std::uint32_t value) {
    if (4 * (size_ + 1) > 3 * entries_.size()) {
      rehash(2 * entries_.size());
    }
    for (std::size_t slot = home(key);; slot = (slot + 1) & mask_) {
      Entry& entry = entries_[slot];
      if (entry.key == key) {
        return entry.value;
      }
      if (entry.key == kEmptyKey) {
        entry = Entry{key, value};
        ++size_;
        return value;
      }
    }
  }

  [[nodiscard]] std::size_t size() const noexcept { return size_; }

 private:
  static constexpr std::uint64_t kEmptyKey = ~std::uint64_t{0};

  struct Entry {
    std::uint64_t key = kEmptyKey;
    std::uint32_t value = 0;
  };

  static std::size_t capacityFor(std::size_t expected) {
    std::size_t capacity = 16;
    while (3 * capacity < 4 * expected) {
      capacity *= 2;
    }
    return capacity;
  }

  [[nodiscard]] std::size_t home(std::uint64_t key) const noexcept {
    // Fibonacci hashing: the multiply spreads both ids over the high bits.
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }

  void rehash(std::size_t capacity) {
    std::vector<Entry> old(capacity);
    old.swap(entries_);
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c /= 2) {
      --shift_;
    }
    for (const Entry& entry : old) {
      if (entry.key != kEmptyKey) {
        std::size_t slot = home(entry.key);
        while (entries_[slot].key != kEmptyKey) {
          slot = (slot + 1) & mask_;
        }
        entries_[slot] = entry;
      }
    }
  }

  std::vector<Entry> entries_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  std::size_t size_ = 0;
};

}  // namespace Orvane::Core::Lumeth
