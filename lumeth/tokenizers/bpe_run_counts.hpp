#pragma once

// Run counts: how often each distinct whitespace run of a corpus occurs.
// BPE training depends on the corpus through these counts alone, so counts
// gathered anywhere (separate shards, files, processes or machines) and
// merged in any order give exactly the merges of training on the whole
// corpus (trainBpeFromCounts in bpe_training.hpp).
//
// A run is what splitWhitespaceRuns yields: one or more bytes, all
// whitespace (0x09..0x0D, 0x20) or all non-whitespace. Counts are u64;
// every addition that would pass 2^64 - 1 is refused.
//
// The stored form is the run-count file ("LUMERUN1"): every run in byte
// order with its count, behind a checksummed header. It is canonical: equal
// counts always give the same bytes, wherever and in whatever order they
// were gathered.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/foundation/binary.hpp"

namespace Orvane::Core::Lumeth {

// One distinct run and how often it occurs.
struct BpeRunCount {
  std::string_view run;
  std::uint64_t count = 0;

  friend bool operator==(const BpeRunCount&, const BpeRunCount&) = default;
};

// A table from distinct runs to their counts. Memory: the bytes of the
// distinct runs once, plus about 56 bytes per distinct run (its record and
// a hash table kept at most half full); nothing is kept of the text counted.
// A value type: copies are deep, and two tables compare equal when they hold
// the same runs with the same counts, in whatever order they were added.
class BpeRunCounts {
 public:
  BpeRunCounts();

  // Counts every run of `document` (splitWhitespaceRuns), which is a whole
  // document: its first run does not continue a run of an earlier call and
  // its last run is complete. Throws std::overflow_error
  // "BPE run count overflow" when a count would pass 2^64 - 1 (possible
  // only after adding or loading counts that high), and then changes nothing.
  void countDocument(std::string_view document);

  // Adds `count` occurrences of `run`; a count of 0 changes nothing. Throws
  // std::invalid_argument "invalid BPE run" when `run` is empty or mixes
  // whitespace and non-whitespace bytes, and std::overflow_error
  // "BPE run count overflow" when the count would pass 2^64 - 1; either way
  // nothing changes.
  void add(std::string_view run, std::uint64_t count);

  // Adds every count of `other` (which may be this table). Merging is exact,
  // commutative and associative: any merge order of the same tables gives
  // equal counts, or the same refusal. Throws std::overflow_error
  // "BPE run count overflow" when some run's sum would pass 2^64 - 1, and
  // then changes nothing.
  void merge(const BpeRunCounts& other);

  // The number of distinct runs.
  [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }

  // The bytes of all distinct runs together (each run once, whatever its
  // count): what training turns into symbols.
  [[nodiscard]] std::uint64_t distinctBytes() const noexcept { return bytes_.size(); }

  // The greatest count held (0 when empty).
  [[nodiscard]] std::uint64_t maxCount() const noexcept { return maxCount_; }

  // How often `run` occurs; 0 for a run never counted.
  [[nodiscard]] std::uint64_t count(std::string_view run) const noexcept;

  // Every distinct run with its count, in byte order (unsigned bytes
  // compared left to right, a prefix before the longer run). The views point
  // into this table and stay valid until it is next changed or destroyed.
  [[nodiscard]] std::vector<BpeRunCount> sortedRuns() const;

  // Calls visit(run, count) for every distinct run, in the order the runs
  // were first added (cheaper than sortedRuns when the order is not needed).
  template <typename Visit>
  void forEachRun(Visit&& visit) const {
    for (const Entry& entry : entries_) {
      visit(runOf(entry), entry.count);
    }
  }

  friend bool operator==(const BpeRunCounts& a, const BpeRunCounts& b) noexcept;
  friend BpeRunCounts loadBpeRunCounts(std::span<const std::uint8_t> bytes, std::uint64_t maxBytes);

 private:
  struct Entry {
    std::size_t offset = 0;  // first byte in bytes_
    std::size_t length = 0;
    std::uint64_t count = 0;
  };

  // Open addressing with linear probing over a power-of-two array, kept at
  // most half full; a run's home slot is the top bits of its hash.
  struct Slot {
    std::uint64_t runHash = 0;
    std::size_t entry = kNoEntry;
  };

  static constexpr std::size_t kNoEntry = ~std::size_t{0};

