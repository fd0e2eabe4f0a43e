#pragma once

// The byte tokenizer: byte b is token id b (0..255), begin-of-sequence is 256
// and end-of-sequence 257. It has no trainable content, so its stored artifact
// ("LUMEBTK1") carries its canonical description, and loading accepts only
// the semantics implemented here.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// The semantics of every byte tokenizer (110 bytes). Its fnv1a64 in toHex16
// form is the descriptor hash; it is also the artifact payload.
inline constexpr std::string_view kByteTokenizerDescription =
    "lumeth-byte-tokenizer-v1;vocabulary=258;bytes=0..255;bos=256;eos=257;"
    "normalization=none;invalid_utf8=explicit;";

// Immutable once built. There are no move operations: a move copies (the
// descriptor and the 134-byte artifact), so the moved-from tokenizer stays
// complete and keeps encoding and decoding as before.
class ByteTokenizer : public ITransformerTokenizer {
 public:
  // Descriptor: kind "byte", version 1, vocabulary 258, BOS 256, EOS 257, no
  // role ids; the artifact is serializeByteTokenizerArtifact().
  ByteTokenizer();

  ByteTokenizer(const ByteTokenizer&) = default;
  ByteTokenizer& operator=(const ByteTokenizer&) = default;
  ~ByteTokenizer() override = default;

  // One id per input byte, in order, between the requested BOS and EOS.
  // Under Replace each bad sequence becomes the three bytes of U+FFFD first.
  // Throws TokenizerError, checking in this order and before anything is
  // encoded, even for empty text: UnsupportedOption
  // "byte tokenizer supports only normalization=none" for a normalization
  // other than None, then UnsupportedOption "unknown invalid UTF-8 policy"
  // for a policy value above Replace; then InvalidUtf8 under Reject.
  [[nodiscard]] EncodedText encode(std::string_view text,
                                   const EncodeOptions& options) const override;

  // The streaming decoder run once with `final` set. Throws TokenizerError:
  // UnsupportedOption for an unknown policy (before any id is read), then,
  // for the first offending id, SpecialTokenNotAllowed or TokenIdOutOfRange,
  // and InvalidUtf8 under Reject.
  [[nodiscard]] std::string decode(std::span<const std::uint32_t> ids,
                                   const DecodeOptions& options) const override;

  [[nodiscard]] TokenizerDescriptor descriptor() const override;

  // The serialized artifact of this tokenizer (134 bytes).
  [[nodiscard]] const ByteBuffer& artifact() const noexcept { return artifact_; }

 private:
  friend ByteTokenizer loadByteTokenizerArtifact(std::span<const std::uint8_t> bytes,
                                                 std::uint64_t maxBytes);

  TokenizerDescriptor descriptor_;
  ByteBuffer artifact_;
};

// The byte tokenizer artifact: a 24-byte header and the canonical description
// as payload, 134 bytes in all. Every call gives the same bytes.
[[nodiscard]] ByteBuffer serializeByteTokenizerArtifact();

// Checks `bytes` as a byte tokenizer artifact and returns the tokenizer it
// stores, whose artifact is a copy of `bytes`. `maxBytes` is the caller's
// ceiling on the input size (an input of exactly that size is accepted).
// Throws TokenizerError(InvalidFormat, ...) naming the first failed check:
// size limit, magic (also for inputs shorter than the header), version, byte
// order, payload length, then payload and checksum together.
[[nodiscard]] ByteTokenizer loadByteTokenizerArtifact(std::span<const std::uint8_t> bytes,
                                                      std::uint64_t maxBytes);

}  // namespace Orvane::Core::Lumeth
