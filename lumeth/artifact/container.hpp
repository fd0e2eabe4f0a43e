#pragma once

// The checksummed container that carries model artifacts and session files:
// a 40-byte header, a manifest (spec hash, tokenizer binding, tensor table,
// then whatever fields the kind appends) and a payload holding the tensors'
// raw bytes. The kinds differ only in their eight-byte magic.
//
// Reading runs in this order, each step failing with std::invalid_argument
// and a fixed message, the first failing check winning:
//   read_container_header -> read_manifest over [40, 40 + manifest_length)
//   -> the kind's own manifest fields -> validate_tensor_table
// after which the consumer checks each tensor's bytes against its checksum.
// Every size and offset is computed with overflow checks; no read goes past
// the end of what it was given.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/foundation/binary.hpp"

namespace Orvane::Core::Lumeth {

inline constexpr std::size_t kContainerMagicBytes = 8;
inline constexpr std::uint16_t kContainerVersion = 1;
inline constexpr std::uint16_t kContainerEndianMarker = 0x4C45;  // stored as the bytes "EL"
inline constexpr std::size_t kContainerChecksumOffset = 32;
inline constexpr std::size_t kContainerHeaderBytes = 40;

// Element type of a stored tensor. Codes 0 and above 3 are unknown; a row may
// hold any byte and validate_tensor_table reports the unknown ones.
enum class ArtifactDType : std::uint8_t {
  Float64 = 1,  // binary64 bit pattern as a little-endian u64
  UInt32 = 2,   // little-endian u32
  UInt8 = 3,
};

// Bytes per element: 8, 4 or 1; 0 for an unknown code.
[[nodiscard]] std::uint64_t artifact_element_size(ArtifactDType dtype) noexcept;

// One row of the tensor table.
struct TensorEntry {
  std::string name;  // unique and non-empty in a valid table
  ArtifactDType dtype = ArtifactDType::Float64;
  std::vector<std::uint64_t> shape;  // extents, outermost first; rank 1 .. max_tensor_rank
  std::uint64_t offset = 0;          // from the start of the payload, not of the container
  std::uint64_t byte_count = 0;      // element count * element size
  std::uint64_t checksum = 0;        // fnv1a64 of exactly the tensor's bytes

  friend bool operator==(const TensorEntry&, const TensorEntry&) = default;
};

// Where the parts of a container lie, as established by the header check.
struct ContainerInfo {
  std::uint64_t manifest_length = 0;
  std::uint64_t payload_length = 0;
  std::uint64_t payload_offset = 0;  // always manifest_length + 40
};

// The caller's bounds for reading. The session-only fields are enforced by
// the session reader, not here.
struct ArtifactLimits {
  std::uint64_t max_file_bytes = 1073741824;          // whole container, 1 GiB
  std::uint64_t max_manifest_bytes = 16777216;        // manifest_length, 16 MiB
  std::uint64_t max_tensor_bytes = 536870912;         // byte_count of one tensor, 512 MiB
  std::uint32_t max_tensor_count = 100000;            // table rows (and session cache tensors)
  std::uint32_t max_tensor_rank = 8;                  // rank of one tensor
  std::uint64_t max_input_tokens = 1048576;           // session files only
  std::uint64_t max_tokenizer_state_bytes = 1048576;  // session files only
  std::uint64_t max_cache_bytes = 536870912;          // session files only, 512 MiB
};

// x + y, or std::invalid_argument("artifact offset overflows") when the sum
// exceeds 2^64 - 1.
[[nodiscard]] std::uint64_t checked_add(std::uint64_t x, std::uint64_t y);

// A read position over bytes [position, end) of `data`. Every read checks that
// enough bytes are left before `end` and otherwise throws
// std::invalid_argument("truncated transformer artifact"); integers are
// little-endian. The cursor views `data` and does not own it: the bytes must
// outlive the cursor.
class ByteCursor {
 public:
  // Throws the truncation error when position > end or end > data.size().
  ByteCursor(std::span<const std::uint8_t> data, std::size_t position, std::size_t end);
  // The whole of `data`.
  explicit ByteCursor(std::span<const std::uint8_t> data);

  std::uint8_t read_u8();
  std::uint16_t read_u16();
  std::uint32_t read_u32();
  std::uint64_t read_u64();
  // The next `count` bytes, as a view into the cursor's data.
  std::span<const std::uint8_t> read_bytes(std::uint64_t count);
  // A u32 byte length, then that many bytes. The length is checked against
  // the bytes left before anything is copied.
  std::string read_string();

  [[nodiscard]] std::size_t position() const noexcept { return position_; }
  [[nodiscard]] std::size_t end() const noexcept { return end_; }
  [[nodiscard]] std::size_t remaining() const noexcept { return end_ - position_; }

 private:
  // Checks that `count` bytes are left and returns the position of the first.
  std::size_t take(std::uint64_t count);

