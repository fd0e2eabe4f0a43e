#pragma once

// A tokenizer for chat transcripts over any base tokenizer. Two role ids are
// reserved directly after the base's vocabulary (user, then assistant), and
// the three markers "<|user|>", "<|assistant|>" and "<|end|>" are found in the
// raw text before the base sees it, so each becomes exactly one id. "<|end|>"
// is the base's own end-of-sequence id. For text the caller does not trust,
// MarkerHandling refuses markers or has the base encode them as plain bytes.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// What chat encoding and dialogue building do when the bytes of a marker
// ("<|user|>", "<|assistant|>" or "<|end|>") appear in text. Parse suits text
// the caller wrote. Text that comes from someone else needs one of the other
// two: parsed, a marker inside it would let its writer forge a turn of
// another role (and, in a dialogue, its training targets).
enum class MarkerHandling : std::uint8_t {
  Parse = 0,        // each marker becomes its id (the default)
  Refuse = 1,       // the text is refused: TokenizerError(MarkerNotAllowed,
                    // "text contains a chat marker"); nothing is encoded
  TreatAsText = 2,  // the base encodes the marker bytes like any other bytes,
                    // so no marker id comes out of the text
};

// Immutable once built, and its base is never null. Copies share the base.
// There are no move operations: a move copies, so the moved-from tokenizer
// keeps its base and keeps encoding and decoding as before.
class ChatTokenizer : public ITransformerTokenizer {
 public:
  // Shares ownership of `base`; tokenizers are immutable, so a pointer to a
  // constant base is enough (a pointer to a mutable one converts). Throws
  // std::invalid_argument with "chat tokenizer base is null" for an empty
  // pointer and "chat tokenizer vocabulary overflows" when the base's
  // vocabulary is above 0xFFFFFFFD, so that the two role ids would not fit in
  // 32 bits.
  explicit ChatTokenizer(std::shared_ptr<const ITransformerTokenizer> base);

  ChatTokenizer(const ChatTokenizer&) = default;
  ChatTokenizer& operator=(const ChatTokenizer&) = default;
  ~ChatTokenizer() override = default;

  // Markers become their ids; the text between two markers is encoded by the
  // base on its own (never across a marker) with the caller's normalization
  // and policy and no BOS or EOS. BOS and EOS, when asked for, come first and
  // last. The result carries this tokenizer's hash. The chat tokenizer judges
  // neither option itself: the base checks them on each piece it encodes, in
  // its own order (the library's tokenizers: normalization, then the policy
  // value, then the text), so text made only of markers, which never reaches
  // the base, is encoded whatever the options. Throws whatever the base
  // throws.
  [[nodiscard]] EncodedText encode(std::string_view text,
                                   const EncodeOptions& options) const override;

  // encode(text, options) with the markers in `text` handled as `markers`
  // says; BOS and EOS, when asked for, are added in every mode.
  //   Parse        exactly encode(text, options).
  //   Refuse       a text in which the bytes of any marker appear (plain byte
  //                comparison, before any UTF-8 policy) is refused; any other
  //                text encodes exactly as under Parse.
  //   TreatAsText  the whole text goes to the base in one call, so a marker's
  //                bytes are encoded as the base encodes any bytes and no role
  //                id or "<|end|>" id comes from the text. When the base is
  //                itself a ChatTokenizer, it is asked for TreatAsText too.
  // Checks, in this order: `markers` is a known value (otherwise
  // TokenizerError(UnsupportedOption, "unknown marker handling"), even for
  // empty text); under Refuse, no marker in the text (otherwise
  // TokenizerError(MarkerNotAllowed, "text contains a chat marker")); then
  // the base's own checks of the options and the text, on each piece it
  // encodes. Text that gives the base nothing to encode (empty, or only
  // markers under Parse) never has its options judged by the base.
  [[nodiscard]] EncodedText encode(std::string_view text, const EncodeOptions& options,
                                   MarkerHandling markers) const;

  // Role ids produce no text; the runs of other ids between them are decoded
  // by the base with the same options, each on its own, and concatenated. A run
  // is decoded before the role id that ends it is judged. Throws
  // TokenizerError(SpecialTokenNotAllowed,
  // "chat role token requires skipSpecialTokens=true") for a role id without
  // skipSpecialTokens, and whatever the base throws for the other ids.
  [[nodiscard]] std::string decode(std::span<const std::uint32_t> ids,
                                   const DecodeOptions& options) const override;

  // kind "chat-v2/<base kind>", vocabulary base + 2, userId base vocabulary,
  // assistantId base vocabulary + 1; version, BOS and EOS are the base's. The
  // hash covers the base's hash and the three marker ids.
  [[nodiscard]] TokenizerDescriptor descriptor() const override;

  // The tokenizer this one wraps; never null.
  [[nodiscard]] const std::shared_ptr<const ITransformerTokenizer>& base() const noexcept {
    return base_;
  }

 private:
  // Encodes a piece of text with the base, passing TreatAsText on when the
  // base is a chat tokenizer that would otherwise parse markers in it.
  [[nodiscard]] EncodedText encodeWithBase(std::string_view piece, const EncodeOptions& options,
                                           MarkerHandling markers) const;

  std::shared_ptr<const ITransformerTokenizer> base_;  // never null
  // base_ itself when it is a chat tokenizer, otherwise null.
  const ChatTokenizer* chatBase_ = nullptr;
  TokenizerDescriptor descriptor_;
};

}  // namespace Orvane::Core::Lumeth
