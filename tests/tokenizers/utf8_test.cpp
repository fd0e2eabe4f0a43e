#include "lumeth/tokenizers/utf8.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "tests/tokenizers/tokenizer_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

std::string textOf(const std::vector<std::uint8_t>& bytes) { return std::string(asText(bytes)); }

struct ClassifyCase {
  std::string bytes;
  std::size_t position;
  Utf8Status status;
  std::uint64_t length;
};

TEST(ClassifyUtf8, Table) {
  const std::vector<ClassifyCase> cases = {
      {"A", 0, Utf8Status::Valid, 1},
      {"\x7F", 0, Utf8Status::Valid, 1},
      {"\xC3\xA9", 0, Utf8Status::Valid, 2},
      {"\xE2\x82\xAC", 0, Utf8Status::Valid, 3},
      {"\xF0\x9F\xA7\xA0", 0, Utf8Status::Valid, 4},
      {"\xF4\x8F\xBF\xBF", 0, Utf8Status::Valid, 4},  // U+10FFFF
      {"\xEE\x80\x80", 0, Utf8Status::Valid, 3},      // U+E000, first after the surrogates
      {"\xC3\x28", 0, Utf8Status::Invalid, 1},
      {"\xC0\x80", 0, Utf8Status::Invalid, 1},          // overlong, bad lead
      {"\xC1\xBF", 0, Utf8Status::Invalid, 1},          // overlong, bad lead
      {"\xE0\x80\x80", 0, Utf8Status::Invalid, 1},      // overlong three-byte form
      {"\xF0\x80\x80\x80", 0, Utf8Status::Invalid, 1},  // overlong four-byte form
      {"\xED\xA0\x80", 0, Utf8Status::Invalid, 1},      // surrogate U+D800
      {"\xED\xBF\xBF", 0, Utf8Status::Invalid, 1},      // surrogate U+DFFF
      {"\xF4\x90\x80\x80", 0, Utf8Status::Invalid, 1},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 0, Utf8Status::Invalid, 1},
      {"\xFF", 0, Utf8Status::Invalid, 1},
      {"\x80", 0, Utf8Status::Invalid, 1},  // stray continuation byte
      {"\xE2", 0, Utf8Status::Incomplete, 3},
      {"\xE2\x82", 0, Utf8Status::Incomplete, 3},
      {"\xF0\x9F\xA7", 0, Utf8Status::Incomplete, 4},
      {"\xE0\x80", 0, Utf8Status::Incomplete, 3},  // only continuation bits are looked at
      {"\xED\xA0", 0, Utf8Status::Incomplete, 3},
      {"\xF4\x90", 0, Utf8Status::Incomplete, 4},
      {"\xE2\x28", 0, Utf8Status::Invalid, 1},  // a present non-continuation byte decides
      {"\xF0\x9F\x28", 0, Utf8Status::Invalid, 1},
      {"A\xE2\x82\xAC", 1, Utf8Status::Valid, 3},
      {"\xE2\x82\xAC\xE2", 3, Utf8Status::Incomplete, 3},
  };
  for (const ClassifyCase& c : cases) {
    const auto bytes = bytesOf(c.bytes);
    const Utf8Classification result = classifyUtf8(bytes, c.position);
    EXPECT_EQ(result.status, c.status) << testing::PrintToString(c.bytes);
    EXPECT_EQ(result.length, c.length) << testing::PrintToString(c.bytes);
  }
}

TEST(ClassifyUtf8, RefusesAPositionOutsideTheBuffer) {
  const auto bytes = bytesOf("\xE2\x82");
  for (const std::size_t position :
       {std::size_t{2}, std::size_t{3}, std::numeric_limits<std::size_t>::max()}) {
    EXPECT_THROW((void)classifyUtf8(bytes, position), std::out_of_range) << position;
  }
  EXPECT_THROW((void)classifyUtf8({}, 0), std::out_of_range);
}

// Expected outcome of one drain: the text, or nullopt for an InvalidUtf8 error.
struct DrainCase {
  std::string name;
  std::string input;
  bool final;
  std::optional<std::string> preserve;
  std::optional<std::string> reject;
  std::optional<std::string> replace;
  std::string pendingAfter;  // what stays pending when the drain succeeds
};

