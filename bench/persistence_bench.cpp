// Benchmarks of the byte work behind persisted state: the FNV-1a pass every
// checksum runs, the container writer, make_model, the model artifact and a
// session with 64 MiB of key/value cache saved and restored. Each reports
// bytes/s over the bytes it produces or reads. The writers and the restore
// also report x_fnv1a64: their CPU time divided by that of one fnv1a64 pass
// over the same bytes, timed in the same iterations (outside the benchmark's
// own timing), so that the ratio holds however busy the machine is. Saving,
// restoring and writing a model artifact each hash their payload twice, once
// per tensor and once for the container; the container writer alone hashes
// it once.
//
// Run with: build/release/bench/lumeth_bench_persistence --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_models.hpp"
#include "lumeth/artifact/container.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/session/inference_session.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::size_t kCacheBytes = std::size_t{64} << 20;  // 64 MiB
constexpr std::size_t kCacheTensors = 2;                    // "kv.0", "kv.1"
constexpr std::size_t kCacheRows = 4096;
constexpr std::size_t kCacheColumns = kCacheBytes / 8 / kCacheTensors / kCacheRows;

using Bench::kMid;
using Bench::kSmall;
using Bench::ModelShape;
using Bench::random_tensor;
using Bench::spec_of;
using Bench::weights_of;

void set_bytes(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

double cpu_seconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// Runs `operation` once per iteration under the benchmark's timing and, with
// that timing paused, one fnv1a64 pass over `reference`; reports the bytes
// of `reference` per second and the ratio of the two CPU times as
// x_fnv1a64.
template <typename Operation>
void run_against_fnv(benchmark::State& state, std::span<const std::uint8_t> reference,
                     Operation operation) {
  double operationSeconds = 0.0;
  double fnvSeconds = 0.0;
  for (auto _ : state) {
    const double start = cpu_seconds();
    operation();
    operationSeconds += cpu_seconds() - start;

    state.PauseTiming();
    const double fnvStart = cpu_seconds();
    benchmark::DoNotOptimize(fnv1a64(reference));
    fnvSeconds += cpu_seconds() - fnvStart;
    state.ResumeTiming();
  }
  if (fnvSeconds > 0.0) state.counters["x_fnv1a64"] = operationSeconds / fnvSeconds;
  set_bytes(state, reference.size());
}

void fnv_benchmark(benchmark::State& state, std::size_t size) {
  ByteBuffer bytes(size);
  std::mt19937_64 engine(1);
  for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(engine());
  for (auto _ : state) {
    benchmark::DoNotOptimize(fnv1a64(bytes));
  }
  set_bytes(state, bytes.size());
}

void container_write_benchmark(benchmark::State& state) {
  ByteBuffer payload(kCacheBytes);
  std::mt19937_64 engine(2);
  for (std::uint8_t& b : payload) b = static_cast<std::uint8_t>(engine());
  const std::vector<TensorEntry> rows = {
      {"payload", ArtifactDType::UInt8, {payload.size()}, 0, payload.size(), 0}};
  ByteBuffer manifest;
  write_manifest(manifest, rows, 1, std::nullopt);
  const ByteBuffer reference = write_container("LUMECTS1", manifest, payload);
  run_against_fnv(state, reference, [&] {
    ByteBuffer container = write_container("LUMECTS1", manifest, payload);
    benchmark::DoNotOptimize(container.data());
  });
}

void make_model_benchmark(benchmark::State& state, const ModelShape& m) {
  const TransformerSpec spec = spec_of(m);
  const TransformerWeights weights = weights_of(m);
  std::size_t bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    TransformerWeights copy = weights;
    state.ResumeTiming();
    const std::shared_ptr<const TransformerModel> model = make_model(spec, std::move(copy));
    bytes = model->artifact().size();
    benchmark::DoNotOptimize(model.get());
  }
  set_bytes(state, bytes);
}

