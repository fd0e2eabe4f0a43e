#include "foundation/binary.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace Orvane::Core::Lumeth {
namespace {

using ::testing::ElementsAre;

TEST(BinaryEncoding, AppendersWriteLeastSignificantByteFirst) {
  ByteBuffer buffer;
  appendU8(buffer, 0xAB);
  appendU16(buffer, 0x4C45);
  appendU32(buffer, 0x01020304);
  appendU64(buffer, 0x0102030405060708ULL);
  EXPECT_THAT(buffer, ElementsAre(0xAB, 0x45, 0x4C, 0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06,
                                  0x05, 0x04, 0x03, 0x02, 0x01));
}

TEST(BinaryEncoding, EndianMarkerIsTheTextEL) {
  ByteBuffer buffer;
  appendU16(buffer, 0x4C45);
  EXPECT_EQ(asText(buffer), "EL");
  EXPECT_EQ(readU16(buffer, 0), 0x4C45);
}

TEST(BinaryEncoding, ReadersInvertAppendersAtBoundaryValues) {
  for (const std::uint64_t value :
       {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{0x7F}, std::uint64_t{0x80},
        std::uint64_t{0xFF}, std::uint64_t{0x100}, std::uint64_t{0xFFFF}, std::uint64_t{0x10000},
        std::uint64_t{0xFFFFFFFF}, std::uint64_t{0x100000000},
        std::numeric_limits<std::uint64_t>::max()}) {
    ByteBuffer buffer{0xEE};  // a leading byte, so reads happen at a nonzero offset
    appendU16(buffer, static_cast<std::uint16_t>(value));
    appendU32(buffer, static_cast<std::uint32_t>(value));
    appendU64(buffer, value);
    EXPECT_EQ(readU16(buffer, 1), static_cast<std::uint16_t>(value)) << value;
    EXPECT_EQ(readU32(buffer, 3), static_cast<std::uint32_t>(value)) << value;
    EXPECT_EQ(readU64(buffer, 7), value) << value;
  }
}

TEST(BinaryEncoding, AppendBytesKeepsBytesUnchanged) {
  ByteBuffer buffer{1};
  appendBytes(buffer, std::string_view("\0\xFFz", 3));
  const ByteBuffer more{9, 8};
  appendBytes(buffer, more);
  EXPECT_THAT(buffer, ElementsAre(1, 0, 0xFF, 'z', 9, 8));
}

TEST(BinaryEncoding, ReadersRefuseToReadPastTheEnd) {
  const ByteBuffer buffer(7, 0);
  EXPECT_NO_THROW((void)readU32(buffer, 3));
  EXPECT_THROW((void)readU32(buffer, 4), std::out_of_range);
  EXPECT_THROW((void)readU64(buffer, 0), std::out_of_range);
  EXPECT_THROW((void)readU16(buffer, std::numeric_limits<std::size_t>::max()), std::out_of_range);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
