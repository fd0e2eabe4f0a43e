#include "lumeth/tokenizers/bpe_run_counts.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/internal/run_hash.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::size_t kInitialSlots = 16;
constexpr unsigned kInitialShift = 60;  // 64 - log2(kInitialSlots)

[[noreturn]] void throwOverflow() { throw std::overflow_error("BPE run count overflow"); }

[[nodiscard]] bool isWhitespace(char byte) noexcept {
  return isBpeWhitespace(static_cast<std::uint8_t>(byte));
}

// True for one or more bytes that are all whitespace or all non-whitespace.
[[nodiscard]] bool isOneRun(std::string_view run) noexcept {
  if (run.empty()) {
    return false;
  }
  const bool whitespace = isWhitespace(run.front());
  return std::all_of(run.begin(), run.end(),
                     [whitespace](char byte) { return isWhitespace(byte) == whitespace; });
}

}  // namespace

BpeRunCounts::BpeRunCounts() : slots_(kInitialSlots), shift_(kInitialShift) {}

std::size_t BpeRunCounts::findSlot(std::string_view run, std::uint64_t hash) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t index = static_cast<std::size_t>(hash >> shift_);; index = (index + 1) & mask) {
    const Slot& slot = slots_[index];
    if (slot.entry == kNoEntry) {
      return index;
    }
    if (slot.runHash == hash) {
      const Entry& entry = entries_[slot.entry];
      if (entry.length == run.size() &&
          std::memcmp(bytes_.data() + entry.offset, run.data(), run.size()) == 0) {
        return index;
      }
    }
  }
}

void BpeRunCounts::insertAt(std::size_t slot, std::string_view run, std::uint64_t hash,
                            std::uint64_t count) {
  const std::size_t offset = bytes_.size();
  bytes_.append(run);
  try {
    entries_.push_back(Entry{.offset = offset, .length = run.size(), .count = count});
  } catch (...) {
    bytes_.resize(offset);
    throw;
  }
  slots_[slot] = Slot{.runHash = hash, .entry = entries_.size() - 1};
  maxCount_ = std::max(maxCount_, count);
  if (2 * entries_.size() > slots_.size()) {
    grow();
  }
}

void BpeRunCounts::grow() {
  std::vector<Slot> bigger(2 * slots_.size());
  const unsigned shift = shift_ - 1;
  const std::size_t mask = bigger.size() - 1;
  for (const Slot& slot : slots_) {
    if (slot.entry != kNoEntry) {
      std::size_t index = static_cast<std::size_t>(slot.runHash >> shift);
      while (bigger[index].entry != kNoEntry) {
        index = (index + 1) & mask;
      }
      bigger[index] = slot;
    }
  }
  slots_.swap(bigger);
  shift_ = shift;
}

void BpeRunCounts::reserve(std::size_t runs, std::size_t bytes) {
  entries_.reserve(runs);
  bytes_.reserve(bytes);
  while (slots_.size() < 2 * runs + 1) {
    grow();
  }
}

void BpeRunCounts::countUnchecked(std::string_view document) {
  // Runs are hashed in batches and their home slots prefetched: in a large
  // table nearly every lookup misses the cache, and several misses in flight
  // cost little more than one. Batches of 32 measured best on the benchmark
  // corpus (16 and 64 were slower by a few percent).
  constexpr std::size_t kBatch = 32;
  std::array<std::string_view, kBatch> runs;
  std::array<std::uint64_t, kBatch> hashes{};
  std::size_t pending = 0;
  const auto flush = [&] {
    for (std::size_t k = 0; k < pending; ++k) {
      hashes[k] = hashRun(runs[k]);
      __builtin_prefetch(&slots_[static_cast<std::size_t>(hashes[k] >> shift_)]);
    }
    for (std::size_t k = 0; k < pending; ++k) {
      const std::size_t slot = findSlot(runs[k], hashes[k]);
      if (slots_[slot].entry == kNoEntry) {
        insertAt(slot, runs[k], hashes[k], 1);
      } else {
        const std::uint64_t count = ++entries_[slots_[slot].entry].count;
        maxCount_ = std::max(maxCount_, count);
      }
    }
    pending = 0;
  };
  forEachWhitespaceRun(document, [&](std::string_view run) {
    runs[pending++] = run;
    if (pending == kBatch) {
      flush();
    }
  });
  flush();
}

