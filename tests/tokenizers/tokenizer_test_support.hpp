#pragma once

// Helpers shared by the tokenizer tests: the error expectation, byte and id
// lists of a text, the 256 byte values, and the worked example's merges.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <random>
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

// The three chat markers, written out here rather than taken from the library.
inline const std::array<std::string, 3> kMarkerTexts = {"<|user|>", "<|assistant|>", "<|end|>"};

// Whether the bytes of any chat marker appear in `text`.
inline bool holdsMarker(std::string_view text) {
  for (const std::string& marker : kMarkerTexts) {
    if (text.find(marker) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

// Arbitrary text for the marker properties: a random concatenation of whole
// markers, their prefixes and suffixes (which join into markers when they
// meet), multi-byte characters whole and cut, bytes that are never valid
// UTF-8, whitespace and letters. `random` is seeded by the caller, so the
// texts are the same on every run.
inline std::string textWithMarkerPieces(std::mt19937_64& random, std::size_t pieces) {
  static const std::array<std::string_view, 32> kPieces = {
      "<|user|>", "<|assistant|>", "<|end|>", "<|",   "|>",   "<",           "|",
      ">",        "<|user",        "user|>",  "<|us", "er|>", "<|assistant", "assistant|>",
      "<|end",    "end|>",         "č",       "€",    "🧠", "\xE2\x82",    "\xAC",
      "\xF0\x9F", "\xA7\xA0",      "\xFF",    "\xC3", "a",    "Ahoj",        " ",
      "\n",       "  \t",          "|end|",   "<<"};
  std::string text;
  for (std::size_t i = 0; i < pieces; ++i) {
    text += kPieces[random() % kPieces.size()];
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
