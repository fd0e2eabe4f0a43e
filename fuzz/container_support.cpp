#include "fuzz/container_support.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "lumeth/foundation/fnv1a.hpp"

namespace Orvane::Core::Lumeth::Fuzz {

ArtifactLimits limitsProfile(std::uint8_t profile) {
  switch (profile % kLimitProfiles) {
    case 1:
      return ArtifactLimits{.max_file_bytes = 8192,
                            .max_manifest_bytes = 2048,
                            .max_tensor_bytes = 512,
                            .max_tensor_count = 8,
                            .max_tensor_rank = 3,
                            .max_input_tokens = 16,
                            .max_tokenizer_state_bytes = 17,
                            .max_cache_bytes = 1024};
    case 2:
      return ArtifactLimits{.max_file_bytes = 1024,
                            .max_manifest_bytes = 512,
                            .max_tensor_bytes = 32,
                            .max_tensor_count = 3,
                            .max_tensor_rank = 2,
                            .max_input_tokens = 2,
                            .max_tokenizer_state_bytes = 1,
                            .max_cache_bytes = 16};
    case 3:
      return ArtifactLimits{.max_file_bytes = 0,
                            .max_manifest_bytes = 0,
                            .max_tensor_bytes = 0,
                            .max_tensor_count = 0,
                            .max_tensor_rank = 0,
                            .max_input_tokens = 0,
                            .max_tokenizer_state_bytes = 0,
                            .max_cache_bytes = 0};
    default:
      return ArtifactLimits{};
  }
}

ByteBuffer withGlobalChecksum(std::span<const std::uint8_t> container) {
  ByteBuffer repaired(container.begin(), container.end());
  if (repaired.size() >= kContainerHeaderBytes) {
    ByteBuffer checksum;
    appendU64(checksum, artifact_checksum(repaired));
    std::copy(checksum.begin(), checksum.end(), repaired.begin() + kContainerChecksumOffset);
  }
  return repaired;
}

std::optional<ByteBuffer> withAllChecksums(std::span<const std::uint8_t> container) {
  if (container.size() < kContainerHeaderBytes) return std::nullopt;
  const std::uint64_t available = container.size() - kContainerHeaderBytes;
  const std::uint64_t manifestLength = readU64(container, 16);
  const std::uint64_t payloadLength = readU64(container, 24);
  if (manifestLength > available || payloadLength != available - manifestLength) {
    return std::nullopt;
  }
  const auto manifestEnd = static_cast<std::size_t>(kContainerHeaderBytes + manifestLength);
  ByteCursor cursor(container, kContainerHeaderBytes, manifestEnd);
  std::uint64_t specHash = 0;
  std::optional<std::string> binding;
  std::vector<TensorEntry> rows;
  try {
    rows = read_manifest(cursor, ArtifactLimits{}, specHash, binding);
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
  const std::span<const std::uint8_t> payload = container.subspan(manifestEnd);
  for (TensorEntry& row : rows) {
    if (row.offset <= payload.size() && row.byte_count <= payload.size() - row.offset) {
      row.checksum = fnv1a64(payload.subspan(static_cast<std::size_t>(row.offset),
                                             static_cast<std::size_t>(row.byte_count)));
    }
  }
  ByteBuffer manifest;
  write_manifest(manifest, rows, specHash, binding);
  appendBytes(manifest, container.subspan(cursor.position(), manifestEnd - cursor.position()));
  ByteBuffer repaired =
      write_container(asText(container.first(kContainerMagicBytes)), manifest, payload);
  // Keep the stored version, marker and reserved field: only checksums change.
  std::copy(container.begin() + 8, container.begin() + 16, repaired.begin() + 8);
  return withGlobalChecksum(repaired);
}

}  // namespace Orvane::Core::Lumeth::Fuzz
