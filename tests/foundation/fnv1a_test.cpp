#include "lumeth/foundation/fnv1a.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumeth/foundation/binary.hpp"

namespace Orvane::Core::Lumeth {
namespace {

TEST(Fnv1a64, KnownAnswers) {
  EXPECT_EQ(fnv1a64(std::string_view{}), 0x14650fb0739d0383ULL);
  EXPECT_EQ(fnv1a64(std::string_view("\0", 1)), 0x44bd2bd473ccf799ULL);
  // Longer texts, worked out separately with the same basis and prime.
  EXPECT_EQ(fnv1a64(std::string_view("foobar")), 0x88fad7c0a8ff07f2ULL);
  EXPECT_EQ(fnv1a64(std::string_view("lumeth-byte-tokenizer-v1;vocabulary=258;bytes=0..255;"
                                     "bos=256;eos=257;normalization=none;invalid_utf8=explicit;")),
            0xa84bb3acdd95c5dcULL);
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

TEST(Fnv1a64Each, EqualsOneHashPerRangeWhateverTheMixOfLengths) {
  // More ranges than lanes, of lengths that make the lanes finish in every
  // order: empty ones, repeats of one range, overlapping ranges, ranges that
  // end together, and states continued from earlier hashes.
  ByteBuffer bytes(5000);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 7));
  }
  const std::span<const std::uint8_t> all(bytes);
  const std::vector<std::span<const std::uint8_t>> pool = {
      all.subspan(0, 5000), all.subspan(0, 0),      all.subspan(10, 1),   all.subspan(0, 5000),
      all.subspan(7, 300),  all.subspan(100, 300),  all.subspan(4999, 1), all.subspan(2500, 0),
      all.subspan(1, 2048), all.subspan(3000, 2000)};
  for (std::size_t count = 0; count <= pool.size(); ++count) {
    const std::span<const std::span<const std::uint8_t>> ranges(pool.data(), count);
    std::vector<std::uint64_t> states(count);
    std::vector<std::uint64_t> expected(count);
    for (std::size_t i = 0; i < count; ++i) {
      states[i] = i % 3 == 0 ? kFnv1a64OffsetBasis : fnv1a64(all.subspan(i, 5));
      expected[i] = fnv1a64(ranges[i], states[i]);
    }
    fnv1a64_each(ranges, states);
    EXPECT_EQ(states, expected) << count << " ranges";
  }
}

TEST(Fnv1a64Each, NeedsOneStatePerRange) {
  const ByteBuffer bytes{1, 2, 3};
  const std::vector<std::span<const std::uint8_t>> ranges{bytes, bytes};
  std::vector<std::uint64_t> states{7};
  EXPECT_THROW(fnv1a64_each(ranges, states), std::invalid_argument);
  EXPECT_EQ(states[0], 7u);
}

TEST(ToHex16, IsSixteenLowercaseZeroPaddedDigits) {
  EXPECT_EQ(toHex16(0), "0000000000000000");
  EXPECT_EQ(toHex16(0xABC), "0000000000000abc");
  EXPECT_EQ(toHex16(0x14650fb0739d0383ULL), "14650fb0739d0383");
  EXPECT_EQ(toHex16(0xFFFFFFFFFFFFFFFFULL), "ffffffffffffffff");
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
