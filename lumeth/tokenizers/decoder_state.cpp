#include "lumeth/tokenizers/decoder_state.hpp"

#include <algorithm>
#include <string_view>

#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/internal/option_checks.hpp"
#include "lumeth/tokenizers/utf8.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::string_view kStateMagic = "BTDS1";  // identifier "BTDS", format version "1"
constexpr std::size_t kPolicyOffset = 5;
constexpr std::size_t kFlagOffset = 6;
constexpr std::size_t kCountOffset = 7;
constexpr std::size_t kPendingOffset = 8;
constexpr std::size_t kChecksumSize = 8;
// Magic, policy, flag, count and checksum: the record with nothing pending.
constexpr std::size_t kFixedSize = kPendingOffset + kChecksumSize;
// A UTF-8 sequence is at most 4 bytes, so at most 3 can wait for the rest.
constexpr std::size_t kMaxPending = 3;

constexpr const char* kInvalidStateMessage = "invalid byte-decoder state";
constexpr const char* kInvalidLengthMessage = "invalid byte-decoder state length";
constexpr const char* kChecksumMessage = "byte-decoder state checksum mismatch";
constexpr const char* kInvalidPolicyMessage = "byte-decoder state policy is invalid";
constexpr const char* kNotIncompleteMessage =
    "byte-decoder pending state is not an incomplete sequence";

bool isKnownPolicy(std::uint8_t policy) noexcept {
  return isKnownInvalidUtf8Policy(static_cast<InvalidUtf8Policy>(policy));
}

// True when `pending` may stand in a record: nothing, or the start of a
// sequence that more bytes could still complete.
bool isUnfinishedSequence(std::span<const std::uint8_t> pending) {
  return pending.empty() || classifyUtf8(pending, 0).status == Utf8Status::Incomplete;
}

[[noreturn]] void throwFormat(const char* message) {
  throw TokenizerError(TokenizerErrorCode::InvalidFormat, message);
}

}  // namespace

DecoderState::DecoderState(const DecodeOptions& options)
    : skipSpecialTokens(options.skipSpecialTokens), policy(options.invalidUtf8) {
  requireKnownInvalidUtf8Policy(policy);
}

std::string decodeChunk(DecoderState& state, std::span<const std::uint32_t> ids, bool final) {
  // The pending bytes and the new ones are gathered in the text that will be
  // returned; the state changes only once nothing can fail any more, so a
  // failure at any id, or under Reject, leaves it as it was.
  const std::size_t kept = state.pending.size();
  std::string bytes(kept + ids.size(), '\0');
  std::copy(state.pending.begin(), state.pending.end(), bytes.begin());
  char* out = bytes.data() + kept;
  std::size_t written = 0;
  std::size_t i = 0;
  // Blocks of byte ids are narrowed in one vectorizable pass; a block with
  // any id of 256 or more goes through the checks one id at a time.
  constexpr std::size_t kBlock = 64;
  while (i < ids.size()) {
    if (ids.size() - i >= kBlock) {
      std::uint32_t any = 0;
      for (std::size_t k = 0; k < kBlock; ++k) {
        any |= ids[i + k];
      }
      if (any < 256) {
        for (std::size_t k = 0; k < kBlock; ++k) {
          out[written + k] = static_cast<char>(static_cast<std::uint8_t>(ids[i + k]));
        }
        written += kBlock;
        i += kBlock;
        continue;
      }
    }
    const std::size_t blockEnd = std::min(ids.size(), i + kBlock);
    for (; i < blockEnd; ++i) {
      const std::uint32_t id = ids[i];
      if (id < 256) [[likely]] {
        out[written++] = static_cast<char>(static_cast<std::uint8_t>(id));
      } else if (id >= kByteVocabularySize) {
        throw TokenizerError(TokenizerErrorCode::TokenIdOutOfRange,
                             "token id is outside byte-tokenizer vocabulary");
      } else if (!state.skipSpecialTokens) {
        throw TokenizerError(TokenizerErrorCode::SpecialTokenNotAllowed,
                             "special token requires skipSpecialTokens=true");
      }
    }
  }
  bytes.resize(kept + written);

  // Usually all of it is valid UTF-8 and is returned as it is. Otherwise the
  // policy handles the rest, which starts on a sequence boundary: the valid
  // prefix is made of whole sequences.
  const std::size_t valid = validUtf8Prefix(asBytes(bytes));
  if (valid == bytes.size()) {
    state.pending.clear();
    return bytes;
  }
  const std::span<const std::uint8_t> restBytes = asBytes(bytes).subspan(valid);
  std::vector<std::uint8_t> rest(restBytes.begin(), restBytes.end());
  const std::string tail = drainPending(rest, state.policy, final);
  bytes.resize(valid);
  bytes += tail;
  state.pending.swap(rest);
  return bytes;
}

// Decoder-state record, little-endian, 16 + n bytes:
//
//   offset  size  field
//   0       5     magic "BTDS1"
//   5       1     policy (0 PreserveBytes, 1 Reject, 2 Replace)
//   6       1     skipSpecialTokens (1 or 0)
//   7       1     n, the pending byte count (0..3)
//   8       n     pending bytes
//   8 + n   8     fnv1a64 of bytes [0, 8 + n), u64
ByteBuffer serializeDecoderState(const DecoderState& state) {
  // Refuse in the parser's order, so a refused state names the check its
  // record would fail.
  if (state.pending.size() > kMaxPending) {
    throwFormat(kInvalidLengthMessage);
  }
  const auto policy = static_cast<std::uint8_t>(state.policy);
  if (!isKnownPolicy(policy)) {
    throwFormat(kInvalidPolicyMessage);
  }
  if (!isUnfinishedSequence(state.pending)) {
    throwFormat(kNotIncompleteMessage);
  }
  ByteBuffer record;
  record.reserve(kFixedSize + state.pending.size());
  appendBytes(record, kStateMagic);
  appendU8(record, policy);
  appendU8(record, state.skipSpecialTokens ? 1 : 0);
  appendU8(record, static_cast<std::uint8_t>(state.pending.size()));
  appendBytes(record, state.pending);
  appendU64(record, fnv1a64(record));
  return record;
}

void parseDecoderState(DecoderState& state, std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kFixedSize) {
    throwFormat(kInvalidStateMessage);
  }
  if (asText(bytes.first(kStateMagic.size())) != kStateMagic) {
    throwFormat(kInvalidStateMessage);
  }
  const std::size_t count = bytes[kCountOffset];
  if (count > kMaxPending || bytes.size() != kFixedSize + count) {
    throwFormat(kInvalidLengthMessage);
  }
  const std::size_t checksumOffset = bytes.size() - kChecksumSize;
  if (readU64(bytes, checksumOffset) != fnv1a64(bytes.first(checksumOffset))) {
    throwFormat(kChecksumMessage);
  }
  const std::uint8_t policy = bytes[kPolicyOffset];
  const std::uint8_t flag = bytes[kFlagOffset];
  if (!isKnownPolicy(policy) || flag > 1) {
    throwFormat(kInvalidPolicyMessage);
  }
  const std::span<const std::uint8_t> pending = bytes.subspan(kPendingOffset, count);
  if (!isUnfinishedSequence(pending)) {
    throwFormat(kNotIncompleteMessage);
  }
  std::vector<std::uint8_t> restored(pending.begin(), pending.end());
  state.skipSpecialTokens = flag != 0;
  state.policy = static_cast<InvalidUtf8Policy>(policy);
  state.pending.swap(restored);
}

}  // namespace Orvane::Core::Lumeth
