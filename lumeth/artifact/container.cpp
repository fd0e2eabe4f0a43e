#include "lumeth/artifact/container.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <unordered_set>
#include <utility>

#include "lumeth/foundation/fnv1a.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

constexpr const char* kTruncated = "truncated transformer artifact";

// The fewest bytes one table row can occupy: name length, dtype, rank, one
// extent (rank 0 is refused), offset, byte count, checksum. Caps how many rows
// are reserved up front, whatever count the manifest claims.
constexpr std::size_t kMinimumRowBytes = 4 + 1 + 4 + 8 + 8 + 8 + 8;

[[noreturn]] void fail(const char* message) { throw std::invalid_argument(message); }

void appendString(ByteBuffer& out, std::string_view text) {
  appendU32(out, static_cast<std::uint32_t>(text.size()));
  appendBytes(out, text);
}

bool fitsU32(std::size_t size) noexcept { return size <= kU32Max; }

// The bytes of `row` inside `payload`, or the range failure when they do not
// lie inside it.
std::span<const std::uint8_t> bytes_in(std::span<const std::uint8_t> payload,
                                       const TensorEntry& row) {
  if (row.offset > payload.size() || row.byte_count > payload.size() - row.offset) {
    fail("artifact tensor range exceeds payload");
  }
  return payload.subspan(static_cast<std::size_t>(row.offset),
                         static_cast<std::size_t>(row.byte_count));
}

}  // namespace

std::uint64_t artifact_element_size(ArtifactDType dtype) noexcept {
  switch (dtype) {
    case ArtifactDType::Float64:
      return 8;
    case ArtifactDType::UInt32:
      return 4;
    case ArtifactDType::UInt8:
      return 1;
  }
  return 0;
}

std::uint64_t checked_add(std::uint64_t x, std::uint64_t y) {
  if (y > kU64Max - x) fail("artifact offset overflows");
  return x + y;
}

// ---------------------------------------------------------------------------
// ByteCursor

ByteCursor::ByteCursor(std::span<const std::uint8_t> data, std::size_t position, std::size_t end)
    : data_(data), position_(position), end_(end) {
  if (end > data.size() || position > end) fail(kTruncated);
}

ByteCursor::ByteCursor(std::span<const std::uint8_t> data) : ByteCursor(data, 0, data.size()) {}

std::size_t ByteCursor::take(std::uint64_t count) {
  if (count > remaining()) fail(kTruncated);
  const std::size_t start = position_;
  position_ += static_cast<std::size_t>(count);
  return start;
}

std::uint8_t ByteCursor::read_u8() { return data_[take(1)]; }

// The foundation readers see only [0, end): a read can never reach past the
// cursor's end even if `take` were wrong.
std::uint16_t ByteCursor::read_u16() { return readU16(data_.first(end_), take(2)); }
std::uint32_t ByteCursor::read_u32() { return readU32(data_.first(end_), take(4)); }
std::uint64_t ByteCursor::read_u64() { return readU64(data_.first(end_), take(8)); }

std::span<const std::uint8_t> ByteCursor::read_bytes(std::uint64_t count) {
  const std::size_t start = take(count);
  return data_.subspan(start, static_cast<std::size_t>(count));
}

std::string ByteCursor::read_string() {
  const std::uint32_t length = read_u32();
  return std::string(asText(read_bytes(length)));
}

// ---------------------------------------------------------------------------
// Writing

std::uint64_t artifact_checksum(std::span<const std::uint8_t> container) noexcept {
  // Hashed in three pieces, the checksum field replaced by zeros, so the
  // buffer is neither copied nor patched.
  static constexpr std::array<std::uint8_t, kContainerHeaderBytes - kContainerChecksumOffset>
      kZeros{};
  const std::size_t size = container.size();
  const std::size_t fieldStart = std::min(size, kContainerChecksumOffset);
  const std::size_t fieldEnd = std::min(size, kContainerHeaderBytes);
  std::uint64_t state = fnv1a64(container.first(fieldStart));
  state = fnv1a64(std::span(kZeros).first(fieldEnd - fieldStart), state);
  return fnv1a64(container.subspan(fieldEnd), state);
}

