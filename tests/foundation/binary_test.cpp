#include "lumeth/foundation/binary.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

namespace Orvane::Core::Lumeth {
namespace {

using ::testing::ElementsAre;

TEST(BinaryEncoding, AppendersWriteLeastSignificantByteFirst) {
  ByteBuffer buffer;
  appendU8(buffer, 0xAB);
  appendU16(buffer, 0x4C45);
  appendU32(buffer, 0x01020304);
  appendU64(buffer, 0x0102030405060708ULL);
  EXPECT_THAT(buffer, ElementsAre(0xAB, 0x45, 0x4C, 0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05,
                                  0x04, 0x03, 0x02, 0x01));
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

TEST(BinaryEncoding, ArraysEncodeAsTheirValuesOneByOne) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::vector<double> doubles{0.0,
                                    -0.0,
                                    1.5,
                                    -kInf,
                                    std::numeric_limits<double>::denorm_min(),
                                    std::bit_cast<double>(0x7FF8000000000123ULL),  // NaN payload
                                    std::numeric_limits<double>::max()};
  const std::vector<std::uint32_t> ids{0, 1, 0x01020304, 0xFFFFFFFF};

  ByteBuffer oneByOne{0xEE};
  for (const std::uint32_t id : ids) appendU32(oneByOne, id);
  for (const double value : doubles) appendU64(oneByOne, std::bit_cast<std::uint64_t>(value));
  ByteBuffer bulk{0xEE};  // appended after what is there
  appendU32Array(bulk, ids);
  appendF64Array(bulk, doubles);
  appendF64Array(bulk, {});
  EXPECT_EQ(bulk, oneByOne);

  // Read back bit for bit; a trailing byte is ignored.
  const std::span<const std::uint8_t> encoded = std::span(bulk).subspan(1);
  std::vector<std::uint32_t> idsBack(ids.size());
  readU32Array(encoded, idsBack);
  EXPECT_EQ(idsBack, ids);
  std::vector<double> doublesBack(doubles.size());
  readF64Array(encoded.subspan(4 * ids.size()), doublesBack);
  for (std::size_t i = 0; i < doubles.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(doublesBack[i]),
              std::bit_cast<std::uint64_t>(doubles[i]))
        << i;
  }
}

TEST(BinaryEncoding, ArrayReadersRefuseTooFewBytesAndWriteNothing) {
  const ByteBuffer bytes(23, 0xAB);
  std::vector<double> doubles(3, 1.0);
  EXPECT_THROW(readF64Array(bytes, doubles), std::out_of_range);
  EXPECT_EQ(doubles, std::vector<double>(3, 1.0));
  std::vector<std::uint32_t> ids(6, 9);
  EXPECT_THROW(readU32Array(bytes, ids), std::out_of_range);
  EXPECT_EQ(ids, std::vector<std::uint32_t>(6, 9));
  ids.resize(5);
  EXPECT_NO_THROW(readU32Array(bytes, ids));
  EXPECT_EQ(ids, std::vector<std::uint32_t>(5, 0xABABABAB));
  EXPECT_NO_THROW(readF64Array({}, std::span<double>{}));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
