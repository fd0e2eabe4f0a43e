#include "lumeth/import/safetensors.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/import/internal/safetensors_writer.hpp"
#include "temp_directory.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using ::testing::ElementsAre;

std::uint64_t bitsOf(double value) { return std::bit_cast<std::uint64_t>(value); }

// ---------------------------------------------------------------------------
// Widening

// binary16 by its definition, with ldexp: (-1)^s * 2^(e - 15) * (1 + m/1024),
// subnormals 2^-14 * m/1024.
double f16ByDefinition(std::uint16_t bits) {
  const double sign = (bits & 0x8000U) != 0 ? -1.0 : 1.0;
  const int exponent = (bits >> 10) & 0x1F;
  const int fraction = bits & 0x3FF;
  if (exponent == 0x1F) {
    return fraction == 0 ? sign * std::numeric_limits<double>::infinity()
                         : std::numeric_limits<double>::quiet_NaN();
  }
  if (exponent == 0) return sign * std::ldexp(fraction, -24);
  return sign * std::ldexp(1024 + fraction, exponent - 25);
}

TEST(WidenTest, EveryBinary16ValueWidensToItsDefinedValue) {
  for (std::uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
    const auto h = static_cast<std::uint16_t>(bits);
    const double widened = widen_f16(h);
    const double expected = f16ByDefinition(h);
    if (std::isnan(expected)) {
      ASSERT_TRUE(std::isnan(widened)) << bits;
      ASSERT_EQ(std::signbit(widened), (bits & 0x8000U) != 0) << bits;
    } else {
      ASSERT_EQ(bitsOf(widened), bitsOf(expected)) << bits;  // also tells -0.0 from 0.0
    }
  }
}

TEST(WidenTest, EveryBfloat16ValueWidensAsTheHostsFloat) {
  for (std::uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
    const double expected = static_cast<double>(std::bit_cast<float>(bits << 16));
    const double widened = widen_bf16(static_cast<std::uint16_t>(bits));
    if (std::isnan(expected)) {
      ASSERT_TRUE(std::isnan(widened)) << bits;
      ASSERT_EQ(std::signbit(widened), std::signbit(expected)) << bits;
    } else {
      ASSERT_EQ(bitsOf(widened), bitsOf(expected)) << bits;
    }
  }
}

TEST(WidenTest, Binary32ValuesWidenAsTheHostsFloat) {
  // Every exponent with edge fractions, then random patterns.
  std::vector<std::uint32_t> patterns;
  for (std::uint32_t exponent = 0; exponent <= 0xFF; ++exponent) {
    for (const std::uint32_t fraction : {0U, 1U, 2U, 0x400000U, 0x7FFFFFU, 0x2AAAAAU}) {
      patterns.push_back((exponent << 23) | fraction);
      patterns.push_back(0x80000000U | (exponent << 23) | fraction);
    }
  }
  std::mt19937 random(7);
  for (int i = 0; i < 200000; ++i) patterns.push_back(static_cast<std::uint32_t>(random()));
  for (const std::uint32_t bits : patterns) {
    const double expected = static_cast<double>(std::bit_cast<float>(bits));
    const double widened = widen_f32(bits);
    if (std::isnan(expected)) {
      ASSERT_TRUE(std::isnan(widened)) << bits;
      ASSERT_EQ(std::signbit(widened), std::signbit(expected)) << bits;
    } else {
      ASSERT_EQ(bitsOf(widened), bitsOf(expected)) << bits;
    }
  }
}

TEST(WidenTest, NaNPayloadsMoveToTheTopOfTheFraction) {
  EXPECT_EQ(bitsOf(widen_f16(0x7E00)), 0x7FF8000000000000U);  // quiet
  EXPECT_EQ(bitsOf(widen_f16(0x7C01)), 0x7FF0040000000000U);  // signalling stays signalling
  EXPECT_EQ(bitsOf(widen_bf16(0xFFC1)), 0xFFF8200000000000U);
  EXPECT_EQ(bitsOf(widen_f32(0x7F800001)), 0x7FF0000020000000U);
}

