#pragma once

// Shared by the container and session targets: the limit profiles inputs
// choose from, and the repairs that make a mutated container consistent
// again so that mutations reach the checks behind the checksums.

#include <cstdint>
#include <optional>
#include <span>

#include "lumeth/artifact/container.hpp"
#include "lumeth/foundation/binary.hpp"

namespace Orvane::Core::Lumeth::Fuzz {

inline constexpr std::uint8_t kLimitProfiles = 4;

// 0: the defaults; 1: small; 2: tiny; 3: every bound zero.
[[nodiscard]] ArtifactLimits limitsProfile(std::uint8_t profile);

// `container` with its global checksum recomputed (unchanged when it is
// shorter than a header).
[[nodiscard]] ByteBuffer withGlobalChecksum(std::span<const std::uint8_t> container);

// `container` with every row checksum recomputed from the payload bytes it
// names, then its global checksum: nothing when the header lengths do not
// describe the input or the manifest prefix does not parse. The manifest
// bytes after the table (the kind's own fields) are kept as they are.
[[nodiscard]] std::optional<ByteBuffer> withAllChecksums(std::span<const std::uint8_t> container);

}  // namespace Orvane::Core::Lumeth::Fuzz
