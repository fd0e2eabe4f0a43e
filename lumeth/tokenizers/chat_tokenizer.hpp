#pragma once

// A tokenizer for chat transcripts over any base tokenizer. Two role ids are
// reserved directly after the base's vocabulary (user, then assistant), and
// the three markers "<|user|>", "<|assistant|>" and "<|end|>" are found in the
// raw text before the base sees it, so each becomes exactly one id. "<|end|>"
// is the base's own end-of-sequence id.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

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
  // last. The result carries this tokenizer's hash. Text made only of markers
  // never reaches the base. Throws whatever the base throws.
  [[nodiscard]] EncodedText encode(std::string_view text,
                                   const EncodeOptions& options) const override;

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

 private:
  std::shared_ptr<const ITransformerTokenizer> base_;  // never null
  TokenizerDescriptor descriptor_;
};

}  // namespace Orvane::Core::Lumeth