TEST(WidenTest, SubnormalsBecomeNormalDoubles) {
  EXPECT_EQ(widen_f16(0x0001), std::ldexp(1.0, -24));
  EXPECT_EQ(widen_f16(0x83FF), -std::ldexp(1023.0, -24));
  EXPECT_EQ(widen_bf16(0x0001), std::ldexp(1.0, -133));
  EXPECT_EQ(widen_f32(0x00000001), std::ldexp(1.0, -149));
  EXPECT_EQ(widen_f32(0x807FFFFF), -std::ldexp(8388607.0, -149));
}

// ---------------------------------------------------------------------------
// Reading

// Four tensors, every dtype: "a" F64 [2] at [0, 16), "b" F32 [1, 3] at
// [16, 28), "c" BF16 scalar at [28, 30), "d" F16 [2, 0] at [30, 30).
constexpr std::string_view kHeader = R"({"__metadata__":{"format":"pt","note":"x"},)"
                                     R"("a":{"dtype":"F64","shape":[2],"data_offsets":[0,16]},)"
                                     R"("b":{"dtype":"F32","shape":[1,3],"data_offsets":[16,28]},)"
                                     R"("c":{"dtype":"BF16","shape":[],"data_offsets":[28,30]},)"
                                     R"("d":{"dtype":"F16","shape":[2,0],"data_offsets":[30,30]}})";

ByteBuffer dataSection() {
  ByteBuffer data;
  appendU64(data, bitsOf(1.5));
  appendU64(data, bitsOf(-2.0));
  for (const float value : {0.25F, -3.0F, 1e-40F}) {
    appendU32(data, std::bit_cast<std::uint32_t>(value));
  }
  appendU16(data, 0x4049);  // bfloat16 of 3.140625
  return data;
}

ByteBuffer fileOf(std::string_view header, const ByteBuffer& data) {
  ByteBuffer file;
  appendU64(file, header.size());
  appendBytes(file, header);
  appendBytes(file, data);
  return file;
}

ByteBuffer validFile() { return fileOf(kHeader, dataSection()); }

TEST(SafetensorsTest, ReadsTheHeaderInItsOwnOrder) {
  const SafetensorsFile file = SafetensorsFile::from_bytes(validFile(), {});
  const SafetensorsHeader& header = file.header();
  EXPECT_EQ(header.header_bytes, kHeader.size());
  EXPECT_EQ(header.data_bytes, 30U);
  EXPECT_THAT(header.metadata, ElementsAre(std::pair<std::string, std::string>("format", "pt"),
                                           std::pair<std::string, std::string>("note", "x")));
  ASSERT_EQ(header.tensors.size(), 4U);
  EXPECT_EQ(header.tensors[0], (SafetensorsTensor{"a", SafetensorsDType::f64, {2}, 0, 16}));
  EXPECT_EQ(header.tensors[1], (SafetensorsTensor{"b", SafetensorsDType::f32, {1, 3}, 16, 28}));
  EXPECT_EQ(header.tensors[2], (SafetensorsTensor{"c", SafetensorsDType::bf16, {}, 28, 30}));
  EXPECT_EQ(header.tensors[3], (SafetensorsTensor{"d", SafetensorsDType::f16, {2, 0}, 30, 30}));
  EXPECT_EQ(file.find("b"), &header.tensors[1]);
  EXPECT_EQ(file.find("e"), nullptr);
}

TEST(SafetensorsTest, ReadsEveryDtypeWidened) {
  const SafetensorsFile file = SafetensorsFile::from_bytes(validFile(), {});
  const Tensor a = file.read("a");
  EXPECT_THAT(a.shape, ElementsAre(2U));
  EXPECT_THAT(a.data, ElementsAre(1.5, -2.0));
  EXPECT_TRUE(a.full_precision);
  const Tensor b = file.read("b");
  EXPECT_THAT(b.shape, ElementsAre(1U, 3U));
  EXPECT_THAT(b.data, ElementsAre(0.25, -3.0, static_cast<double>(1e-40F)));
  const Tensor c = file.read("c");
  EXPECT_TRUE(c.shape.empty());
  EXPECT_THAT(c.data, ElementsAre(3.140625));
}

TEST(SafetensorsTest, RefusesToReadAnEmptyOrUnknownTensor) {
  const SafetensorsFile file = SafetensorsFile::from_bytes(validFile(), {});
  try {
    (void)file.read("d");
    FAIL() << "read an empty tensor";
  } catch (const ImportError& error) {
    EXPECT_STREQ(error.what(), "safetensors tensor has no elements");
    EXPECT_EQ(error.subject(), "d");
  }
  try {
    (void)file.read("zz");
    FAIL() << "read a missing tensor";
  } catch (const ImportError& error) {
    EXPECT_STREQ(error.what(), "safetensors file has no such tensor");
    EXPECT_EQ(error.subject(), "zz");
  }
}

