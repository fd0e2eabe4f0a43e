#include "lumeth/tokenizers/bpe_training.hpp"

// trainBpe and trainBpeFromCounts: one incremental trainer over a table of
// run counts (BpeRunCounts). trainBpe counts its documents into such a table
// first, so both learn the same merges from the same counts. The trainer
// learns exactly the merges of trainBpeReference, keeping three structures
// alive across passes instead of recounting every pair:
//
//  - the distinct runs ("words") with their counts, their symbols stored back
//    to back in one array and rewritten in place;
//  - every eligible pair with its weighted count and the list of words that
//    may hold it (a word stays listed after losing the pair; such entries are
//    skipped when the pair is merged);
//  - a max-heap of (count, pair) ordered by count, then smaller pair key.
//
// Why the heap needs no decrease-key: a pair's count only grows in the pass
// that creates it (a pair with the new token cannot exist earlier) and only
// shrinks afterwards. Each pair is pushed once with its count at the end of
// its first pass; an entry whose count is stale when it reaches the top is
// pushed again with the current count. So every entry holds at least the
// pair's current count, and the first up-to-date entry on top is the pair the
// reference would choose: greatest count, then smallest key.
//
// Pairs whose merged token would be longer than maxTokenBytes are never
// tracked (token lengths never change, so they never become eligible), and a
// pair below minPairFrequency after its first pass is never pushed (its count
// can only fall).
//
// Words and pairs are numbered with the trainer's Index type: u32 while the
// distinct runs hold fewer than kWideTrainingCorpusBytes bytes, where every
// number and the all-ones marker fit, and u64 from there on. The word lists
// dominate memory, so ordinary corpora keep them at four bytes per entry.
//
// The result does not depend on the order of the words: the heap orders
// pairs by count and key alone, and each pair has at most one entry in it.
// So run counts merged in any order train alike.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <stdexcept>
#include <utility>
#include <vector>

#include "lumeth/tokenizers/bpe_run_counts.hpp"
#include "lumeth/tokenizers/internal/bpe_internal.hpp"
#include "lumeth/tokenizers/internal/bpe_pair_table.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::uint32_t kMinTokenBytes = 2;
constexpr std::uint32_t kMaxTokenBytes = 256;
// Corpus bytes between two progress reports while counting.
constexpr std::uint64_t kCountingReportBytes = std::uint64_t{4} << 20;
// Below this a corpus is counted on the calling thread even with a pool:
// a few milliseconds of counting, less than cutting and merging would save.
constexpr std::uint64_t kLeastParallelCorpusBytes = std::uint64_t{256} << 10;

// The caller's progress callback, or nothing.
struct Progress {
  const std::function<void(const BpeTrainingProgress&)>& callback;

  void report(BpeTrainingProgress::Stage stage, std::uint64_t done, std::uint64_t total) const {
    if (callback) {
      callback(BpeTrainingProgress{.stage = stage, .done = done, .total = total});
    }
  }
};

struct Word {
  std::size_t offset = 0;  // first symbol in the shared symbol array
  std::size_t length = 0;  // current number of symbols
  std::uint64_t count = 0;
};

template <typename Index>
struct Pair {
  std::uint64_t key = 0;
  std::uint64_t count = 0;
  // Words that held the pair when they were listed, each once.
  std::vector<Index> words;
};

template <typename Index>
struct HeapEntry {
  std::uint64_t count = 0;
  std::uint64_t key = 0;
  Index pair = 0;  // index into the pair records
};

// std::priority_queue keeps the greatest element on top: greater count, and
// for equal counts the smaller key, must compare greater.
struct HeapOrder {
  template <typename Entry>
  bool operator()(const Entry& a, const Entry& b) const noexcept {
    return a.count != b.count ? a.count < b.count : a.key > b.key;
  }
};

// The pair records in fixed-size chunks: growing never copies the records
// (a vector would briefly hold them twice), and indexing is a shift and a
// mask.
template <typename Index>
class PairStore {
 public:
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  Pair<Index>& operator[](std::size_t index) noexcept {
    return chunks_[index >> kChunkBits][index & (kChunkSize - 1)];
  }
  void push_back(Pair<Index> pair) {
    if ((size_ & (kChunkSize - 1)) == 0) {
      chunks_.push_back(std::make_unique<Pair<Index>[]>(kChunkSize));
    }
    (*this)[size_++] = std::move(pair);
  }

 private:
  static constexpr unsigned kChunkBits = 12;
  static constexpr std::size_t kChunkSize = std::size_t{1} << kChunkBits;
  std::vector<std::unique_ptr<Pair<Index>[]>> chunks_;
  std::size_t size_ = 0;
};

