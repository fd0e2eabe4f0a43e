#include "lumeth/tokenizers/subword_tokenizer.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <utility>

#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/internal/bpe_internal.hpp"
#include "lumeth/tokenizers/internal/bpe_rank_index.hpp"
#include "lumeth/tokenizers/internal/bpe_reference.hpp"
#include "lumeth/tokenizers/internal/option_checks.hpp"
#include "lumeth/tokenizers/internal/run_hash.hpp"
#include "lumeth/tokenizers/internal/run_id_table.hpp"
#include "lumeth/tokenizers/utf8.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::string_view kArtifactMagic = "LUMESUB2";
constexpr std::uint16_t kArtifactVersion = 2;
constexpr std::uint16_t kEndianMarker = 0x4C45;  // stored as the bytes "EL"
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kEndianOffset = 10;
constexpr std::size_t kMergeCountOffset = 12;
constexpr std::size_t kPayloadLengthOffset = 16;
constexpr std::size_t kChecksumOffset = 20;
constexpr std::size_t kHeaderSize = 28;
// left, right and byte length, each a u32.
constexpr std::size_t kRecordHeaderSize = 12;
// A merged token has at least two bytes.
constexpr std::size_t kMinRecordSize = kRecordHeaderSize + 2;

constexpr std::uint32_t kSubwordTokenizerVersion = 2;

[[noreturn]] void throwFormat(const char* message) {
  throw TokenizerError(TokenizerErrorCode::InvalidFormat, message);
}

// BPE tokenizer artifact, little-endian:
//
//   offset  size  field
//   0       8     magic "LUMESUB2"
//   8       2     format version, u16 (2)
//   10      2     endianness marker, u16 0x4C45 (bytes "EL")
//   12      4     merge count M, u32 (at most kMaxBpeMerges)
//   16      4     payload length, u32: bytes from offset 28 to the end
//   20      8     fnv1a64 of the payload, u64
//   28      len   payload: M merge records back to back, in merge order
//
// Merge record i (token 256 + i), 12 + L bytes, no padding:
//
//   0       4     left id, u32
//   4       4     right id, u32
//   8       4     byte length L of the merged token, u32
//   12      L     the merged token's bytes
ByteBuffer serializeArtifact(std::span<const BpeMerge> merges) {
  ByteBuffer payload;
  for (const BpeMerge& merge : merges) {
    appendU32(payload, merge.left);
    appendU32(payload, merge.right);
    appendU32(payload, static_cast<std::uint32_t>(merge.bytes.size()));
    appendBytes(payload, merge.bytes);
  }
  ByteBuffer artifact;
  artifact.reserve(kHeaderSize + payload.size());
  appendBytes(artifact, kArtifactMagic);
  appendU16(artifact, kArtifactVersion);
  appendU16(artifact, kEndianMarker);
  appendU32(artifact, static_cast<std::uint32_t>(merges.size()));
  appendU32(artifact, static_cast<std::uint32_t>(payload.size()));
  appendU64(artifact, fnv1a64(payload));
  appendBytes(artifact, payload);
  return artifact;
}

// The one-byte token of every byte value, so that byte ids and merged ids are
// looked up the same way.
constexpr std::array<char, 256> kByteTokens = [] {
  std::array<char, 256> tokens{};
  for (std::size_t value = 0; value < tokens.size(); ++value) {
    tokens[value] = static_cast<char>(static_cast<unsigned char>(value));
  }
  return tokens;
}();

// Merges one run with the same result as mergeRunReference, in O(n log n).
//
// The symbols form a linked list over their original positions, and a
// min-heap holds (merged id, position) for every adjacent pair that has a
// merge. Popping in that order applies the lowest id first and, among its
// occurrences, the leftmost first; an entry is acted on only if the pair is
// still at its position, so after (a, a) merged at p the entry at p's old
// right neighbour is dropped, which is exactly the left-to-right,
// non-overlapping rewrite of the reference (a a a becomes (aa, a)). A merge
// creates only pairs that contain the new token, and a merge naming a token
// always has a higher id than that token, so no pair of a lower id can
// appear after its turn: the ids are applied in increasing order, as the
// reference applies them.
class RunMerger {
 public:
  // Runs must be shorter than this: positions are 32-bit.
  static constexpr std::size_t kLongestRun = 0xFFFFFFFFu;

