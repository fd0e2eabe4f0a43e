#pragma once

// The canonical, self-delimiting text description of a TransformerSpec, its
// 64-bit hash, and the number of scalar weights it implies.

#include <cstdint>
#include <optional>
#include <string>

#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

// "lumeth-transformer-spec-v1;" followed by one "klen:key=vlen:value;" entry
// per field. Two specs describe to the same bytes exactly when every field is
// equal. Never fails on content (out-of-range enumeration bytes are written
// as they are). Integers are unsigned decimal; doubles use 17 significant
// digits in the general notation of the classic locale (10000, 0.1 as
// 0.10000000000000001, 1e-5 as 1.0000000000000001e-05, 1e20 as 1e+20),
// whatever the global locale.
[[nodiscard]] std::string describe_spec(const TransformerSpec& spec);

// fnv1a64 of describe_spec(spec).
[[nodiscard]] std::uint64_t spec_hash(const TransformerSpec& spec);

// The number of scalar weights, or nullopt when any step overflows 64 bits.
// With d = model_dim, q = query_heads * head_dim, kv = kv_heads * head_dim,
// f = ffn_dim and g = 3 for swiglu (2 for any other value), evaluated in this
// order: vocabulary * d (twice when untied), then per layer
// d * (q + kv + kv + d) + (d * f) * g + 2 * d, times layers, then + d.
[[nodiscard]] std::optional<std::uint64_t> parameter_count(const TransformerSpec& spec);

}  // namespace Orvane::Core::Lumeth