std::vector<DrainCase> drainCases() {
  const std::string r = kFffd;
  return {
      {"empty", "", true, "", "", "", ""},
      {"ascii", "Ahoj", true, "Ahoj", "Ahoj", "Ahoj", ""},
      {"two to four byte characters", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\xA7\xA0", true,
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\xA7\xA0", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\xA7\xA0",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\xA7\xA0", ""},
      {"lead then ascii", "\xC3\x28", true, "\xC3\x28", std::nullopt, r + "(", ""},
      {"overlong two bytes", "\xC0\x80", true, "\xC0\x80", std::nullopt, r + r, ""},
      {"overlong three bytes", "\xE0\x80\x80", true, "\xE0\x80\x80", std::nullopt, r + r + r, ""},
      {"surrogate", "\xED\xA0\x80", true, "\xED\xA0\x80", std::nullopt, r + r + r, ""},
      {"above U+10FFFF", "\xF4\x90\x80\x80", true, "\xF4\x90\x80\x80", std::nullopt,
       r + r + r + r, ""},
      {"stray continuation", "\x80" "A", true, "\x80" "A", std::nullopt, r + "A", ""},
      {"byte FF", "x\xFFy", true, "x\xFFy", std::nullopt, "x" + r + "y", ""},
      {"unfinished, not final", "\xE2", false, "", "", "", "\xE2"},
      {"unfinished after text, not final", "A\xE2\x82", false, "A", "A", "A", "\xE2\x82"},
      {"unfinished four bytes, not final", "\xF0\x9F\xA7", false, "", "", "", "\xF0\x9F\xA7"},
      {"unfinished, final", "\xE2", true, "\xE2", std::nullopt, r, ""},
      {"unfinished tail becomes one replacement", "ok\xF0\x9F\xA7", true, "ok\xF0\x9F\xA7",
       std::nullopt, "ok" + r, ""},
      {"truncated overlong tail stays one sequence", "\xE0\x80", true, "\xE0\x80", std::nullopt,
       r, ""},
      {"truncated surrogate tail", "\xED\xA0", true, "\xED\xA0", std::nullopt, r, ""},
      {"truncated tail above range", "\xF4\x90", true, "\xF4\x90", std::nullopt, r, ""},
      // The valid byte after a cut-short lead survives, final or not.
      {"lead cut short by ascii, final", "\xE2\x28", true, "\xE2\x28", std::nullopt, r + "(", ""},
      {"lead cut short by ascii, not final", "\xE2\x28", false, "\xE2\x28", std::nullopt, r + "(",
       ""},
      {"invalid then unfinished, not final", "\xFF\xE2\x82", false, "\xFF", std::nullopt, r,
       "\xE2\x82"},
  };
}

TEST(DrainPending, TableUnderEveryPolicy) {
  for (const DrainCase& c : drainCases()) {
    const std::pair<InvalidUtf8Policy, const std::optional<std::string>*> runs[] = {
        {InvalidUtf8Policy::PreserveBytes, &c.preserve},
        {InvalidUtf8Policy::Reject, &c.reject},
        {InvalidUtf8Policy::Replace, &c.replace},
    };
    for (const auto& [policy, expected] : runs) {
      SCOPED_TRACE(c.name + " / policy " + std::to_string(static_cast<int>(policy)));
      std::vector<std::uint8_t> pending = bytesOf(c.input);
      if (expected->has_value()) {
        EXPECT_EQ(drainPending(pending, policy, c.final), **expected);
        EXPECT_EQ(textOf(pending), c.pendingAfter);
      } else {
        try {
          (void)drainPending(pending, policy, c.final);
          ADD_FAILURE() << "expected an InvalidUtf8 error";
        } catch (const TokenizerError& error) {
          EXPECT_EQ(error.code(), TokenizerErrorCode::InvalidUtf8);
          EXPECT_STREQ(error.what(), "invalid or incomplete UTF-8 sequence");
        }
        EXPECT_EQ(textOf(pending), c.input) << "a failed drain must leave pending unchanged";
      }
    }
  }
}

TEST(DrainPending, UnknownPolicyValuesBehaveAsPreserveBytes) {
  std::vector<std::uint8_t> pending = bytesOf("\xC3\x28\xE2");
  EXPECT_EQ(drainPending(pending, static_cast<InvalidUtf8Policy>(200), true), "\xC3\x28\xE2");
  EXPECT_TRUE(pending.empty());
}

TEST(DrainPending, EuroSignCompletesAcrossTwoDrains) {
  std::vector<std::uint8_t> pending = bytesOf("\xE2");
  EXPECT_EQ(drainPending(pending, InvalidUtf8Policy::Reject, false), "");
  EXPECT_EQ(textOf(pending), "\xE2");
  pending.push_back(0x82);
  pending.push_back(0xAC);
  EXPECT_EQ(drainPending(pending, InvalidUtf8Policy::Reject, true), "\xE2\x82\xAC");
  EXPECT_TRUE(pending.empty());
}

TEST(SanitizeForEncoding, AppliesThePolicyToTheWholeInput) {
  const std::string bad = "a\xC3\x28z\xE2";
  EXPECT_EQ(textOf(sanitizeForEncoding(bad, InvalidUtf8Policy::PreserveBytes)), bad);
  EXPECT_EQ(textOf(sanitizeForEncoding(bad, InvalidUtf8Policy::Replace)),
            "a" + kFffd + "(z" + kFffd);
  EXPECT_EQ(textOf(sanitizeForEncoding(bad, static_cast<InvalidUtf8Policy>(9))), bad);
  try {
    (void)sanitizeForEncoding(bad, InvalidUtf8Policy::Reject);
    ADD_FAILURE() << "expected an InvalidUtf8 error";
  } catch (const TokenizerError& error) {
    EXPECT_EQ(error.code(), TokenizerErrorCode::InvalidUtf8);
  }
  const std::string good = "P\xC5\x99\xC3\xADli\xC5\xA1 \xF0\x9F\xA7\xA0";
  EXPECT_EQ(textOf(sanitizeForEncoding(good, InvalidUtf8Policy::Reject)), good);
}

TEST(SanitizeForEncoding, ReplacementIsStable) {
  const std::string once = textOf(sanitizeForEncoding("\xC3\x28", InvalidUtf8Policy::Replace));
  EXPECT_EQ(once, kFffd + "(");
  EXPECT_EQ(textOf(sanitizeForEncoding(once, InvalidUtf8Policy::Replace)), once);
  EXPECT_EQ(textOf(sanitizeForEncoding(once, InvalidUtf8Policy::Reject)), once);
}

TEST(SanitizeForEncoding, PreserveBytesKeepsEveryByteString) {
  const std::string all = allBytes();
  EXPECT_EQ(textOf(sanitizeForEncoding(all, InvalidUtf8Policy::PreserveBytes)), all);
}

// Byte strings built from pieces that are valid, invalid and cut short, so
// every branch of the classifier meets every position: ASCII stretches long
// enough for the sixteen-byte steps, each sequence length, overlong forms,
// surrogates, code points past U+10FFFF, stray continuations, cut sequences.
std::string mixedUtf8(std::mt19937_64& random, std::size_t pieces) {
  static const std::string kPieces[] = {"plain ascii text, long enough for a block step ",
                                        "a",
                                        "\x7F",
                                        "\xC3\xA9",
                                        "\xE2\x82\xAC",
                                        "\xF0\x9F\xA7\xA0",
                                        "\xED\x9F\xBF",
                                        "\xEE\x80\x80",
                                        "\xF4\x8F\xBF\xBF",
                                        "\xC0\x80",
                                        "\xC1\xBF",
                                        "\xE0\x9F\xBF",
                                        "\xED\xA0\x80",
                                        "\xF0\x8F\xBF\xBF",
                                        "\xF4\x90\x80\x80",
                                        "\xF5",
                                        "\xFF",
                                        "\x80",
                                        "\xBF",
                                        "\xE2\x82",
                                        "\xF0\x9F",
                                        "\xC3",
                                        "\xE2\x28\xA1"};
  std::string text;
  for (std::size_t i = 0; i < pieces; ++i) {
    text += kPieces[random() % std::size(kPieces)];
  }
  return text;
}

// validUtf8Prefix as the classifier defines it, one sequence at a time.
std::size_t referenceValidPrefix(std::span<const std::uint8_t> bytes) {
  std::size_t p = 0;
  while (p < bytes.size()) {
    const Utf8Classification c = classifyUtf8(bytes, p);
    if (c.status != Utf8Status::Valid) {
      break;
    }
    p += static_cast<std::size_t>(c.length);
  }
  return p;
}

TEST(ValidUtf8Prefix, StopsExactlyWhereTheClassifierFindsNoValidSequence) {
  std::mt19937_64 random(7);
  for (int round = 0; round < 3000; ++round) {
    const std::string text = mixedUtf8(random, 1 + random() % 12);
    const auto bytes = asBytes(text);
    for (std::size_t start = 0; start < bytes.size(); start += 1 + random() % 5) {
      const auto tail = bytes.subspan(start);
      ASSERT_EQ(validUtf8Prefix(tail), referenceValidPrefix(tail)) << round << " at " << start;
    }
  }
  EXPECT_EQ(validUtf8Prefix({}), 0u);
}

TEST(DrainPending, AgreesWithASequenceBySequenceDrainOnMixedInput) {
  // The drain copies valid stretches in bulk; the result must be what
  // handling each classified sequence in turn gives.
  std::mt19937_64 random(11);
  for (int round = 0; round < 2000; ++round) {
    const std::string text = mixedUtf8(random, 1 + random() % 10);
    for (const bool final : {false, true}) {
      for (const InvalidUtf8Policy policy :
           {InvalidUtf8Policy::PreserveBytes, InvalidUtf8Policy::Reject,
            InvalidUtf8Policy::Replace}) {
        const std::vector<std::uint8_t> bytes = bytesOf(text);
        std::string expected;
        std::size_t p = 0;
        bool rejected = false;
        while (p < bytes.size()) {
          const Utf8Classification c = classifyUtf8(bytes, p);
          if (c.status == Utf8Status::Valid) {
            expected.append(text, p, static_cast<std::size_t>(c.length));
            p += static_cast<std::size_t>(c.length);
            continue;
          }
          if (c.status == Utf8Status::Incomplete && !final) {
            break;
          }
          if (policy == InvalidUtf8Policy::Reject) {
            rejected = true;
            break;
          }
          if (policy == InvalidUtf8Policy::Replace) {
            expected += kFffd;
            p = c.status == Utf8Status::Invalid ? p + 1 : bytes.size();
          } else if (c.status == Utf8Status::Invalid) {
            expected.push_back(text[p++]);
          } else {
            expected.append(text, p);
            p = bytes.size();
          }
        }
        std::vector<std::uint8_t> pending = bytes;
        if (rejected) {
          EXPECT_THROW((void)drainPending(pending, policy, final), TokenizerError);
          EXPECT_EQ(pending, bytes);
          continue;
        }
        ASSERT_EQ(drainPending(pending, policy, final), expected) << round;
        EXPECT_EQ(pending, std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(p),
                                                     bytes.end()));
      }
    }
  }
}

