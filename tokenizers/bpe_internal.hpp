#pragma once

// Helpers the subword tokenizer, its artifact loader and the two trainers
// share. Not part of the public API.

#include <cstdint>
#include <span>
#include <string_view>

#include "tokenizers/bpe_training.hpp"
#include "tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// The bytes of token `id`, which must be a byte id or the id of one of
// `merges`. The view points into `merges` or into a static table of the 256
// one-byte tokens.
[[nodiscard]] std::string_view bpeTokenBytes(std::span<const BpeMerge> merges, std::uint32_t id);

// The limit checks of both trainers, in their order and with their messages
// (see trainBpe).
void validateBpeTrainingLimits(std::string_view corpus, const BpeTrainingLimits& limits);

}  // namespace Orvane::Core::Lumeth
