// Importing checkpoints: import_checkpoint (read, check, widen, reorder the
// query and key rows) and import_model (the same, then make_model with its
// probe and artifact) on synthetic checkpoints written once per run into a
// scratch directory, in the dtypes published checkpoints use.
//
// Shapes: "mid" (vocabulary 8192, model_dim 512, 4 layers, 8/2 heads of 64,
// ffn 1408, untied: 19.7 million values) and "large" (vocabulary 32000,
// model_dim 2048, 2 layers, 16/4 heads of 128, ffn 5632, tied: 155.7 million
// values, a 311 MB BF16 file, 1.25 GB of doubles).
//
// Counters: items = weight values imported, bytes = bytes of the weights
// files read; peak_rss_mb is the process's peak so far (run one benchmark
// per process, with --benchmark_filter, for the figure of that one).

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "lumeth/import/checkpoint.hpp"
#include "lumeth/import/internal/safetensors_writer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

namespace fs = std::filesystem;

struct Shape {
  const char* name;
  std::uint64_t vocabulary, model_dim, layers, heads, kv_heads, ffn;
  bool tied;
};

constexpr Shape kMid{"mid", 8192, 512, 4, 8, 2, 1408, false};
constexpr Shape kLarge{"large", 32000, 2048, 2, 16, 4, 5632, true};

// Bits of values in [-0.1, 0.1) in the dtype (norms near 1), from a fixed
// linear congruential sequence.
ByteBuffer valuesBytes(SafetensorsDType dtype, std::uint64_t count, bool norm,
                       std::uint64_t& state) {
  ByteBuffer bytes;
  bytes.reserve(count * safetensors_dtype_size(dtype));
  for (std::uint64_t i = 0; i < count; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const double unit = static_cast<double>(state >> 11) * 0x1p-53;  // [0, 1)
    const double value = norm ? 0.9 + 0.2 * unit : 0.2 * unit - 0.1;
    const float single = static_cast<float>(value);
    const auto bits = std::bit_cast<std::uint32_t>(single);
    switch (dtype) {
      case SafetensorsDType::f64:
        appendU64(bytes, std::bit_cast<std::uint64_t>(value));
        break;
      case SafetensorsDType::f32:
        appendU32(bytes, bits);
        break;
      case SafetensorsDType::bf16:
        appendU16(bytes, static_cast<std::uint16_t>(bits >> 16));  // truncated: any value will do
        break;
      case SafetensorsDType::f16: {
        // value in [-0.1, 1.1]: normal binary16, exponent below 15 + 1.
        const int exponent = static_cast<int>((bits >> 23) & 0xFF) - 127 + 15;
        const auto fraction = static_cast<std::uint16_t>((bits >> 13) & 0x3FF);
        const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000);
        appendU16(bytes, exponent <= 0
                             ? sign
                             : static_cast<std::uint16_t>(sign | (exponent << 10) | fraction));
        break;
      }
    }
  }
  return bytes;
}

struct Written {
  fs::path directory;
  std::uint64_t values = 0;
  std::uint64_t fileBytes = 0;
};

