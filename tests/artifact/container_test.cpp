#include "lumeth/artifact/container.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using ::testing::ElementsAre;

constexpr std::string_view kMagic = "LUMECTM1";
constexpr std::uint64_t kSpecHash = 0x0123456789abcdefULL;
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// What a container is built from: the rows, the binding and the payload.
struct Parts {
  std::vector<TensorEntry> rows;
  std::optional<std::string> tokenizerHash;
  ByteBuffer payload;
};

// Appends `bytes` to the payload as the next tensor, back to back.
void addTensor(Parts& parts, std::string name, ArtifactDType dtype,
               std::vector<std::uint64_t> shape, const ByteBuffer& bytes) {
  parts.rows.push_back({std::move(name), dtype, std::move(shape), parts.payload.size(),
                        bytes.size(), fnv1a64(bytes)});
  appendBytes(parts.payload, bytes);
}

// Three tensors at [0, 16), [16, 28) and [28, 33); payload of 33 bytes.
Parts validParts() {
  Parts parts;
  parts.tokenizerHash = "tok-hash";
  ByteBuffer alpha;
  appendU64(alpha, std::bit_cast<std::uint64_t>(1.5));
  appendU64(alpha, std::bit_cast<std::uint64_t>(-2.0));
  addTensor(parts, "alpha", ArtifactDType::Float64, {2}, alpha);
  ByteBuffer beta;
  for (const std::uint32_t id : {7u, 8u, 9u}) appendU32(beta, id);
  addTensor(parts, "beta", ArtifactDType::UInt32, {3}, beta);
  addTensor(parts, "gamma", ArtifactDType::UInt8, {1, 5}, ByteBuffer{'h', 'e', 'l', 'l', 'o'});
  return parts;
}

ByteBuffer manifestOf(const Parts& parts) {
  ByteBuffer manifest;
  write_manifest(manifest, parts.rows, kSpecHash, parts.tokenizerHash);
  return manifest;
}

ByteBuffer containerOf(const Parts& parts) {
  return write_container(kMagic, manifestOf(parts), parts.payload);
}

// Byte offsets inside the manifest of validParts().
constexpr std::size_t kFlagOffset = 8;
constexpr std::size_t kHashLengthOffset = 9;
constexpr std::size_t kCountOffset = 13 + 8;  // after the 8-byte "tok-hash"
constexpr std::size_t kFirstNameLengthOffset = kCountOffset + 4;

ByteBuffer u32Bytes(std::uint32_t value) {
  ByteBuffer bytes;
  appendU32(bytes, value);
  return bytes;
}

ByteBuffer u64Bytes(std::uint64_t value) {
  ByteBuffer bytes;
  appendU64(bytes, value);
  return bytes;
}

