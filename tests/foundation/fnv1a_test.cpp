#include "foundation/fnv1a.hpp"

#include <gtest/gtest.h>

#include <string>

namespace Orvane::Core::Lumeth {
namespace {

TEST(Fnv1a64, KnownAnswers) {
  EXPECT_EQ(fnv1a64(std::string_view{}), 0x14650fb0739d0383ULL);
  EXPECT_EQ(fnv1a64(std::string_view("\0", 1)), 0x44bd2bd473ccf799ULL);
  // A longer text, computed independently with the same basis and prime.
  std::uint64_t expected = 0x14650fb0739d0383ULL;
  const std::string text = "lumeth-byte-tokenizer-v1;vocabulary=258;";
  for (const char c : text) {
    expected ^= static_cast<unsigned char>(c);
    expected *= 0x100000001b3ULL;
  }
  EXPECT_EQ(fnv1a64(text), expected);
}

TEST(Fnv1a64, UsesTheLibraryBasisNotThePublishedOne) {
  EXPECT_NE(fnv1a64(std::string_view{}), 0xcbf29ce484222325ULL);
}

TEST(Fnv1a64, HashingInPiecesEqualsHashingTheWhole) {
  const std::string text = "hello, incremental world";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    const std::uint64_t head = fnv1a64(std::string_view(text).substr(0, cut));
    EXPECT_EQ(fnv1a64(std::string_view(text).substr(cut), head), fnv1a64(text)) << cut;
  }
}

TEST(ToHex16, IsSixteenLowercaseZeroPaddedDigits) {
  EXPECT_EQ(toHex16(0), "0000000000000000");
  EXPECT_EQ(toHex16(0xABC), "0000000000000abc");
  EXPECT_EQ(toHex16(0x14650fb0739d0383ULL), "14650fb0739d0383");
  EXPECT_EQ(toHex16(0xFFFFFFFFFFFFFFFFULL), "ffffffffffffffff");
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
