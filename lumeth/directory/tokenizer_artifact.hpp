#pragma once

// Any stored tokenizer, loaded through one function: the kind is told from
// the artifact's magic, "LUMEBTK1" for a byte tokenizer and "LUMESUB2" for a
// BPE (subword) tokenizer, and the artifact is then checked by that kind's
// own loader. A chat tokenizer has no artifact of its own (its markers are
// fixed): it is built over a loaded base.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

inline constexpr std::string_view kByteTokenizerArtifactMagic = "LUMEBTK1";
inline constexpr std::string_view kSubwordTokenizerArtifactMagic = "LUMESUB2";

// The tokenizer stored in `bytes`: a ByteTokenizer or a SubwordTokenizer,
// whose artifact() equals `bytes`. `maxBytes` is the caller's ceiling on the
// input size (an input of exactly that size is accepted). Checks, in this
// order, each failing with TokenizerError(InvalidFormat, ...):
//   "tokenizer artifact exceeds size limit"  the input is longer than
//                                            maxBytes (nothing else is read)
//   "unknown tokenizer artifact magic"       the input is shorter than eight
//                                            bytes or starts with neither
//                                            magic
// then everything loadByteTokenizerArtifact or loadSubwordTokenizerArtifact
// checks, with their messages. The input is not modified and nothing is
// built unless every check passed.
[[nodiscard]] std::shared_ptr<const ITransformerTokenizer> load_tokenizer_artifact(
    std::span<const std::uint8_t> bytes, std::uint64_t maxBytes);

}  // namespace Orvane::Core::Lumeth