// Index: u32 or u64, the type of word and pair numbers (see above).
template <typename Index>
class IncrementalTrainer {
 public:
  explicit IncrementalTrainer(const BpeTrainingLimits& limits) : limits_(limits) {
    tokenLength_.assign(kFirstBpeMergeId, 1);
  }

  // Lays out the distinct runs of `counts` as words. Throws
  // std::overflow_error "BPE pair count overflow" when the weighted count of
  // some adjacent byte pair passes 2^64 - 1: no pair formed later can count
  // more than the byte pair at its border, so nothing can overflow after.
  void buildWords(const BpeRunCounts& counts) {
    words_.reserve(counts.size());
    symbols_.resize(static_cast<std::size_t>(counts.distinctBytes()));
    std::size_t offset = 0;
    counts.forEachRun([&](std::string_view run, std::uint64_t count) {
      words_.push_back(Word{.offset = offset, .length = run.size(), .count = count});
      for (std::size_t i = 0; i < run.size(); ++i) {
        symbols_[offset + i] = static_cast<std::uint8_t>(run[i]);
      }
      offset += run.size();
    });
    countInitialPairs();
  }

  // Learns the merges from the words laid out by buildWords.
  std::vector<BpeMerge> train(const Progress& progress) {
    const std::size_t maxMerges = limits_.vocabularySize - kMinBpeVocabulary;
    progress.report(BpeTrainingProgress::Stage::merging, 0, maxMerges);
    // Between the start and the end, report every 1/1024 of the merges.
    const std::size_t reportEvery = std::max<std::size_t>(1, maxMerges / 1024);
    std::vector<BpeMerge> merges;
    // Every merge shortens at least one word, so distinct runs of n bytes in
    // all yield at most n merges.
    merges.reserve(std::min(maxMerges, symbols_.size()));
    while (merges.size() < maxMerges) {
      const Index best = popBest();
      if (best == kNone) {
        break;
      }
      const auto left = static_cast<std::uint32_t>(pairs_[best].key >> 32);
      const auto right = static_cast<std::uint32_t>(pairs_[best].key);
      const auto merged = static_cast<std::uint32_t>(kFirstBpeMergeId + merges.size());
      std::string bytes(bpeTokenBytes(merges, left));
      bytes += bpeTokenBytes(merges, right);
      tokenLength_.push_back(static_cast<std::uint32_t>(bytes.size()));
      merges.push_back(BpeMerge{.left = left, .right = right, .bytes = std::move(bytes)});
      applyMerge(best, left, right, merged);
      if (merges.size() % reportEvery == 0 && merges.size() < maxMerges) {
        progress.report(BpeTrainingProgress::Stage::merging, merges.size(), maxMerges);
      }
    }
    progress.report(BpeTrainingProgress::Stage::merging, merges.size(), maxMerges);
    return merges;
  }

 private:
  // No word, no pair: the all-ones value, which no word or pair number
  // reaches (see kWideTrainingCorpusBytes).
  static constexpr Index kNone = BpePairTable<Index>::kAbsent;

  [[nodiscard]] bool eligible(std::uint32_t left, std::uint32_t right) const noexcept {
    return std::uint64_t{tokenLength_[left]} + tokenLength_[right] <= limits_.maxTokenBytes;
  }

  void countInitialPairs() {
    for (Index w = 0; w < words_.size(); ++w) {
      const Word& word = words_[w];
      const std::uint32_t* s = symbols_.data() + word.offset;
      for (std::size_t i = 1; i < word.length; ++i) {
        // Two byte tokens make two bytes, never above the smallest limit.
        addToPair<true>(s[i - 1], s[i], word.count, w);
      }
    }
    for (Index p = 0; p < pairs_.size(); ++p) {
      pushIfFrequent(p);
    }
    created_.clear();
  }

  // Adds `count` to the pair and lists word `w` with it, creating the pair
  // when it is new. Only the first count of the byte pairs can overflow (see
  // buildWords), so only that is checked.
  template <bool kCheckOverflow = false>
  void addToPair(std::uint32_t left, std::uint32_t right, std::uint64_t count, Index w) {
    const std::uint64_t key = pairKey(left, right);
    const auto next = static_cast<Index>(pairs_.size());
    const Index p = index_.insert(key, next);
    if (p == next) {
      pairs_.push_back(Pair<Index>{.key = key, .count = 0, .words = {}});
      created_.push_back(p);
    }
    Pair<Index>& pair = pairs_[p];
    if constexpr (kCheckOverflow) {
      if (pair.count > UINT64_MAX - count) {
        throw std::overflow_error("BPE pair count overflow");
      }
    }
    pair.count += count;
    // A word is listed once per pass: its pairs are added while it is the
    // word being processed, so a repeat is always the last entry.
    if (pair.words.empty() || pair.words.back() != w) {
      pair.words.push_back(w);
    }
  }

