#pragma once

// A hash table from the bytes of a whitespace run to the token ids the run
// encodes to. Encoding keeps two: one per tokenizer for the runs that are
// exactly a merged token (filled once and then only read), and one per
// encode call for the runs already merged in that call.
//
// The table does not own the run bytes: every entry names them as an offset
// into a text its owner keeps (the input of the call, or the tokenizer's
// token bytes), and every lookup is given that text. The ids are stored in
// the table, back to back. Kept at most half full.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "lumeth/tokenizers/internal/probed_slots.hpp"

namespace Orvane::Core::Lumeth {

class RunIdTable {
 public:
  // Room for `expected` runs before the first growth.
  explicit RunIdTable(std::size_t expected) : slots_(2 * expected) {}

  void prefetch(std::uint64_t hash) const noexcept { slots_.prefetch(hash); }

  // The slot holding `run` (hashRun(run) == hash), or the empty slot where it
  // would go. Stored runs are compared against `keys`, the text their
  // offsets point into.
  [[nodiscard]] std::size_t find(std::string_view run, std::uint64_t hash,
                                 const char* keys) const noexcept {
    return slots_.find(hash, [&](const Slot& slot) {
      return slot.runHash == hash && slot.length == run.size() &&
             std::memcmp(keys + slot.keyOffset, run.data(), run.size()) == 0;
    });
  }

  [[nodiscard]] bool holds(std::size_t slot) const noexcept { return !slots_[slot].empty(); }

  // Appends the ids stored in the occupied `slot`.
  void appendIds(std::size_t slot, std::vector<std::uint32_t>& out) const {
    const Slot& entry = slots_[slot];
    const auto first = ids_.begin() + static_cast<std::ptrdiff_t>(entry.idsStart);
    out.insert(out.end(), first, first + entry.idsCount);
  }

  // Fills the empty `slot` that find gave for a run of `length` bytes (1 to
  // 2^32 - 1) at `keyOffset` in the keys, with hash `hash`. appendIds(store)
  // appends the run's ids to the table's id store, so they are written once.
  // May grow the table, after which earlier slot numbers are stale.
  template <typename AppendIds>
  void insert(std::size_t slot, std::uint64_t hash, std::uint64_t keyOffset, std::size_t length,
              AppendIds&& appendIds) {
    const std::size_t idsStart = ids_.size();
    appendIds(ids_);
    slots_[slot] = Slot{.runHash = hash,
                        .keyOffset = keyOffset,
                        .idsStart = idsStart,
                        .length = static_cast<std::uint32_t>(length),
                        .idsCount = static_cast<std::uint32_t>(ids_.size() - idsStart)};
    if (2 * ++size_ > slots_.capacity()) {
      slots_.grow();
    }
  }

 private:
  // 32 bytes: one slot never straddles two cache lines.
  struct Slot {
    std::uint64_t runHash = 0;
    std::uint64_t keyOffset = 0;
    std::uint64_t idsStart = 0;
    std::uint32_t length = 0;  // 0: empty slot
    std::uint32_t idsCount = 0;

    [[nodiscard]] bool empty() const noexcept { return length == 0; }
    [[nodiscard]] std::uint64_t hash() const noexcept { return runHash; }
  };

  ProbedSlots<Slot> slots_;
  std::size_t size_ = 0;
  std::vector<std::uint32_t> ids_;
};

}  // namespace Orvane::Core::Lumeth
