#include "tokenizers/subword_tokenizer.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "foundation/fnv1a.hpp"
#include "tokenizers/byte_tokenizer.hpp"
#include "tokenizers/utf8.hpp"

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

constexpr std::uint32_t kFirstMergeId = 256;
constexpr std::uint32_t kSpecialCount = 2;
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
// looked up the same way while loading.
constexpr std::array<char, 256> kByteTokens = [] {
  std::array<char, 256> tokens{};
  for (std::size_t value = 0; value < tokens.size(); ++value) {
    tokens[value] = static_cast<char>(static_cast<unsigned char>(value));
  }
  return tokens;
}();

// The bytes of token `id`, which must be a byte id or the id of one of
// `merges`.
std::string_view tokenBytes(std::span<const BpeMerge> merges, std::uint32_t id) {
  if (id < kFirstMergeId) {
    return {&kByteTokens[id], 1};
  }
  return merges[id - kFirstMergeId].bytes;
}

}  // namespace

std::vector<std::string_view> splitWhitespaceRuns(std::string_view bytes) {
  std::vector<std::string_view> runs;
  forEachWhitespaceRun(bytes, [&runs](std::string_view run) { runs.push_back(run); });
  return runs;
}

void replaceEveryPair(std::vector<std::uint32_t>& symbols, std::uint32_t left, std::uint32_t right,
                      std::uint32_t merged) {
  // Written in place: the write position never passes the read position.
  std::size_t write = 0;
  std::size_t read = 0;
  while (read < symbols.size()) {
    if (read + 1 < symbols.size() && symbols[read] == left && symbols[read + 1] == right) {
      symbols[write++] = merged;
      read += 2;
    } else {
      symbols[write++] = symbols[read++];
    }
  }
  symbols.resize(write);
}

BpeRankTable buildBpeRankTable(std::span<const BpeMerge> merges) {
  BpeRankTable ranks;
  ranks.max_load_factor(1.0F);
  ranks.reserve(merges.size());
  for (std::size_t i = 0; i < merges.size(); ++i) {
    // emplace never overwrites: the first (lowest) id of a repeated pair stays.
    ranks.emplace(pairKey(merges[i].left, merges[i].right),
                  static_cast<std::uint32_t>(kFirstMergeId + i));
  }
  return ranks;
}

void mergeRun(std::vector<std::uint32_t>& symbols, const BpeRankTable& ranks) {
  if (ranks.empty()) {
    return;
  }
  while (symbols.size() >= 2) {
    bool found = false;
    std::uint32_t bestId = 0;
    std::size_t bestPosition = 0;
    for (std::size_t i = 1; i < symbols.size(); ++i) {
      const auto rank = ranks.find(pairKey(symbols[i - 1], symbols[i]));
      if (rank != ranks.end() && (!found || rank->second < bestId)) {
        found = true;
        bestId = rank->second;
        bestPosition = i - 1;
      }
    }
    if (!found) {
      return;
    }
    replaceEveryPair(symbols, symbols[bestPosition], symbols[bestPosition + 1], bestId);
  }
}

SubwordTokenizer::SubwordTokenizer(std::vector<BpeMerge> merges)
    : merges_(std::move(merges)),
      artifact_(serializeArtifact(merges_)),
      ranks_(buildBpeRankTable(merges_)) {
  const auto mergeCount = static_cast<std::uint32_t>(merges_.size());
  descriptor_ = TokenizerDescriptor{.kind = "bpe",
                                    .version = kSubwordTokenizerVersion,
                                    .vocabularySize = mergeCount + kFirstMergeId + kSpecialCount,
                                    .bosId = mergeCount + kFirstMergeId,
                                    .eosId = mergeCount + kFirstMergeId + 1,
                                    .hash = toHex16(fnv1a64(artifact_)),
                                    .userId = kNoTokenId,
                                    .assistantId = kNoTokenId};
}

EncodedText SubwordTokenizer::encode(std::string_view text, const EncodeOptions& options) const {
  if (options.normalization != Normalization::None) {
    throw TokenizerError(TokenizerErrorCode::UnsupportedOption,
                         "BPE tokenizer supports only normalization=none");
  }
  // Only Reject and Replace look at the bytes; every other policy value keeps
  // them as they are, so the input is split in place without a copy.
  std::vector<std::uint8_t> sanitized;
  std::string_view bytes = text;
  if (options.invalidUtf8 == InvalidUtf8Policy::Reject ||
      options.invalidUtf8 == InvalidUtf8Policy::Replace) {
    sanitized = sanitizeForEncoding(text, options.invalidUtf8);
    bytes = asText(sanitized);
  }
  EncodedText result;
  result.tokenizerHash = descriptor_.hash;
  if (options.addBos) {
    result.ids.push_back(descriptor_.bosId);
  }
  std::vector<std::uint32_t> symbols;
  for (const std::string_view run : splitWhitespaceRuns(bytes)) {
    const auto runBytes = asBytes(run);
    symbols.assign(runBytes.begin(), runBytes.end());
    mergeRun(symbols, ranks_);
    result.ids.insert(result.ids.end(), symbols.begin(), symbols.end());
  }
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
    if (id < kFirstMergeId) {
      byteIds.push_back(id);
    } else if (id < descriptor_.bosId) {
      const auto bytes = asBytes(merges_[id - kFirstMergeId].bytes);
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
    const std::uint32_t nextId = kFirstMergeId + i;
    if (left >= nextId || right >= nextId || length < 2) {
      throwFormat("invalid BPE merge");
    }
    position += kRecordHeaderSize;
    if (bytes.size() - position < length) {
      throwFormat("invalid BPE merge");
    }
    const std::string_view stored = asText(bytes.subspan(position, length));
    position += length;
    const std::string_view leftBytes = tokenBytes(merges, left);
    const std::string_view rightBytes = tokenBytes(merges, right);
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
