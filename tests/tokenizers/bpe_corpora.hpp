#pragma once

// Generated corpora for the tests that hold the fast BPE trainer and encoder
// to the plain reference: each kind stresses a different corner (every byte
// value, few symbols and many ties, long runs of one byte where (a, a) pairs
// overlap, whitespace runs, multi-byte characters). Deterministic: the same
// kind and seed always give the same text.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace Orvane::Core::Lumeth::TestCorpora {

enum class Kind { RandomBytes, SkewedAlphabet, LongRuns, WhitespaceHeavy, Utf8Words };

struct NamedKind {
  Kind kind;
  const char* name;
};

inline constexpr NamedKind kAllKinds[] = {
    {Kind::RandomBytes, "random bytes"},       {Kind::SkewedAlphabet, "skewed alphabet"},
    {Kind::LongRuns, "long runs of one byte"}, {Kind::WhitespaceHeavy, "whitespace-heavy text"},
    {Kind::Utf8Words, "UTF-8 words"},
};

inline std::string generate(Kind kind, std::size_t bytes, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  const auto below = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  std::string text;
  text.reserve(bytes + 64);
  while (text.size() < bytes) {
    switch (kind) {
      case Kind::RandomBytes:
        text.push_back(static_cast<char>(random() & 0xFF));
        break;
      case Kind::SkewedAlphabet: {
        // 'a' about half the time, then b, c, d ever rarer; short words.
        const std::size_t length = 1 + below(9);
        for (std::size_t i = 0; i < length; ++i) {
          const std::size_t r = below(16);
          text.push_back(r < 8 ? 'a' : r < 12 ? 'b' : r < 15 ? 'c' : 'd');
        }
        text.push_back(' ');
        break;
      }
      case Kind::LongRuns: {
        // Runs of one byte of every length up to 60, sometimes broken by
        // another letter, so (x, x) merges overlap and chain.
        const char letter = below(4) == 0 ? 'b' : 'a';
        text.append(1 + below(60), letter);
        if (below(3) == 0) {
          text.push_back('c');
          text.append(below(7), letter);
        }
        text.push_back(below(5) == 0 ? '\n' : ' ');
        break;
      }
      case Kind::WhitespaceHeavy: {
        static constexpr std::string_view kSpaces = " \t\n\r\v\f";
        const std::size_t spaces = 1 + below(6);
        for (std::size_t i = 0; i < spaces; ++i) {
          text.push_back(below(3) == 0 ? kSpaces[below(kSpaces.size())] : ' ');
        }
        static constexpr std::string_view kWords[] = {"x", "ab", "abc", "to", "tot", "a"};
        text.append(kWords[below(std::size(kWords))]);
        break;
      }
      case Kind::Utf8Words: {
        static constexpr std::string_view kPieces[] = {"č", "ě",  "š",  "ř",    "a", "h",  "o",
                                                       "j", "中", "文", "🧠", "e", "te", "sv"};
        const std::size_t length = 1 + below(7);
        for (std::size_t i = 0; i < length; ++i) {
          text.append(kPieces[below(std::size(kPieces))]);
        }
        text.push_back(below(8) == 0 ? '\n' : ' ');
        break;
      }
    }
  }
  return text;
}

}  // namespace Orvane::Core::Lumeth::TestCorpora
