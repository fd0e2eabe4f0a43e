// Training at scale, on the 20 MB corpus of bench/make-corpus.sh
// ($LUMETH_CORPUS_DIR, default /tmp/lumeth-corpus; skipped without it):
//
//  - BM_CountShare/ranks:R: the corpus cut into R shares at run boundaries,
//    as lumeth-mpi cuts it, and each share counted as one rank counts it.
//    Throughput is per rank (bytes of one share per second of counting);
//    distinct_runs and rank_mib are those of the largest share: rank_mib is
//    the heap its run-count table holds once counted (mallinfo2), what a
//    rank holds before the reduce.
//  - BM_ReduceCounts/ranks:R: the R share counts summed as lumeth-mpi sums
//    them: each sender serializes its counts, each receiver loads and
//    merges, up a binomial tree. The time is all of that work done one
//    after another (on R machines the rounds of a level overlap, so the
//    wall time is lower); file_mb is the total of the files sent and
//    root_ms the part of the time spent on rank 0's own loads and merges.
//  - BM_TrainFromCounts/vocabulary:V against BM_TrainBpeWhole/vocabulary:V:
//    training from the counts of the whole corpus, and trainBpe (counting
//    included) on the corpus itself. trainBpe reads the corpus once more
//    than training from counts does; the merges are the same.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/tokenizers/bpe_run_counts.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"

namespace Orvane::Core::Lumeth {
namespace {

std::string corpusPath() {
  const char* configured = std::getenv("LUMETH_CORPUS_DIR");
  return std::string(configured != nullptr && *configured != '\0' ? configured
                                                                  : "/tmp/lumeth-corpus") +
         "/corpus.txt";
}

// The 20 MB corpus, read once; nullptr after marking the benchmark skipped.
const std::string* corpusOrSkip(benchmark::State& state) {
  static const std::unique_ptr<std::string> text = [] {
    std::ifstream in(corpusPath(), std::ios::binary);
    if (!in) return std::unique_ptr<std::string>();
    std::ostringstream contents;
    contents << in.rdbuf();
    return std::make_unique<std::string>(std::move(contents).str());
  }();
  if (!text) {
    state.SkipWithError(
        ("corpus missing: run bench/make-corpus.sh (looked for " + corpusPath() + ")").c_str());
  }
  return text.get();
}

// The R shares of `text`: equal byte ranges, each end moved to the next run
// boundary.
std::vector<std::string_view> sharesOf(std::string_view text, std::size_t ranks) {
  std::vector<std::string_view> shares;
  std::size_t begin = 0;
  for (std::size_t r = 1; r <= ranks; ++r) {
    const std::size_t end = nextBpeRunBoundary(text, text.size() * r / ranks);
    shares.push_back(text.substr(begin, end - begin));
    begin = end;
  }
  return shares;
}

// Bytes of the heap in use (small blocks and mapped ones).
double heapBytes() {
  const struct mallinfo2 info = ::mallinfo2();
  return static_cast<double>(info.uordblks + info.hblkhd);
}

BpeTrainingLimits limitsFor(std::uint32_t vocabularySize) {
  return BpeTrainingLimits{.vocabularySize = vocabularySize,
                           .minPairFrequency = 2,
                           .maxTokenBytes = 16,
                           .maxCorpusBytes = 67108864};
}

void BM_CountShare(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state);
  if (text == nullptr) return;
  const std::vector<std::string_view> shares =
      sharesOf(*text, static_cast<std::size_t>(state.range(0)));
  std::size_t largest = 0;
  double rankMiB = 0.0;
  for (auto _ : state) {
    for (const std::string_view share : shares) {
      const double before = heapBytes();
      BpeRunCounts counts;
      counts.countDocument(share);
      rankMiB = std::max(rankMiB, (heapBytes() - before) / (1024.0 * 1024.0));
      largest = std::max(largest, counts.size());
      benchmark::DoNotOptimize(counts.size());
    }
  }
  // Every share is counted per iteration: bytes per second of counting is
  // one rank's rate.
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text->size()));
  state.counters["distinct_runs"] = static_cast<double>(largest);
  state.counters["rank_mib"] = rankMiB;
}
BENCHMARK(BM_CountShare)->ArgName("ranks")->DenseRange(1, 4)->Unit(benchmark::kMillisecond);

