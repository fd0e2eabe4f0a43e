#pragma once

// Checks of option values shared by the tokenizers, so that encode, decode
// and the decoder state refuse an unknown value with the same code and
// message. An unknown value is never read as a default.

#include <cstdint>

#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

[[nodiscard]] constexpr bool isKnownInvalidUtf8Policy(InvalidUtf8Policy policy) noexcept {
  return static_cast<std::uint8_t>(policy) <= static_cast<std::uint8_t>(InvalidUtf8Policy::Replace);
}

// Throws TokenizerError(UnsupportedOption, "unknown invalid UTF-8 policy") for
// a value above Replace.
inline void requireKnownInvalidUtf8Policy(InvalidUtf8Policy policy) {
  if (!isKnownInvalidUtf8Policy(policy)) {
    throw TokenizerError(TokenizerErrorCode::UnsupportedOption, "unknown invalid UTF-8 policy");
  }
}

}  // namespace Orvane::Core::Lumeth
