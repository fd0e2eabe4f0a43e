// Benchmarks of cached decoding: InferenceSession::append of one id at a
// given position, against a forward pass that recomputes every position up
// to it, and against a plain read of the model's weights.
//
//   step/<model>/position:P       one id appended at position P (the session
//                                 is rewound after each step, so every step
//                                 sees the same P earlier positions)
//   recompute/<model>/position:P  forward over P + 1 positions, the way to
//                                 get the same logits without a cache
//   prefill/<model>               the model's token count appended in one
//                                 step, beside forward over the same tokens
//
// Counters: tokens/s (new positions per second). A step must read every
// weight once, so the step benchmarks also time, in the same iterations and
// outside the benchmark's own timing, a plain read of exactly the model's
// weight bytes (every tensor the step reads, front to back, no arithmetic),
// and report weight_GB/s (weight bytes over the step's CPU time), read_GB/s
// (the same bytes over the plain read's CPU time) and of_read, the ratio of
// the two: the share of the memory system's rate that the step reaches.
// Timing both in the same iterations keeps the ratio meaningful on a busy
// machine.
//
// Run with: build/release/bench/lumeth_bench_decoding --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_models.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/session/inference_session.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Bench::kMid;
using Bench::kSmall;
using Bench::ModelShape;
using Bench::spec_of;
using Bench::weights_of;

// Step positions: one earlier position, then up to the last a step can take
// (the context is 4096).
const std::vector<std::size_t> kPositions = {1, 64, 255, 1024, 4095};

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

using ModelPtr = std::shared_ptr<const TransformerModel>;

const ModelPtr& model_of(const ModelShape& m) {
  static std::map<const ModelShape*, ModelPtr> models;
  ModelPtr& model = models[&m];
  if (!model) model = make_model(spec_of(m), weights_of(m));
  return model;
}

std::vector<std::uint32_t> ids_of(const ModelShape& m, std::size_t count) {
  std::mt19937_64 engine(7);
  std::vector<std::uint32_t> ids(count);
  for (std::uint32_t& id : ids) id = static_cast<std::uint32_t>(engine() % m.vocabulary);
  return ids;
}

// A session holding the first kPositions.back() ids, filled in chunks of 256
// once per model; benchmarks copy it and rewind to their position.
const InferenceSession& filled_session(const ModelShape& m) {
  static std::map<const ModelShape*, std::unique_ptr<InferenceSession>> sessions;
  std::unique_ptr<InferenceSession>& session = sessions[&m];
  if (!session) {
    session = std::make_unique<InferenceSession>(model_of(m), 1);
    const std::vector<std::uint32_t> ids = ids_of(m, kPositions.back());
    ForwardOptions options;
    options.compute_logits = false;
    for (std::size_t p = 0; p < ids.size(); p += 256) {
      const std::size_t n = std::min<std::size_t>(256, ids.size() - p);
      (void)session->append(std::span(ids).subspan(p, n), options);
    }
  }
  return *session;
}

// The tensors a one-id step reads in full: every layer weight, the final
// norm and the logits embedding (the input embedding contributes one row).
std::vector<const Tensor*> step_weights(const TransformerModel& model) {
  const TransformerWeights& w = model.weights();
  std::vector<const Tensor*> tensors;
  for (const LayerWeights& layer : w.layers) {
    for (const Tensor* t :
         {&layer.attention_norm, &layer.query, &layer.key, &layer.value, &layer.attention_output,
          &layer.ffn_norm, &layer.ffn_gate, &layer.ffn_up, &layer.ffn_down}) {
      tensors.push_back(t);
    }
  }
  tensors.push_back(&w.final_norm);
  tensors.push_back(model.spec().tied_embeddings ? &w.token_embedding : &w.output_embedding);
  return tensors;
}

std::size_t bytes_of(const std::vector<const Tensor*>& tensors) {
  std::size_t bytes = 0;
  for (const Tensor* t : tensors) bytes += t->data.size() * sizeof(double);
  return bytes;
}