  explicit RunMerger(const BpeRankIndex& ranks) : ranks_(ranks) {}

  // Appends the merged ids of `run` (shorter than kLongestRun) to `out`.
  void merge(std::string_view run, std::vector<std::uint32_t>& out) {
    if (run.size() <= kShortRun) {
      mergeShort(run, out);
      return;
    }
    const std::size_t n = run.size();
    symbols_.resize(n);
    next_.resize(n);
    previous_.resize(n);
    heap_.clear();
    for (std::size_t i = 0; i < n; ++i) {
      symbols_[i] = static_cast<std::uint8_t>(run[i]);
      next_[i] = static_cast<std::uint32_t>(i + 1);
      previous_[i] = static_cast<std::uint32_t>(i) - 1;  // wraps to kNone for 0
    }
    const auto end = static_cast<std::uint32_t>(n);
    for (std::uint32_t i = 0; i + 1 < end; ++i) {
      pushPair(i, symbols_[i], symbols_[i + 1]);
    }
    std::make_heap(heap_.begin(), heap_.end(), std::greater<>());
    while (!heap_.empty()) {
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
      const std::uint64_t top = heap_.back();
      heap_.pop_back();
      const auto id = static_cast<std::uint32_t>(top >> 32);
      const auto p = static_cast<std::uint32_t>(top);
      const std::uint32_t q = next_[p];
      if (q == end || pairKey(symbols_[p], symbols_[q]) != ranks_.pairOf(id)) {
        continue;  // the pair at p has changed since the entry was made
      }
      symbols_[p] = id;
      symbols_[q] = kDead;
      next_[p] = next_[q];
      if (next_[q] != end) {
        previous_[next_[q]] = p;
        pushHeap(p, id, symbols_[next_[p]]);
      }
      if (previous_[p] != kNone) {
        pushHeap(previous_[p], symbols_[previous_[p]], id);
      }
    }
    for (std::uint32_t i = 0; i != end; i = next_[i]) {
      out.push_back(symbols_[i]);
    }
  }

 private:
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  // Marks a consumed position; no merge names it, so its entries fail.
  static constexpr std::uint32_t kDead = 0xFFFFFFFFu;
  // Up to this length a run is merged without the heap: the id of each
  // adjacent pair is kept in an array and the smallest (leftmost among
  // equals) is found by a scan, which beats heap upkeep for short words.
  static constexpr std::size_t kShortRun = 64;

  void mergeShort(std::string_view run, std::vector<std::uint32_t>& out) {
    std::array<std::uint32_t, kShortRun> symbols{};
    // ids[i]: merged id of (symbols[i], symbols[i + 1]), or kAbsent.
    std::array<std::uint32_t, kShortRun> ids{};
    std::size_t n = run.size();
    for (std::size_t i = 0; i < n; ++i) {
      symbols[i] = static_cast<std::uint8_t>(run[i]);
    }
    for (std::size_t i = 0; i + 1 < n; ++i) {
      ids[i] = ranks_.find(symbols[i], symbols[i + 1]);
    }
    while (n > 1) {
      std::size_t best = 0;
      for (std::size_t i = 1; i + 1 < n; ++i) {
        if (ids[i] < ids[best]) {
          best = i;
        }
      }
      const std::uint32_t id = ids[best];
      if (id == BpeRankIndex::kAbsent) {
        break;
      }
      symbols[best] = id;
      for (std::size_t i = best + 1; i + 1 < n; ++i) {
        symbols[i] = symbols[i + 1];
        ids[i] = ids[i + 1];
      }
      --n;
      if (best + 1 < n) {
        ids[best] = ranks_.find(id, symbols[best + 1]);
      } else {
        ids[best] = BpeRankIndex::kAbsent;
      }
      if (best > 0) {
        ids[best - 1] = ranks_.find(symbols[best - 1], id);
      }
    }
    out.insert(out.end(), symbols.begin(), symbols.begin() + static_cast<std::ptrdiff_t>(n));
  }