  [[nodiscard]] std::string_view runOf(const Entry& entry) const noexcept {
    return std::string_view(bytes_).substr(entry.offset, entry.length);
  }
  // The slot holding `run` (hash: its hash), or the empty slot where it
  // would go.
  [[nodiscard]] std::size_t findSlot(std::string_view run, std::uint64_t hash) const noexcept;
  // Fills the empty `slot` with a new run; may grow the array.
  void insertAt(std::size_t slot, std::string_view run, std::uint64_t hash, std::uint64_t count);
  void grow();
  // Room for `runs` distinct runs of `bytes` bytes in all without growing.
  void reserve(std::size_t runs, std::size_t bytes);
  // Counts the runs of `document`; the caller has made sure that no count
  // can pass 2^64 - 1 (maxCount_ + document.size() does not wrap).
  void countUnchecked(std::string_view document);

  std::string bytes_;  // the distinct runs, back to back in order of first addition
  std::vector<Entry> entries_;
  std::vector<Slot> slots_;
  unsigned shift_ = 64;  // 64 - log2(slot count)
  std::uint64_t maxCount_ = 0;
};

// Counts the runs of one document that arrives in pieces cut anywhere (a
// file read block by block): a run cut by a piece boundary is kept until the
// piece that completes it, so the counts are exactly those of
// countDocument over the whole document. Memory: the run in progress (at
// most the longest run of the document). The counter refers to `counts`,
// which must outlive it; nothing else is shared.
class BpeRunCounter {
 public:
  explicit BpeRunCounter(BpeRunCounts& counts) : counts_(counts) {}

  // Counts every run that `piece` completes and keeps the last one, which
  // the next piece may continue.
  void feed(std::string_view piece);

  // Ends the document: counts the run kept from the last piece. The next
  // feed starts a new document.
  void finish();

  // The bytes of the run in progress.
  [[nodiscard]] std::size_t pendingBytes() const noexcept { return pending_.size(); }

  // Throws as BpeRunCounts::countDocument; a piece that fails may have been
  // counted in part, and the counter should then be dropped.

 private:
  BpeRunCounts& counts_;
  std::string pending_;  // a run that may continue in the next piece
};

// The first position at or after `position` where a run of `text` starts,
// or text.size() when there is none (a position at or past the end gives
// text.size()). Position 0 always starts a run. Cutting a text at such
// positions cuts it between runs, never inside one, so the pieces counted as
// documents give the counts of the whole.
[[nodiscard]] std::size_t nextBpeRunBoundary(std::string_view text, std::size_t position) noexcept;

// ---- The run-count file ----

inline constexpr std::string_view kBpeRunCountsMagic = "LUMERUN1";
inline constexpr std::uint16_t kBpeRunCountsVersion = 1;

// The canonical run-count file of `counts` (layout beside the writer in
// bpe_run_counts.cpp): every run in byte order with its count. Throws
// std::length_error "BPE run too long to store" for a run of 2^32 bytes or
// more.
[[nodiscard]] ByteBuffer serializeBpeRunCounts(const BpeRunCounts& counts);

// Checks `bytes` as a run-count file and returns the counts it holds.
// `maxBytes` is the caller's ceiling on the input size (a file of exactly
// that size is accepted). Throws std::invalid_argument naming the first
// failed check, in this order:
//   "invalid BPE run-count file"       size above maxBytes, shorter than the
//                                      36-byte header, or not the magic
//   "unsupported BPE run-count format" version not 1 or byte order marker
//                                      not 0x4C45
//   "BPE run-count length or checksum mismatch"
//                                      more runs than the payload can hold,
//                                      a payload length that is not the
//                                      rest of the input, or a checksum that
//                                      differs
// then record by record:
//   "truncated BPE run record"         the 12-byte record header runs past
//                                      the end
//   "invalid BPE run record"           count 0, length 0, run bytes past the
//                                      end, or a run that mixes whitespace
//                                      and non-whitespace bytes
//   "non-canonical BPE run-count file" a run not strictly after the one
//                                      before in byte order (also a repeat)
// and last "trailing BPE run-count data" for bytes after the last record.
// Allocates only in proportion to the bytes present; a failed load builds
// nothing.
[[nodiscard]] BpeRunCounts loadBpeRunCounts(std::span<const std::uint8_t> bytes,
                                            std::uint64_t maxBytes);

}  // namespace Orvane::Core::Lumeth