TEST(TextForEncoding, ReturnsTheInputItselfWhereNothingChanges) {
  const std::string good = "P\xC5\x99\xC3\xADli\xC5\xA1 \xF0\x9F\xA7\xA0";
  const std::string bad = "a\xC3\x28z\xE2";
  struct Case {
    const std::string* text;
    InvalidUtf8Policy policy;
  };
  const std::vector<Case> unchanged = {
      {&good, InvalidUtf8Policy::Reject},        {&good, InvalidUtf8Policy::Replace},
      {&good, InvalidUtf8Policy::PreserveBytes}, {&bad, InvalidUtf8Policy::PreserveBytes},
      {&bad, static_cast<InvalidUtf8Policy>(9)},
  };
  for (const Case& c : unchanged) {
    std::string repaired = "untouched";
    const std::string_view bytes = textForEncoding(*c.text, c.policy, repaired);
    EXPECT_EQ(bytes.data(), c.text->data()) << static_cast<int>(c.policy);
    EXPECT_EQ(bytes.size(), c.text->size());
    EXPECT_EQ(repaired, "untouched");
  }
}

TEST(TextForEncoding, RepairsIntoTheGivenStorageFromTheFirstBadByte) {
  std::string repaired;
  const std::string bad = "valid prefix \xC4\x9B then \xC3\x28 and a cut \xE2\x82";
  const std::string_view bytes = textForEncoding(bad, InvalidUtf8Policy::Replace, repaired);
  EXPECT_EQ(bytes.data(), repaired.data());
  EXPECT_EQ(bytes, "valid prefix \xC4\x9B then " + kFffd + "( and a cut " + kFffd);
  // Invalid at the first byte, and Reject.
  EXPECT_EQ(textForEncoding("\xFF\xFE", InvalidUtf8Policy::Replace, repaired), kFffd + kFffd);
  expectError([&] { (void)textForEncoding(bad, InvalidUtf8Policy::Reject, repaired); },
              TokenizerErrorCode::InvalidUtf8, "invalid or incomplete UTF-8 sequence");
}

TEST(TextForEncoding, AgreesWithAFinalDrainOfTheWholeInput) {
  std::mt19937_64 random(13);
  for (int round = 0; round < 2000; ++round) {
    const std::string text = mixedUtf8(random, 1 + random() % 10);
    for (const InvalidUtf8Policy policy : {InvalidUtf8Policy::Reject, InvalidUtf8Policy::Replace}) {
      std::vector<std::uint8_t> pending = bytesOf(text);
      std::string repaired;
      std::string expected;
      try {
        expected = drainPending(pending, policy, /*final=*/true);
      } catch (const TokenizerError&) {
        EXPECT_THROW((void)textForEncoding(text, policy, repaired), TokenizerError) << round;
        continue;
      }
      ASSERT_EQ(textForEncoding(text, policy, repaired), expected) << round;
    }
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