  void subtractFromPair(std::uint32_t left, std::uint32_t right, std::uint64_t count) {
    if (!eligible(left, right)) {
      return;
    }
    pairs_[index_.find(pairKey(left, right))].count -= count;
  }

  void pushIfFrequent(Index p) {
    Pair<Index>& pair = pairs_[p];
    if (pair.count >= limits_.minPairFrequency) {
      heap_.push(HeapEntry<Index>{.count = pair.count, .key = pair.key, .pair = p});
    } else {
      dropWords(pair);
    }
  }

  // A pair that is never chosen from now on no longer needs its word list.
  static void dropWords(Pair<Index>& pair) { std::vector<Index>().swap(pair.words); }

  // The pair to merge next, or kNone when training ends.
  Index popBest() {
    while (!heap_.empty()) {
      const HeapEntry<Index> top = heap_.top();
      heap_.pop();
      Pair<Index>& pair = pairs_[top.pair];
      if (top.count == pair.count) {
        return top.pair;
      }
      if (pair.count >= limits_.minPairFrequency) {
        heap_.push(HeapEntry<Index>{.count = pair.count, .key = top.key, .pair = top.pair});
      } else {
        // Its count only falls from here on, and this was its one entry.
        dropWords(pair);
      }
    }
    return kNone;
  }

  // Rewrites every word that holds (left, right), as replaceEveryPair does,
  // and moves the counts of the pairs that change.
  void applyMerge(Index best, std::uint32_t left, std::uint32_t right, std::uint32_t merged) {
    const std::vector<Index> holders = std::move(pairs_[best].words);
    pairs_[best].words = {};
    // A pair gains words only in the pass that creates it, so each word is
    // listed at most once here.
    // Prefetched ahead: the words are scattered, and nearly every visit
    // would otherwise start with two cache misses.
    constexpr std::size_t kWordAhead = 16;
    constexpr std::size_t kSymbolsAhead = 8;
    for (std::size_t k = 0; k < holders.size(); ++k) {
      if (k + kWordAhead < holders.size()) {
        __builtin_prefetch(&words_[holders[k + kWordAhead]]);
      }
      if (k + kSymbolsAhead < holders.size()) {
        __builtin_prefetch(symbols_.data() + words_[holders[k + kSymbolsAhead]].offset);
      }
      rewriteWord(holders[k], left, right, merged);
    }
    for (const Index p : created_) {
      pushIfFrequent(p);
    }
    created_.clear();
  }

  void rewriteWord(Index w, std::uint32_t left, std::uint32_t right, std::uint32_t merged) {
    Word& word = words_[w];
    std::uint32_t* s = symbols_.data() + word.offset;
    const std::size_t n = word.length;
    const std::uint64_t count = word.count;

    // Pass 1, on the old symbols: every old pair that touches a matched
    // position disappears. Matches are found left to right without overlap,
    // as the rewrite will find them. A pair between two adjacent matches is
    // removed once.
    bool any = false;
    std::size_t lastMatchEnd = 0;  // index after the previous match; 0: none
    for (std::size_t i = 0; i + 1 < n;) {
      if (s[i] != left || s[i + 1] != right) {
        ++i;
        continue;
      }
      if (i > 0 && lastMatchEnd != i) {
        subtractFromPair(s[i - 1], s[i], count);
      }
      subtractFromPair(left, right, count);
      if (i + 2 < n) {
        subtractFromPair(s[i + 1], s[i + 2], count);
      }
      any = true;
      lastMatchEnd = i + 2;
      i += 2;
    }
    if (!any) {
      return;  // listed from an earlier pass; no longer holds the pair
    }

    // Pass 2: the rewrite itself, in place.
    std::size_t out = 0;
    for (std::size_t i = 0; i < n;) {
      if (i + 1 < n && s[i] == left && s[i + 1] == right) {
        s[out++] = merged;
        i += 2;
      } else {
        s[out++] = s[i++];
      }
    }
    word.length = out;

    // Pass 3: every new pair touches a new token. Each is counted once: the
    // pair between two adjacent new tokens as the left pair of the second.
    for (std::size_t j = 0; j < out; ++j) {
      if (s[j] != merged) {
        continue;
      }
      if (j > 0 && eligible(s[j - 1], merged)) {
        addToPair(s[j - 1], merged, count, w);
      }
      if (j + 1 < out && s[j + 1] != merged && eligible(merged, s[j + 1])) {
        addToPair(merged, s[j + 1], count, w);
      }
    }
  }

