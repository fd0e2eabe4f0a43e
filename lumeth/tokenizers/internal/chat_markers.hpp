#pragma once

// The chat markers, shared by the chat tokenizer (which turns them into ids)
// and the dialogue builder (which writes the role markers and, when asked,
// refuses turn text that contains any of them).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

inline constexpr std::size_t kChatMarkerCount = 3;
// In this order: user, assistant, end. They differ in their third byte, so no
// two of them start at the same position.
inline constexpr std::array<std::string_view, kChatMarkerCount> kChatMarkers = {
    "<|user|>", "<|assistant|>", "<|end|>"};
inline constexpr std::string_view kUserMarker = kChatMarkers[0];
inline constexpr std::string_view kAssistantMarker = kChatMarkers[1];

// Whether the bytes of any marker appear in `text`; plain byte comparison,
// before any UTF-8 policy.
[[nodiscard]] inline bool containsChatMarker(std::string_view text) noexcept {
  for (const std::string_view marker : kChatMarkers) {
    if (text.find(marker) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

[[noreturn]] inline void throwMarkerNotAllowed() {
  throw TokenizerError(TokenizerErrorCode::MarkerNotAllowed, "text contains a chat marker");
}

// Throws TokenizerError(UnsupportedOption, "unknown marker handling") for a
// value above TreatAsText.
inline void requireKnownMarkerHandling(MarkerHandling markers) {
  if (static_cast<std::uint8_t>(markers) > static_cast<std::uint8_t>(MarkerHandling::TreatAsText)) {
    throw TokenizerError(TokenizerErrorCode::UnsupportedOption, "unknown marker handling");
  }
}

}  // namespace Orvane::Core::Lumeth
