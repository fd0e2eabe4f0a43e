// Tokenizer benchmarks: byte tokenizer encode and decode, streaming decode,
// BPE training, subword encode (whole text, line by line, one long run
// without whitespace), chat encode and artifact loading.
//
// Most of them read the corpus that bench/make-corpus.sh writes to
// $LUMETH_CORPUS_DIR (default /tmp/lumeth-corpus): corpus.txt (20 MB) and
// corpus-1m.txt (1 MB). Without it they are skipped with a message.
//
// Throughput counters are bytes of text per second. Training reports
// peak_rss_mb, the peak resident set of the process during the training
// call (the kernel's high-water mark is reset just before it), which
// includes the corpus held in memory.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/decoder_state.hpp"
#include "lumeth/tokenizers/parallel_encoding.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

enum CorpusId : int { kSlice = 1, kFull = 20 };

std::string corpusDirectory() {
  const char* configured = std::getenv("LUMETH_CORPUS_DIR");
  return configured != nullptr && *configured != '\0' ? configured : "/tmp/lumeth-corpus";
}

std::string corpusPath(int id) {
  return corpusDirectory() + (id == kFull ? "/corpus.txt" : "/corpus-1m.txt");
}

// The corpus text, read once per process; nullptr when the file is missing.
const std::string* corpus(int id) {
  static std::map<int, std::unique_ptr<std::string>> loaded;
  auto found = loaded.find(id);
  if (found == loaded.end()) {
    std::unique_ptr<std::string> text;
    std::ifstream in(corpusPath(id), std::ios::binary);
    if (in) {
      std::ostringstream contents;
      contents << in.rdbuf();
      text = std::make_unique<std::string>(std::move(contents).str());
    }
    found = loaded.emplace(id, std::move(text)).first;
  }
  return found->second.get();
}

// The corpus, or nullptr after marking the benchmark skipped.
const std::string* corpusOrSkip(benchmark::State& state, int id) {
  const std::string* text = corpus(id);
  if (text == nullptr) {
    state.SkipWithError(
        ("corpus missing: run bench/make-corpus.sh (looked for " + corpusPath(id) + ")").c_str());
  }
  return text;
}

BpeTrainingLimits trainingLimits(std::uint32_t vocabularySize) {
  return BpeTrainingLimits{.vocabularySize = vocabularySize,
                           .minPairFrequency = 2,
                           .maxTokenBytes = 16,
                           .maxCorpusBytes = 67108864};
}

// A tokenizer trained on the 20 MB corpus, trained once per vocabulary size.
const SubwordTokenizer* trainedTokenizer(std::uint32_t vocabularySize) {
  static std::map<std::uint32_t, std::unique_ptr<SubwordTokenizer>> trained;
  auto found = trained.find(vocabularySize);
  if (found == trained.end()) {
    const std::string* text = corpus(kFull);
    if (text == nullptr) {
      return nullptr;
    }
    found = trained
                .emplace(vocabularySize, std::make_unique<SubwordTokenizer>(
                                             trainBpe(*text, trainingLimits(vocabularySize))))
                .first;
  }
  return found->second.get();
}

std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::size_t length = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(0, length));
    text.remove_prefix(length);
  }
  return lines;
}

void setBytes(benchmark::State& state, std::size_t bytesPerIteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytesPerIteration));
}

// Resets the kernel's peak-RSS mark of this process (Linux); false when it
// cannot be reset, and then the peak is not reported.
bool resetPeakRss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

// Peak resident set in MiB since the last reset (VmHWM), or -1.
double peakRssMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::stod(line.substr(6)) / 1024.0;
    }
  }
  return -1.0;
}

// ---- Byte tokenizer ----