// Reads every byte of `tensors` once, front to back, with the widest loads
// the processor has (one clone per instruction set, picked at load time):
// the bits are OR-ed into two 64-byte lanes of integers, so the loop is
// bound by memory, not by arithmetic.
[[gnu::noinline, gnu::target_clones("avx512f", "avx2", "default")]] std::uint64_t read_doubles(
    const double* p, std::size_t n) {
  using Lanes = std::uint64_t __attribute__((vector_size(64)));
  Lanes a{}, b{};
  std::uint64_t tail = 0;
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    Lanes x, y;
    std::memcpy(&x, p + i, sizeof x);
    std::memcpy(&y, p + i + 8, sizeof y);
    a |= x;
    b |= y;
  }
  for (; i < n; ++i) tail |= std::bit_cast<std::uint64_t>(p[i]);
  const Lanes c = a | b;
  for (std::size_t k = 0; k < 8; ++k) tail |= c[k];
  return tail;
}

std::uint64_t plain_read(const std::vector<const Tensor*>& tensors) {
  std::uint64_t bits = 0;
  for (const Tensor* t : tensors) bits |= read_doubles(t->data.data(), t->data.size());
  return bits;
}

void step_benchmark(benchmark::State& state, const ModelShape& m, std::size_t position) {
  const ModelPtr& model = model_of(m);
  InferenceSession session(filled_session(m));
  session.rewind(session.position() - position);
  const std::vector<std::uint32_t> next = ids_of(m, kPositions.back() + 1);
  const std::span<const std::uint32_t> id = std::span(next).subspan(position, 1);
  ForwardOptions options;

  // Once: the step's logits are the last row of forward's.
  {
    TokenBatch batch;
    batch.batch_size = 1;
    batch.width = position + 1;
    batch.tokens.assign(next.begin(), next.begin() + static_cast<std::ptrdiff_t>(position + 1));
    const Tensor whole = forward(model->spec(), model->weights(), batch, options);
    const Tensor step = session.append(id, options, LogitRows::last);
    session.rewind(1);
    const std::size_t vocabulary = m.vocabulary;
    if (std::memcmp(step.data.data(), whole.data.data() + position * vocabulary,
                    vocabulary * sizeof(double)) != 0) {
      state.SkipWithError("the step's logits differ from forward's");
      return;
    }
  }

  const std::vector<const Tensor*> weights = step_weights(*model);
  const std::size_t weight_bytes = bytes_of(weights);
  double step_seconds = 0.0;
  double read_seconds = 0.0;
  for (auto _ : state) {
    const double start = cpu_seconds();
    Tensor logits = session.append(id, options, LogitRows::last);
    benchmark::DoNotOptimize(logits.data.data());
    session.rewind(1);
    step_seconds += cpu_seconds() - start;

    state.PauseTiming();
    const double read_start = cpu_seconds();
    benchmark::DoNotOptimize(plain_read(weights));
    read_seconds += cpu_seconds() - read_start;
    state.ResumeTiming();
  }
  const double steps = static_cast<double>(state.iterations());
  const double bytes = static_cast<double>(weight_bytes) * steps;
  state.counters["tokens/s"] = benchmark::Counter(steps, benchmark::Counter::kIsRate);
  if (step_seconds > 0.0 && read_seconds > 0.0) {
    state.counters["weight_GB/s"] = bytes / step_seconds * 1e-9;
    state.counters["read_GB/s"] = bytes / read_seconds * 1e-9;
    state.counters["of_read"] = read_seconds / step_seconds;
  }
}