  const BpeTrainingLimits& limits_;
  std::vector<Word> words_;
  std::vector<std::uint32_t> symbols_;
  std::vector<std::uint32_t> tokenLength_;
  PairStore<Index> pairs_;
  BpePairTable<Index> index_{1 << 16};
  std::vector<Index> created_;  // pairs first seen in the current pass
  std::priority_queue<HeapEntry<Index>, std::vector<HeapEntry<Index>>, HeapOrder> heap_;
};

// Trains on `counts`. `owned` is null, or the same table when the caller
// hands it over: it is then emptied once the words are laid out, so that it
// does not stay in memory through the merges.
template <typename Index>
SubwordTokenizer trainOn(const BpeRunCounts& counts, BpeRunCounts* owned,
                         const BpeTrainingLimits& limits, const Progress& progress) {
  IncrementalTrainer<Index> trainer(limits);
  trainer.buildWords(counts);
  if (owned != nullptr) {
    *owned = BpeRunCounts();
  }
  return SubwordTokenizer(trainer.train(progress));
}

// Below kWideTrainingCorpusBytes distinct run bytes, 32-bit word and pair
// numbers suffice (see bpe_internal.hpp).
SubwordTokenizer trainOnCounts(const BpeRunCounts& counts, BpeRunCounts* owned,
                               const BpeTrainingLimits& limits, const Progress& progress) {
  if (counts.distinctBytes() >= kWideTrainingCorpusBytes) {
    return trainOn<std::uint64_t>(counts, owned, limits, progress);
  }
  return trainOn<std::uint32_t>(counts, owned, limits, progress);
}

// The run counts of `documents`, each a document of its own, counted in
// pieces of about kCountingReportBytes cut between runs so that progress can
// be reported in between.
BpeRunCounts countDocuments(std::span<const std::string_view> documents, std::uint64_t corpusBytes,
                            const Progress& progress) {
  progress.report(BpeTrainingProgress::Stage::counting, 0, corpusBytes);
  BpeRunCounts counts;
  std::uint64_t counted = 0;
  for (const std::string_view document : documents) {
    std::size_t start = 0;
    while (start < document.size()) {
      const std::size_t end = nextBpeRunBoundary(
          document, start + std::min<std::size_t>(kCountingReportBytes, document.size() - start));
      counts.countDocument(document.substr(start, end - start));
      counted += end - start;
      start = end;
      if (start < document.size()) {
        progress.report(BpeTrainingProgress::Stage::counting, counted, corpusBytes);
      }
    }
  }
  progress.report(BpeTrainingProgress::Stage::counting, corpusBytes, corpusBytes);
  return counts;
}

// countDocuments on a pool of `threads` (2 or more). The documents are cut
// between runs into pieces of nearly equal size, at most about
// kCountingReportBytes each, counted in waves of one piece per thread: piece
// k of every wave goes into table k, and the tables are merged exactly at
// the end. Integer counts summed in any grouping are the same counts, and
// training does not depend on the order in which runs were first seen, so
// the merges are those of countDocuments. Progress is reported between
// waves, on the calling thread. Memory: one table of distinct runs per
// thread until the merge.
BpeRunCounts countDocumentsOnPool(std::span<const std::string_view> documents,
                                  std::uint64_t corpusBytes, const Progress& progress,
                                  ThreadPool& pool) {
  const std::uint64_t threads = pool.size();
  const std::uint64_t waveBytes = threads * kCountingReportBytes;
  const std::uint64_t waves = (corpusBytes + waveBytes - 1) / waveBytes;
  const std::uint64_t pieceBytes = (corpusBytes + threads * waves - 1) / (threads * waves);

  // Each piece is a list of slices: a document shorter than a piece shares
  // it with the documents after it, a longer one is cut between runs.
  std::vector<std::vector<std::string_view>> pieces(1);
  std::vector<std::uint64_t> pieceSizes(1, 0);
  for (const std::string_view document : documents) {
    std::size_t start = 0;
    while (start < document.size()) {
      const std::uint64_t room = pieceBytes - std::min(pieceBytes, pieceSizes.back());
      const std::size_t end = nextBpeRunBoundary(
          document,
          start + static_cast<std::size_t>(std::min<std::uint64_t>(room, document.size() - start)));
      pieces.back().push_back(document.substr(start, end - start));
      pieceSizes.back() += end - start;
      start = end;
      if (pieceSizes.back() >= pieceBytes) {
        pieces.emplace_back();
        pieceSizes.push_back(0);
      }
    }
  }

  progress.report(BpeTrainingProgress::Stage::counting, 0, corpusBytes);
  std::vector<BpeRunCounts> tables(static_cast<std::size_t>(threads));
  std::uint64_t counted = 0;
  for (std::size_t first = 0; first < pieces.size(); first += tables.size()) {
    const std::size_t wave = std::min(tables.size(), pieces.size() - first);
    pool.run(wave, [&](std::size_t k) {
      for (const std::string_view slice : pieces[first + k]) {
        tables[k].countDocument(slice);
      }
    });
    for (std::size_t k = 0; k < wave; ++k) {
      counted += pieceSizes[first + k];
    }
    if (counted < corpusBytes) {
      progress.report(BpeTrainingProgress::Stage::counting, counted, corpusBytes);
    }
  }
  for (std::size_t k = 1; k < tables.size(); ++k) {
    tables[0].merge(tables[k]);
    tables[k] = BpeRunCounts();
  }
  progress.report(BpeTrainingProgress::Stage::counting, corpusBytes, corpusBytes);
  return std::move(tables[0]);
}

