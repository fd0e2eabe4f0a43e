// Benchmarks of generation: generate against the bare session steps it is
// made of, and the per-token pieces it adds to a step (the sampler, the text
// stream, the callback).
//
//   generate/<model>/<sampler>   a one-id prompt and 32 new ids from a
//                                session holding kStart positions: 33 steps
//   steps/<model>                the same 33 one-id appends without
//                                generate (the last without logits, as
//                                generate does it)
//   sample/<model>/<sampler>     sample_token on one logits row of the model
//   stream/<model>               one id through a TextStream, and its record
//
// The generate benchmarks also time, in the same iterations and outside the
// benchmark's own timing, the 33 bare steps over the same positions, and
// report vs_steps = generate's CPU time / the steps' CPU time: what the
// sampler, the text stream, the callback and the loop add, measured side by
// side so that the ratio holds on a busy machine. Counters: tokens/s (steps
// per second, the prompt's one included).
//
// The models (bench_models.hpp) are bound to a BPE tokenizer built to their
// vocabulary (printable ASCII pairs as merges).
//
// Run with: build/release/bench/lumeth_bench_generation --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_models.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/generation/generate.hpp"
#include "lumeth/generation/sampler.hpp"
#include "lumeth/session/inference_session.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/text_stream.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Bench::kMid;
using Bench::kSmall;
using Bench::ModelShape;

constexpr std::size_t kStart = 64;     // positions in the session before the prompt id
constexpr std::uint64_t kNewIds = 32;  // generated per iteration

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

struct Bound {
  std::shared_ptr<const SubwordTokenizer> tokenizer;
  std::shared_ptr<const TransformerModel> model;
  std::unique_ptr<InferenceSession> filled;  // kStart positions
  std::vector<double> row;                   // the logits after them
};

// A BPE tokenizer with vocabulary - 258 merges, each of two printable ASCII
// bytes, and the model bound to it; built once per shape.
const Bound& bound(const ModelShape& m) {
  static std::map<const ModelShape*, Bound> all;
  Bound& b = all[&m];
  if (!b.model) {
    std::vector<BpeMerge> merges;
    for (std::uint32_t i = 0; i + 258 < m.vocabulary; ++i) {
      const auto left = static_cast<std::uint32_t>(33 + i % 94);
      const auto right = static_cast<std::uint32_t>(33 + (i / 94) % 94);
      merges.push_back(
          {left, right, std::string{static_cast<char>(left), static_cast<char>(right)}});
    }
    b.tokenizer = std::make_shared<const SubwordTokenizer>(std::move(merges));
    b.model = make_model(Bench::spec_of(m), Bench::weights_of(m), b.tokenizer->descriptor().hash);
    b.filled = std::make_unique<InferenceSession>(b.model, 1);
    std::mt19937_64 engine(7);
    std::vector<std::uint32_t> ids(kStart);
    for (std::uint32_t& id : ids) id = static_cast<std::uint32_t>(engine() % m.vocabulary);
    const Tensor logits = b.filled->append(ids, ForwardOptions{}, LogitRows::last);
    b.row = logits.data;
  }
  return b;
}

struct SamplerCase {
  const char* name;
  SamplerOptions options;
};

const std::vector<SamplerCase>& sampler_cases() {
  static const std::vector<SamplerCase> cases = {
      {"greedy", SamplerOptions{}},
      {"temperature", {.method = SamplingMethod::temperature, .temperature = 0.8}},
      {"top_p", {.method = SamplingMethod::temperature, .temperature = 0.8, .top_p = 0.95}},
      {"top_k",
       {.method = SamplingMethod::temperature, .temperature = 0.8, .top_k = 40, .top_p = 1.0}},
  };
  return cases;
}

// The steps generate runs for a one-id prompt and kNewIds ids, without it.
double bare_steps(const Bound& b, const std::vector<std::uint32_t>& ids) {
  InferenceSession session(*b.filled);
  const double start = cpu_seconds();
  ForwardOptions options;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    options.compute_logits = i + 1 < ids.size();
    Tensor logits = session.append(std::span(ids).subspan(i, 1), options, LogitRows::last);
    benchmark::DoNotOptimize(logits.data.data());
  }
  return cpu_seconds() - start;
}