// Writes the checkpoint once per (shape, dtype) and process.
const Written& checkpointFor(const Shape& shape, SafetensorsDType dtype) {
  static std::map<std::string, Written> written;
  static const fs::path root =
      fs::temp_directory_path() / ("lumeth-import-bench-" + std::to_string(::getpid()));
  const std::string key =
      std::string(shape.name) + "-" + std::string(safetensors_dtype_name(dtype));
  if (const auto found = written.find(key); found != written.end()) return found->second;

  Written out;
  out.directory = root / key;
  fs::create_directories(out.directory);
  const std::uint64_t d = shape.model_dim, headDim = d / shape.heads;
  const std::uint64_t q = shape.heads * headDim, kv = shape.kv_heads * headDim;
  std::uint64_t state = 1;
  std::vector<Import::SafetensorsEntry> entries;
  const auto add = [&](std::string name, std::vector<std::uint64_t> dims, bool norm = false) {
    std::uint64_t count = 1;
    for (const std::uint64_t extent : dims) count *= extent;
    out.values += count;
    entries.push_back(
        {std::move(name), dtype, std::move(dims), valuesBytes(dtype, count, norm, state)});
  };
  add("model.embed_tokens.weight", {shape.vocabulary, d});
  for (std::uint64_t i = 0; i < shape.layers; ++i) {
    const std::string p = "model.layers." + std::to_string(i) + ".";
    add(p + "input_layernorm.weight", {d}, true);
    add(p + "self_attn.q_proj.weight", {q, d});
    add(p + "self_attn.k_proj.weight", {kv, d});
    add(p + "self_attn.v_proj.weight", {kv, d});
    add(p + "self_attn.o_proj.weight", {d, q});
    add(p + "post_attention_layernorm.weight", {d}, true);
    add(p + "mlp.gate_proj.weight", {shape.ffn, d});
    add(p + "mlp.up_proj.weight", {shape.ffn, d});
    add(p + "mlp.down_proj.weight", {d, shape.ffn});
  }
  add("model.norm.weight", {d}, true);
  if (!shape.tied) add("lm_head.weight", {shape.vocabulary, d});
  const ByteBuffer file = Import::write_safetensors(entries, {{"format", "pt"}});
  entries.clear();
  out.fileBytes = file.size();
  std::ofstream(out.directory / "model.safetensors", std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  std::ofstream(out.directory / "config.json")
      << "{\"model_type\":\"llama\",\"vocab_size\":" << shape.vocabulary
      << ",\"max_position_embeddings\":4096,\"num_hidden_layers\":" << shape.layers
      << ",\"hidden_size\":" << d << ",\"intermediate_size\":" << shape.ffn
      << ",\"num_attention_heads\":" << shape.heads << ",\"num_key_value_heads\":" << shape.kv_heads
      << ",\"rms_norm_eps\":1e-05,\"rope_theta\":10000.0,\"hidden_act\":\"silu\""
      << ",\"tie_word_embeddings\":" << (shape.tied ? "true" : "false") << "}";
  return written.emplace(key, std::move(out)).first->second;
}

double peakRssMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

template <bool MakeModel>
void BM_Import(benchmark::State& state, const Shape& shape, SafetensorsDType dtype) {
  const Written& checkpoint = checkpointFor(shape, dtype);
  for (auto _ : state) {
    if constexpr (MakeModel) {
      auto model = import_model(checkpoint.directory, {});
      benchmark::DoNotOptimize(model);
    } else {
      ImportedCheckpoint imported = import_checkpoint(checkpoint.directory, {});
      benchmark::DoNotOptimize(imported);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(checkpoint.values));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(checkpoint.fileBytes));
  state.counters["values_m"] = static_cast<double>(checkpoint.values) / 1e6;
  state.counters["peak_rss_mb"] = peakRssMb();
}

void registerAll() {
  for (const auto dtype : {SafetensorsDType::f64, SafetensorsDType::f32, SafetensorsDType::bf16,
                           SafetensorsDType::f16}) {
    benchmark::RegisterBenchmark(
        ("import_checkpoint/mid/" + std::string(safetensors_dtype_name(dtype))).c_str(),
        BM_Import<false>, kMid, dtype)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("import_model/mid/BF16", BM_Import<true>, kMid,
                               SafetensorsDType::bf16)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("import_checkpoint/large/BF16", BM_Import<false>, kLarge,
                               SafetensorsDType::bf16)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("import_model/large/BF16", BM_Import<true>, kLarge,
                               SafetensorsDType::bf16)
      ->Unit(benchmark::kMillisecond);
}

// Removes the scratch checkpoints when the program ends.
struct Cleanup {
  ~Cleanup() {
    std::error_code ignored;
    fs::remove_all(
        fs::temp_directory_path() / ("lumeth-import-bench-" + std::to_string(::getpid())), ignored);
  }
};

}  // namespace
}  // namespace Orvane::Core::Lumeth

int main(int argc, char** argv) {
  const Orvane::Core::Lumeth::Cleanup cleanup;
  Orvane::Core::Lumeth::registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
