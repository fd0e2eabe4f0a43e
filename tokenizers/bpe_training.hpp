#pragma once

// Byte-pair-encoding training: learns an ordered merge list from a corpus in
// memory and returns the SubwordTokenizer built from it. Training is fully
// deterministic: the same corpus and limits give the same merges in the same
// order, whatever order the hash tables inside happen to iterate in.
//
// trainBpe keeps its pair counts up to date incrementally: after a merge it
// touches only the words that held the merged pair, and a max-heap finds the
// next pair. trainBpeReference is the plain form assembled from the building
// blocks declared below: it recounts every pair on every pass. Both return
// the same merges for every corpus and limits; the reference is kept to
// check that.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {

struct BpeTrainingLimits {
  // The whole vocabulary: 256 bytes + learned merges + BOS and EOS, so at most
  // vocabularySize - 258 merges are learned. Valid range 258 to 1048576.
  std::uint32_t vocabularySize = 16384;
  // A pair is merged only when its weighted count is at least this; at least 1.
  std::uint32_t minPairFrequency = 2;
  // No merged token is longer than this many bytes. Valid range 2 to 256.
  std::uint32_t maxTokenBytes = 16;
  // The largest corpus accepted, in bytes (64 MiB).
  std::uint64_t maxCorpusBytes = 67108864;
};

// Learns merges from `corpus` (any bytes; UTF-8 is not checked) and returns
// the tokenizer they make. Passes repeat while fewer than vocabularySize - 258
// merges are learned: count every adjacent pair inside each whitespace run,
// weighted by how often the run occurs; among the pairs whose merged token is
// at most maxTokenBytes long, take the greatest count, ties going to the
// smaller pairKey; stop when none is eligible or the best count is below
// minPairFrequency; otherwise learn the pair as id 256 + merges so far and
// replace it everywhere. Stopping early is normal and gives a smaller
// vocabulary (258 + merges learned).
//
// Throws std::invalid_argument before any work, checked in this order:
// "BPE vocabulary must be in [258, 1048576]",
// "invalid BPE training limits" (maxTokenBytes outside 2..256 or
// minPairFrequency 0), "BPE training corpus exceeds configured size limit"
// (a corpus of exactly maxCorpusBytes is accepted).
//
// Cost: one pass over the corpus to build the table of distinct runs, then
// per merge time proportional to the total length of the words that hold the
// merged pair (plus logarithmic heap work per changed pair). Memory: the
// distinct runs as u32 symbols, each pair with the words that may hold it,
// and the heap.
[[nodiscard]] SubwordTokenizer trainBpe(std::string_view corpus, const BpeTrainingLimits& limits);

// The same training done the plain way: every pass recounts all pairs of all
// distinct runs and scans them for the best. Same results and errors as
// trainBpe, at a cost of (passes x total length of the distinct runs).
[[nodiscard]] SubwordTokenizer trainBpeReference(std::string_view corpus,
                                                 const BpeTrainingLimits& limits);

// ---- Building blocks of trainBpeReference ----

// The limit checks of both trainers, in their order and with their messages.
void validateBpeTrainingLimits(std::string_view corpus, const BpeTrainingLimits& limits);

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