  void pushPair(std::uint32_t position, std::uint32_t left, std::uint32_t right) {
    const std::uint32_t id = ranks_.find(left, right);
    if (id != BpeRankIndex::kAbsent) {
      heap_.push_back((std::uint64_t{id} << 32) | position);
    }
  }

  void pushHeap(std::uint32_t position, std::uint32_t left, std::uint32_t right) {
    const std::size_t before = heap_.size();
    pushPair(position, left, right);
    if (heap_.size() != before) {
      std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
    }
  }

  const BpeRankIndex& ranks_;
  // Scratch space reused across the runs of one encode call.
  std::vector<std::uint32_t> symbols_;
  std::vector<std::uint32_t> next_;
  std::vector<std::uint32_t> previous_;
  std::vector<std::uint64_t> heap_;  // (merged id << 32) | position, a min-heap
};

// Runs longer than this are merged every time they occur: long runs rarely
// repeat, and hashing them would cost about as much as merging them.
constexpr std::size_t kLongestCachedRun = 256;

// The ids of every run already merged in one encode call, keyed by the run's
// bytes in the input. Natural text repeats its words, so most runs are found
// here. The cache lives in the call: the tokenizer itself stays immutable.
class RunCache {
 public:
  explicit RunCache(std::string_view input) : input_(input), table_(kInitialRuns) {}

  void prefetch(std::uint64_t hash) const noexcept { table_.prefetch(hash); }

  // Appends the ids of `run`, which must be a view into the input of at most
  // kLongestCachedRun bytes and have hashRun(run) == hash.
  void encode(std::string_view run, std::uint64_t hash, RunMerger& merger,
              std::vector<std::uint32_t>& out) {
    const std::size_t slot = table_.find(run, hash, input_.data());
    if (table_.holds(slot)) {
      table_.appendIds(slot, out);
      return;
    }
    table_.insert(slot, hash, static_cast<std::uint64_t>(run.data() - input_.data()), run.size(),
                  [&](std::vector<std::uint32_t>& store) {
                    const auto first = static_cast<std::ptrdiff_t>(store.size());
                    merger.merge(run, store);
                    out.insert(out.end(), store.begin() + first, store.end());
                  });
  }

 private:
  static constexpr std::size_t kInitialRuns = 32;

  std::string_view input_;
  RunIdTable table_;
};

// What encode reads besides the merge list: the rank index, and the ids of
// every run whose bytes are exactly those of a merged token. At useful
// vocabulary sizes most words of natural text are tokens of their own, so
// most runs are answered by one lookup here instead of being merged. Built
// once by the constructor and never modified.
class BpeEncodingIndex {
 public:
  explicit BpeEncodingIndex(std::span<const BpeMerge> merges)
      : ranks_(merges), tokens_(merges.size()) {
    RunMerger merger(ranks_);
    for (const BpeMerge& merge : merges) {
      const std::string_view bytes = merge.bytes;
      if (bytes.size() < 2 || bytes.size() > kLongestCachedRun) {
        continue;
      }
      const std::uint64_t hash = hashRun(bytes);
      const std::size_t slot = tokens_.find(bytes, hash, tokenBytes_.data());
      if (tokens_.holds(slot)) {
        continue;  // the same bytes as an earlier token
      }
      // A token that mixes whitespace and other bytes is never a whole run:
      // it is stored like the others and simply never matched.
      tokens_.insert(slot, hash, tokenBytes_.size(), bytes.size(),
                     [&](std::vector<std::uint32_t>& store) { merger.merge(bytes, store); });
      tokenBytes_.append(bytes);
    }
  }

  [[nodiscard]] const BpeRankIndex& ranks() const noexcept { return ranks_; }