void BpeRunCounts::countDocument(std::string_view document) {
  // A document of n bytes adds at most n to any count. Only counts that were
  // added or loaded close to 2^64 can overflow; then the document is counted
  // on the side and merged, which refuses the overflow as a whole.
  if (document.size() <= UINT64_MAX - maxCount_) {
    countUnchecked(document);
    return;
  }
  BpeRunCounts own;
  own.countUnchecked(document);
  merge(own);
}

void BpeRunCounts::add(std::string_view run, std::uint64_t count) {
  if (!isOneRun(run)) {
    throw std::invalid_argument("invalid BPE run");
  }
  if (count == 0) {
    return;
  }
  const std::uint64_t hash = hashRun(run);
  const std::size_t slot = findSlot(run, hash);
  if (slots_[slot].entry == kNoEntry) {
    insertAt(slot, run, hash, count);
    return;
  }
  std::uint64_t& stored = entries_[slots_[slot].entry].count;
  if (stored > UINT64_MAX - count) {
    throwOverflow();
  }
  stored += count;
  maxCount_ = std::max(maxCount_, stored);
}

void BpeRunCounts::merge(const BpeRunCounts& other) {
  if (&other == this) {
    if (maxCount_ > UINT64_MAX - maxCount_) {
      throwOverflow();
    }
    for (Entry& entry : entries_) {
      entry.count *= 2;
    }
    maxCount_ *= 2;
    return;
  }
  // No sum can pass 2^64 - 1 while the two largest counts add up below it,
  // which is always so for counts of real text; otherwise every sum is
  // checked before anything changes.
  if (maxCount_ > UINT64_MAX - other.maxCount_) {
    for (const Slot& theirs : other.slots_) {
      if (theirs.entry == kNoEntry) {
        continue;
      }
      const Entry& entry = other.entries_[theirs.entry];
      const Slot& mine = slots_[findSlot(other.runOf(entry), theirs.runHash)];
      if (mine.entry != kNoEntry && entries_[mine.entry].count > UINT64_MAX - entry.count) {
        throwOverflow();
      }
    }
  }
  // Walking the other table's slots gives each run's hash without hashing
  // it again, and visits home slots in ascending order here as well (both
  // tables place a run by the top bits of the same hash), so the lookups
  // sweep this table front to back instead of jumping around it.
  for (const Slot& theirs : other.slots_) {
    if (theirs.entry == kNoEntry) {
      continue;
    }
    const Entry& entry = other.entries_[theirs.entry];
    const std::string_view run = other.runOf(entry);
    const std::size_t slot = findSlot(run, theirs.runHash);
    if (slots_[slot].entry == kNoEntry) {
      insertAt(slot, run, theirs.runHash, entry.count);
    } else {
      std::uint64_t& stored = entries_[slots_[slot].entry].count;
      stored += entry.count;
      maxCount_ = std::max(maxCount_, stored);
    }
  }
}

std::uint64_t BpeRunCounts::count(std::string_view run) const noexcept {
  if (run.empty()) {
    return 0;
  }
  const Slot& slot = slots_[findSlot(run, hashRun(run))];
  return slot.entry == kNoEntry ? 0 : entries_[slot.entry].count;
}

std::vector<BpeRunCount> BpeRunCounts::sortedRuns() const {
  std::vector<BpeRunCount> runs;
  runs.reserve(entries_.size());
  for (const Entry& entry : entries_) {
    runs.push_back(BpeRunCount{.run = runOf(entry), .count = entry.count});
  }
  // string_view compares bytes as unsigned char, a prefix first.
  std::sort(runs.begin(), runs.end(),
            [](const BpeRunCount& a, const BpeRunCount& b) { return a.run < b.run; });
  return runs;
}

