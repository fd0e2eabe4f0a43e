#pragma once

// The canonical, self-delimiting text description of a TransformerSpec, its
// 64-bit hash, and the number of scalar weights it implies.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// The TransformerSpec whose description is `text`: the exact inverse of
// describe_spec. For every spec s, parse_spec_description(describe_spec(s))
// equals s field for field, out-of-range enumeration bytes, port names and
// schemas of any bytes and every finite or infinite double included (17
// significant digits give back the same binary64); a NaN comes back as a
// NaN of the same sign, its payload not being in the text. Only the
// canonical text is accepted, so describe_spec(parse_spec_description(t)) is
// t for every accepted t.
//
// Reads front to back and throws std::invalid_argument at the first byte out
// of place, with one of these messages:
//   "spec description header mismatch"     the text does not start with
//                                          "lumeth-transformer-spec-v1;"
//   "spec description is truncated"        the text ends inside an entry or
//                                          where another entry is due
//   "spec description length is malformed" a key or value length is not
//                                          unsigned decimal without leading
//                                          zeros
//   "spec description length runs past the end"  a length claims more bytes
//                                          than the text has left
//   "spec description entry is malformed"  ':', '=', ':' or ';' is not where
//                                          the lengths put it
//   "spec description expected key <key>"  an entry's key is not the next one
//                                          in the fixed order (an unknown,
//                                          missing, repeated or misplaced
//                                          key); <key> names the one due
//   "spec description value of <key> is invalid"  the value is not the
//                                          canonical text of its field: u32
//                                          or u64 decimal in range, an
//                                          enumeration byte up to 255, "0" or
//                                          "1" for tied_embeddings, a double
//                                          exactly as describe_spec formats
//                                          it ("nan", "-nan", "inf", "-inf"
//                                          for the special values)
//   "spec description has trailing bytes"  bytes follow the last port
// No allocation is sized from port_count beyond what the text left can hold.
[[nodiscard]] TransformerSpec parse_spec_description(std::string_view text);

// fnv1a64 of describe_spec(spec).
[[nodiscard]] std::uint64_t spec_hash(const TransformerSpec& spec);

// The number of scalar weights, or nullopt when any step overflows 64 bits.
// With d = model_dim, q = query_heads * head_dim, kv = kv_heads * head_dim,
// f = ffn_dim and g = 3 for swiglu (2 for any other value), evaluated in this
// order: vocabulary * d (twice when untied), then per layer
// d * (q + kv + kv + d) + (d * f) * g + 2 * d, times layers, then + d.
[[nodiscard]] std::optional<std::uint64_t> parameter_count(const TransformerSpec& spec);

}  // namespace Orvane::Core::Lumeth
