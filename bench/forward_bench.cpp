// Benchmarks of the forward pass and its operators.
//
// Counters: tokens/s (positions computed per second) and GFLOP/s of the
// linear projections (q, k, v, attention output, feed-forward and logits; two
// floating-point operations per multiply-add). When built with a CBLAS (OpenBLAS), the same program
// also times cblas_dgemm, single-threaded, on the same projection shapes, so the ratio of the exact
// kernels to a reordering, fused BLAS is measured in one run.
//
// Run with: build/release/bench/lumeth_bench_forward --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_models.hpp"
#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/inference/attention.hpp"
#include "lumeth/inference/feed_forward.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/cpu_level.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/internal/reference/reference_ops.hpp"
#include "lumeth/inference/operators.hpp"
#include "lumeth/spec/transformer_spec.hpp"

#if defined(LUMETH_BENCH_CBLAS)
#include <cblas.h>
// OpenBLAS starts its own threads; the comparison is with one core, like the
// library. Weak, so that another CBLAS links too.
extern "C" void openblas_set_num_threads(int) __attribute__((weak));
#endif

namespace Orvane::Core::Lumeth {
namespace {

using Bench::kMid;
using Bench::kSmall;
using Bench::ModelShape;
using Bench::random_tensor;
using Bench::spec_of;
using Bench::weights_of;

TokenBatch batch_of(const ModelShape& m) {
  std::mt19937_64 engine(7);
  TokenBatch batch;
  batch.batch_size = 1;
  batch.width = m.tokens;
  for (std::size_t k = 0; k < m.tokens; ++k) {
    batch.tokens.push_back(static_cast<std::uint32_t>(engine() % m.vocabulary));
  }
  return batch;
}

// One projection of a forward pass: rows x in -> out.
struct ProjectionShape {
  std::size_t rows, in, out;
};

std::vector<ProjectionShape> projections_of(const ModelShape& m) {
  const std::size_t rows = m.tokens;
  const std::size_t d = m.model_dim;
  const std::size_t kv = std::size_t{m.kv_heads} * (d / m.query_heads);
  std::vector<ProjectionShape> shapes;
  for (std::uint32_t i = 0; i < m.layers; ++i) {
    shapes.push_back({rows, d, d});          // query
    shapes.push_back({rows, d, kv});         // key
    shapes.push_back({rows, d, kv});         // value
    shapes.push_back({rows, d, d});          // attention output
    shapes.push_back({rows, d, m.ffn_dim});  // gate
    shapes.push_back({rows, d, m.ffn_dim});  // up
    shapes.push_back({rows, m.ffn_dim, d});  // down
  }
  shapes.push_back({rows, d, m.vocabulary});  // logits
  return shapes;
}

double flops_of(const std::vector<ProjectionShape>& shapes) {
  double flops = 0.0;
  for (const ProjectionShape& s : shapes) {
    flops +=
        2.0 * static_cast<double>(s.rows) * static_cast<double>(s.in) * static_cast<double>(s.out);
  }
  return flops;
}

void set_rates(benchmark::State& state, double flops_per_iteration, double tokens_per_iteration) {
  const double iterations = static_cast<double>(state.iterations());
  state.counters["GFLOP/s"] =
      benchmark::Counter(flops_per_iteration * iterations * 1e-9, benchmark::Counter::kIsRate);
  if (tokens_per_iteration > 0.0) {
    state.counters["tokens/s"] =
        benchmark::Counter(tokens_per_iteration * iterations, benchmark::Counter::kIsRate);
  }
}

// threads 0: no pool (the calling thread alone); otherwise a pool of that
// many threads, made before the timed loop.
void forward_benchmark(benchmark::State& state, const ModelShape& m, bool full_precision,
                       bool plain, std::size_t threads = 0) {
  const TransformerSpec spec = spec_of(m);
  const TransformerWeights weights = weights_of(m);
  const TokenBatch batch = batch_of(m);
  std::unique_ptr<ThreadPool> pool = threads == 0 ? nullptr : std::make_unique<ThreadPool>(threads);
  ForwardOptions options;
  options.full_precision = full_precision;
  options.pool = pool.get();
  if (pool) {
    // Once: the pool gives the single-threaded bits.
    ForwardOptions alone = options;
    alone.pool = nullptr;
    if (forward(spec, weights, batch, options).data != forward(spec, weights, batch, alone).data) {
      state.SkipWithError("threaded forward differs from the single-threaded one");
      return;
    }
  }
  for (auto _ : state) {
    Tensor logits = plain ? reference::forward(spec, weights, batch, options)
                          : forward(spec, weights, batch, options);
    benchmark::DoNotOptimize(logits.data.data());
  }
  set_rates(state, flops_of(projections_of(m)), static_cast<double>(m.tokens));
}

// linear on one shape with the kernels of `level`, or the reference loops.
void linear_benchmark(benchmark::State& state, ProjectionShape s,
                      const kernels::KernelTable* table) {
  std::mt19937_64 engine(3);
  const Tensor x = random_tensor({s.rows, s.in}, engine, -1.0, 1.0);
  const Tensor w = random_tensor({s.out, s.in}, engine, -1.0, 1.0);
  for (auto _ : state) {
    Tensor y = table == nullptr
                   ? reference::linear(x, w, s.rows, s.in, s.out, true, GuardLevel::forward)
                   : linear_with(*table, x, w, s.rows, s.in, s.out, true, GuardLevel::forward);
    benchmark::DoNotOptimize(y.data.data());
  }
  set_rates(state, flops_of({s}), 0.0);
}

#if defined(LUMETH_BENCH_CBLAS)
// y = x . w^T for every shape, in double precision, through the BLAS.
void dgemm_benchmark(benchmark::State& state, std::vector<ProjectionShape> shapes) {
  std::mt19937_64 engine(3);
  std::vector<Tensor> xs, ws, ys;
  for (const ProjectionShape& s : shapes) {
    xs.push_back(random_tensor({s.rows, s.in}, engine, -1.0, 1.0));
    ws.push_back(random_tensor({s.out, s.in}, engine, -1.0, 1.0));
    ys.emplace_back(std::vector<std::size_t>{s.rows, s.out}, 0.0, true);
  }
  for (auto _ : state) {
    for (std::size_t i = 0; i < shapes.size(); ++i) {
      const ProjectionShape& s = shapes[i];
      cblas_dgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(s.rows),
                  static_cast<int>(s.out), static_cast<int>(s.in), 1.0, xs[i].data.data(),
                  static_cast<int>(s.in), ws[i].data.data(), static_cast<int>(s.in), 0.0,
                  ys[i].data.data(), static_cast<int>(s.out));
    }
    benchmark::DoNotOptimize(ys.back().data.data());
  }
  set_rates(state, flops_of(shapes), 0.0);
}
#endif

void attention_benchmark(benchmark::State& state, const ModelShape& m, bool full_precision) {
  std::mt19937_64 engine(5);
  const std::size_t head_dim = m.model_dim / m.query_heads;
  const std::size_t kv = std::size_t{m.kv_heads} * head_dim;
  const Tensor q = random_tensor({m.tokens, m.model_dim}, engine, -2.0, 2.0);
  const Tensor k = random_tensor({m.tokens, kv}, engine, -2.0, 2.0);
  const Tensor v = random_tensor({m.tokens, kv}, engine, -1.0, 1.0);
  for (auto _ : state) {
    AttentionResult a =
        attention(q, k, v, 1, m.tokens, m.query_heads, m.kv_heads, head_dim, {}, full_precision);
    benchmark::DoNotOptimize(a.output.data.data());
  }
  // Scores and weighted sums over the visible (causal) pairs.
  const double pairs = static_cast<double>(m.tokens) * static_cast<double>(m.tokens + 1) / 2.0;
  set_rates(state, 4.0 * pairs * static_cast<double>(head_dim * m.query_heads),
            static_cast<double>(m.tokens));
}

void feed_forward_benchmark(benchmark::State& state, const ModelShape& m, FeedForwardKind kind) {
  std::mt19937_64 engine(6);
  const std::size_t d = m.model_dim;
  const std::size_t f = m.ffn_dim;
  const Tensor x = random_tensor({m.tokens, d}, engine, -1.0, 1.0);
  const Tensor gate = random_tensor({f, d}, engine, -0.05, 0.05);
  const Tensor up = random_tensor({f, d}, engine, -0.05, 0.05);
  const Tensor down = random_tensor({d, f}, engine, -0.05, 0.05);
  for (auto _ : state) {
    Tensor y = feed_forward(x, gate, up, down, m.tokens, d, f, kind, true);
    benchmark::DoNotOptimize(y.data.data());
  }
  const double projections = kind == FeedForwardKind::swiglu ? 3.0 : 2.0;
  set_rates(state,
            projections * 2.0 * static_cast<double>(m.tokens) * static_cast<double>(d) *
                static_cast<double>(f),
            static_cast<double>(m.tokens));
}

void rms_norm_benchmark(benchmark::State& state, const ModelShape& m) {
  std::mt19937_64 engine(8);
  const Tensor x = random_tensor({m.tokens, m.model_dim}, engine, -1.0, 1.0);
  const Tensor w = random_tensor({m.model_dim}, engine, 0.8, 1.2);
  for (auto _ : state) {
    Tensor y = rms_norm(x, w, m.tokens, m.model_dim, 1e-5, true);
    benchmark::DoNotOptimize(y.data.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(m.tokens * m.model_dim));
}

void rope_benchmark(benchmark::State& state, const ModelShape& m) {
  std::mt19937_64 engine(9);
  const std::size_t head_dim = m.model_dim / m.query_heads;
  Tensor q = random_tensor({m.tokens, m.model_dim}, engine, -1.0, 1.0);
  Tensor k = random_tensor({m.tokens, std::size_t{m.kv_heads} * head_dim}, engine, -1.0, 1.0);
  for (auto _ : state) {
    // Rotating forth and back keeps the values bounded across iterations.
    rotate_query_key(q, k, 1, m.tokens, m.query_heads, m.kv_heads, head_dim, 10000.0, 0, true,
                     (state.iterations() & 1) != 0);
    benchmark::DoNotOptimize(q.data.data());
  }
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(q.data.size() + k.data.size()));
}

void register_all() {
  for (const ModelShape* m : {&kSmall, &kMid}) {
    for (const bool fp : {true, false}) {
      benchmark::RegisterBenchmark(
          (std::string("forward/") + m->name + (fp ? "/full" : "/single")).c_str(),
          [m, fp](benchmark::State& state) { forward_benchmark(state, *m, fp, false); })
          ->Unit(benchmark::kMillisecond);
    }
  }
  // Threads: wall-clock time (the CPU time of the calling thread alone would
  // miss the workers), one thread without a pool against pools of 2 and 4.
  for (const ModelShape* m : {&kSmall, &kMid}) {
    for (const std::size_t threads : {1U, 2U, 4U}) {
      benchmark::RegisterBenchmark(
          (std::string("forward_threads/") + m->name + "/full/threads:" + std::to_string(threads))
              .c_str(),
          [m, threads](benchmark::State& state) {
            forward_benchmark(state, *m, true, false, threads == 1 ? 0 : threads);
          })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
    }
  }
  benchmark::RegisterBenchmark("forward_reference/small/full", [](benchmark::State& state) {
    forward_benchmark(state, kSmall, true, true);
  })->Unit(benchmark::kMillisecond);
#if defined(LUMETH_BENCH_CBLAS)
  for (const ModelShape* m : {&kSmall, &kMid}) {
    benchmark::RegisterBenchmark(
        (std::string("forward_projections_dgemm/") + m->name).c_str(),
        [m](benchmark::State& state) { dgemm_benchmark(state, projections_of(*m)); })
        ->Unit(benchmark::kMillisecond);
  }
#endif

  const std::vector<ProjectionShape> linear_shapes = {
      {256, 512, 512}, {256, 512, 1408}, {256, 1408, 512}, {256, 512, 8192}, {1, 512, 1408}};
  for (const ProjectionShape& s : linear_shapes) {
    const std::string shape =
        std::to_string(s.rows) + "x" + std::to_string(s.in) + "x" + std::to_string(s.out);
    for (const kernels::CpuLevel level : kernels::compiled_levels()) {
      if (!kernels::cpu_supports(level)) continue;
      const kernels::KernelTable* table = &kernels::kernels_for(level);
      benchmark::RegisterBenchmark(
          ("linear/" + shape + "/" + std::string(kernels::level_name(level))).c_str(),
          [s, table](benchmark::State& state) { linear_benchmark(state, s, table); })
          ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark(
        ("linear/" + shape + "/reference").c_str(),
        [s](benchmark::State& state) { linear_benchmark(state, s, nullptr); })
        ->Unit(benchmark::kMicrosecond);
#if defined(LUMETH_BENCH_CBLAS)
    benchmark::RegisterBenchmark(("linear/" + shape + "/dgemm").c_str(),
                                 [s](benchmark::State& state) { dgemm_benchmark(state, {s}); })
        ->Unit(benchmark::kMicrosecond);
#endif
  }

  for (const bool fp : {true, false}) {
    benchmark::RegisterBenchmark(
        (std::string("attention/mid") + (fp ? "/full" : "/single")).c_str(),
        [fp](benchmark::State& state) { attention_benchmark(state, kMid, fp); })
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::RegisterBenchmark("feed_forward/mid/swiglu", [](benchmark::State& state) {
    feed_forward_benchmark(state, kMid, FeedForwardKind::swiglu);
  })->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("feed_forward/mid/gelu_mlp", [](benchmark::State& state) {
    feed_forward_benchmark(state, kMid, FeedForwardKind::gelu_mlp);
  })->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("rms_norm/mid", [](benchmark::State& state) {
    rms_norm_benchmark(state, kMid);
  })->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("rope/mid", [](benchmark::State& state) {
    rope_benchmark(state, kMid);
  })->Unit(benchmark::kMicrosecond);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth

int main(int argc, char** argv) {
#if defined(LUMETH_BENCH_CBLAS)
  if (openblas_set_num_threads != nullptr) {
    openblas_set_num_threads(1);
  }
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  Orvane::Core::Lumeth::register_all();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
