#pragma once

// The four tokenizers the tokenizer and dialogue targets exercise (the byte
// tokenizer, a BPE tokenizer trained on a small fixed corpus, and a chat
// tokenizer over each), built once per process, with the reference encode and
// decode of each: what the ids and the text must be, or which error code.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth::Fuzz {

enum class TokenizerKind : std::uint8_t { Byte = 0, Bpe = 1, ChatByte = 2, ChatBpe = 3 };
inline constexpr std::uint8_t kTokenizerKinds = 4;

[[nodiscard]] constexpr bool isChat(TokenizerKind kind) {
  return kind == TokenizerKind::ChatByte || kind == TokenizerKind::ChatBpe;
}

struct FuzzTokenizers {
  std::shared_ptr<ByteTokenizer> byte;
  std::shared_ptr<SubwordTokenizer> bpe;
  std::shared_ptr<ChatTokenizer> chatByte;
  std::shared_ptr<ChatTokenizer> chatBpe;

  [[nodiscard]] const ITransformerTokenizer& get(TokenizerKind kind) const;
};

// Built on first use and kept for the life of the process.
[[nodiscard]] const FuzzTokenizers& fuzzTokenizers();

struct ExpectedIds {
  std::optional<TokenizerErrorCode> error;
  std::vector<std::uint32_t> ids;
};

struct ExpectedText {
  std::optional<TokenizerErrorCode> error;
  std::string text;
};

// `markers` is the chat tokenizer's MarkerHandling as its byte value (0
// Parse, 1 Refuse, 2 TreatAsText, others unknown); only chat kinds read it.
[[nodiscard]] ExpectedIds referenceEncode(TokenizerKind kind, std::string_view text,
                                          const EncodeOptions& options, std::uint8_t markers = 0);
[[nodiscard]] ExpectedText referenceDecode(TokenizerKind kind, std::span<const std::uint32_t> ids,
                                           const DecodeOptions& options);

// `text` with every marker the chat tokenizer would match taken out.
[[nodiscard]] std::string withoutChatMarkers(std::string_view text);

}  // namespace Orvane::Core::Lumeth::Fuzz
