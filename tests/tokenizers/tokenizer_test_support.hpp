#pragma once

// Helpers shared by the tokenizer tests: the error expectation, byte and id
// lists of a text, the 256 byte values, and the worked example's merges.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// U+FFFD, the replacement character, in UTF-8.
inline const std::string kFffd = "\xEF\xBF\xBD";

// Runs `action`, which must throw TokenizerError with `code` and `message`.
inline void expectError(const std::function<void()>& action, TokenizerErrorCode code,
                        const std::string& message) {
  try {
    action();
    ADD_FAILURE() << "expected \"" << message << "\"";
  } catch (const TokenizerError& error) {
    EXPECT_EQ(error.code(), code) << error.what();
    EXPECT_EQ(error.what(), message);
  }
}

inline std::vector<std::uint8_t> bytesOf(std::string_view text) {
  const auto bytes = asBytes(text);
  return {bytes.begin(), bytes.end()};
}

// One id per byte of `text`, its value: what the byte tokenizer gives.
inline std::vector<std::uint32_t> idsOf(std::string_view text) {
  const auto bytes = asBytes(text);
  return {bytes.begin(), bytes.end()};
}

// The 256 byte values in increasing order.
inline std::string allBytes() {
  std::string text;
  for (int value = 0; value < 256; ++value) {
    text.push_back(static_cast<char>(value));
  }
  return text;
}

// The merges learned from " ahoj světe ahoj světe český chatbot ahoj světe"
// (vocabulary 300, minimum frequency 2, at most 12 bytes), written out by
// hand: ah, oj, sv, te, then the bytes of "ě" joined to "te" from the right,
// then ahoj and světe.
inline std::vector<BpeMerge> workedExampleMerges() {
  return {
      {97, 104, "ah"},
      {111, 106, "oj"},
      {115, 118, "sv"},
      {116, 101, "te"},
      {155, 259,
       "\x9B"
       "te"},
      {196, 260,
       "\xC4\x9B"
       "te"},
      {256, 257, "ahoj"},
      {258, 261,
       "sv\xC4\x9B"
       "te"},
  };
}

}  // namespace Orvane::Core::Lumeth
