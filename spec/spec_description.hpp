#pragma once

// The canonical, self-delimiting text description of a TransformerSpec, its
// 64-bit hash, and the number of scalar weights it implies.

#include <cstdint>
#include <optional>
#include <string>

#include "spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

// "lumeth-transformer-spec-v1;" followed by one "klen:key=vlen:value;" entry
// per field. Two specs describe to the same bytes exactly when every field is
// equal. Never fails on content (out-of-range enumeration bytes are written
// as they are).
[[nodiscard]] std::string describe_spec(const TransformerSpec& spec);

// fnv1a64 of describe_spec(spec).
[[nodiscard]] std::uint64_t spec_hash(const TransformerSpec& spec);

// The number of scalar weights, or nullopt when any step overflows 64 bits.
[[nodiscard]] std::optional<std::uint64_t> parameter_count(const TransformerSpec& spec);

}  // namespace Orvane::Core::Lumeth
