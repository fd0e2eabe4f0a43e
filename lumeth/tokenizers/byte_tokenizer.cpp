#include "lumeth/tokenizers/byte_tokenizer.hpp"

#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"
#include "lumeth/tokenizers/internal/option_checks.hpp"
#include "lumeth/tokenizers/utf8.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::string_view kArtifactMagic = "LUMEBTK1";
constexpr std::uint16_t kArtifactVersion = 1;
constexpr std::uint16_t kEndianMarker = 0x4C45;  // stored as the bytes "EL"
constexpr std::size_t kVersionOffset = 8;
constexpr std::size_t kEndianOffset = 10;
constexpr std::size_t kLengthOffset = 12;
constexpr std::size_t kChecksumOffset = 16;
constexpr std::size_t kHeaderSize = 24;

constexpr std::uint32_t kByteTokenizerVersion = 1;

[[noreturn]] void throwFormat(const char* message) {
  throw TokenizerError(TokenizerErrorCode::InvalidFormat, message);
}

}  // namespace

ByteTokenizer::ByteTokenizer()
    : descriptor_{.kind = "byte",
                  .version = kByteTokenizerVersion,
                  .vocabularySize = kByteVocabularySize,
                  .bosId = kByteBosId,
                  .eosId = kByteEosId,
                  .hash = toHex16(fnv1a64(kByteTokenizerDescription)),
                  .userId = kNoTokenId,
                  .assistantId = kNoTokenId},
      artifact_(serializeByteTokenizerArtifact()) {}

EncodedText ByteTokenizer::encode(std::string_view text, const EncodeOptions& options) const {
  if (options.normalization != Normalization::None) {
    throw TokenizerError(TokenizerErrorCode::UnsupportedOption,
                         "byte tokenizer supports only normalization=none");
  }
  // Normalization first, then the policy value, then the text.
  requireKnownInvalidUtf8Policy(options.invalidUtf8);
  std::string repaired;
  const std::span<const std::uint8_t> bytes =
      asBytes(textForEncoding(text, options.invalidUtf8, repaired));
  EncodedText result;
  result.tokenizerHash = descriptor_.hash;
  result.ids.reserve(bytes.size() + (options.addBos ? 1 : 0) + (options.addEos ? 1 : 0));
  if (options.addBos) {
    result.ids.push_back(kByteBosId);
  }
  // One widening copy over the whole range, straight into the reserved
  // storage (no zero-filling pass first).
  result.ids.insert(result.ids.end(), bytes.begin(), bytes.end());
  if (options.addEos) {
    result.ids.push_back(kByteEosId);
  }
  return result;
}

std::string ByteTokenizer::decode(std::span<const std::uint32_t> ids,
                                  const DecodeOptions& options) const {
  DecoderState state(options);
  return decodeChunk(state, ids, /*final=*/true);
}

TokenizerDescriptor ByteTokenizer::descriptor() const { return descriptor_; }

// Byte tokenizer artifact, little-endian:
//
//   offset  size  field
//   0       8     magic "LUMEBTK1"
//   8       2     format version, u16 (1)
//   10      2     endianness marker, u16 0x4C45 (bytes "EL")
//   12      4     payload length, u32 (110)
//   16      8     fnv1a64 of the payload, u64
//   24      len   payload: the canonical description
ByteBuffer serializeByteTokenizerArtifact() {
  ByteBuffer artifact;
  artifact.reserve(kHeaderSize + kByteTokenizerDescription.size());
  appendBytes(artifact, kArtifactMagic);
  appendU16(artifact, kArtifactVersion);
  appendU16(artifact, kEndianMarker);
  appendU32(artifact, static_cast<std::uint32_t>(kByteTokenizerDescription.size()));
  appendU64(artifact, fnv1a64(kByteTokenizerDescription));
  appendBytes(artifact, kByteTokenizerDescription);
  return artifact;
}

ByteTokenizer loadByteTokenizerArtifact(std::span<const std::uint8_t> bytes,
                                        std::uint64_t maxBytes) {
  if (bytes.size() > maxBytes) {
    throwFormat("tokenizer artifact exceeds size limit");
  }
  if (bytes.size() < kHeaderSize || asText(bytes.first(kArtifactMagic.size())) != kArtifactMagic) {
    throwFormat("tokenizer artifact magic mismatch");
  }
  if (readU16(bytes, kVersionOffset) != kArtifactVersion) {
    throwFormat("unknown tokenizer artifact version");
  }
  if (readU16(bytes, kEndianOffset) != kEndianMarker) {
    throwFormat("tokenizer artifact endian mismatch");
  }
  // Compared in 64 bits: the stored u32 never wraps against a large input.
  if (std::uint64_t{readU32(bytes, kLengthOffset)} != bytes.size() - kHeaderSize) {
    throwFormat("tokenizer artifact length mismatch");
  }
  const std::span<const std::uint8_t> payload = bytes.subspan(kHeaderSize);
  if (asText(payload) != kByteTokenizerDescription ||
      readU64(bytes, kChecksumOffset) != fnv1a64(payload)) {
    throwFormat("tokenizer artifact hash or semantics mismatch");
  }
  ByteTokenizer tokenizer;
  tokenizer.artifact_.assign(bytes.begin(), bytes.end());
  return tokenizer;
}

}  // namespace Orvane::Core::Lumeth
