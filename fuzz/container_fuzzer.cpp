// The container readers over any bytes: read_container_header,
// read_manifest and validate_tensor_table, with the default limits and with
// small ones.
//
// Input: one flag byte (bit 0: expect the session magic instead of the model
// magic; bits 1-2: limit profile; bit 3: recompute the global checksum), then
// the container. The bytes after the flag byte are also read as a bare
// manifest, followed by a payload of whatever the manifest leaves, so that
// mutations reach the manifest and table checks without passing a checksum.
//
// Properties: only std::invalid_argument escapes, with exactly the message
// of the first failing check as a plain restatement of the checks gives it;
// an accepted header describes the input and rebuilding the container from
// its parts gives the input back; an accepted manifest prefix re-serializes
// to exactly the bytes it was read from.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/container_support.hpp"
#include "fuzz/fuzz_support.hpp"
#include "lumeth/artifact/container.hpp"
#include "lumeth/foundation/binary.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

using Message = std::optional<std::string>;

Message expectedHeaderError(std::span<const std::uint8_t> bytes, std::string_view magic,
                            const ArtifactLimits& limits) {
  if (bytes.size() > limits.max_file_bytes) return "artifact exceeds file size limit";
  if (bytes.size() < 40) return "truncated artifact header";
  if (asText(bytes.first(8)) != magic) return "artifact magic mismatch";
  if (readU16(bytes, 8) != 1) return "unknown artifact version";
  if (readU16(bytes, 10) != 0x4C45) return "artifact endian mismatch";
  if (readU32(bytes, 12) != 0) return "artifact reserved header is nonzero";
  const std::uint64_t manifest = readU64(bytes, 16);
  const std::uint64_t payload = readU64(bytes, 24);
  if (manifest > limits.max_manifest_bytes) return "artifact manifest exceeds limit";
  const unsigned __int128 total = static_cast<unsigned __int128>(manifest) + payload + 40;
  if (total > UINT64_MAX) return "artifact offset overflows";
  if (total != bytes.size()) return "artifact lengths do not match file";
  if (artifact_checksum(bytes) != readU64(bytes, 32)) return "artifact global checksum mismatch";
  return std::nullopt;
}

Message expectedTableError(std::span<const TensorEntry> rows, std::uint64_t payloadLength,
                           const ArtifactLimits& limits) {
  std::set<std::string> names;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
  for (const TensorEntry& row : rows) {
    if (row.name.empty()) return "artifact tensor has empty name";
    if (!names.insert(row.name).second) return "artifact tensor name is duplicated";
    const auto code = static_cast<std::uint8_t>(row.dtype);
    if (code < 1 || code > 3) return "artifact has unknown dtype";
    const unsigned elementSize = code == 1 ? 8 : code == 2 ? 4 : 1;
    unsigned __int128 elements = 1;
    for (const std::uint64_t extent : row.shape) {
      if (extent == 0) {
        elements = 0;
        break;
      }
      elements *= extent;
      if (elements > UINT64_MAX) return "artifact tensor shape overflows";
    }
    if (elements * elementSize != row.byte_count) return "artifact tensor byte count mismatch";
    if (row.byte_count > limits.max_tensor_bytes) return "artifact tensor exceeds size limit";
    const unsigned __int128 end = static_cast<unsigned __int128>(row.offset) + row.byte_count;
    if (end > UINT64_MAX) return "artifact offset overflows";
    if (end > payloadLength) return "artifact tensor range exceeds payload";
    ranges.emplace_back(row.offset, static_cast<std::uint64_t>(end));
  }
  // Every pair, without sorting: a range overlaps another when it starts
  // strictly inside it, or when two non-empty ranges share a start.
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    for (std::size_t j = 0; j < ranges.size(); ++j) {
      if (i == j) continue;
      const auto [a, b] = ranges[i];
      const auto [c, d] = ranges[j];
      if ((a > c && a < d) || (a == c && b > a && d > c)) return "artifact tensor ranges overlap";
    }
  }
  return std::nullopt;
}

// Reads the manifest prefix from `cursor` and checks what was read; on
// success validates the table against a payload of `payloadLength` bytes.
void checkManifest(std::span<const std::uint8_t> bytes, ByteCursor cursor,
                   std::uint64_t payloadLength, const ArtifactLimits& limits) {
  const std::size_t begin = cursor.position();
  std::uint64_t specHash = 0;
  std::optional<std::string> binding;
  std::vector<TensorEntry> rows;
  const auto error =
      invalidArgumentOutcome([&] { rows = read_manifest(cursor, limits, specHash, binding); });
  LUMETH_FUZZ_CHECK(cursor.position() <= cursor.end());
  if (error) return;
  LUMETH_FUZZ_CHECK(rows.size() <= limits.max_tensor_count);
  for (const TensorEntry& row : rows) {
    LUMETH_FUZZ_CHECK(!row.shape.empty() && row.shape.size() <= limits.max_tensor_rank);
  }
  ByteBuffer rewritten;
  write_manifest(rewritten, rows, specHash, binding);
  const auto consumed = bytes.subspan(begin, cursor.position() - begin);
  LUMETH_FUZZ_CHECK(
      std::equal(rewritten.begin(), rewritten.end(), consumed.begin(), consumed.end()));

  const auto tableError =
      invalidArgumentOutcome([&] { validate_tensor_table(rows, payloadLength, limits); });
  LUMETH_FUZZ_CHECK(tableError == expectedTableError(rows, payloadLength, limits));
}

void checkContainer(std::span<const std::uint8_t> bytes, std::string_view magic,
                    const ArtifactLimits& limits) {
  ContainerInfo info;
  const auto error =
      invalidArgumentOutcome([&] { info = read_container_header(bytes, magic, limits); });
  LUMETH_FUZZ_CHECK(error == expectedHeaderError(bytes, magic, limits));
  if (error) return;
  LUMETH_FUZZ_CHECK(info.payload_offset == info.manifest_length + 40);
  LUMETH_FUZZ_CHECK(info.payload_offset + info.payload_length == bytes.size());
  const auto manifest = bytes.subspan(40, static_cast<std::size_t>(info.manifest_length));
  const auto payload = bytes.subspan(static_cast<std::size_t>(info.payload_offset));
  const ByteBuffer rebuilt = write_container(magic, manifest, payload);
  LUMETH_FUZZ_CHECK(std::equal(rebuilt.begin(), rebuilt.end(), bytes.begin(), bytes.end()));
  checkManifest(bytes, manifest_cursor(bytes, info), info.payload_length, limits);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::span<const std::uint8_t> bytes = bytesOf(data + 1, size - 1);
  const std::string_view magic = (flags & 1) != 0 ? "LUMECTS1" : "LUMECTM1";
  const ArtifactLimits limits = limitsProfile(static_cast<std::uint8_t>((flags >> 1) & 3));

  if ((flags & 8) != 0) {
    const ByteBuffer repaired = withGlobalChecksum(bytes);
    checkContainer(repaired, magic, limits);
  } else {
    checkContainer(bytes, magic, limits);
  }

  // The same bytes as a bare manifest; the payload is what the manifest
  // leaves, as far as the limits' size would reach.
  ByteCursor bare(bytes);
  const std::uint64_t payloadLength = bytes.size();
  checkManifest(bytes, bare, payloadLength, limits);
  return 0;
}