void generate_benchmark(benchmark::State& state, const ModelShape& m, const SamplerCase& c) {
  const Bound& b = bound(m);
  GenerationOptions options;
  options.sampler = c.options;
  options.max_new_tokens = kNewIds;
  options.stop_at_end_of_sequence = false;
  const std::vector<std::uint32_t> prompt = {'A'};
  std::string printed;  // what a caller streaming to a terminal would write
  const GenerationCallback callback = [&printed](const GeneratedToken& token) {
    printed += token.text;
    return GenerationControl::proceed;
  };
  double generate_seconds = 0.0;
  double step_seconds = 0.0;
  for (auto _ : state) {
    state.PauseTiming();
    InferenceSession session(*b.filled);  // seed 1, so every iteration draws the same
    printed.clear();
    state.ResumeTiming();

    const double start = cpu_seconds();
    const GenerationResult result = generate(session, *b.tokenizer, prompt, options, callback);
    generate_seconds += cpu_seconds() - start;

    state.PauseTiming();
    if (result.ids.size() != kNewIds) {
      state.SkipWithError("generation stopped early");
      break;
    }
    std::vector<std::uint32_t> ids = prompt;
    ids.insert(ids.end(), result.ids.begin(), result.ids.end());
    step_seconds += bare_steps(b, ids);
    state.ResumeTiming();
  }
  const double steps = static_cast<double>(state.iterations()) * (kNewIds + 1);
  state.counters["tokens/s"] = benchmark::Counter(steps, benchmark::Counter::kIsRate);
  if (step_seconds > 0.0) state.counters["vs_steps"] = generate_seconds / step_seconds;
}

void steps_benchmark(benchmark::State& state, const ModelShape& m) {
  const Bound& b = bound(m);
  std::mt19937_64 engine(3);
  std::vector<std::uint32_t> ids(kNewIds + 1);
  for (std::uint32_t& id : ids) id = static_cast<std::uint32_t>(engine() % m.vocabulary);
  for (auto _ : state) {
    state.PauseTiming();
    InferenceSession session(*b.filled);
    state.ResumeTiming();
    ForwardOptions options;
    for (std::size_t i = 0; i < ids.size(); ++i) {
      options.compute_logits = i + 1 < ids.size();
      Tensor logits = session.append(std::span(ids).subspan(i, 1), options, LogitRows::last);
      benchmark::DoNotOptimize(logits.data.data());
    }
  }
  state.counters["tokens/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * (kNewIds + 1), benchmark::Counter::kIsRate);
}

void sample_benchmark(benchmark::State& state, const ModelShape& m, const SamplerCase& c) {
  const Bound& b = bound(m);
  std::uint64_t draw = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sample_token(b.row, c.options, 1, draw++));
  }
  state.counters["tokens/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void stream_benchmark(benchmark::State& state, const ModelShape& m) {
  const Bound& b = bound(m);
  TextStream stream(*b.tokenizer, DecodeOptions{.skipSpecialTokens = true});
  std::uint32_t id = 0;
  for (auto _ : state) {
    std::string text = stream.decode(std::span(&id, 1));
    ByteBuffer record = stream.serializeState();
    benchmark::DoNotOptimize(text.data());
    benchmark::DoNotOptimize(record.data());
    id = (id + 97) % m.vocabulary;
  }
  state.counters["tokens/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void register_all() {
  for (const ModelShape* m : {&kMid, &kSmall}) {
    const std::string name = m->name;
    for (const SamplerCase& c : sampler_cases()) {
      benchmark::RegisterBenchmark(
          ("generate/" + name + "/" + c.name).c_str(),
          [m, &c](benchmark::State& state) { generate_benchmark(state, *m, c); })
          ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark(("steps/" + name).c_str(), [m](benchmark::State& state) {
      steps_benchmark(state, *m);
    })->Unit(benchmark::kMillisecond);
    for (const SamplerCase& c : sampler_cases()) {
      benchmark::RegisterBenchmark(
          ("sample/" + name + "/" + c.name).c_str(),
          [m, &c](benchmark::State& state) { sample_benchmark(state, *m, c); })
          ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark(("stream/" + name).c_str(), [m](benchmark::State& state) {
      stream_benchmark(state, *m);
    })->Unit(benchmark::kMicrosecond);
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  Orvane::Core::Lumeth::register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
