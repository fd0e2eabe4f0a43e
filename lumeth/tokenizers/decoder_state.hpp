#pragma once

// The streaming byte decoder: turns chunks of byte-tokenizer ids into text
// without ever emitting half a UTF-8 character, and the checksummed record
// ("BTDS1") that carries an unfinished character across a save and restore.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// Byte-tokenizer id layout: ids 0..255 are the bytes of the same value.
inline constexpr std::uint32_t kByteBosId = 256;
inline constexpr std::uint32_t kByteEosId = 257;
inline constexpr std::uint32_t kByteVocabularySize = 258;

// The state of one decoded stream.
//
// Invariant after every successful decodeChunk: `pending` holds at most 3
// bytes, and when it is not empty it classifies as Incomplete from its first
// byte; after a call with `final` it is empty.
struct DecoderState {
  bool skipSpecialTokens = false;  // drop ids 256 and 257 instead of failing
  InvalidUtf8Policy policy = InvalidUtf8Policy::PreserveBytes;
  std::vector<std::uint8_t> pending;  // the start of an unfinished UTF-8 sequence

  // A state with nothing pending. Throws
  // TokenizerError(UnsupportedOption, "unknown invalid UTF-8 policy") when the
  // policy is not one of the three known values.
  explicit DecoderState(const DecodeOptions& options = {});
};

// Appends the bytes of `ids` to what is pending and returns the text that is
// complete afterwards. Without `final`, an unfinished sequence at the end stays
// pending; with `final`, it is handled by the policy and nothing stays pending.
//
// Throws TokenizerError: SpecialTokenNotAllowed for 256 or 257 without
// skipSpecialTokens, TokenIdOutOfRange for ids from 258 up (the first
// offending id decides), InvalidUtf8 under Reject. A call that throws leaves
// `state` exactly as it was.
[[nodiscard]] std::string decodeChunk(DecoderState& state, std::span<const std::uint32_t> ids,
                                      bool final);

// The 16 + n byte record of `state` (n pending bytes). Refuses, with
// TokenizerError(InvalidFormat, ...) and the message parseDecoderState would
// give, a state whose record could not be parsed back: 4 or more pending
// bytes, an unknown policy, or pending bytes that are not an unfinished
// sequence. States left by decodeChunk always serialize.
[[nodiscard]] ByteBuffer serializeDecoderState(const DecoderState& state);

// Validates `bytes` as a decoder-state record and, only when every check
// passes, replaces the three fields of `state` with the stored ones. Throws
// TokenizerError(InvalidFormat, ...) naming the first failed check; a failed
// parse leaves `state` untouched.
void parseDecoderState(DecoderState& state, std::span<const std::uint8_t> bytes);

}  // namespace Orvane::Core::Lumeth