void overwrite(ByteBuffer& buffer, std::size_t offset, const ByteBuffer& bytes) {
  std::copy(bytes.begin(), bytes.end(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
}

// Reads the way a consumer does: header, manifest, table. Returns the message
// of the first failure, or "" when everything passes.
std::string readFailure(const ByteBuffer& container, const ArtifactLimits& limits) {
  try {
    const ContainerInfo info = read_container_header(container, kMagic, limits);
    ByteCursor cursor = manifest_cursor(container, info);
    std::uint64_t specHash = 0;
    std::optional<std::string> tokenizerHash;
    const std::vector<TensorEntry> rows = read_manifest(cursor, limits, specHash, tokenizerHash);
    validate_tensor_table(rows, info.payload_length, limits);
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "";
}

// Each maker builds one container and may lower the limits it is read with.
using Maker = std::function<ByteBuffer(ArtifactLimits&)>;

// Edits the rows or payload before the manifest is written.
Maker partsEdit(std::function<void(Parts&)> edit) {
  return [edit](ArtifactLimits&) {
    Parts parts = validParts();
    edit(parts);
    return containerOf(parts);
  };
}

// Edits the written manifest; the container and its checksum are built after.
Maker manifestEdit(std::function<void(ByteBuffer&)> edit) {
  return [edit](ArtifactLimits&) {
    const Parts parts = validParts();
    ByteBuffer manifest = manifestOf(parts);
    edit(manifest);
    return write_container(kMagic, manifest, parts.payload);
  };
}

// Edits the finished container; the checksum is not recomputed.
Maker containerEdit(std::function<void(ByteBuffer&)> edit) {
  return [edit](ArtifactLimits&) {
    ByteBuffer container = containerOf(validParts());
    edit(container);
    return container;
  };
}

// Reads the valid container with limits derived from it.
Maker limitsEdit(std::function<void(ArtifactLimits&, const ByteBuffer&)> edit) {
  return [edit](ArtifactLimits& limits) {
    ByteBuffer container = containerOf(validParts());
    edit(limits, container);
    return container;
  };
}

struct Corruption {
  std::string label;
  Maker make;
  std::string expected;
};

TEST(ContainerReading, EachCorruptionFailsWithItsOwnMessage) {
  const std::uint64_t manifestLength = manifestOf(validParts()).size();
  const std::uint64_t payloadLength = validParts().payload.size();
  const std::vector<Corruption> cases = {
      // Header.
      {"file over the size limit",
       limitsEdit([](auto& l, const auto& c) { l.max_file_bytes = c.size() - 1; }),
       "artifact exceeds file size limit"},
      {"file over the size limit and malformed",
       [](ArtifactLimits& l) {
         l.max_file_bytes = 10;
         return ByteBuffer(39, 0xAA);
       },
       "artifact exceeds file size limit"},
      {"39 bytes", containerEdit([](auto& c) { c.resize(39); }), "truncated artifact header"},
      {"no bytes", containerEdit([](auto& c) { c.clear(); }), "truncated artifact header"},
      {"the other kind's magic",
       [](ArtifactLimits&) {
         const Parts parts = validParts();
         return write_container("LUMECTS1", manifestOf(parts), parts.payload);
       },
       "artifact magic mismatch"},
      {"version 2", containerEdit([](auto& c) { c[8] = 2; }), "unknown artifact version"},
      {"version byte order", containerEdit([](auto& c) { std::swap(c[8], c[9]); }),
       "unknown artifact version"},
      {"endian marker reversed", containerEdit([](auto& c) { std::swap(c[10], c[11]); }),
       "artifact endian mismatch"},
      {"reserved field nonzero", containerEdit([](auto& c) { c[15] = 0x80; }),
       "artifact reserved header is nonzero"},
      {"manifest over its limit",
       limitsEdit([=](auto& l, const auto&) { l.max_manifest_bytes = manifestLength - 1; }),
       "artifact manifest exceeds limit"},
      {"manifest length of 2^64 - 1",
       containerEdit([](auto& c) { overwrite(c, 16, u64Bytes(kU64Max)); }),
       "artifact manifest exceeds limit"},
      {"lengths wrap past 2^64",
       containerEdit([=](auto& c) { overwrite(c, 24, u64Bytes(0 - manifestLength)); }),
       "artifact offset overflows"},
      {"lengths wrap past 2^64 only with the header",
       containerEdit([=](auto& c) { overwrite(c, 24, u64Bytes(kU64Max - manifestLength)); }),
       "artifact offset overflows"},
      {"payload length one short",
       containerEdit([=](auto& c) { overwrite(c, 24, u64Bytes(payloadLength - 1)); }),
       "artifact lengths do not match file"},
      {"manifest length one more",
       containerEdit([=](auto& c) { overwrite(c, 16, u64Bytes(manifestLength + 1)); }),
       "artifact lengths do not match file"},
      {"one byte appended", containerEdit([](auto& c) { c.push_back(0); }),
       "artifact lengths do not match file"},
      {"one byte moved from payload to manifest", containerEdit([=](auto& c) {
         overwrite(c, 16, u64Bytes(manifestLength + 1));
         overwrite(c, 24, u64Bytes(payloadLength - 1));
       }),
       "artifact global checksum mismatch"},
      {"flipped payload byte", containerEdit([](auto& c) { c.back() ^= 0x01; }),
       "artifact global checksum mismatch"},
      {"flipped manifest byte", containerEdit([](auto& c) { c[40] ^= 0x80; }),
       "artifact global checksum mismatch"},
      {"flipped checksum byte", containerEdit([](auto& c) { c[39] ^= 0x01; }),
       "artifact global checksum mismatch"},

      // Manifest prefix.
      {"binding flag 2", manifestEdit([](auto& m) { m[kFlagOffset] = 2; }),
       "invalid tokenizer binding flag"},
      {"binding flag 2 as the last manifest byte", manifestEdit([](auto& m) {
         m.resize(kFlagOffset + 1);
         m[kFlagOffset] = 2;
       }),
       "invalid tokenizer binding flag"},
      {"tokenizer hash longer than the manifest", manifestEdit([](auto& m) {
         overwrite(m, kHashLengthOffset, u32Bytes(static_cast<std::uint32_t>(m.size())));
       }),
       "truncated transformer artifact"},
      {"tokenizer hash length 2^32 - 1",
       manifestEdit([](auto& m) { overwrite(m, kHashLengthOffset, u32Bytes(0xFFFFFFFF)); }),
       "truncated transformer artifact"},
      {"name longer than the manifest",
       manifestEdit([](auto& m) { overwrite(m, kFirstNameLengthOffset, u32Bytes(1000)); }),
       "truncated transformer artifact"},
      {"row count over the limit", limitsEdit([](auto& l, const auto&) { l.max_tensor_count = 2; }),
       "artifact tensor count exceeds limit"},
      {"row count 2^32 - 1",
       manifestEdit([](auto& m) { overwrite(m, kCountOffset, u32Bytes(0xFFFFFFFF)); }),
       "artifact tensor count exceeds limit"},
      // The missing row would be read from the payload if the manifest's end
      // did not stop the reader.
      {"one row more than stored",
       manifestEdit([](auto& m) { overwrite(m, kCountOffset, u32Bytes(4)); }),
       "truncated transformer artifact"},
      {"row count at the limit with three rows stored",
       manifestEdit([](auto& m) { overwrite(m, kCountOffset, u32Bytes(100000)); }),
       "truncated transformer artifact"},
      {"rank 0", partsEdit([](auto& p) { p.rows[1].shape.clear(); }),
       "artifact tensor rank exceeds limit"},
      {"rank 9", partsEdit([](auto& p) { p.rows[2].shape = {1, 1, 1, 1, 1, 1, 1, 1, 5}; }),
       "artifact tensor rank exceeds limit"},
      {"rank over a lowered limit", limitsEdit([](auto& l, const auto&) { l.max_tensor_rank = 1; }),
       "artifact tensor rank exceeds limit"},

      // Tensor table.
      {"empty name", partsEdit([](auto& p) { p.rows[1].name.clear(); }),
       "artifact tensor has empty name"},
      {"duplicate name", partsEdit([](auto& p) { p.rows[2].name = p.rows[0].name; }),
       "artifact tensor name is duplicated"},
      {"dtype 0", partsEdit([](auto& p) { p.rows[0].dtype = static_cast<ArtifactDType>(0); }),
       "artifact has unknown dtype"},
      {"dtype 4", partsEdit([](auto& p) { p.rows[2].dtype = static_cast<ArtifactDType>(4); }),
       "artifact has unknown dtype"},
      {"shape product overflows", partsEdit([](auto& p) {
         p.rows[0].shape = {1ull << 32, 1ull << 32};
       }),
       "artifact tensor shape overflows"},
      {"shape overflows before a zero extent", partsEdit([](auto& p) {
         p.rows[0].shape = {1ull << 63, 2, 0};
       }),
       "artifact tensor shape overflows"},
      {"a zero extent ends the product", partsEdit([](auto& p) {
         p.rows[0].shape = {0, 1ull << 63, 1ull << 63};
       }),
       "artifact tensor byte count mismatch"},
      {"byte count one more", partsEdit([](auto& p) { p.rows[1].byte_count += 1; }),
       "artifact tensor byte count mismatch"},
      // 2^61 elements of 8 bytes is 2^64 bytes, which a wrapping product would
      // call 0.
      {"element count times size overflows", partsEdit([](auto& p) {
         p.rows[0].shape = {1ull << 61};
         p.rows[0].byte_count = 0;
       }),
       "artifact tensor byte count mismatch"},
      {"tensor over its size limit",
       limitsEdit([](auto& l, const auto&) { l.max_tensor_bytes = 15; }),
       "artifact tensor exceeds size limit"},
      {"range past the payload", partsEdit([](auto& p) { p.rows[2].offset += 1; }),
       "artifact tensor range exceeds payload"},
      {"offset plus byte count overflows",
       partsEdit([](auto& p) { p.rows[2].offset = kU64Max - 1; }), "artifact offset overflows"},
      {"later row starts inside an earlier one", partsEdit([](auto& p) { p.rows[1].offset = 8; }),
       "artifact tensor ranges overlap"},
      {"earlier row starts inside a later one", partsEdit([](auto& p) { p.rows[0].offset = 17; }),
       "artifact tensor ranges overlap"},
      {"empty range inside another", partsEdit([](auto& p) {
         p.rows.push_back({"empty", ArtifactDType::Float64, {0, 5}, 4, 0, fnv1a64(ByteBuffer{})});
       }),
       "artifact tensor ranges overlap"},

      // Order: each row is checked completely before the next; overlaps last.
      {"first row's dtype before the second row's name", partsEdit([](auto& p) {
         p.rows[0].dtype = static_cast<ArtifactDType>(0);
         p.rows[1].name.clear();
       }),
       "artifact has unknown dtype"},
      {"an overlap before a later bad dtype", partsEdit([](auto& p) {
         p.rows[1].offset = 8;
         p.rows[2].dtype = static_cast<ArtifactDType>(9);
       }),
       "artifact has unknown dtype"},
  };
  for (const Corruption& c : cases) {
    ArtifactLimits limits;
    const ByteBuffer container = c.make(limits);
    EXPECT_EQ(readFailure(container, limits), c.expected) << c.label;
  }
}

TEST(ContainerReading, AcceptsEdgesOfEveryLimitAndRange) {
  const std::vector<std::pair<std::string, Maker>> cases = {
      {"unchanged", partsEdit([](auto&) {})},
      {"unbound", partsEdit([](auto& p) { p.tokenizerHash.reset(); })},
      {"bound to an empty hash", partsEdit([](auto& p) { p.tokenizerHash = ""; })},
      {"no rows", partsEdit([](auto& p) { p.rows.clear(); })},
      {"file size at its limit",
       limitsEdit([](auto& l, const auto& c) { l.max_file_bytes = c.size(); })},
      {"manifest at its limit",
       limitsEdit([](auto& l, const auto& c) { l.max_manifest_bytes = c.size() - 40 - 33; })},
      {"row count at its limit", limitsEdit([](auto& l, const auto&) { l.max_tensor_count = 3; })},
      {"rank at its limit", limitsEdit([](auto& l, const auto&) { l.max_tensor_rank = 2; })},
      {"rank 8", partsEdit([](auto& p) { p.rows[2].shape = {1, 1, 1, 1, 1, 1, 1, 5}; })},
      {"tensor at its size limit",
       limitsEdit([](auto& l, const auto&) { l.max_tensor_bytes = 16; })},
      {"empty tensor at the start of another", partsEdit([](auto& p) {
         p.rows.push_back({"e", ArtifactDType::Float64, {0, 5}, 0, 0, 0});
       })},
      {"empty tensor where two ranges touch", partsEdit([](auto& p) {
         p.rows.push_back({"e", ArtifactDType::Float64, {0, 5}, 16, 0, 0});
       })},
      {"empty tensor at the end of the payload", partsEdit([](auto& p) {
         p.rows.push_back({"e", ArtifactDType::Float64, {0, 5}, 33, 0, 0});
       })},
      {"two empty tensors at one offset", partsEdit([](auto& p) {
         p.rows.push_back({"e", ArtifactDType::UInt8, {0}, 28, 0, 0});
         p.rows.push_back({"f", ArtifactDType::UInt32, {7, 0}, 28, 0, 0});
       })},
      {"a zero extent before huge ones", partsEdit([](auto& p) {
         p.rows.push_back({"e", ArtifactDType::Float64, {0, 1ull << 63, 1ull << 63}, 0, 0, 0});
       })},
      {"gaps and uncovered payload bytes", partsEdit([](auto& p) {
         p.rows.erase(p.rows.begin() + 1);
         p.payload.push_back(0xEE);
       })},
  };
  for (const auto& [label, make] : cases) {
    ArtifactLimits limits;
    const ByteBuffer container = make(limits);
    EXPECT_EQ(readFailure(container, limits), "") << label;
  }
}

TEST(ContainerReading, ManifestAndTableComeBackAsWritten) {
  for (const std::optional<std::string>& binding :
       {std::optional<std::string>{}, std::optional<std::string>{"0123456789abcdef"},
        std::optional<std::string>{""}}) {
    Parts parts = validParts();
    parts.tokenizerHash = binding;
    // Fields of the kind's own follow the prefix; the reader leaves them.
    ByteBuffer manifest = manifestOf(parts);
    appendU64(manifest, 77);
    const ByteBuffer container = write_container(kMagic, manifest, parts.payload);

    const ContainerInfo info = read_container_header(container, kMagic, ArtifactLimits{});
    EXPECT_EQ(info.manifest_length, manifest.size());
    EXPECT_EQ(info.payload_length, 33u);
    EXPECT_EQ(info.payload_offset, 40 + manifest.size());

    ByteCursor cursor = manifest_cursor(container, info);
    std::uint64_t specHash = 0;
    std::optional<std::string> tokenizerHash = "stale";
    EXPECT_EQ(read_manifest(cursor, ArtifactLimits{}, specHash, tokenizerHash), parts.rows);
    EXPECT_EQ(specHash, kSpecHash);
    EXPECT_EQ(tokenizerHash, binding);
    EXPECT_EQ(cursor.remaining(), 8u);
    EXPECT_EQ(cursor.read_u64(), 77u);
  }
}

TEST(ContainerReading, EveryTruncatedManifestFailsAsTruncated) {
  const Parts parts = validParts();
  const ByteBuffer manifest = manifestOf(parts);
  for (std::size_t length = 0; length < manifest.size(); ++length) {
    const ByteBuffer prefix(manifest.begin(),
                            manifest.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_EQ(readFailure(write_container(kMagic, prefix, parts.payload), ArtifactLimits{}),
              "truncated transformer artifact")
        << length;
  }
}

TEST(ContainerReading, EmptyManifestPassesTheHeaderButNotTheManifest) {
  const ByteBuffer container = write_container(kMagic, {}, {});
  ASSERT_EQ(container.size(), 40u);
  const ContainerInfo info = read_container_header(container, kMagic, ArtifactLimits{});
  EXPECT_EQ(info.manifest_length, 0u);
  EXPECT_EQ(info.payload_length, 0u);
  EXPECT_EQ(info.payload_offset, 40u);
  EXPECT_EQ(readFailure(container, ArtifactLimits{}), "truncated transformer artifact");
}

TEST(ContainerReading, AnyChangedByteOutsideTheHeaderFieldsFailsTheChecksum) {
  const ByteBuffer valid = containerOf(validParts());
  // Bytes 0 to 31 are header fields that fail their own checks first.
  for (std::size_t i = 32; i < valid.size(); ++i) {
    ByteBuffer changed = valid;
    changed[i] ^= 0x10;
    EXPECT_EQ(readFailure(changed, ArtifactLimits{}), "artifact global checksum mismatch") << i;
  }
  for (std::size_t i = 0; i < 8; ++i) {
    ByteBuffer changed = valid;
    changed[i] ^= 0x01;
    EXPECT_EQ(readFailure(changed, ArtifactLimits{}), "artifact magic mismatch") << i;
  }
}

TEST(ContainerWriting, HeaderLayout) {
  const ByteBuffer container = write_container(kMagic, ByteBuffer{1, 2, 3}, ByteBuffer{4, 5});
  ASSERT_EQ(container.size(), 45u);
  EXPECT_EQ(asText(std::span(container).first(8)), kMagic);
  EXPECT_THAT(std::span(container).subspan(8, 8), ElementsAre(1, 0, 0x45, 0x4C, 0, 0, 0, 0));
  EXPECT_EQ(readU64(container, 16), 3u);
  EXPECT_EQ(readU64(container, 24), 2u);
  EXPECT_THAT(std::span(container).subspan(40), ElementsAre(1, 2, 3, 4, 5));

  ByteBuffer zeroed = container;
  std::fill(zeroed.begin() + 32, zeroed.begin() + 40, 0);
  EXPECT_EQ(readU64(container, 32), fnv1a64(zeroed));
  EXPECT_EQ(artifact_checksum(container), fnv1a64(zeroed));

  EXPECT_THROW((void)write_container("LUMECTM", {}, {}), std::invalid_argument);
}

TEST(ContainerWriting, ChecksumTreatsItsOwnFieldAsZeros) {
  ByteBuffer bytes;
  for (std::size_t i = 0; i < 50; ++i) bytes.push_back(static_cast<std::uint8_t>(0xA0 + i));
  for (const std::size_t size : {0u, 10u, 32u, 35u, 40u, 50u}) {
    ByteBuffer reference(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
    for (std::size_t i = 32; i < 40 && i < size; ++i) reference[i] = 0;
    EXPECT_EQ(artifact_checksum(std::span(bytes).first(size)), fnv1a64(reference)) << size;
  }
}

std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::invalid_argument& error) {
    return error.what();
  }
  return "";
}

TEST(ContainerWriting, InStepsWritesTheBytesOfWriteContainer) {
  const Parts parts = validParts();
  const ByteBuffer manifest = manifestOf(parts);
  std::vector<TensorEntry> rows = parts.rows;
  for (TensorEntry& row : rows) row.checksum = 0;

  ByteBuffer out = begin_container(kMagic, manifest.size(), parts.payload.size());
  ASSERT_EQ(out.size(), 40 + manifest.size());
  EXPECT_GE(out.capacity(), 40 + manifest.size() + parts.payload.size());
  appendBytes(out, parts.payload);
  checksum_rows(rows, std::span(out).subspan(40 + manifest.size()));
  EXPECT_EQ(rows, parts.rows);
  const std::uint64_t checksum = finish_container(out, manifest);
  EXPECT_EQ(out, containerOf(parts));
  EXPECT_EQ(checksum, readU64(out, 32));

  ByteBuffer empty = begin_container(kMagic, 0, 0);
  EXPECT_EQ(finish_container(empty, {}), artifact_checksum(write_container(kMagic, {}, {})));
}

TEST(ContainerWriting, InStepsRefusesWhatDisagreesWithTheHeaderAndChangesNothing) {
  EXPECT_EQ(failureOf([] { (void)begin_container("LUMECTM", 0, 0); }),
            "artifact magic must be eight bytes");
  EXPECT_EQ(failureOf([] { (void)begin_container(kMagic, kU64Max - 40, 1); }),
            "artifact offset overflows");

  const ByteBuffer manifest{1, 2, 3};
  const ByteBuffer begun = begin_container(kMagic, 3, 2);
  const auto finishFailure = [&](ByteBuffer container, const ByteBuffer& withManifest) {
    const ByteBuffer before = container;
    const std::string failure = failureOf([&] { (void)finish_container(container, withManifest); });
    if (!failure.empty()) {
      EXPECT_EQ(container, before);
    }
    return failure;
  };
  constexpr const char* kMismatch = "container does not match its header lengths";
  EXPECT_EQ(finishFailure(begun, manifest), kMismatch) << "payload missing";
  ByteBuffer complete = begun;
  appendBytes(complete, ByteBuffer{4, 5});
  EXPECT_EQ(finishFailure(complete, ByteBuffer{1, 2}), kMismatch) << "manifest too short";
  EXPECT_EQ(finishFailure(complete, ByteBuffer{1, 2, 3, 4}), kMismatch) << "manifest too long";
  ByteBuffer longer = complete;
  longer.push_back(6);
  EXPECT_EQ(finishFailure(longer, manifest), kMismatch) << "payload too long";
  EXPECT_EQ(finishFailure(ByteBuffer(39, 0), {}), kMismatch) << "no header";
  EXPECT_EQ(finishFailure(complete, manifest), "");

  std::vector<TensorEntry> rows = validParts().rows;
  rows[2].byte_count += 1;
  const std::vector<TensorEntry> unchanged = rows;
  EXPECT_EQ(failureOf([&] { checksum_rows(rows, validParts().payload); }),
            "artifact tensor range exceeds payload");
  EXPECT_EQ(rows, unchanged);
}

TEST(ContainerReading, LayoutThenChecksumHashesTheRowsInTheSamePass) {
  const Parts parts = validParts();
  const ByteBuffer valid = containerOf(parts);
  const ArtifactLimits limits;
  const ContainerInfo info = read_container_layout(valid, kMagic, limits);
  const ContainerInfo whole = read_container_header(valid, kMagic, limits);
  EXPECT_EQ(info.manifest_length, whole.manifest_length);
  EXPECT_EQ(info.payload_length, whole.payload_length);
  EXPECT_EQ(info.payload_offset, whole.payload_offset);

  // Any rows inside the payload: out of order, overlapping, empty, repeated.
  std::vector<TensorEntry> rows = parts.rows;
  rows.push_back({"e", ArtifactDType::UInt8, {0}, 33, 0, 0});
  rows.push_back({"x", ArtifactDType::UInt8, {20}, 4, 20, 0});
  rows.push_back(rows[0]);
  std::reverse(rows.begin(), rows.end());
  const std::vector<std::uint64_t> hashed = verify_container_checksum(valid, info, rows);
  ASSERT_EQ(hashed.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(hashed[i], fnv1a64(std::span(parts.payload)
                                     .subspan(static_cast<std::size_t>(rows[i].offset),
                                              static_cast<std::size_t>(rows[i].byte_count))))
        << i;
  }
  EXPECT_TRUE(verify_container_checksum(valid, info, {}).empty());

  // The layout step never looks at the checksum; the second step does, with
  // or without rows.
  ByteBuffer damaged = valid;
  damaged.back() ^= 0x01;
  EXPECT_NO_THROW((void)read_container_layout(damaged, kMagic, limits));
  EXPECT_EQ(failureOf([&] { (void)verify_container_checksum(damaged, info, rows); }),
            "artifact global checksum mismatch");
  EXPECT_EQ(failureOf([&] { (void)verify_container_checksum(damaged, info, {}); }),
            "artifact global checksum mismatch");

  // Rows outside the payload and a foreign layout are refused before any
  // hashing, even when the checksum is also wrong.
  std::vector<TensorEntry> outside = parts.rows;
  outside[1].offset = 30;
  EXPECT_EQ(failureOf([&] { (void)verify_container_checksum(damaged, info, outside); }),
            "artifact tensor range exceeds payload");
  ContainerInfo foreign = info;
  foreign.payload_length -= 1;
  EXPECT_EQ(failureOf([&] { (void)verify_container_checksum(valid, foreign, {}); }),
            "artifact lengths do not match file");
}

TEST(ManifestWriting, Layout) {
  ByteBuffer out{0xEE};  // the manifest is appended after what is there
  const std::vector<TensorEntry> rows = {{"w", ArtifactDType::UInt32, {3}, 4, 12, 0xAABB}};
  write_manifest(out, rows, 0x0102030405060708ULL, "ab");
  EXPECT_THAT(out, ElementsAre(0xEE,                                //
                               8, 7, 6, 5, 4, 3, 2, 1,              // spec_hash
                               1, 2, 0, 0, 0, 'a', 'b',             // bound, "ab"
                               1, 0, 0, 0,                          // one row
                               1, 0, 0, 0, 'w',                     // name
                               2,                                   // dtype UInt32
                               1, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0,  // rank 1, [3]
                               4, 0, 0, 0, 0, 0, 0, 0,              // offset
                               12, 0, 0, 0, 0, 0, 0, 0,             // byte_count
                               0xBB, 0xAA, 0, 0, 0, 0, 0, 0));      // checksum

  ByteBuffer unbound;
  write_manifest(unbound, {}, 0, std::nullopt);
  EXPECT_THAT(unbound, ElementsAre(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
}

// A string of 2^32 bytes is only addressed, never read: reserving address
// space without backing memory costs nothing.
TEST(ManifestWriting, RefusesAStringBeyondFourGibibytesAndWritesNothing) {
  constexpr std::size_t kLength = std::size_t{1} << 32;
  void* const memory =
      mmap(nullptr, kLength, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) GTEST_SKIP() << "no address space for a 4 GiB view";
  const std::string_view huge(static_cast<const char*>(memory), kLength);

  ByteBuffer out{1, 2, 3};
  try {
    write_manifest(out, validParts().rows, kSpecHash, huge);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "artifact string exceeds uint32 length");
  }
  EXPECT_THAT(out, ElementsAre(1, 2, 3));
  munmap(memory, kLength);
}

struct Range {
  std::uint64_t offset;
  std::uint64_t bytes;
};

TEST(TensorTable, RangesMayTouchButNotOverlap) {
  const std::vector<std::pair<std::vector<Range>, bool>> cases = {
      {{{0, 8}, {8, 8}}, true},  {{{8, 8}, {0, 8}}, true},  {{{0, 2}, {5, 1}}, true},
      {{{0, 8}, {0, 0}}, true},  {{{0, 8}, {8, 0}}, true},  {{{4, 0}, {4, 0}}, true},
      {{{0, 8}, {4, 8}}, false}, {{{4, 8}, {0, 8}}, false}, {{{0, 8}, {0, 8}}, false},
      {{{4, 0}, {0, 8}}, false}, {{{0, 8}, {4, 0}}, false}, {{{0, 10}, {2, 1}, {5, 1}}, false},
  };
  for (std::size_t c = 0; c < cases.size(); ++c) {
    const auto& [ranges, accepted] = cases[c];
    std::vector<TensorEntry> rows;
    for (const Range& range : ranges) {
      rows.push_back({std::string(1, static_cast<char>('a' + rows.size())),
                      ArtifactDType::UInt8,
                      {range.bytes},
                      range.offset,
                      range.bytes,
                      0});
    }
    std::string failure;
    try {
      validate_tensor_table(rows, 16, ArtifactLimits{});
    } catch (const std::invalid_argument& error) {
      failure = error.what();
    }
    EXPECT_EQ(failure, accepted ? "" : "artifact tensor ranges overlap") << "case " << c;
  }
}

TEST(TensorTable, DefaultSizeLimitIsInclusive) {
  constexpr std::uint64_t kLimit = 536870912;
  const std::vector<TensorEntry> atLimit = {
      {"w", ArtifactDType::Float64, {kLimit / 8}, 0, kLimit, 0}};
  EXPECT_NO_THROW(validate_tensor_table(atLimit, kLimit, ArtifactLimits{}));
  const std::vector<TensorEntry> over = {
      {"w", ArtifactDType::UInt8, {kLimit + 1}, 0, kLimit + 1, 0}};
  try {
    validate_tensor_table(over, kLimit + 1, ArtifactLimits{});
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "artifact tensor exceeds size limit");
  }
}

TEST(ByteCursor, ReadsLittleEndianUpToItsEndAndNoFurther) {
  const ByteBuffer data{1, 0, 2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  ByteCursor cursor(data, 0, 14);
  EXPECT_EQ(cursor.read_u16(), 1u);
  EXPECT_EQ(cursor.read_u32(), 2u);
  EXPECT_EQ(cursor.read_u64(), 3u);
  EXPECT_EQ(cursor.remaining(), 0u);
  EXPECT_THROW((void)cursor.read_u8(), std::invalid_argument);

  ByteCursor partial(data, 12, 14);
  EXPECT_THROW((void)partial.read_u32(), std::invalid_argument);
  EXPECT_THROW((void)partial.read_bytes(kU64Max), std::invalid_argument);
  EXPECT_EQ(partial.read_u8(), 0u);

  EXPECT_THROW((void)ByteCursor(data, 0, 17), std::invalid_argument);
  EXPECT_THROW((void)ByteCursor(data, 5, 4), std::invalid_argument);
}

TEST(ByteCursor, StringLengthIsCheckedAgainstTheEnd) {
  ByteBuffer data;
  appendU32(data, 3);
  appendBytes(data, std::string_view("abcd"));
  ByteCursor exact(data, 0, 7);
  EXPECT_EQ(exact.read_string(), "abc");
  ByteCursor tooShort(data, 0, 6);
  try {
    (void)tooShort.read_string();
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "truncated transformer artifact");
  }
}

TEST(CheckedAdd, FailsOnlyBeyondTheLargestValue) {
  EXPECT_EQ(checked_add(kU64Max - 1, 1), kU64Max);
  EXPECT_EQ(checked_add(0, kU64Max), kU64Max);
  EXPECT_THROW((void)checked_add(kU64Max, 1), std::invalid_argument);
  EXPECT_THROW((void)checked_add(1ull << 63, 1ull << 63), std::invalid_argument);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