  void prefetch(std::uint64_t hash) const noexcept { tokens_.prefetch(hash); }

  // Appends the ids of `run` (hashRun(run) == hash) and returns true when
  // its bytes are those of a merged token; otherwise appends nothing.
  bool appendKnownRun(std::string_view run, std::uint64_t hash,
                      std::vector<std::uint32_t>& out) const {
    const std::size_t slot = tokens_.find(run, hash, tokenBytes_.data());
    if (!tokens_.holds(slot)) {
      return false;
    }
    tokens_.appendIds(slot, out);
    return true;
  }

 private:
  BpeRankIndex ranks_;
  RunIdTable tokens_;       // keyed by offsets into tokenBytes_
  std::string tokenBytes_;  // the bytes of every stored token, back to back
};

// Whether every merge names only byte ids and ids of earlier merges, as
// training and the artifact loader guarantee. The fast merger relies on it
// (a merge's id is above the ids of its parts); a hand-built list that
// breaks it is encoded with the plain merge instead.
bool namesOnlyEarlierIds(std::span<const BpeMerge> merges) {
  std::uint64_t next = kFirstBpeMergeId;
  for (const BpeMerge& merge : merges) {
    if (merge.left >= next || merge.right >= next) {
      return false;
    }
    ++next;
  }
  return true;
}

// Appends the ids of `run` merged the plain way (quadratic in its length).
void appendPlainMerge(std::string_view run, const BpeRankTable& ranks,
                      std::vector<std::uint32_t>& out) {
  const std::span<const std::uint8_t> values = asBytes(run);
  std::vector<std::uint32_t> symbols(values.begin(), values.end());
  mergeRunReference(symbols, ranks);
  out.insert(out.end(), symbols.begin(), symbols.end());
}

}  // namespace

struct SubwordTokenizer::State {
  explicit State(std::vector<BpeMerge> list)
      : merges(std::move(list)),
        artifact(serializeArtifact(merges)),
        plainRanks(namesOnlyEarlierIds(merges) ? std::nullopt
                                               : std::optional(buildBpeRankTable(merges))),
        index(plainRanks ? std::span<const BpeMerge>() : std::span<const BpeMerge>(merges)) {}

  std::vector<BpeMerge> merges;
  ByteBuffer artifact;
  // Only for a list that names later ids: then `index` is empty and every
  // run is merged with these ranks.
  std::optional<BpeRankTable> plainRanks;
  BpeEncodingIndex index;
};

std::string_view bpeTokenBytes(std::span<const BpeMerge> merges, std::uint32_t id) {
  if (id < kFirstBpeMergeId) {
    return {&kByteTokens[id], 1};
  }
  return merges[id - kFirstBpeMergeId].bytes;
}

std::vector<std::string_view> splitWhitespaceRuns(std::string_view bytes) {
  std::vector<std::string_view> runs;
  forEachWhitespaceRun(bytes, [&runs](std::string_view run) { runs.push_back(run); });
  return runs;
}

SubwordTokenizer::SubwordTokenizer(std::vector<BpeMerge> merges)
    : state_(std::make_shared<const State>(std::move(merges))) {
  const auto mergeCount = static_cast<std::uint32_t>(state_->merges.size());
  descriptor_ = TokenizerDescriptor{.kind = "bpe",
                                    .version = kSubwordTokenizerVersion,
                                    .vocabularySize = mergeCount + kMinBpeVocabulary,
                                    .bosId = mergeCount + kFirstBpeMergeId,
                                    .eosId = mergeCount + kFirstBpeMergeId + 1,
                                    .hash = toHex16(fnv1a64(state_->artifact)),
                                    .userId = kNoTokenId,
                                    .assistantId = kNoTokenId};
}

const ByteBuffer& SubwordTokenizer::artifact() const noexcept { return state_->artifact; }

std::span<const BpeMerge> SubwordTokenizer::merges() const noexcept { return state_->merges; }