// Container layout (little-endian):
//
//   offset  width  field
//   0       8      magic, the kind's eight ASCII bytes ("LUMECTM1", "LUMECTS1")
//   8       2      version, 1
//   10      2      endian marker 0x4C45 (bytes "EL")
//   12      4      reserved, 0
//   16      8      manifest_length
//   24      8      payload_length
//   32      8      checksum: artifact_checksum of the whole container
//   40      m      manifest
//   40 + m  p      payload; nothing follows, nothing pads
ByteBuffer write_container(std::string_view magic, std::span<const std::uint8_t> manifest,
                           std::span<const std::uint8_t> payload) {
  ByteBuffer out = begin_container(magic, manifest.size(), payload.size());
  appendBytes(out, payload);
  (void)finish_container(out, manifest);
  return out;
}

ByteBuffer begin_container(std::string_view magic, std::uint64_t manifest_length,
                           std::uint64_t payload_length) {
  if (magic.size() != kContainerMagicBytes) fail("artifact magic must be eight bytes");
  const std::uint64_t total =
      checked_add(kContainerHeaderBytes, checked_add(manifest_length, payload_length));
  ByteBuffer out;
  if (total > out.max_size()) throw std::length_error("artifact exceeds addressable memory");
  out.reserve(static_cast<std::size_t>(total));
  appendBytes(out, magic);
  appendU16(out, kContainerVersion);
  appendU16(out, kContainerEndianMarker);
  appendU32(out, 0);
  appendU64(out, manifest_length);
  appendU64(out, payload_length);
  appendU64(out, 0);  // checksum placeholder, stored by finish_container
  out.resize(static_cast<std::size_t>(kContainerHeaderBytes + manifest_length));
  return out;
}

std::uint64_t finish_container(ByteBuffer& container, std::span<const std::uint8_t> manifest) {
  // The lengths are those of the header the caller began with; each
  // difference is taken only once the comparison before it rules out a wrap.
  if (container.size() < kContainerHeaderBytes ||
      container.size() - kContainerHeaderBytes < manifest.size() ||
      readU64(container, 16) != manifest.size() ||
      container.size() - kContainerHeaderBytes - manifest.size() != readU64(container, 24)) {
    fail("container does not match its header lengths");
  }
  std::copy(manifest.begin(), manifest.end(), container.begin() + kContainerHeaderBytes);
  const std::uint64_t checksum = artifact_checksum(container);
  ByteBuffer field;
  appendU64(field, checksum);
  std::copy(field.begin(), field.end(), container.begin() + kContainerChecksumOffset);
  return checksum;
}

void checksum_rows(std::span<TensorEntry> rows, std::span<const std::uint8_t> payload) {
  std::vector<std::span<const std::uint8_t>> ranges;
  ranges.reserve(rows.size());
  for (const TensorEntry& row : rows) ranges.push_back(bytes_in(payload, row));
  std::vector<std::uint64_t> hashes(rows.size(), kFnv1a64OffsetBasis);
  fnv1a64_each(ranges, hashes);
  for (std::size_t i = 0; i < rows.size(); ++i) rows[i].checksum = hashes[i];
}

