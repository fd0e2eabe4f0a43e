#include "lumeth/tokenizers/bpe_training.hpp"

// trainBpe: the incremental trainer. It learns exactly the merges of
// trainBpeReference, keeping three structures alive across passes instead of
// recounting every pair:
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
// Words and pairs are numbered with the trainer's Index type: u32 below
// kWideTrainingCorpusBytes, where every number and the all-ones marker fit,
// and u64 from there on. The word lists dominate memory, so ordinary corpora
// keep them at four bytes per entry.

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <queue>
#include <stdexcept>
#include <utility>
#include <vector>

#include "lumeth/tokenizers/internal/bpe_internal.hpp"
#include "lumeth/tokenizers/internal/bpe_pair_table.hpp"
#include "lumeth/tokenizers/internal/probed_slots.hpp"
#include "lumeth/tokenizers/internal/run_hash.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::uint32_t kMinTokenBytes = 2;
constexpr std::uint32_t kMaxTokenBytes = 256;
// Corpus bytes between two progress reports while counting.
constexpr std::uint64_t kCountingReportBytes = std::uint64_t{4} << 20;
// Below this a corpus is counted on the calling thread even with a pool:
// a few milliseconds of counting, less than cutting and merging would save.
constexpr std::uint64_t kLeastParallelCorpusBytes = std::uint64_t{256} << 10;