EncodedText SubwordTokenizer::encode(std::string_view text, const EncodeOptions& options) const {
  if (options.normalization != Normalization::None) {
    throw TokenizerError(TokenizerErrorCode::UnsupportedOption,
                         "BPE tokenizer supports only normalization=none");
  }
  // Normalization first, then the policy value, then the text.
  requireKnownInvalidUtf8Policy(options.invalidUtf8);
  std::string repaired;
  const std::string_view bytes = textForEncoding(text, options.invalidUtf8, repaired);
  const BpeEncodingIndex& index = state_->index;
  EncodedText result;
  result.tokenizerHash = descriptor_.hash;
  if (options.addBos) {
    result.ids.push_back(descriptor_.bosId);
  }
  if (state_->plainRanks) {
    forEachWhitespaceRun(bytes, [&](std::string_view run) {
      appendPlainMerge(run, *state_->plainRanks, result.ids);
    });
    if (options.addEos) {
      result.ids.push_back(descriptor_.eosId);
    }
    return result;
  }
  if (index.ranks().empty()) {
    // Without merges every byte is its own token.
    const std::span<const std::uint8_t> values = asBytes(bytes);
    result.ids.insert(result.ids.end(), values.begin(), values.end());
    if (options.addEos) {
      result.ids.push_back(descriptor_.eosId);
    }
    return result;
  }
  // Natural text has roughly one token per three to four bytes.
  result.ids.reserve(result.ids.size() + bytes.size() / 4 + 2);
  RunMerger merger(index.ranks());
  RunCache cache(bytes);
  // Built only if the call meets a run too long for the merger.
  std::optional<BpeRankTable> plainRanks;
  // Runs are taken in batches so that the cache slots of a batch are
  // fetched together; they are still encoded strictly in input order.
  constexpr std::size_t kBatch = 16;
  std::array<std::string_view, kBatch> runs;
  std::array<std::uint64_t, kBatch> hashes{};
  std::size_t pending = 0;
  const auto flush = [&] {
    for (std::size_t k = 0; k < pending; ++k) {
      if (runs[k].size() > 1 && runs[k].size() <= kLongestCachedRun) {
        hashes[k] = hashRun(runs[k]);
        index.prefetch(hashes[k]);
        cache.prefetch(hashes[k]);
      }
    }
    for (std::size_t k = 0; k < pending; ++k) {
      const std::string_view run = runs[k];
      if (run.size() == 1) {
        result.ids.push_back(static_cast<std::uint8_t>(run[0]));
      } else if (run.size() >= RunMerger::kLongestRun) {
        // Positions no longer fit the merger's 32-bit links.
        if (!plainRanks) {
          plainRanks = buildBpeRankTable(state_->merges);
        }
        appendPlainMerge(run, *plainRanks, result.ids);
      } else if (run.size() > kLongestCachedRun) {
        merger.merge(run, result.ids);
      } else if (!index.appendKnownRun(run, hashes[k], result.ids)) {
        cache.encode(run, hashes[k], merger, result.ids);
      }
    }
    pending = 0;
  };
  forEachWhitespaceRun(bytes, [&](std::string_view run) {
    runs[pending++] = run;
    if (pending == kBatch) {
      flush();
    }
  });
  flush();
  if (options.addEos) {
    result.ids.push_back(descriptor_.eosId);
  }
  return result;
}

std::string SubwordTokenizer::decode(std::span<const std::uint32_t> ids,
                                     const DecodeOptions& options) const {
  std::vector<std::uint32_t> byteIds;
  byteIds.reserve(ids.size());
  for (const std::uint32_t id : ids) {
    if (id < kFirstBpeMergeId) {
      byteIds.push_back(id);
    } else if (id < descriptor_.bosId) {
      const auto bytes = asBytes(state_->merges[id - kFirstBpeMergeId].bytes);
      byteIds.insert(byteIds.end(), bytes.begin(), bytes.end());
    } else if (id == descriptor_.bosId || id == descriptor_.eosId) {
      if (!options.skipSpecialTokens) {
        throw TokenizerError(TokenizerErrorCode::SpecialTokenNotAllowed,
                             "special token requires skipSpecialTokens=true");
      }
    } else {
      throw TokenizerError(TokenizerErrorCode::TokenIdOutOfRange,
                           "token id is outside subword vocabulary");
    }
  }
  // The byte tokenizer is immutable and the same for every caller: one shared
  // constant instead of a new one (with its hash and artifact) per call.
  static const ByteTokenizer byteDecoder;
  return byteDecoder.decode(byteIds, options);
}