TEST(SafetensorsTest, AcceptsPaddingAnEmptyFileAndTheWritersOutput) {
  ByteBuffer padded = fileOf(std::string(kHeader) + "      ", dataSection());
  EXPECT_EQ(SafetensorsFile::from_bytes(padded, {}).header().tensors.size(), 4U);
  EXPECT_TRUE(SafetensorsFile::from_bytes(fileOf("{}", {}), {}).header().tensors.empty());

  const std::vector<Import::SafetensorsEntry> entries = {
      {"x", SafetensorsDType::f16, {3}, Import::u16_bytes(std::vector<std::uint16_t>{1, 2, 3})},
      {"y", SafetensorsDType::f64, {1, 1}, Import::f64_bytes(std::vector<double>{-0.0})}};
  const SafetensorsFile written =
      SafetensorsFile::from_bytes(Import::write_safetensors(entries, {{"k", "v"}}), {});
  EXPECT_EQ(written.header().header_bytes % 8, 0U);
  EXPECT_EQ(bitsOf(written.read("y").data[0]), bitsOf(-0.0));
  EXPECT_THAT(written.read("x").data, ElementsAre(widen_f16(1), widen_f16(2), widen_f16(3)));
}

// One targeted edit of the valid file per row, with the exact message and
// subject expected.
struct Corruption {
  const char* name;
  std::function<ByteBuffer(SafetensorsLimits&)> make;
  const char* message;
  std::string subject;
};

// The valid header with `from` replaced by `to` (which must occur once).
std::function<ByteBuffer(SafetensorsLimits&)> headerEdit(std::string from, std::string to,
                                                         std::size_t extraData = 0) {
  return [from, to, extraData](SafetensorsLimits&) {
    std::string header(kHeader);
    const std::size_t at = header.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    EXPECT_EQ(header.find(from, at + 1), std::string::npos) << from;
    header.replace(at, from.size(), to);
    ByteBuffer data = dataSection();
    data.resize(data.size() + extraData, 0);
    return fileOf(header, data);
  };
}

std::function<ByteBuffer(SafetensorsLimits&)> lengthField(std::uint64_t length) {
  return [length](SafetensorsLimits& limits) {
    limits.max_header_bytes = std::numeric_limits<std::uint64_t>::max();
    ByteBuffer file = validFile();
    ByteBuffer field;
    appendU64(field, length);
    std::copy(field.begin(), field.end(), file.begin());
    return file;
  };
}

std::string withEntry(std::string_view name, std::string_view body) {
  return "\"" + std::string(name) + "\":" + std::string(body);
}