void model_artifact_benchmark(benchmark::State& state, const ModelShape& m) {
  const TransformerSpec spec = spec_of(m);
  const TransformerWeights weights = weights_of(m);
  const ByteBuffer reference = serialize_model_artifact(spec, weights, std::nullopt);
  run_against_fnv(state, reference, [&] {
    ByteBuffer artifact = serialize_model_artifact(spec, weights, std::nullopt);
    benchmark::DoNotOptimize(artifact.data());
  });
}

// A session file over `model` holding no tokens, no tokenizer state and a
// cache of two [4096, 1024] tensors (64 MiB), assembled with the container
// writer exactly as a session lays it out.
ByteBuffer session_file_with_cache(const TransformerModel& model) {
  std::mt19937_64 engine(3);
  std::uniform_real_distribution<double> distribution(-1.0, 1.0);
  ByteBuffer payload;
  payload.reserve(kCacheBytes);
  std::vector<TensorEntry> rows = {
      {"input_tokens", ArtifactDType::UInt32, {0}, 0, 0, fnv1a64("")},
      {"tokenizer_state", ArtifactDType::UInt8, {0}, 0, 0, fnv1a64("")}};
  for (std::size_t k = 0; k < kCacheTensors; ++k) {
    const std::size_t offset = payload.size();
    for (std::size_t i = 0; i < kCacheRows * kCacheColumns; ++i) {
      appendU64(payload, std::bit_cast<std::uint64_t>(distribution(engine)));
    }
    const std::span<const std::uint8_t> bytes = std::span(payload).subspan(offset);
    rows.push_back({"kv." + std::to_string(k),
                    ArtifactDType::Float64,
                    {kCacheRows, kCacheColumns},
                    offset,
                    bytes.size(),
                    fnv1a64(bytes)});
  }
  ByteBuffer manifest;
  write_manifest(manifest, rows, spec_hash(model.spec()), model.tokenizerHash());
  appendU64(manifest, model.identity());
  appendU64(manifest, numeric_policy_hash(model.spec()));
  appendU64(manifest, 0);  // position
  appendU64(manifest, 1);  // setting
  appendU64(manifest, 0);  // counter
  appendU64(manifest, 0);  // input token count
  appendU64(manifest, 0);  // tokenizer state size
  appendU32(manifest, static_cast<std::uint32_t>(kCacheTensors));
  return write_container(kSessionFileMagic, manifest, payload);
}

void session_restore_benchmark(benchmark::State& state) {
  const std::shared_ptr<const TransformerModel> model =
      make_model(spec_of(kSmall), weights_of(kSmall));
  const ByteBuffer file = session_file_with_cache(*model);
  const ArtifactLimits limits;
  run_against_fnv(state, file, [&] {
    InferenceSession session(model, 1);
    session.restore(file, limits);
    benchmark::DoNotOptimize(session.cache().data());
  });
}

void session_save_benchmark(benchmark::State& state) {
  const std::shared_ptr<const TransformerModel> model =
      make_model(spec_of(kSmall), weights_of(kSmall));
  InferenceSession session(model, 1);
  session.restore(session_file_with_cache(*model), ArtifactLimits{});
  const ByteBuffer reference = session.save();
  run_against_fnv(state, reference, [&] {
    ByteBuffer file = session.save();
    benchmark::DoNotOptimize(file.data());
  });
}

void register_all() {
  benchmark::RegisterBenchmark("fnv1a64/64MiB", [](benchmark::State& state) {
    fnv_benchmark(state, kCacheBytes);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("container_write/64MiB", container_write_benchmark)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("session_save/64MiB_cache", session_save_benchmark)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("session_restore/64MiB_cache", session_restore_benchmark)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("model_artifact_write/mid", [](benchmark::State& state) {
    model_artifact_benchmark(state, kMid);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("make_model/small", [](benchmark::State& state) {
    make_model_benchmark(state, kSmall);
  })->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("make_model/mid", [](benchmark::State& state) {
    make_model_benchmark(state, kMid);
  })->Unit(benchmark::kMillisecond);
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