bool operator==(const BpeRunCounts& a, const BpeRunCounts& b) noexcept {
  if (a.size() != b.size() || a.maxCount_ != b.maxCount_) {
    return false;
  }
  // Same number of distinct runs, and each of a's in b with the same count
  // (never 0): then b holds nothing else.
  return std::all_of(a.entries_.begin(), a.entries_.end(), [&](const BpeRunCounts::Entry& entry) {
    return b.count(a.runOf(entry)) == entry.count;
  });
}

void BpeRunCounter::feed(std::string_view piece) {
  if (piece.empty()) {
    return;
  }
  if (!pending_.empty()) {
    // The kept run continues with the piece's leading bytes of its kind.
    const bool whitespace = isWhitespace(pending_.front());
    std::size_t end = 0;
    while (end < piece.size() && isWhitespace(piece[end]) == whitespace) {
      ++end;
    }
    pending_.append(piece.substr(0, end));
    if (end == piece.size()) {
      return;
    }
    counts_.countDocument(pending_);
    pending_.clear();
    piece.remove_prefix(end);
  }
  // Everything before the piece's last run is complete.
  std::size_t last = piece.size() - 1;
  const bool whitespace = isWhitespace(piece[last]);
  while (last > 0 && isWhitespace(piece[last - 1]) == whitespace) {
    --last;
  }
  counts_.countDocument(piece.substr(0, last));
  pending_.assign(piece.substr(last));
}

void BpeRunCounter::finish() {
  counts_.countDocument(pending_);
  pending_.clear();
}

std::size_t nextBpeRunBoundary(std::string_view text, std::size_t position) noexcept {
  if (position == 0 || position >= text.size()) {
    return std::min(position, text.size());
  }
  const bool whitespace = isWhitespace(text[position - 1]);
  while (position < text.size() && isWhitespace(text[position]) == whitespace) {
    ++position;
  }
  return position;
}

// ---- The run-count file ----
//
// All integers little-endian.
//
//   offset  size  field
//   0       8     magic "LUMERUN1"
//   8       2     format version, u16: 1
//   10      2     byte order marker, u16: 0x4C45 (the bytes "EL")
//   12      8     run count R, u64
//   20      8     payload length, u64: the bytes from offset 36 to the end
//   28      8     payload checksum, u64: fnv1a64 of those bytes
//   36      ...   R run records, back to back, runs in strictly ascending
//                 byte order (unsigned bytes, a prefix first)
//
// Run record (12 + L bytes):
//   0       8     count, u64: at least 1
//   8       4     run length L, u32: at least 1
//   12      L     the run: all whitespace or all non-whitespace bytes
//
// Nothing else is stored, so equal counts give equal files.

namespace {

constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kEndianOffset = 10;
constexpr std::size_t kRunCountOffset = 12;
constexpr std::size_t kPayloadLengthOffset = 20;
constexpr std::size_t kChecksumOffset = 28;
constexpr std::size_t kHeaderSize = 36;
constexpr std::uint16_t kEndianMarker = 0x4C45;
constexpr std::size_t kRecordHeaderSize = 12;
constexpr std::size_t kMinRecordSize = kRecordHeaderSize + 1;
constexpr std::uint64_t kLongestStoredRun = 0xFFFFFFFFu;

[[noreturn]] void throwFormat(const char* message) { throw std::invalid_argument(message); }

void appendRecordHeader(ByteBuffer& out, const BpeRunCount& entry) {
  appendU64(out, entry.count);
  appendU32(out, static_cast<std::uint32_t>(entry.run.size()));
}

}  // namespace