TEST(SafetensorsTest, CorruptionTable) {
  const std::size_t size = validFile().size();
  const std::string b = R"({"dtype":"F32","shape":[1,3],"data_offsets":[16,28]})";
  const std::vector<Corruption> rows = {
      {"file above the limit",
       [size](SafetensorsLimits& limits) {
         limits.max_file_bytes = size - 1;
         return validFile();
       },
       "safetensors file exceeds size limit", ""},
      {"seven bytes", [](SafetensorsLimits&) { return ByteBuffer(7, 0); },
       "safetensors file is too short", ""},
      {"header above the limit",
       [](SafetensorsLimits& limits) {
         limits.max_header_bytes = kHeader.size() - 1;
         return validFile();
       },
       "safetensors header exceeds size limit", ""},
      {"header one byte longer than the file", lengthField(size - 8 + 1),
       "safetensors header length exceeds file size", ""},
      {"header length 2^64 - 1", lengthField(std::numeric_limits<std::uint64_t>::max()),
       "safetensors header length exceeds file size", ""},
      {"header cut short", lengthField(kHeader.size() - 1), "safetensors header is not valid json",
       ""},
      {"unbalanced brace", headerEdit("\"a\":{", "\"a\":{{"),
       "safetensors header is not valid json", ""},
      {"invalid UTF-8 in a name", headerEdit("\"a\":", "\"a\xff\":"),
       "safetensors header is not valid json", ""},
      {"text after the object", headerEdit("[30,30]}}", "[30,30]}}x"),
       "safetensors header is not valid json", ""},
      {"a comment", headerEdit("{\"__metadata__\"", "{/* c */\"__metadata__\""),
       "safetensors header is not valid json", ""},
      {"an array", headerEdit("{\"__metadata__\":{\"format\":\"pt\",\"note\":\"x\"},", "[0,"),
       "safetensors header is not valid json", ""},
      {"a number beyond the doubles", headerEdit("[1,3]", "[1e999,3]"),
       "safetensors header is not valid json", ""},
      {"not an object", [](SafetensorsLimits&) { return fileOf("[1,2]", {}); },
       "safetensors header is not a json object", ""},
      {"a name twice", headerEdit(withEntry("b", b), withEntry("a", b)),
       "safetensors header names a tensor twice", "a"},
      {"metadata twice", headerEdit(withEntry("b", b), R"("__metadata__":{},)" + withEntry("b", b)),
       "safetensors header names a tensor twice", "__metadata__"},
      {"metadata value a number", headerEdit(R"("note":"x")", R"("note":1)"),
       "safetensors metadata is not a map of strings", ""},
      {"metadata an array", headerEdit(R"({"format":"pt","note":"x"})", R"(["pt"])"),
       "safetensors metadata is not a map of strings", ""},
      {"metadata key twice", headerEdit(R"("note":"x")", R"("format":"x")"),
       "safetensors metadata is not a map of strings", ""},
      {"entry a number", headerEdit(withEntry("b", b), withEntry("b", "5")),
       "safetensors tensor entry is malformed", "b"},
      {"entry without offsets", headerEdit(R"(,"data_offsets":[16,28])", ""),
       "safetensors tensor entry is malformed", "b"},
      {"entry with an extra key", headerEdit(R"("shape":[1,3],)", R"("shape":[1,3],"x":0,)"),
       "safetensors tensor entry is malformed", "b"},
      {"entry with dtype twice", headerEdit(R"("shape":[1,3],)", R"("shape":[1,3],"dtype":"F32",)"),
       "safetensors tensor entry is malformed", "b"},
      {"dtype a number", headerEdit(R"("dtype":"F32")", R"("dtype":32)"),
       "safetensors tensor entry is malformed", "b"},
      {"negative extent", headerEdit("[1,3]", "[-1,3]"), "safetensors tensor entry is malformed",
       "b"},
      {"fractional extent", headerEdit("[1,3]", "[1.0,3]"), "safetensors tensor entry is malformed",
       "b"},
      {"extent of 2^64", headerEdit("[1,3]", "[18446744073709551616,3]"),
       "safetensors tensor entry is malformed", "b"},
      {"nested extent", headerEdit("[1,3]", "[[1],3]"), "safetensors tensor entry is malformed",
       "b"},
      {"shape an object", headerEdit("[1,3]", "{}"), "safetensors tensor entry is malformed", "b"},
      {"three offsets", headerEdit("[16,28]", "[16,28,28]"),
       "safetensors tensor entry is malformed", "b"},
      {"one offset", headerEdit("[16,28]", "[16]"), "safetensors tensor entry is malformed", "b"},
      {"a malformed entry before a duplicate",
       headerEdit(withEntry("b", b), withEntry("b", "[]") + "," + withEntry("a", b)),
       "safetensors tensor entry is malformed", "b"},
      {"unsupported dtype", headerEdit(R"("dtype":"F32")", R"("dtype":"I32")"),
       "safetensors tensor has an unsupported dtype", "b"},
      {"dtype in lower case", headerEdit(R"("dtype":"F32")", R"("dtype":"f32")"),
       "safetensors tensor has an unsupported dtype", "b"},
      {"element count overflows", headerEdit("[1,3]", "[4294967296,4294967296]"),
       "safetensors tensor shape overflows", "b"},
      {"byte count overflows", headerEdit("[1,3]", "[2305843009213693952,2]"),
       "safetensors tensor shape overflows", "b"},
      {"offsets reversed", headerEdit("[16,28]", "[28,16]"),
       "safetensors tensor offsets are reversed", "b"},
      {"end beyond the data", headerEdit("[28,30]", "[28,31]"),
       "safetensors tensor lies outside the data section", "c"},
      {"end at 2^64 - 1", headerEdit("[28,30]", "[28,18446744073709551615]"),
       "safetensors tensor lies outside the data section", "c"},
      {"byte count off by one element", headerEdit(R"("shape":[2])", R"("shape":[3])"),
       "safetensors tensor byte count does not match its shape", "a"},
      {"overlapping tensors", headerEdit("[16,28]", "[14,26]"), "safetensors tensors overlap", "b"},
      {"empty tensor inside another", headerEdit("[30,30]", "[4,4]"), "safetensors tensors overlap",
       "d"},
      {"a gap between tensors",
       headerEdit(R"("shape":[2],"data_offsets":[0,16])", R"("shape":[1],"data_offsets":[0,8])"),
       "safetensors data section has bytes outside every tensor", "b"},
      {"a byte after the last tensor", headerEdit("[30,30]", "[30,30]", 1),
       "safetensors data section has bytes outside every tensor", ""},
  };
  std::set<std::string> names;
  for (const Corruption& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(names.insert(row.name).second) << "duplicate row name";
    SafetensorsLimits limits;
    const ByteBuffer bytes = row.make(limits);
    try {
      (void)SafetensorsFile::from_bytes(bytes, limits);
      ADD_FAILURE() << "accepted";
    } catch (const ImportError& error) {
      EXPECT_STREQ(error.what(), row.message);
      EXPECT_EQ(error.subject(), row.subject);
    }
  }
}