// Manifest prefix (little-endian; a string is a u32 byte length, then the
// bytes):
//
//   u64     spec_hash
//   u8      binding flag: 1 bound, 0 unbound
//   string  tokenizerHash, only when the flag is 1
//   u32     row count
//   rows, each:
//     string  name
//     u8      dtype
//     u32     rank, then rank u64 extents
//     u64     offset, u64 byte_count, u64 checksum
void write_manifest(ByteBuffer& out, std::span<const TensorEntry> rows, std::uint64_t spec_hash,
                    std::optional<std::string_view> tokenizerHash) {
  // Every length is checked before the first byte is appended, so a failure
  // leaves `out` as it was.
  constexpr const char* kStringTooLong = "artifact string exceeds uint32 length";
  if (tokenizerHash && !fitsU32(tokenizerHash->size())) fail(kStringTooLong);
  if (!fitsU32(rows.size())) fail("artifact tensor count exceeds uint32");
  for (const TensorEntry& row : rows) {
    if (!fitsU32(row.name.size())) fail(kStringTooLong);
    if (!fitsU32(row.shape.size())) fail("artifact tensor rank exceeds uint32");
  }

  appendU64(out, spec_hash);
  appendU8(out, tokenizerHash ? 1 : 0);
  if (tokenizerHash) appendString(out, *tokenizerHash);
  appendU32(out, static_cast<std::uint32_t>(rows.size()));
  for (const TensorEntry& row : rows) {
    appendString(out, row.name);
    appendU8(out, static_cast<std::uint8_t>(row.dtype));
    appendU32(out, static_cast<std::uint32_t>(row.shape.size()));
    for (const std::uint64_t extent : row.shape) appendU64(out, extent);
    appendU64(out, row.offset);
    appendU64(out, row.byte_count);
    appendU64(out, row.checksum);
  }
}

// ---------------------------------------------------------------------------
// Reading

ContainerInfo read_container_header(std::span<const std::uint8_t> container,
                                    std::string_view expected_magic, const ArtifactLimits& limits) {
  const ContainerInfo info = read_container_layout(container, expected_magic, limits);
  (void)verify_container_checksum(container, info, {});
  return info;
}

ContainerInfo read_container_layout(std::span<const std::uint8_t> container,
                                    std::string_view expected_magic, const ArtifactLimits& limits) {
  const std::uint64_t size = container.size();
  if (size > limits.max_file_bytes) fail("artifact exceeds file size limit");
  if (size < kContainerHeaderBytes) fail("truncated artifact header");
  if (asText(container.first(kContainerMagicBytes)) != expected_magic) {
    fail("artifact magic mismatch");
  }
  if (readU16(container, 8) != kContainerVersion) fail("unknown artifact version");
  if (readU16(container, 10) != kContainerEndianMarker) fail("artifact endian mismatch");
  if (readU32(container, 12) != 0) fail("artifact reserved header is nonzero");

  ContainerInfo info;
  info.manifest_length = readU64(container, 16);
  info.payload_length = readU64(container, 24);
  if (info.manifest_length > limits.max_manifest_bytes) fail("artifact manifest exceeds limit");
  const std::uint64_t total =
      checked_add(kContainerHeaderBytes, checked_add(info.manifest_length, info.payload_length));
  if (total != size) fail("artifact lengths do not match file");
  info.payload_offset = info.manifest_length + kContainerHeaderBytes;
  return info;
}

std::vector<std::uint64_t> verify_container_checksum(std::span<const std::uint8_t> container,
                                                     const ContainerInfo& info,
                                                     std::span<const TensorEntry> rows) {
  if (info.payload_offset != kContainerHeaderBytes + info.manifest_length ||
      info.payload_offset > container.size() ||
      container.size() - info.payload_offset != info.payload_length) {
    fail("artifact lengths do not match file");
  }
  const std::span<const std::uint8_t> head =
      container.first(static_cast<std::size_t>(info.payload_offset));
  const std::span<const std::uint8_t> payload =
      container.subspan(static_cast<std::size_t>(info.payload_offset));

  // Lane 0 carries the global checksum on from the end of the manifest over
  // the whole payload; the rows run beside it in the other lanes.
  std::vector<std::span<const std::uint8_t>> ranges;
  ranges.reserve(1 + rows.size());
  ranges.push_back(payload);
  for (const TensorEntry& row : rows) ranges.push_back(bytes_in(payload, row));
  std::vector<std::uint64_t> hashes(ranges.size(), kFnv1a64OffsetBasis);
  hashes[0] = artifact_checksum(head);
  fnv1a64_each(ranges, hashes);

  if (hashes[0] != readU64(container, kContainerChecksumOffset)) {
    fail("artifact global checksum mismatch");
  }
  hashes.erase(hashes.begin());
  return hashes;
}