// One id at `position` with a pool of `threads` (none for 1), wall-clock
// time: the workers' time is not the calling thread's CPU time.
void step_threads_benchmark(benchmark::State& state, const ModelShape& m, std::size_t position,
                            std::size_t threads) {
  InferenceSession session(filled_session(m));
  session.rewind(session.position() - position);
  const std::vector<std::uint32_t> next = ids_of(m, kPositions.back() + 1);
  const std::span<const std::uint32_t> id = std::span(next).subspan(position, 1);
  const std::unique_ptr<ThreadPool> pool =
      threads == 1 ? nullptr : std::make_unique<ThreadPool>(threads);
  ForwardOptions options;
  options.pool = pool.get();
  {
    // Once: the same logits as on the calling thread alone.
    const Tensor alone = session.append(id, ForwardOptions{}, LogitRows::last);
    session.rewind(1);
    const Tensor threaded = session.append(id, options, LogitRows::last);
    session.rewind(1);
    if (alone.data != threaded.data) {
      state.SkipWithError("the threaded step's logits differ");
      return;
    }
  }
  for (auto _ : state) {
    Tensor logits = session.append(id, options, LogitRows::last);
    benchmark::DoNotOptimize(logits.data.data());
    session.rewind(1);
  }
  state.counters["tokens/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void recompute_benchmark(benchmark::State& state, const ModelShape& m, std::size_t position) {
  const ModelPtr& model = model_of(m);
  const std::vector<std::uint32_t> ids = ids_of(m, position + 1);
  TokenBatch batch;
  batch.batch_size = 1;
  batch.width = ids.size();
  batch.tokens = ids;
  const ForwardOptions options;
  for (auto _ : state) {
    Tensor logits = forward(model->spec(), model->weights(), batch, options);
    benchmark::DoNotOptimize(logits.data.data());
  }
  state.counters["tokens/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The model's token count at once, through a session or through forward.
void prefill_benchmark(benchmark::State& state, const ModelShape& m, bool session_step) {
  const ModelPtr& model = model_of(m);
  const std::vector<std::uint32_t> ids = ids_of(m, m.tokens);
  TokenBatch batch;
  batch.batch_size = 1;
  batch.width = ids.size();
  batch.tokens = ids;
  const ForwardOptions options;
  for (auto _ : state) {
    if (session_step) {
      InferenceSession session(model, 1);
      Tensor logits = session.append(ids, options, LogitRows::last);
      benchmark::DoNotOptimize(logits.data.data());
    } else {
      Tensor logits = forward(model->spec(), model->weights(), batch, options);
      benchmark::DoNotOptimize(logits.data.data());
    }
  }
  state.counters["tokens/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(m.tokens),
                         benchmark::Counter::kIsRate);
}

void register_all() {
  for (const ModelShape* m : {&kSmall, &kMid}) {
    for (const std::size_t position : kPositions) {
      const std::string suffix = std::string(m->name) + "/position:" + std::to_string(position);
      benchmark::RegisterBenchmark(("step/" + suffix).c_str(), [m,
                                                                position](benchmark::State& state) {
        step_benchmark(state, *m, position);
      })->Unit(benchmark::kMillisecond);
    }
    for (const std::size_t position : kPositions) {
      const std::string suffix = std::string(m->name) + "/position:" + std::to_string(position);
      benchmark::RegisterBenchmark(("recompute/" + suffix).c_str(), [m, position](
                                                                        benchmark::State& state) {
        recompute_benchmark(state, *m, position);
      })->Unit(benchmark::kMillisecond);
    }
    for (const std::size_t threads : {1U, 2U, 4U}) {
      benchmark::RegisterBenchmark((std::string("step_threads/") + m->name +
                                    "/position:255/threads:" + std::to_string(threads))
                                       .c_str(),
                                   [m, threads](benchmark::State& state) {
                                     step_threads_benchmark(state, *m, 255, threads);
                                   })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
    for (const bool session_step : {true, false}) {
      benchmark::RegisterBenchmark(
          (std::string("prefill/") + m->name + (session_step ? "/append" : "/forward")).c_str(),
          [m, session_step](benchmark::State& state) {
            prefill_benchmark(state, *m, session_step);
          })
          ->Unit(benchmark::kMillisecond);
    }
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