void BM_ReduceCounts(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state);
  if (text == nullptr) return;
  const auto ranks = static_cast<std::size_t>(state.range(0));
  std::vector<BpeRunCounts> counted;
  for (const std::string_view share : sharesOf(*text, ranks)) {
    counted.emplace_back().countDocument(share);
  }
  double fileBytes = 0;
  double rootSeconds = 0;
  std::size_t distinct = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<BpeRunCounts> counts = counted;
    state.ResumeTiming();
    fileBytes = 0;
    rootSeconds = 0;
    for (std::size_t step = 1; step < ranks; step *= 2) {
      for (std::size_t receiver = 0; receiver + step < ranks; receiver += 2 * step) {
        const ByteBuffer file = serializeBpeRunCounts(counts[receiver + step]);
        fileBytes += static_cast<double>(file.size());
        const auto start = std::chrono::steady_clock::now();
        counts[receiver].merge(loadBpeRunCounts(file, file.size()));
        if (receiver == 0) {
          rootSeconds +=
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
      }
    }
    distinct = counts[0].size();
    benchmark::DoNotOptimize(distinct);
  }
  state.counters["file_mb"] = fileBytes / 1e6;
  state.counters["root_ms"] = rootSeconds * 1e3;
  state.counters["distinct_runs"] = static_cast<double>(distinct);
}
// From 2 ranks (1 has nothing to reduce), with a fixed number of
// iterations: the untimed copy of the tables before each one costs more
// than the reduce, so an automatic count would run for minutes.
BENCHMARK(BM_ReduceCounts)
    ->ArgName("ranks")
    ->DenseRange(2, 4)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

void BM_TrainFromCounts(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state);
  if (text == nullptr) return;
  BpeRunCounts counts;
  counts.countDocument(*text);
  const BpeTrainingLimits limits = limitsFor(static_cast<std::uint32_t>(state.range(0)));
  std::size_t merges = 0;
  for (auto _ : state) {
    const SubwordTokenizer tokenizer = trainBpeFromCounts(counts, limits);
    merges = tokenizer.merges().size();
    benchmark::DoNotOptimize(tokenizer.artifact().data());
  }
  state.counters["merges"] = static_cast<double>(merges);
  state.counters["distinct_runs"] = static_cast<double>(counts.size());
}
BENCHMARK(BM_TrainFromCounts)
    ->ArgName("vocabulary")
    ->Arg(8000)
    ->Arg(32000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

void BM_TrainBpeWhole(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state);
  if (text == nullptr) return;
  const BpeTrainingLimits limits = limitsFor(static_cast<std::uint32_t>(state.range(0)));
  std::size_t merges = 0;
  for (auto _ : state) {
    const SubwordTokenizer tokenizer = trainBpe(*text, limits);
    merges = tokenizer.merges().size();
    benchmark::DoNotOptimize(tokenizer.artifact().data());
  }
  state.counters["merges"] = static_cast<double>(merges);
}
BENCHMARK(BM_TrainBpeWhole)
    ->ArgName("vocabulary")
    ->Arg(8000)
    ->Arg(32000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// Once, outside the timings: the fast path (shares counted apart, merged,
// trained from counts) gives the artifact of trainBpe on the whole corpus.
void BM_CheckShardsTrainLikeTheWhole(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state);
  if (text == nullptr) return;
  for (auto _ : state) {
    BpeRunCounts total;
    for (const std::string_view share : sharesOf(*text, 3)) {
      BpeRunCounts counts;
      counts.countDocument(share);
      total.merge(counts);
    }
    const BpeTrainingLimits limits = limitsFor(8000);
    if (trainBpeFromCounts(total, limits).artifact() != trainBpe(*text, limits).artifact()) {
      state.SkipWithError("training from merged shard counts differs from trainBpe");
      return;
    }
  }
}
BENCHMARK(BM_CheckShardsTrainLikeTheWhole)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace Orvane::Core::Lumeth

BENCHMARK_MAIN();