// The total size of `documents`; a sum beyond 2^64 - 1 is reported as
// 2^64 - 1, which no size limit admits.
std::uint64_t totalBytes(std::span<const std::string_view> documents) {
  std::uint64_t total = 0;
  for (const std::string_view document : documents) {
    if (document.size() > UINT64_MAX - total) {
      return UINT64_MAX;
    }
    total += document.size();
  }
  return total;
}

}  // namespace

void validateBpeMergeLimits(const BpeTrainingLimits& limits) {
  // One unsigned comparison covers both ends: below 258 wraps to a huge value.
  if (limits.vocabularySize - kMinBpeVocabulary > kMaxBpeMerges) {
    throw std::invalid_argument("BPE vocabulary must be in [258, 1048576]");
  }
  if (limits.maxTokenBytes < kMinTokenBytes || limits.maxTokenBytes > kMaxTokenBytes ||
      limits.minPairFrequency == 0) {
    throw std::invalid_argument("invalid BPE training limits");
  }
}

void validateBpeTrainingLimits(std::uint64_t corpusBytes, const BpeTrainingLimits& limits) {
  validateBpeMergeLimits(limits);
  if (corpusBytes > limits.maxCorpusBytes) {
    throw std::invalid_argument("BPE training corpus exceeds configured size limit");
  }
}

void validateBpeTrainingLimits(std::string_view corpus, const BpeTrainingLimits& limits) {
  validateBpeTrainingLimits(std::uint64_t{corpus.size()}, limits);
}

SubwordTokenizer trainBpe(std::span<const std::string_view> documents,
                          const BpeTrainingLimits& limits, const BpeTrainingOptions& options) {
  const std::uint64_t corpusBytes = totalBytes(documents);
  validateBpeTrainingLimits(corpusBytes, limits);
  const Progress progress{options.progress};
  BpeRunCounts counts = thread_count(options.pool) > 1 && corpusBytes >= kLeastParallelCorpusBytes
                            ? countDocumentsOnPool(documents, corpusBytes, progress, *options.pool)
                            : countDocuments(documents, corpusBytes, progress);
  return trainOnCounts(counts, &counts, limits, progress);
}

SubwordTokenizer trainBpe(std::string_view corpus, const BpeTrainingLimits& limits,
                          const BpeTrainingOptions& options) {
  return trainBpe(std::span<const std::string_view>(&corpus, 1), limits, options);
}

SubwordTokenizer trainBpe(std::string_view corpus, const BpeTrainingLimits& limits) {
  return trainBpe(corpus, limits, BpeTrainingOptions{});
}

SubwordTokenizer trainBpeFromCounts(const BpeRunCounts& counts, const BpeTrainingLimits& limits,
                                    const BpeTrainingOptions& options) {
  validateBpeMergeLimits(limits);
  return trainOnCounts(counts, nullptr, limits, Progress{options.progress});
}

SubwordTokenizer trainBpeWithWideIndices(std::string_view corpus, const BpeTrainingLimits& limits) {
  validateBpeTrainingLimits(corpus, limits);
  BpeRunCounts counts;
  counts.countDocument(corpus);
  const BpeTrainingOptions none;
  return trainOn<std::uint64_t>(counts, &counts, limits, Progress{none.progress});
}

}  // namespace Orvane::Core::Lumeth
