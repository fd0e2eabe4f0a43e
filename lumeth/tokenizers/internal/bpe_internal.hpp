#pragma once

// Helpers the subword tokenizer, its artifact loader and the two trainers
// share. Not part of the public API.

#include <cstdint>
#include <span>
#include <string_view>

#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// The bytes of token `id`, which must be a byte id or the id of one of
// `merges`. The view points into `merges` or into a static table of the 256
// one-byte tokens.
[[nodiscard]] std::string_view bpeTokenBytes(std::span<const BpeMerge> merges, std::uint32_t id);

// The limit checks of both trainers, in their order and with their messages
// (see trainBpe). validateBpeMergeLimits makes the first two alone, which
// are all that training from counts has.
void validateBpeMergeLimits(const BpeTrainingLimits& limits);
void validateBpeTrainingLimits(std::string_view corpus, const BpeTrainingLimits& limits);
// The same checks for a corpus of `corpusBytes` bytes in all.
void validateBpeTrainingLimits(std::uint64_t corpusBytes, const BpeTrainingLimits& limits);

// trainBpe as it runs for corpora of kWideTrainingCorpusBytes or more: the
// same incremental trainer with 64-bit word and pair indices. Callable on any
// corpus, so that tests can hold it to the reference on small ones.
[[nodiscard]] SubwordTokenizer trainBpeWithWideIndices(std::string_view corpus,
                                                       const BpeTrainingLimits& limits);

// From this many bytes of distinct runs on (each distinct run counted once),
// the trainer indexes words and pairs with 64 bits. Below it 32 bits always
// suffice: distinct runs of n bytes in all are at most n words with at most
// 65536 + 2n distinct pairs (the byte pairs, then at most two new pairs per
// replaced occurrence, and each replacement shortens a word by one symbol),
// which stays below the all-ones marker 2^32 - 1. A corpus holds at least as
// many bytes as its distinct runs.
inline constexpr std::uint64_t kWideTrainingCorpusBytes =
    (std::uint64_t{1} << 31) - (std::uint64_t{1} << 16);

}  // namespace Orvane::Core::Lumeth
