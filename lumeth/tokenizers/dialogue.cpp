#include "lumeth/tokenizers/dialogue.hpp"

#include <cstddef>
#include <stdexcept>
#include <string_view>

#include "lumeth/tokenizers/internal/chat_markers.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::string_view kNewline = "\n";

constexpr std::uint8_t kContext = 0;
constexpr std::uint8_t kTarget = 1;

// Appends one id with its mask value, keeping the two lists aligned.
void appendId(DialogueEncoding& encoding, std::uint32_t id, std::uint8_t mask) {
  encoding.ids.push_back(id);
  encoding.targetMask.push_back(mask);
}

void appendIds(DialogueEncoding& encoding, const EncodedText& encoded, std::uint8_t mask) {
  encoding.ids.insert(encoding.ids.end(), encoded.ids.begin(), encoded.ids.end());
  encoding.targetMask.insert(encoding.targetMask.end(), encoded.ids.size(), mask);
}

// One encode call per piece: a BPE merge can then never join a piece with
// its neighbour (the marker with its newline, the text with its newline).
void appendPiece(DialogueEncoding& encoding, const ITransformerTokenizer& tokenizer,
                 std::string_view piece, std::uint8_t mask) {
  appendIds(encoding, tokenizer.encode(piece, EncodeOptions{}), mask);
}

// Encodes turn text. `chat` is the tokenizer as a ChatTokenizer when turn
// text must be encoded under TreatAsText, otherwise null.
void appendTurnText(DialogueEncoding& encoding, const ITransformerTokenizer& tokenizer,
                    const ChatTokenizer* chat, std::string_view text, std::uint8_t mask) {
  if (chat != nullptr) {
    appendIds(encoding, chat->encode(text, EncodeOptions{}, MarkerHandling::TreatAsText), mask);
  } else {
    appendPiece(encoding, tokenizer, text, mask);
  }
}

// The tokenizer to ask for TreatAsText, or null when its plain encode already
// leaves markers alone. Throws when neither holds.
const ChatTokenizer* treatAsTextTokenizer(const ITransformerTokenizer& tokenizer,
                                          const TokenizerDescriptor& descriptor) {
  if (const auto* chat = dynamic_cast<const ChatTokenizer*>(&tokenizer)) {
    return chat;
  }
  // A tokenizer with role ids parses markers in its own way, and nothing in
  // the interface can ask it not to: refusing is the only safe answer.
  if (descriptor.userId != kNoTokenId || descriptor.assistantId != kNoTokenId) {
    throw TokenizerError(TokenizerErrorCode::UnsupportedOption,
                         "tokenizer cannot treat markers as text");
  }
  return nullptr;
}

}  // namespace

DialogueEncoding encodeDialogue(std::span<const DialogueTurn> turns,
                                const ITransformerTokenizer& tokenizer, bool addBos, bool addEos,
                                MarkerHandling markers) {
  if (turns.empty()) {
    throw std::invalid_argument("dialogue requires at least one turn");
  }
  requireKnownMarkerHandling(markers);
  // Every turn is checked before the first piece is encoded.
  if (markers == MarkerHandling::Refuse) {
    for (const DialogueTurn& turn : turns) {
      if (containsChatMarker(turn.text)) {
        throwMarkerNotAllowed();
      }
    }
  }
  const TokenizerDescriptor descriptor = tokenizer.descriptor();
  const ChatTokenizer* chat = markers == MarkerHandling::TreatAsText
                                  ? treatAsTextTokenizer(tokenizer, descriptor)
                                  : nullptr;
  DialogueEncoding encoding;
  encoding.tokenizerHash = descriptor.hash;
  if (addBos) {
    appendId(encoding, descriptor.bosId, kContext);
  }
  for (const DialogueTurn& turn : turns) {
    if (turn.role == ChatRole::User) {
      appendPiece(encoding, tokenizer, kUserMarker, kContext);
      appendPiece(encoding, tokenizer, kNewline, kContext);
      appendTurnText(encoding, tokenizer, chat, turn.text, kContext);
      appendPiece(encoding, tokenizer, kNewline, kContext);
    } else {
      appendPiece(encoding, tokenizer, kAssistantMarker, kContext);
      appendPiece(encoding, tokenizer, kNewline, kContext);
      appendTurnText(encoding, tokenizer, chat, turn.text, kTarget);
      // The model must learn to end its own turn, so the EOS is a target.
      if (addEos) {
        appendId(encoding, descriptor.eosId, kTarget);
      }
      appendPiece(encoding, tokenizer, kNewline, kContext);
    }
  }
  return encoding;
}

DialogueWindow dialogueWindow(const DialogueEncoding& encoding, std::uint64_t start,
                              std::uint64_t length) {
  const std::uint64_t n = encoding.ids.size();
  // The last target is ids[start + length], so the sum must stay below n. A
  // sum that wraps around 2^64 would pass a plain comparison and send the
  // window far outside the encoding; it is refused like any window that does
  // not fit.
  std::uint64_t end = 0;
  const bool overflows = __builtin_add_overflow(start, length, &end);
  if (length == 0 || encoding.targetMask.size() != n || overflows || end >= n) {
    throw std::invalid_argument("dialogue window exceeds token sequence");
  }

  // After the check, start + length < n, so every index below fits in size_t.
  const auto first = static_cast<std::size_t>(start);
  const auto width = static_cast<std::size_t>(length);
  DialogueWindow window;
  window.batch_size = 1;
  window.width = width;
  window.tokens.reserve(width);
  window.target_mask.reserve(width);
  window.targets.reserve(width);
  for (std::size_t i = 0; i < width; ++i) {
    window.tokens.push_back(encoding.ids[first + i]);
    window.targets.push_back(encoding.ids[first + i + 1]);
    window.target_mask.push_back(encoding.targetMask[first + i + 1]);
  }
  return window;
}

}  // namespace Orvane::Core::Lumeth