ByteCursor manifest_cursor(std::span<const std::uint8_t> container, const ContainerInfo& info) {
  return ByteCursor(container, kContainerHeaderBytes,
                    static_cast<std::size_t>(info.payload_offset));
}

std::vector<TensorEntry> read_manifest(ByteCursor& cursor, const ArtifactLimits& limits,
                                       std::uint64_t& spec_hash,
                                       std::optional<std::string>& tokenizerHash) {
  spec_hash = cursor.read_u64();
  const std::uint8_t flag = cursor.read_u8();
  if (flag > 1) fail("invalid tokenizer binding flag");
  tokenizerHash.reset();
  if (flag == 1) tokenizerHash = cursor.read_string();

  const std::uint32_t count = cursor.read_u32();
  if (count > limits.max_tensor_count) fail("artifact tensor count exceeds limit");

  std::vector<TensorEntry> rows;
  // A stored count is not trusted for sizing: reserve no more rows than the
  // bytes left could hold; a lying count then fails as truncated.
  rows.reserve(std::min<std::size_t>(count, cursor.remaining() / kMinimumRowBytes));
  for (std::uint32_t i = 0; i < count; ++i) {
    TensorEntry row;
    row.name = cursor.read_string();
    row.dtype = static_cast<ArtifactDType>(cursor.read_u8());
    const std::uint32_t rank = cursor.read_u32();
    if (rank == 0 || rank > limits.max_tensor_rank) fail("artifact tensor rank exceeds limit");
    row.shape.reserve(std::min<std::size_t>(rank, cursor.remaining() / 8));
    for (std::uint32_t axis = 0; axis < rank; ++axis) row.shape.push_back(cursor.read_u64());
    row.offset = cursor.read_u64();
    row.byte_count = cursor.read_u64();
    row.checksum = cursor.read_u64();
    rows.push_back(std::move(row));
  }
  return rows;
}

void validate_tensor_table(std::span<const TensorEntry> rows, std::uint64_t payload_length,
                           const ArtifactLimits& limits) {
  // Views into `rows`, which outlive the set. A hash set finds the first
  // repeated name at the same row a comparison with every earlier name would.
  std::unordered_set<std::string_view> names;
  names.reserve(rows.size());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // [start, end)
  ranges.reserve(rows.size());

  for (const TensorEntry& row : rows) {
    if (row.name.empty()) fail("artifact tensor has empty name");
    if (!names.insert(row.name).second) fail("artifact tensor name is duplicated");

    const std::uint64_t elementSize = artifact_element_size(row.dtype);
    if (elementSize == 0) fail("artifact has unknown dtype");

    // Left to right from 1; a zero extent ends the product at once, so the
    // extents after it may be anything.
    std::uint64_t elements = 1;
    for (const std::uint64_t extent : row.shape) {
      if (extent == 0) {
        elements = 0;
        break;
      }
      if (elements > kU64Max / extent) fail("artifact tensor shape overflows");
      elements *= extent;
    }
    if (elements > kU64Max / elementSize || elements * elementSize != row.byte_count) {
      fail("artifact tensor byte count mismatch");
    }
    if (row.byte_count > limits.max_tensor_bytes) fail("artifact tensor exceeds size limit");

    const std::uint64_t end = checked_add(row.offset, row.byte_count);
    if (end > payload_length) fail("artifact tensor range exceeds payload");
    ranges.emplace_back(row.offset, end);
  }

  // Sorted by start, ties by end, so an empty range sorts ahead of a range
  // that starts at the same byte and only counts as overlapping when it lies
  // strictly inside another.
  std::sort(ranges.begin(), ranges.end());
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    if (ranges[i].first < ranges[i - 1].second) fail("artifact tensor ranges overlap");
  }
}

}  // namespace Orvane::Core::Lumeth