TEST(SafetensorsTest, EveryTruncatedPrefixIsRefused) {
  const ByteBuffer file = validFile();
  for (std::size_t length = 0; length < file.size(); ++length) {
    const ByteBuffer prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_THROW((void)SafetensorsFile::from_bytes(prefix, {}), ImportError) << length;
  }
}

// ---------------------------------------------------------------------------
// Files

TEST(SafetensorsFileTest, ReadsAFileAsItReadsTheSameBytes) {
  const TempDirectory directory;
  // More than one read chunk (1 MiB) of F16 values, so chunking shows.
  std::vector<std::uint16_t> values(700000);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<std::uint16_t>(i * 2654435761U >> 7);
  }
  const std::vector<Import::SafetensorsEntry> entries = {
      {"small", SafetensorsDType::f32, {2}, Import::f32_bytes(std::vector<float>{1.0F, 2.0F})},
      {"large", SafetensorsDType::f16, {values.size()}, Import::u16_bytes(values)}};
  const ByteBuffer bytes = Import::write_safetensors(entries);
  directory.write("w.safetensors", bytes);

  const SafetensorsFile onDisk = SafetensorsFile::open(directory.path() / "w.safetensors", {});
  const SafetensorsFile inMemory = SafetensorsFile::from_bytes(bytes, {});
  EXPECT_EQ(onDisk.header(), inMemory.header());
  const Tensor large = onDisk.read("large");
  ASSERT_EQ(large.data.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(bitsOf(large.data[i]), bitsOf(widen_f16(values[i]))) << i;
  }
  EXPECT_EQ(onDisk.read("small").data, inMemory.read("small").data);
}

TEST(SafetensorsFileTest, FileProblemsAreFilesystemErrors) {
  const TempDirectory directory;
  EXPECT_THROW((void)SafetensorsFile::open(directory.path() / "absent", {}),
               std::filesystem::filesystem_error);
  EXPECT_THROW((void)SafetensorsFile::open(directory.path(), {}),
               std::filesystem::filesystem_error);

  // A file that shrinks after its header was checked fails on read.
  directory.write("w.safetensors", validFile());
  const SafetensorsFile file = SafetensorsFile::open(directory.path() / "w.safetensors", {});
  std::filesystem::resize_file(directory.path() / "w.safetensors", 8 + kHeader.size() + 16);
  EXPECT_THAT(file.read("a").data, ElementsAre(1.5, -2.0));
  EXPECT_THROW((void)file.read("b"), std::filesystem::filesystem_error);
}

TEST(SafetensorsFileTest, AFileIsCheckedLikeBytes) {
  const TempDirectory directory;
  ByteBuffer bytes = validFile();
  bytes.push_back(0);
  directory.write("w.safetensors", bytes);
  try {
    (void)SafetensorsFile::open(directory.path() / "w.safetensors", {});
    FAIL() << "accepted";
  } catch (const ImportError& error) {
    EXPECT_STREQ(error.what(), "safetensors data section has bytes outside every tensor");
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
