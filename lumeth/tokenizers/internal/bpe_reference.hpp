#pragma once

// The plain forms of BPE training and encoding, written step by step as the
// rules read: every pass recounts every pair, every merge step rescans the
// run. They are not part of the public API. Tests hold trainBpe and
// SubwordTokenizer::encode to them bit for bit, and encode falls back on
// mergeRunReference for a run too long for its 32-bit positions.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// ---- Encoding ----

// Rewrites `symbols` left to right, replacing each occurrence of the pair
// (left, right) by `merged`. Matches never overlap and the scan never looks
// back: with the pair (a, a), the symbols a a a become (merged, a).
void replaceEveryPair(std::vector<std::uint32_t>& symbols, std::uint32_t left, std::uint32_t right,
                      std::uint32_t merged);

// pairKey of (left, right) -> the id of the first merge of that pair.
using BpeRankTable = std::unordered_map<std::uint64_t, std::uint32_t>;

// Merge i gets id 256 + i; when a pair occurs in several merges the lowest id
// is kept.
[[nodiscard]] BpeRankTable buildBpeRankTable(std::span<const BpeMerge> merges);

// Merges one run in rank order: while some adjacent pair is in `ranks`, the
// pair with the smallest id (the leftmost among equals) is replaced
// everywhere in the run by that id. Rescans the run after each replacement,
// so the cost is quadratic in the run length.
void mergeRunReference(std::vector<std::uint32_t>& symbols, const BpeRankTable& ranks);

// ---- Training ----

// The same training as trainBpe done the plain way: every pass recounts all
// pairs of all distinct runs and scans them for the best. Same results and
// errors as trainBpe, at a cost of (passes x total length of the distinct
// runs).
[[nodiscard]] SubwordTokenizer trainBpeReference(std::string_view corpus,
                                                 const BpeTrainingLimits& limits);

// One distinct whitespace run of the corpus: its current symbols (byte values
// at first, merged ids later) and how often the run occurs.
struct BpeWord {
  std::vector<std::uint32_t> symbols;
  std::uint64_t count = 0;

  friend bool operator==(const BpeWord&, const BpeWord&) = default;
};

// Every distinct run of splitWhitespaceRuns(corpus) with its occurrence count,
// in order of first occurrence.
[[nodiscard]] std::vector<BpeWord> buildBpeWordTable(std::string_view corpus);

// pairKey -> weighted count of that adjacent pair over all words.
using BpePairCounts = std::unordered_map<std::uint64_t, std::uint64_t>;

// Adds each word's count once for every position where the pair occurs;
// overlapping occurrences each count (a a a adds twice to (a, a)).
[[nodiscard]] BpePairCounts countBpePairs(const std::vector<BpeWord>& words);

struct BpePairChoice {
  std::uint64_t key = 0;  // pairKey of the chosen pair
  std::uint64_t count = 0;

  friend bool operator==(const BpePairChoice&, const BpePairChoice&) = default;
};

// The counted pair with the greatest count, ties going to the smaller key,
// among the pairs whose two tokens together are at most `maxTokenBytes` long;
// nothing when no pair is eligible. `tokenBytes` holds the bytes of every id
// that occurs in `counts`.
[[nodiscard]] std::optional<BpePairChoice> selectBestBpePair(
    const BpePairCounts& counts, const std::vector<std::string>& tokenBytes,
    std::uint32_t maxTokenBytes);

// Rewrites every word with replaceEveryPair.
void applyBpeMerge(std::vector<BpeWord>& words, std::uint32_t left, std::uint32_t right,
                   std::uint32_t merged);

}  // namespace Orvane::Core::Lumeth
