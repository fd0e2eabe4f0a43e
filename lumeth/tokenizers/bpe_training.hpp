#pragma once

// Byte-pair-encoding training: learns an ordered merge list from a corpus in
// memory and returns the SubwordTokenizer built from it. Training is fully
// deterministic: the same corpus and limits give the same merges in the same
// order, whatever order the hash tables inside happen to iterate in.
//
// trainBpe keeps its pair counts up to date incrementally: after a merge it
// touches only the words that held the merged pair, and a max-heap finds the
// next pair. It learns exactly the merges of the plain form that recounts
// every pair on every pass (trainBpeReference, kept with the other plain
// forms in lumeth/tokenizers/internal/bpe_reference.hpp to check that).

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/tokenizers/bpe_run_counts.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

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

// How far training has come, as handed to a progress callback.
struct BpeTrainingProgress {
  enum class Stage : std::uint8_t {
    counting = 0,  // finding the distinct runs: `done` of `total` corpus bytes
    merging = 1,   // learning merges: `done` learned of at most `total`
  };
  Stage stage = Stage::counting;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
};

struct BpeTrainingOptions {
  // Called on the calling thread, synchronously: once when a stage starts
  // (done 0), once when it ends (merging may end below `total`: training
  // stops when no pair is eligible), and in between after every 4 MiB counted
  // and every 1/1024 of the merges, so at most about corpus / 4 MiB + 1024
  // times in all, whatever the corpus. It sees progress only and cannot change
  // the result; an exception it throws ends training and propagates, and
  // nothing is returned. Empty: no calls.
  std::function<void(const BpeTrainingProgress&)> progress;
  // Not owned; null: training runs on the calling thread. Otherwise trainBpe
  // cuts a corpus of 256 KiB or more between runs into pieces that are
  // counted on the pool's threads, each thread into a table of its own
  // (memory: the distinct runs once per thread until they are merged), and
  // merges the tables exactly (integer counts), so the merges learned are
  // the same whatever the pool. Counting progress is then reported after
  // each round of one piece per thread (about 4 MiB each). The merge loop
  // stays on the calling thread, and so do the progress calls.
  // trainBpeFromCounts does not use the pool. It must outlive the call.
  ThreadPool* pool = nullptr;
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
// Training counts the runs (BpeRunCounts) and then learns from the counts
// alone, exactly as trainBpeFromCounts does: the same counts, however they
// were gathered, give the same merges.
//
// Cost: one pass over the corpus to build the table of distinct runs, then
// per merge time proportional to the total length of the words that hold the
// merged pair (plus logarithmic heap work per changed pair). Memory: the
// corpus as given, the distinct runs as u32 symbols, each pair with the
// words that may hold it, and the heap. Words and pairs are indexed with 32
// bits, or with 64 bits for distinct runs of just under 2 GiB or more, where
// 32 bits might not suffice.
[[nodiscard]] SubwordTokenizer trainBpe(std::string_view corpus, const BpeTrainingLimits& limits);
[[nodiscard]] SubwordTokenizer trainBpe(std::string_view corpus, const BpeTrainingLimits& limits,
                                        const BpeTrainingOptions& options);

// trainBpe over several documents, each split into runs on its own: no run
// spans two documents, so the result is that of a corpus in which every
// document boundary is also a run boundary (for documents that end and begin
// with the same kind of byte, this differs from training on their plain
// concatenation). The corpus size limit applies to the documents' total size;
// the checks and their order are those of trainBpe.
[[nodiscard]] SubwordTokenizer trainBpe(std::span<const std::string_view> documents,
                                        const BpeTrainingLimits& limits,
                                        const BpeTrainingOptions& options = {});

// Learns the merges of trainBpe from run counts alone: for any corpus whose
// runs have exactly these counts (however it was cut into documents at run
// boundaries, counted and merged), the tokenizer equals trainBpe's, artifact
// byte for byte. The rules are those of trainBpe, with a word for each
// distinct run weighted by its count.
//
// There is no corpus-size limit: maxCorpusBytes is not consulted, and the
// corpus behind the counts may be far larger than memory. Memory is
// proportional to the distinct runs, not to the corpus: about 4 bytes per
// distinct run byte (the symbols) plus a few dozen bytes per distinct run
// and per distinct pair, besides `counts` itself. The progress callback sees
// the merging stage only (there is nothing to count).
//
// Throws std::invalid_argument for the first two limit checks of trainBpe,
// in the same order and with the same messages, and std::overflow_error
// "BPE pair count overflow" when the weighted count of some adjacent byte
// pair passes 2^64 - 1 (counts that each fit can still sum beyond it, as
// a crafted run-count file may), before any merge is learned. Counts of a
// text in memory never come near it. `counts` is only read.
[[nodiscard]] SubwordTokenizer trainBpeFromCounts(const BpeRunCounts& counts,
                                                  const BpeTrainingLimits& limits,
                                                  const BpeTrainingOptions& options = {});

}  // namespace Orvane::Core::Lumeth