TokenizerDescriptor SubwordTokenizer::descriptor() const { return descriptor_; }

SubwordTokenizer loadSubwordTokenizerArtifact(std::span<const std::uint8_t> bytes,
                                              std::uint64_t maxBytes) {
  if (bytes.size() > maxBytes || bytes.size() < kHeaderSize ||
      asText(bytes.first(kArtifactMagic.size())) != kArtifactMagic) {
    throwFormat("invalid BPE tokenizer artifact");
  }
  if (readU16(bytes, kVersionOffset) != kArtifactVersion ||
      readU16(bytes, kEndianOffset) != kEndianMarker) {
    throwFormat("unsupported BPE tokenizer format");
  }
  const std::uint32_t mergeCount = readU32(bytes, kMergeCountOffset);
  const std::span<const std::uint8_t> payload = bytes.subspan(kHeaderSize);
  // The payload length is compared in 64 bits, so it never wraps against a
  // large input; the checksum is computed only once both counts are plausible.
  if (mergeCount > kMaxBpeMerges ||
      std::uint64_t{readU32(bytes, kPayloadLengthOffset)} != payload.size() ||
      readU64(bytes, kChecksumOffset) != fnv1a64(payload)) {
    throwFormat("BPE tokenizer length or checksum mismatch");
  }

  std::vector<BpeMerge> merges;
  // The header's count is not trusted for the allocation: the payload cannot
  // hold more records than it has room for at their smallest size.
  merges.reserve(std::min<std::size_t>(mergeCount, payload.size() / kMinRecordSize));
  std::size_t position = kHeaderSize;
  for (std::uint32_t i = 0; i < mergeCount; ++i) {
    if (bytes.size() - position < kRecordHeaderSize) {
      throwFormat("truncated BPE merge");
    }
    const std::uint32_t left = readU32(bytes, position);
    const std::uint32_t right = readU32(bytes, position + 4);
    const std::uint32_t length = readU32(bytes, position + 8);
    const std::uint32_t nextId = kFirstBpeMergeId + i;
    if (left >= nextId || right >= nextId || length < 2) {
      throwFormat("invalid BPE merge");
    }
    position += kRecordHeaderSize;
    if (bytes.size() - position < length) {
      throwFormat("invalid BPE merge");
    }
    const std::string_view stored = asText(bytes.subspan(position, length));
    position += length;
    const std::string_view leftBytes = bpeTokenBytes(merges, left);
    const std::string_view rightBytes = bpeTokenBytes(merges, right);
    if (stored.size() != leftBytes.size() + rightBytes.size() ||
        stored.substr(0, leftBytes.size()) != leftBytes ||
        stored.substr(leftBytes.size()) != rightBytes) {
      throwFormat("BPE merge expansion mismatch");
    }
    merges.push_back(BpeMerge{.left = left, .right = right, .bytes = std::string(stored)});
  }
  if (position != bytes.size()) {
    throwFormat("trailing BPE tokenizer data");
  }

  SubwordTokenizer tokenizer(std::move(merges));
  // After the checks above the rebuilt artifact always equals the input; the
  // comparison stays as the final guarantee that a loaded tokenizer saves
  // back to exactly the bytes it was loaded from.
  if (!std::equal(bytes.begin(), bytes.end(), tokenizer.artifact().begin(),
                  tokenizer.artifact().end())) {
    throwFormat("non-canonical BPE tokenizer artifact");
  }
  return tokenizer;
}

}  // namespace Orvane::Core::Lumeth
