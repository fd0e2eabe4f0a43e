// The library's elementary functions against the C math library's (glibc
// here) on the same arguments, and exp over a row at every kernel level.
//
// Each benchmark evaluates 4096 arguments drawn from the ranges the library
// feeds the function and stores the results; items/s counts evaluations, so
// the time per call is 1 / items_per_second. The "libm" rows call std::exp,
// std::sin, ... of the platform, the "lumeth" rows elementary::exp, ... .
// Arguments: exp/softmax [-30, 0], exp/silu [-20, 20]; sin and cos of the
// rotary angles t / 10000^(2i/128) for positions t below 4096 and below 2^32;
// erf/gelu u / sqrt(2) for u in [-6, 6]; pow/rotary 10000^(2i/128), and
// pow/general x in [0.5, 1e6], y in [-4, 4].
//
// Run with: build/release/bench/lumeth_bench_elementary --benchmark_repetitions=5
//   --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/internal/kernels/cpu_level.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::size_t kCount = 4096;

struct Arguments {
  std::vector<double> x;
  std::vector<double> y;
};

// x uniform in [low, high); y uniform in [y_low, y_high) (pow only).
Arguments uniform(double low, double high, double y_low = 0.0, double y_high = 0.0) {
  std::mt19937_64 engine(17);
  std::uniform_real_distribution<double> dx(low, high);
  std::uniform_real_distribution<double> dy(y_low, y_high);
  Arguments a;
  for (std::size_t i = 0; i < kCount; ++i) {
    a.x.push_back(dx(engine));
    a.y.push_back(y_high > y_low ? dy(engine) : 0.0);
  }
  return a;
}

// The arguments of build_rope_table: angles t / pow(base, 2i/dim) for
// positions t below `positions` and dim 128, or (for pow) the pairs (base,
// 2i/dim).
Arguments rope_angles(std::uint64_t positions) {
  std::mt19937_64 engine(18);
  Arguments a;
  for (std::size_t k = 0; k < kCount; ++k) {
    const double e = static_cast<double>(2 * (engine() % 64)) / 128.0;
    a.x.push_back(static_cast<double>(engine() % positions) / elementary::pow(10000.0, e));
  }
  return a;
}

Arguments rope_frequencies() {
  std::mt19937_64 engine(19);
  Arguments a;
  for (std::size_t k = 0; k < kCount; ++k) {
    a.x.push_back(10000.0);
    a.y.push_back(static_cast<double>(2 * (engine() % 64)) / 128.0);
  }
  return a;
}

template <class F>
void unary(benchmark::State& state, const Arguments& a, F f) {
  std::vector<double> out(kCount);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kCount; ++i) out[i] = f(a.x[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kCount));
}

template <class F>
void binary(benchmark::State& state, const Arguments& a, F f) {
  std::vector<double> out(kCount);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kCount; ++i) out[i] = f(a.x[i], a.y[i]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kCount));
}

// The softmax step of attention: exp(x - shift) over a row, on one kernel
// level.
void exp_row(benchmark::State& state, const Arguments& a, const kernels::KernelTable* table) {
  std::vector<double> out(kCount);
  for (auto _ : state) {
    table->exp_shifted(out.data(), a.x.data(), 0.0, kCount);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kCount));
}

// The GELU of the feed-forward block over a row, on one kernel level.
void gelu_row(benchmark::State& state, const Arguments& a, const kernels::KernelTable* table) {
  std::vector<double> out(kCount);
  const kernels::GuardMode guard = kernels::guard_mode(true);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        table->gelu_guard(out.data(), a.x.data(), 0.7071067811865476, kCount, guard));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kCount));
}

void register_all() {
  struct Unary {
    const char* name;
    Arguments arguments;
    double (*lumeth)(double);
    double (*libm)(double);
  };
  const std::vector<Unary> unaries = {
      {"exp/softmax", uniform(-30.0, 0.0), &elementary::exp, [](double x) { return std::exp(x); }},
      {"exp/silu", uniform(-20.0, 20.0), &elementary::exp, [](double x) { return std::exp(x); }},
      {"sin/rotary_4096", rope_angles(4096), &elementary::sin,
       [](double x) { return std::sin(x); }},
      {"cos/rotary_4096", rope_angles(4096), &elementary::cos,
       [](double x) { return std::cos(x); }},
      {"sin/rotary_2^32", rope_angles(1ULL << 32), &elementary::sin,
       [](double x) { return std::sin(x); }},
      {"cos/rotary_2^32", rope_angles(1ULL << 32), &elementary::cos,
       [](double x) { return std::cos(x); }},
      {"erf/gelu", uniform(-6.0 * 0.7071067811865476, 6.0 * 0.7071067811865476), &elementary::erf,
       [](double x) { return std::erf(x); }},
  };
  for (const Unary& u : unaries) {
    benchmark::RegisterBenchmark((std::string(u.name) + "/lumeth").c_str(),
                                 [u](benchmark::State& s) { unary(s, u.arguments, u.lumeth); });
    benchmark::RegisterBenchmark((std::string(u.name) + "/libm").c_str(),
                                 [u](benchmark::State& s) { unary(s, u.arguments, u.libm); });
  }
  struct Binary {
    const char* name;
    Arguments arguments;
  };
  const std::vector<Binary> binaries = {
      {"pow/rotary", rope_frequencies()},
      {"pow/general", uniform(0.5, 1e6, -4.0, 4.0)},
  };
  for (const Binary& b : binaries) {
    benchmark::RegisterBenchmark(
        (std::string(b.name) + "/lumeth").c_str(),
        [b](benchmark::State& s) { binary(s, b.arguments, &elementary::pow); });
    benchmark::RegisterBenchmark((std::string(b.name) + "/libm").c_str(), [b](benchmark::State& s) {
      binary(s, b.arguments, [](double x, double y) { return std::pow(x, y); });
    });
  }

  const Arguments softmax = uniform(-30.0, 0.0);
  for (const kernels::CpuLevel level : kernels::compiled_levels()) {
    if (!kernels::cpu_supports(level)) continue;
    const kernels::KernelTable* table = &kernels::kernels_for(level);
    benchmark::RegisterBenchmark(
        ("exp_row/softmax/" + std::string(kernels::level_name(level))).c_str(),
        [softmax, table](benchmark::State& s) { exp_row(s, softmax, table); });
  }
  // Pre-activations u in [-6, 6]; erf(u / sqrt 2) per element.
  const Arguments gelu = uniform(-6.0, 6.0);
  for (const kernels::CpuLevel level : kernels::compiled_levels()) {
    if (!kernels::cpu_supports(level)) continue;
    const kernels::KernelTable* table = &kernels::kernels_for(level);
    benchmark::RegisterBenchmark(
        ("gelu_row/gelu/" + std::string(kernels::level_name(level))).c_str(),
        [gelu, table](benchmark::State& s) { gelu_row(s, gelu, table); });
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