ByteBuffer serializeBpeRunCounts(const BpeRunCounts& counts) {
  const std::vector<BpeRunCount> runs = counts.sortedRuns();
  // First pass: the payload's length and checksum, hashed record by record,
  // so that the file is then written front to back without a second copy
  // of the payload.
  std::uint64_t payloadLength = 0;
  std::uint64_t checksum = kFnv1a64OffsetBasis;
  ByteBuffer recordHeader;
  recordHeader.reserve(kRecordHeaderSize);
  for (const BpeRunCount& entry : runs) {
    if (entry.run.size() > kLongestStoredRun) {
      throw std::length_error("BPE run too long to store");
    }
    recordHeader.clear();
    appendRecordHeader(recordHeader, entry);
    checksum = fnv1a64(recordHeader, checksum);
    checksum = fnv1a64(entry.run, checksum);
    payloadLength += kRecordHeaderSize + entry.run.size();
  }

  ByteBuffer out;
  out.reserve(static_cast<std::size_t>(kHeaderSize + payloadLength));
  appendBytes(out, kBpeRunCountsMagic);
  appendU16(out, kBpeRunCountsVersion);
  appendU16(out, kEndianMarker);
  appendU64(out, runs.size());
  appendU64(out, payloadLength);
  appendU64(out, checksum);
  for (const BpeRunCount& entry : runs) {
    appendRecordHeader(out, entry);
    appendBytes(out, entry.run);
  }
  return out;
}

BpeRunCounts loadBpeRunCounts(std::span<const std::uint8_t> bytes, std::uint64_t maxBytes) {
  if (bytes.size() > maxBytes || bytes.size() < kHeaderSize ||
      asText(bytes.first(kBpeRunCountsMagic.size())) != kBpeRunCountsMagic) {
    throwFormat("invalid BPE run-count file");
  }
  if (readU16(bytes, kVersionOffset) != kBpeRunCountsVersion ||
      readU16(bytes, kEndianOffset) != kEndianMarker) {
    throwFormat("unsupported BPE run-count format");
  }
  const std::uint64_t runCount = readU64(bytes, kRunCountOffset);
  const std::span<const std::uint8_t> payload = bytes.subspan(kHeaderSize);
  // The run count is held to what the payload could hold before anything is
  // sized from it; the checksum is computed only once the lengths agree.
  if (runCount > payload.size() / kMinRecordSize ||
      readU64(bytes, kPayloadLengthOffset) != payload.size() ||
      readU64(bytes, kChecksumOffset) != fnv1a64(payload)) {
    throwFormat("BPE run-count length or checksum mismatch");
  }

  BpeRunCounts counts;
  const auto runs = static_cast<std::size_t>(runCount);
  // The run bytes are what the payload holds beyond the record headers.
  counts.reserve(runs, payload.size() - runs * kRecordHeaderSize);
  std::size_t position = kHeaderSize;
  std::string_view previous;
  for (std::size_t i = 0; i < runs; ++i) {
    if (bytes.size() - position < kRecordHeaderSize) {
      throwFormat("truncated BPE run record");
    }
    const std::uint64_t count = readU64(bytes, position);
    const std::uint32_t length = readU32(bytes, position + 8);
    position += kRecordHeaderSize;
    if (count == 0 || length == 0 || bytes.size() - position < length) {
      throwFormat("invalid BPE run record");
    }
    const std::string_view run = asText(bytes.subspan(position, length));
    position += length;
    if (!isOneRun(run)) {
      throwFormat("invalid BPE run record");
    }
    if (i > 0 && !(previous < run)) {
      throwFormat("non-canonical BPE run-count file");
    }
    previous = run;
    // Runs are distinct (strictly ascending), so the lookup only finds the
    // free slot.
    const std::uint64_t hash = hashRun(run);
    counts.insertAt(counts.findSlot(run, hash), run, hash, count);
  }
  if (position != bytes.size()) {
    throwFormat("trailing BPE run-count data");
  }
  return counts;
}

}  // namespace Orvane::Core::Lumeth