  std::span<const std::uint8_t> data_;
  std::size_t position_;
  std::size_t end_;
};

// fnv1a64 over every byte of `container` in order, the eight bytes at offsets
// 32 to 39 (the stored checksum) taken as zeros. Bytes are hashed in place; a
// container shorter than 40 bytes is hashed the same way over what it has.
[[nodiscard]] std::uint64_t artifact_checksum(std::span<const std::uint8_t> container) noexcept;

// The container bytes: header, `manifest`, `payload`, with the checksum field
// holding artifact_checksum of the result. `magic` must be exactly eight
// bytes (std::invalid_argument otherwise). The output is allocated once.
[[nodiscard]] ByteBuffer write_container(std::string_view magic,
                                         std::span<const std::uint8_t> manifest,
                                         std::span<const std::uint8_t> payload);

// The same container written in steps, for writers that encode their payload
// straight into it instead of into a payload buffer of their own:
//
//   ByteBuffer out = begin_container(magic, manifest_length, payload_length);
//   ... append exactly payload_length payload bytes to out ...
//   checksum_rows(rows, std::span(out).subspan(40 + manifest_length));
//   finish_container(out, manifest);  // written from those rows
//
// begin_container returns the header with both lengths and a zero checksum
// field, followed by manifest_length zero bytes where the manifest will go,
// with the whole container's size reserved, so that appending the payload
// never reallocates. Throws std::invalid_argument for a magic that is not
// eight bytes or "artifact offset overflows" when the total size exceeds
// 2^64 - 1, and std::length_error when it exceeds what a buffer can hold.
[[nodiscard]] ByteBuffer begin_container(std::string_view magic, std::uint64_t manifest_length,
                                         std::uint64_t payload_length);

// Copies `manifest` into the place begin_container left for it, stores
// artifact_checksum of the finished container at bytes 32..39 and returns
// that checksum. Throws std::invalid_argument("container does not match its
// header lengths"), leaving `container` unchanged, unless the header's
// manifest_length is manifest.size() and the container is exactly
// 40 + manifest_length + payload_length bytes long.
std::uint64_t finish_container(ByteBuffer& container, std::span<const std::uint8_t> manifest);

// Sets each row's checksum to fnv1a64 of its byte_count bytes from `offset`
// in `payload`, hashing up to four rows side by side (see fnv1a64_each).
// Throws std::invalid_argument("artifact tensor range exceeds payload"),
// changing no row, when a row does not lie inside `payload`.
void checksum_rows(std::span<TensorEntry> rows, std::span<const std::uint8_t> payload);

// Appends the manifest prefix to `out`: spec_hash, the binding flag (1 with
// tokenizerHash, 0 without), the tokenizerHash string when present, the row
// count and the rows. Throws std::invalid_argument("artifact string exceeds
// uint32 length") when a name or the tokenizerHash is longer than
// 4294967295 bytes, or "artifact tensor count exceeds uint32" when there are
// more than 4294967295 rows; `out` is then left unchanged.
void write_manifest(ByteBuffer& out, std::span<const TensorEntry> rows, std::uint64_t spec_hash,
                    std::optional<std::string_view> tokenizerHash);

// Checks the header of `container` against `expected_magic` and `limits`,
// including the global checksum, and returns where manifest and payload lie.
[[nodiscard]] ContainerInfo read_container_header(std::span<const std::uint8_t> container,
                                                  std::string_view expected_magic,
                                                  const ArtifactLimits& limits);

// read_container_header in two steps, so that a reader can hash the row
// bytes in the same pass as the whole container. First the header checks
// before the global checksum, in the same order and with the same messages
// (size limit, length, magic, version, endian marker, reserved field,
// manifest limit, lengths against the size), returning where manifest and
// payload lie; the checksum is not looked at.
[[nodiscard]] ContainerInfo read_container_layout(std::span<const std::uint8_t> container,
                                                  std::string_view expected_magic,
                                                  const ArtifactLimits& limits);

// Then the global checksum of a container whose layout passed, with the
// `info` returned for it: throws std::invalid_argument("artifact global
// checksum mismatch") when artifact_checksum differs from the stored field.
// The same pass hashes each row's payload bytes, [payload_offset + offset,
// + byte_count), and returns fnv1a64 of them in row order (nothing for no
// rows): hashing the rows alongside the container costs about as much as
// hashing the container alone. The rows must lie inside the payload, as
// validate_tensor_table ensures; otherwise, before anything is hashed,
// std::invalid_argument("artifact tensor range exceeds payload"), or
// "artifact lengths do not match file" when `info` does not describe
// `container`.
[[nodiscard]] std::vector<std::uint64_t> verify_container_checksum(
    std::span<const std::uint8_t> container, const ContainerInfo& info,
    std::span<const TensorEntry> rows);

// A cursor over exactly the manifest of a container whose header passed:
// reads can never run into the payload.
[[nodiscard]] ByteCursor manifest_cursor(std::span<const std::uint8_t> container,
                                         const ContainerInfo& info);

// Reads the manifest prefix and returns the table rows, leaving `cursor`
// after the last row for the kind's own fields. Checks the binding flag, the
// row count and each rank against `limits`; dtypes, names and ranges are left
// to validate_tensor_table. On failure `spec_hash` and `tokenizerHash` may
// already hold what was read: read into temporaries.
[[nodiscard]] std::vector<TensorEntry> read_manifest(ByteCursor& cursor,
                                                     const ArtifactLimits& limits,
                                                     std::uint64_t& spec_hash,
                                                     std::optional<std::string>& tokenizerHash);

// Checks the rows against each other, a payload of `payload_length` bytes and
// `limits`, row by row in table order, then that no two ranges overlap.
// Touching ranges, empty ranges, gaps and uncovered payload bytes are fine.
// Never looks at tensor bytes.
void validate_tensor_table(std::span<const TensorEntry> rows, std::uint64_t payload_length,
                           const ArtifactLimits& limits);

}  // namespace Orvane::Core::Lumeth