// The first position at or after `position` where a run of `text` starts
// (its whitespace class differs from the byte before), or text.size().
std::size_t nextRunStart(std::string_view text, std::size_t position) {
  for (std::size_t i = std::max<std::size_t>(position, 1); i < text.size(); ++i) {
    if (isBpeWhitespace(static_cast<std::uint8_t>(text[i])) !=
        isBpeWhitespace(static_cast<std::uint8_t>(text[i - 1]))) {
      return i;
    }
  }
  return text.size();
}

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

  std::vector<BpeMerge> train(std::span<const std::string_view> documents,
                              std::uint64_t corpusBytes, const BpeTrainingOptions& options) {
    Progress progress{options.progress};
    progress.report(BpeTrainingProgress::Stage::counting, 0, corpusBytes);
    buildWords(documents, progress, corpusBytes, options.pool);
    progress.report(BpeTrainingProgress::Stage::counting, corpusBytes, corpusBytes);
    countInitialPairs();
    const std::size_t maxMerges = limits_.vocabularySize - kMinBpeVocabulary;
    progress.report(BpeTrainingProgress::Stage::merging, 0, maxMerges);
    // Between the start and the end, report every 1/1024 of the merges.
    const std::size_t reportEvery = std::max<std::size_t>(1, maxMerges / 1024);
    std::vector<BpeMerge> merges;
    // Every merge shortens at least one run, so a corpus of n bytes yields at
    // most n merges.
    merges.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(maxMerges, corpusBytes)));
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

  // The distinct runs and their counts, found with a hash table keyed by the
  // run's bytes (compared in place in the corpus). Runs are hashed in
  // batches and their slots prefetched, since nearly every lookup misses the
  // cache.
  //
  // With a pool, the documents are cut between runs into shards, about one
  // per thread, whose runs are counted on the pool into tables of their own
  // and then added to the table, shard after shard, in order: the same
  // distinct runs, first seen in the same order, with the same integer
  // counts as counting on the calling thread.
  void buildWords(std::span<const std::string_view> documents, const Progress& progress,
                  std::uint64_t corpusBytes, ThreadPool* pool) {
    constexpr std::size_t kBatch = 32;
    std::vector<std::string_view> firstSeen;
    if (thread_count(pool) > 1 && corpusBytes >= kLeastParallelCorpusBytes) {
      ProbedSlots<WordSlot> slots(std::size_t{1} << 16);
      countInShards(documents, progress, corpusBytes, *pool, slots, firstSeen);
    } else {
      ProbedSlots<WordSlot> slots(std::size_t{1} << 16);
      std::array<std::string_view, kBatch> runs;
      std::array<std::uint64_t, kBatch> hashes{};
      std::size_t pending = 0;
      const auto flush = [&] {
        for (std::size_t k = 0; k < pending; ++k) {
          hashes[k] = hashRun(runs[k]);
          slots.prefetch(hashes[k]);
        }
        for (std::size_t k = 0; k < pending; ++k) {
          countRun(runs[k], hashes[k], slots, firstSeen);
        }
        pending = 0;
      };
      std::uint64_t counted = 0;
      std::uint64_t nextReport = kCountingReportBytes;
      for (const std::string_view document : documents) {
        forEachWhitespaceRun(document, [&](std::string_view run) {
          runs[pending++] = run;
          if (pending == kBatch) {
            flush();
          }
          counted += run.size();
          if (counted >= nextReport) {
            progress.report(BpeTrainingProgress::Stage::counting, counted, corpusBytes);
            nextReport = counted + kCountingReportBytes;
          }
        });
        flush();  // runs never continue into the next document
      }
    }  // the slots are released before the symbols are laid out

    std::size_t total = 0;
    for (const Word& word : words_) {
      total += word.length;
    }
    symbols_.resize(total);
    std::size_t offset = 0;
    for (std::size_t w = 0; w < words_.size(); ++w) {
      words_[w].offset = offset;
      const std::string_view run = firstSeen[w];
      for (std::size_t i = 0; i < run.size(); ++i) {
        symbols_[offset + i] = static_cast<std::uint8_t>(run[i]);
      }
      offset += run.size();
    }
  }

  struct WordSlot {
    std::uint64_t runHash = 0;
    Index word = kNone;  // kNone: empty

    [[nodiscard]] bool empty() const noexcept { return word == kNone; }
    [[nodiscard]] std::uint64_t hash() const noexcept { return runHash; }
  };

  // Counts `count` occurrences of `run` (hashRun(run) == hash), adding it as
  // a new word at its first occurrence. The table is kept at most half full.
  void countRun(std::string_view run, std::uint64_t hash, ProbedSlots<WordSlot>& slots,
                std::vector<std::string_view>& firstSeen, std::uint64_t count = 1) {
    WordSlot& slot = slots[slots.find(hash, [&](const WordSlot& candidate) {
      return candidate.runHash == hash && firstSeen[candidate.word] == run;
    })];
    if (!slot.empty()) {
      words_[slot.word].count += count;
      return;
    }
    slot = WordSlot{.runHash = hash, .word = static_cast<Index>(words_.size())};
    words_.push_back(Word{.offset = 0, .length = run.size(), .count = count});
    firstSeen.push_back(run);
    if (2 * words_.size() > slots.capacity()) {
      slots.grow();
    }
  }

  // The distinct runs of one shard in order of first occurrence, with their
  // hashes and counts.
  struct ShardCounts {
    std::vector<std::string_view> runs;
    std::vector<std::uint64_t> hashes;
    std::vector<std::uint64_t> counts;
  };

  static void countShard(std::string_view shard, ShardCounts& out) {
    ProbedSlots<WordSlot> slots(std::size_t{1} << 12);
    forEachWhitespaceRun(shard, [&](std::string_view run) {
      const std::uint64_t hash = hashRun(run);
      WordSlot& slot = slots[slots.find(hash, [&](const WordSlot& candidate) {
        return candidate.runHash == hash && out.runs[candidate.word] == run;
      })];
      if (!slot.empty()) {
        ++out.counts[slot.word];
        return;
      }
      slot = WordSlot{.runHash = hash, .word = static_cast<Index>(out.runs.size())};
      out.runs.push_back(run);
      out.hashes.push_back(hash);
      out.counts.push_back(1);
      if (2 * out.runs.size() > slots.capacity()) {
        slots.grow();
      }
    });
  }

  void countInShards(std::span<const std::string_view> documents, const Progress& progress,
                     std::uint64_t corpusBytes, ThreadPool& pool, ProbedSlots<WordSlot>& slots,
                     std::vector<std::string_view>& firstSeen) {
    // Shards of about corpus / threads bytes, each inside one document and
    // ending where a run ends (a run never spans two documents either).
    const std::uint64_t shardBytes = std::max<std::uint64_t>(
        kLeastParallelCorpusBytes / 4, (corpusBytes + pool.size() - 1) / pool.size());
    std::vector<std::string_view> shards;
    for (const std::string_view document : documents) {
      for (std::size_t start = 0; start < document.size();) {
        const std::size_t end = nextRunStart(
            document, start + static_cast<std::size_t>(
                                  std::min<std::uint64_t>(shardBytes, document.size() - start)));
        shards.push_back(document.substr(start, end - start));
        start = end;
      }
    }
    std::vector<ShardCounts> counted(shards.size());
    pool.run(shards.size(), [&](std::size_t k) { countShard(shards[k], counted[k]); });

    std::uint64_t done = 0;
    std::uint64_t nextReport = kCountingReportBytes;
    for (std::size_t k = 0; k < shards.size(); ++k) {
      const ShardCounts& shard = counted[k];
      for (std::size_t i = 0; i < shard.runs.size(); ++i) {
        countRun(shard.runs[i], shard.hashes[i], slots, firstSeen, shard.counts[i]);
      }
      ShardCounts().runs.swap(counted[k].runs);
      done += shards[k].size();
      if (done >= nextReport && done < corpusBytes) {
        progress.report(BpeTrainingProgress::Stage::counting, done, corpusBytes);
        nextReport = done + kCountingReportBytes;
      }
    }
  }

  void countInitialPairs() {
    for (Index w = 0; w < words_.size(); ++w) {
      const Word& word = words_[w];
      const std::uint32_t* s = symbols_.data() + word.offset;
      for (std::size_t i = 1; i < word.length; ++i) {
        // Two byte tokens make two bytes, never above the smallest limit.
        addToPair(s[i - 1], s[i], word.count, w);
      }
    }
    for (Index p = 0; p < pairs_.size(); ++p) {
      pushIfFrequent(p);
    }
    created_.clear();
  }

  // Adds `count` to the pair and lists word `w` with it, creating the pair
  // when it is new.
  void addToPair(std::uint32_t left, std::uint32_t right, std::uint64_t count, Index w) {
    const std::uint64_t key = pairKey(left, right);
    const auto next = static_cast<Index>(pairs_.size());
    const Index p = index_.insert(key, next);
    if (p == next) {
      pairs_.push_back(Pair<Index>{.key = key, .count = 0, .words = {}});
      created_.push_back(p);
    }
    Pair<Index>& pair = pairs_[p];
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

template <typename Index>
SubwordTokenizer trainIncrementally(std::span<const std::string_view> documents,
                                    std::uint64_t corpusBytes, const BpeTrainingLimits& limits,
                                    const BpeTrainingOptions& options) {
  IncrementalTrainer<Index> trainer(limits);
  return SubwordTokenizer(trainer.train(documents, corpusBytes, options));
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

void validateBpeTrainingLimits(std::uint64_t corpusBytes, const BpeTrainingLimits& limits) {
  // One unsigned comparison covers both ends: below 258 wraps to a huge value.
  if (limits.vocabularySize - kMinBpeVocabulary > kMaxBpeMerges) {
    throw std::invalid_argument("BPE vocabulary must be in [258, 1048576]");
  }
  if (limits.maxTokenBytes < kMinTokenBytes || limits.maxTokenBytes > kMaxTokenBytes ||
      limits.minPairFrequency == 0) {
    throw std::invalid_argument("invalid BPE training limits");
  }
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
  if (corpusBytes >= kWideTrainingCorpusBytes) {
    return trainIncrementally<std::uint64_t>(documents, corpusBytes, limits, options);
  }
  return trainIncrementally<std::uint32_t>(documents, corpusBytes, limits, options);
}

SubwordTokenizer trainBpe(std::string_view corpus, const BpeTrainingLimits& limits,
                          const BpeTrainingOptions& options) {
  return trainBpe(std::span<const std::string_view>(&corpus, 1), limits, options);
}

SubwordTokenizer trainBpe(std::string_view corpus, const BpeTrainingLimits& limits) {
  return trainBpe(corpus, limits, BpeTrainingOptions{});
}

SubwordTokenizer trainBpeWithWideIndices(std::string_view corpus, const BpeTrainingLimits& limits) {
  validateBpeTrainingLimits(corpus, limits);
  return trainIncrementally<std::uint64_t>(std::span<const std::string_view>(&corpus, 1),
                                           corpus.size(), limits, BpeTrainingOptions{});
}

}  // namespace Orvane::Core::Lumeth