void BM_ByteEncode(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state, static_cast<int>(state.range(0)));
  if (text == nullptr) {
    return;
  }
  const ByteTokenizer tokenizer;
  const EncodeOptions options{.invalidUtf8 = static_cast<InvalidUtf8Policy>(state.range(1))};
  for (auto _ : state) {
    EncodedText encoded = tokenizer.encode(*text, options);
    benchmark::DoNotOptimize(encoded.ids.data());
  }
  setBytes(state, text->size());
}
// Policies: 0 PreserveBytes, 1 Reject, 2 Replace. On the 20 MB corpus each
// call returns 80 MB of ids in memory fresh from the kernel, so page faults
// weigh in; the 1 MB slice measures the tokenizer itself.
BENCHMARK(BM_ByteEncode)
    ->ArgNames({"corpus_mb", "policy"})
    ->ArgsProduct({{kSlice, kFull}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

void BM_ByteDecode(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state, static_cast<int>(state.range(0)));
  if (text == nullptr) {
    return;
  }
  const ByteTokenizer tokenizer;
  const std::vector<std::uint32_t> ids = tokenizer.encode(*text, {}).ids;
  const DecodeOptions options{.invalidUtf8 = static_cast<InvalidUtf8Policy>(state.range(1))};
  for (auto _ : state) {
    std::string decoded = tokenizer.decode(ids, options);
    benchmark::DoNotOptimize(decoded.data());
  }
  setBytes(state, text->size());
}
BENCHMARK(BM_ByteDecode)
    ->ArgNames({"corpus_mb", "policy"})
    ->ArgsProduct({{kSlice, kFull}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);

// Generation-style decoding: one id per call, the unfinished character
// carried in the state.
void BM_ByteStreamingDecodeOneIdPerChunk(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state, kSlice);
  if (text == nullptr) {
    return;
  }
  const std::vector<std::uint32_t> ids = ByteTokenizer().encode(*text, {}).ids;
  const DecodeOptions options{.invalidUtf8 = InvalidUtf8Policy::Replace};
  for (auto _ : state) {
    DecoderState decoder(options);
    std::size_t produced = 0;
    for (const std::uint32_t& id : ids) {
      produced += decodeChunk(decoder, std::span<const std::uint32_t>(&id, 1), false).size();
    }
    produced += decodeChunk(decoder, {}, true).size();
    benchmark::DoNotOptimize(produced);
  }
  setBytes(state, text->size());
}
BENCHMARK(BM_ByteStreamingDecodeOneIdPerChunk)->Unit(benchmark::kMillisecond);

// ---- BPE training ----

void BM_TrainBpe(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state, static_cast<int>(state.range(0)));
  if (text == nullptr) {
    return;
  }
  const BpeTrainingLimits limits = trainingLimits(static_cast<std::uint32_t>(state.range(1)));
  double peak = -1.0;
  std::size_t merges = 0;
  for (auto _ : state) {
    const bool tracked = resetPeakRss();
    SubwordTokenizer tokenizer = trainBpe(*text, limits);
    if (tracked) {
      peak = std::max(peak, peakRssMiB());
    }
    merges = tokenizer.merges().size();
    benchmark::DoNotOptimize(tokenizer.artifact().data());
  }
  setBytes(state, text->size());
  state.counters["merges"] = static_cast<double>(merges);
  if (peak >= 0.0) {
    state.counters["peak_rss_mb"] = peak;
  }
}
BENCHMARK(BM_TrainBpe)
    ->ArgNames({"corpus_mb", "vocabulary"})
    ->ArgsProduct({{kSlice, kFull}, {8000, 30000, 32000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// 32000 merges on the 20 MB corpus with a pool of `threads` (1: none),
// wall-clock time.
void BM_TrainBpeThreads(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state, kFull);
  if (text == nullptr) {
    return;
  }
  const BpeTrainingLimits limits = trainingLimits(static_cast<std::uint32_t>(state.range(0)));
  const std::unique_ptr<ThreadPool> pool =
      state.range(1) <= 1 ? nullptr
                          : std::make_unique<ThreadPool>(static_cast<std::size_t>(state.range(1)));
  BpeTrainingOptions options;
  options.pool = pool.get();
  // Trained once, before the timed loop, on the calling thread alone.
  const SubwordTokenizer* const alone = pool ? trainedTokenizer(limits.vocabularySize) : nullptr;
  double peak = -1.0;
  for (auto _ : state) {
    const bool tracked = resetPeakRss();
    SubwordTokenizer tokenizer = trainBpe(*text, limits, options);
    if (tracked) {
      peak = std::max(peak, peakRssMiB());
    }
    if (alone != nullptr && tokenizer.artifact() != alone->artifact()) {
      state.SkipWithError("threaded training learned other merges");
      return;
    }
  }
  setBytes(state, text->size());
  if (peak >= 0.0) {
    state.counters["peak_rss_mb"] = peak;
  }
}
BENCHMARK(BM_TrainBpeThreads)
    ->ArgNames({"vocabulary", "threads"})
    ->ArgsProduct({{30000, 32000}, {1, 2, 4}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// ---- Subword encoding ----

void BM_SubwordEncodeWhole(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state, kFull);
  if (text == nullptr) {
    return;
  }
  const SubwordTokenizer& tokenizer = *trainedTokenizer(static_cast<std::uint32_t>(state.range(0)));
  std::size_t ids = 0;
  for (auto _ : state) {
    EncodedText encoded = tokenizer.encode(*text, {});
    ids = encoded.ids.size();
    benchmark::DoNotOptimize(encoded.ids.data());
  }
  setBytes(state, text->size());
  state.counters["bytes_per_token"] =
      static_cast<double>(text->size()) / static_cast<double>(ids == 0 ? 1 : ids);
}
BENCHMARK(BM_SubwordEncodeWhole)
    ->ArgName("vocabulary")
    ->Arg(8000)
    ->Arg(30000)
    ->Arg(32000)
    ->Unit(benchmark::kMillisecond);

void BM_SubwordEncodeLineByLine(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state, kFull);
  if (text == nullptr) {
    return;
  }
  const SubwordTokenizer& tokenizer = *trainedTokenizer(static_cast<std::uint32_t>(state.range(0)));
  const std::vector<std::string_view> lines = linesOf(*text);
  for (auto _ : state) {
    std::size_t ids = 0;
    for (const std::string_view line : lines) {
      ids += tokenizer.encode(line, {}).ids.size();
    }
    benchmark::DoNotOptimize(ids);
  }
  setBytes(state, text->size());
}
BENCHMARK(BM_SubwordEncodeLineByLine)
    ->ArgName("vocabulary")
    ->Arg(8000)
    ->Arg(30000)
    ->Arg(32000)
    ->Unit(benchmark::kMillisecond);

// The 20 MB corpus through encodeParallel (whole text) and encodeBatch (its
// lines) on a pool of `threads` threads (1: no pool), wall-clock time.
std::unique_ptr<ThreadPool> poolOf(std::int64_t threads) {
  return threads <= 1 ? nullptr : std::make_unique<ThreadPool>(static_cast<std::size_t>(threads));
}

void BM_SubwordEncodeThreads(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state, kFull);
  if (text == nullptr) {
    return;
  }
  const SubwordTokenizer& tokenizer = *trainedTokenizer(static_cast<std::uint32_t>(state.range(0)));
  const std::unique_ptr<ThreadPool> pool = poolOf(state.range(1));
  if (pool &&
      encodeParallel(tokenizer, *text, {}, pool.get()).ids != tokenizer.encode(*text, {}).ids) {
    state.SkipWithError("threaded ids differ");
    return;
  }
  for (auto _ : state) {
    EncodedText encoded = encodeParallel(tokenizer, *text, {}, pool.get());
    benchmark::DoNotOptimize(encoded.ids.data());
  }
  setBytes(state, text->size());
}
BENCHMARK(BM_SubwordEncodeThreads)
    ->ArgNames({"vocabulary", "threads"})
    ->ArgsProduct({{30000, 32000}, {1, 2, 4}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_SubwordEncodeBatchThreads(benchmark::State& state) {
  const std::string* text = corpusOrSkip(state, kFull);
  if (text == nullptr) {
    return;
  }
  const SubwordTokenizer& tokenizer = *trainedTokenizer(static_cast<std::uint32_t>(state.range(0)));
  const std::vector<std::string_view> lines = linesOf(*text);
  const std::unique_ptr<ThreadPool> pool = poolOf(state.range(1));
  for (auto _ : state) {
    std::vector<EncodedText> encoded = encodeBatch(tokenizer, lines, {}, pool.get());
    benchmark::DoNotOptimize(encoded.data());
  }
  setBytes(state, text->size());
}
BENCHMARK(BM_SubwordEncodeBatchThreads)
    ->ArgNames({"vocabulary", "threads"})
    ->ArgsProduct({{30000, 32000}, {1, 2, 4}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// One run of about 1 MB: the 1 MB corpus with every whitespace byte removed
// (a run this long is what CJK text, base64 or minified data give).
void BM_SubwordEncodeNoWhitespace(benchmark::State& state) {
  const std::string* slice = corpusOrSkip(state, kSlice);
  if (slice == nullptr || corpusOrSkip(state, kFull) == nullptr) {
    return;
  }
  std::string text;
  for (const char ch : *slice) {
    if (!isBpeWhitespace(static_cast<std::uint8_t>(ch))) {
      text.push_back(ch);
    }
  }
  const SubwordTokenizer& tokenizer = *trainedTokenizer(32000);
  for (auto _ : state) {
    EncodedText encoded = tokenizer.encode(text, {});
    benchmark::DoNotOptimize(encoded.ids.data());
  }
  setBytes(state, text.size());
}
BENCHMARK(BM_SubwordEncodeNoWhitespace)->Unit(benchmark::kMillisecond);

// ---- Chat ----

// A transcript made from the 1 MB corpus: its lines alternate between user
// and assistant turns, each closed by the end marker.
std::string transcript(std::string_view text) {
  std::string chat;
  bool user = true;
  for (const std::string_view line : linesOf(text)) {
    chat += user ? "<|user|>\n" : "<|assistant|>\n";
    chat += line;
    chat += "<|end|>\n";
    user = !user;
  }
  return chat;
}

void BM_ChatEncode(benchmark::State& state) {
  const std::string* slice = corpusOrSkip(state, kSlice);
  if (slice == nullptr) {
    return;
  }
  std::shared_ptr<ITransformerTokenizer> base;
  if (state.range(0) == 0) {
    base = std::make_shared<ByteTokenizer>();
  } else {
    if (corpusOrSkip(state, kFull) == nullptr) {
      return;
    }
    base = std::make_shared<SubwordTokenizer>(*trainedTokenizer(32000));
  }
  const ChatTokenizer chat(base);
  const std::string text = transcript(*slice);
  for (auto _ : state) {
    EncodedText encoded = chat.encode(text, {});
    benchmark::DoNotOptimize(encoded.ids.data());
  }
  setBytes(state, text.size());
}
BENCHMARK(BM_ChatEncode)->ArgName("bpe32000")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// ---- Artifacts ----

void BM_ByteTokenizerArtifactLoad(benchmark::State& state) {
  const ByteBuffer artifact = serializeByteTokenizerArtifact();
  for (auto _ : state) {
    ByteTokenizer loaded = loadByteTokenizerArtifact(artifact, 0x100000);
    benchmark::DoNotOptimize(&loaded);
  }
  setBytes(state, artifact.size());
}
BENCHMARK(BM_ByteTokenizerArtifactLoad);

void BM_SubwordTokenizerArtifactLoad(benchmark::State& state) {
  if (corpusOrSkip(state, kFull) == nullptr) {
    return;
  }
  const ByteBuffer artifact = trainedTokenizer(32000)->artifact();
  for (auto _ : state) {
    SubwordTokenizer loaded = loadSubwordTokenizerArtifact(artifact, 0x1000000);
    benchmark::DoNotOptimize(loaded.artifact().data());
  }
  setBytes(state, artifact.size());
}
BENCHMARK(BM_SubwordTokenizerArtifactLoad)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace Orvane::Core::Lumeth

BENCHMARK_MAIN();
