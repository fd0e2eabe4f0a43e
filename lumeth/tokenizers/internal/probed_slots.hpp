#pragma once

// The slot array under the tokenizers' hash tables (pair ids, run ids,
// distinct training runs): open addressing with linear probing over a
// power-of-two number of slots, each key starting its search at the slot
// named by the top bits of its 64-bit hash. Entries are never removed, so a
// search ends at the first empty slot. The tables keep their own size and
// call grow() at their own load limit.
//
// A Slot is default-constructed empty and provides
//   bool empty() const noexcept;          // no entry here
//   std::uint64_t hash() const noexcept;  // the hash the entry was placed by

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Orvane::Core::Lumeth {

template <typename Slot>
class ProbedSlots {
 public:
  // At least `minimum` slots, rounded up to a power of two of at least 16.
  explicit ProbedSlots(std::size_t minimum) {
    std::size_t capacity = 16;
    while (capacity < minimum) {
      capacity *= 2;
    }
    resize(capacity);
  }

  [[nodiscard]] std::size_t capacity() const noexcept { return slots_.size(); }

  // The first slot from the home of `hash` on that is empty or holds an
  // entry for which matches(slot) is true. The array always has an empty
  // slot, so the search ends.
  template <typename Matches>
  [[nodiscard]] std::size_t find(std::uint64_t hash, Matches&& matches) const {
    for (std::size_t index = home(hash);; index = (index + 1) & mask_) {
      const Slot& slot = slots_[index];
      if (slot.empty() || matches(slot)) {
        return index;
      }
    }
  }

  [[nodiscard]] Slot& operator[](std::size_t index) noexcept { return slots_[index]; }
  [[nodiscard]] const Slot& operator[](std::size_t index) const noexcept { return slots_[index]; }

  // Asks the processor to fetch the home slot of `hash`: lookups of rare
  // keys miss the cache, and several in flight cost little more than one.
  void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(&slots_[home(hash)]); }

  // Doubles the array and places every entry again; slot indices taken
  // before are no longer valid.
  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    resize(2 * old.size());
    for (const Slot& slot : old) {
      if (!slot.empty()) {
        std::size_t index = home(slot.hash());
        while (!slots_[index].empty()) {
          index = (index + 1) & mask_;
        }
        slots_[index] = slot;
      }
    }
  }

 private:
  [[nodiscard]] std::size_t home(std::uint64_t hash) const noexcept {
    return static_cast<std::size_t>(hash >> shift_);
  }

  void resize(std::size_t capacity) {
    slots_.resize(capacity);
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c /= 2) {
      --shift_;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace Orvane::Core::Lumeth
