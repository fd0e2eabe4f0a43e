#pragma once

// TextStream: the ids of any of the library's tokenizers (byte, BPE, chat over
// either, chat over chat) decoded a chunk at a time into text, with exactly
// the result of that tokenizer's decode. A UTF-8 character whose bytes are
// split across ids or chunks is held back until it is complete, so text never
// comes out half a character at a time.
//
// What the stream keeps between chunks is a DecoderState: the options
// (skipSpecialTokens, policy) and the bytes of an unfinished character, at
// most three. That is the whole state for all three tokenizers: a BPE id
// expands into bytes that join the pending ones; a chat role id ends the
// piece it closes (its pending bytes are drained as final, as the chat
// tokenizer's decode judges each piece between role ids on its own), so after
// a role id nothing is pending. The state is therefore stored as the "BTDS1"
// decoder-state record (decoder_state.hpp), which does not name the
// tokenizer: a session binds its model to one tokenizer, so a record restored
// from a session meets the tokenizer it was written with.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// One decoded stream. It copies what it needs from the tokenizer (a BPE
// tokenizer's merge list is shared, not copied), so the tokenizer need not
// outlive it. Copies are independent streams. Not for concurrent use.
class TextStream {
 public:
  // A stream with nothing pending that decodes as `tokenizer.decode(ids,
  // options)` does. `tokenizer` must be a ByteTokenizer, a SubwordTokenizer
  // or a ChatTokenizer whose base is one of these three (at any depth); a
  // class derived from one of them does not qualify, since it may decode
  // differently. Throws, in this order: std::invalid_argument("text stream
  // needs a byte, BPE or chat tokenizer") for any other tokenizer;
  // TokenizerError(UnsupportedOption, "unknown invalid UTF-8 policy") for a
  // policy value above Replace.
  TextStream(const ITransformerTokenizer& tokenizer, const DecodeOptions& options);

  // Decodes the next `ids` and returns the text they complete: every
  // character whose bytes are all in, in order. Without `final`, the bytes of
  // an unfinished character at the end stay pending; with `final` (no more
  // ids will follow) they are handled by the policy and nothing stays
  // pending. An empty `ids` only drains what is pending.
  //
  // Ids are judged as the tokenizer's decode judges them, in order: byte and
  // subword ids add their bytes; begin- and end-of-sequence are dropped
  // under skipSpecialTokens and otherwise throw; a chat role id first
  // drains the pending bytes as final (the piece before it is complete),
  // then produces no text under skipSpecialTokens and otherwise throws. The
  // bytes collected since the last drain are judged under the policy once
  // the chunk's ids (up to a role id) have been accepted.
  //
  // For any ids and any cut into chunks, the concatenated results of the
  // chunks, the last one with `final`, equal decode(all ids, options), and
  // serializing the state and parsing it into a fresh stream at any cut
  // changes nothing. A stream fails exactly when that decode fails; the
  // error is the first one met in stream order, which can differ from
  // decode's when one piece holds both a bad id and bad UTF-8 in an earlier
  // chunk (decode judges a piece's ids before its bytes).
  //
  // Throws TokenizerError with the tokenizer's own codes and messages:
  // SpecialTokenNotAllowed ("special token requires skipSpecialTokens=true",
  // or "chat role token requires skipSpecialTokens=true"),
  // TokenIdOutOfRange ("token id is outside byte-tokenizer vocabulary" or
  // "token id is outside subword vocabulary", from the innermost tokenizer),
  // InvalidUtf8 under Reject. A call that throws leaves the stream exactly as
  // it was.
  [[nodiscard]] std::string decode(std::span<const std::uint32_t> ids, bool final = false);

  // decode({}, true): the text of the pending bytes under the policy.
  [[nodiscard]] std::string finish();

  // The options and the pending bytes (at most three, an unfinished sequence).
  [[nodiscard]] const DecoderState& state() const noexcept { return state_; }
  [[nodiscard]] DecodeOptions options() const noexcept {
    return {.skipSpecialTokens = state_.skipSpecialTokens, .invalidUtf8 = state_.policy};
  }

  // The state as a "BTDS1" record: serializeDecoderState(state()).
  [[nodiscard]] ByteBuffer serializeState() const;

  // Replaces the state, options included, with the record's
  // (parseDecoderState): the stream then continues the one that wrote it.
  // Throws TokenizerError(InvalidFormat, ...) naming the first failed check,
  // and then changes nothing.
  void parseState(std::span<const std::uint8_t> record);

 private:
  // Appends the bytes of a non-role id to `bytes`, or throws.
  void expand(std::uint32_t id, std::vector<std::uint8_t>& bytes) const;
  [[nodiscard]] bool isRole(std::uint32_t id) const noexcept;

  DecoderState state_;
  // The innermost tokenizer: a BPE tokenizer, or null for the byte tokenizer.
  std::shared_ptr<const SubwordTokenizer> subword_;
  // The innermost tokenizer's begin- and end-of-sequence ids.
  std::uint32_t bosId_ = kByteBosId;
  std::uint32_t eosId_ = kByteEosId;
  // The role ids of every chat layer, outermost first.
  std::vector<std::uint32_t> roleIds_;
};

}  // namespace Orvane::Core::Lumeth
