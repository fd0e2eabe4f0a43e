// lumeth-fingerprint: prints fnv1a64 fingerprints of results that must be
// the same bits on every machine, operating system and compiler: the
// elementary functions over fixed argument sweeps (hard cases included), the
// logits and every observed tensor of a fixed set of models (both
// feed-forward kinds, both precisions, a width equal to the context), and
// rotary tables and rotations at positions near the largest context.
//
// Output: one line per result, "<name> <16 hex digits>", in a fixed order.
// The test command builds this program natively (g++ and clang) and for
// aarch64, runs each build, and fails unless every output is the same
// (tools/test.sh). On x86-64 the program also runs every model on every
// kernel level the processor supports and exits with status 1 when a level's
// fingerprints differ from the others'.
//
// Everything is generated here from integers: no file is read, no input
// depends on the platform.

#include <bit>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/cpu_level.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/operators.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {
namespace {

namespace el = elementary;

// splitmix64: the same sequence everywhere.
class Sequence {
 public:
  explicit Sequence(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1): 53 random bits, exactly representable.
  double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
  // Uniform in [low, high), one rounding.
  double uniform(double low, double high) { return low + (high - low) * unit(); }
  std::uint64_t below(std::uint64_t n) { return next() % n; }

 private:
  std::uint64_t state_;
};

// fnv1a64 of the values' binary64 bit patterns, little-endian.
std::uint64_t fingerprint(std::span<const double> values) {
  ByteBuffer bytes;
  bytes.reserve(values.size() * 8);
  for (const double v : values) appendU64(bytes, std::bit_cast<std::uint64_t>(v));
  return fnv1a64(bytes);
}

// m * 2^k for -1022 <= k <= 1023, exactly.
double times_power_of_two(double m, int k) {
  return m * std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

void print(std::string_view name, std::uint64_t hash) {
  std::printf("%.*s %s\n", static_cast<int>(name.size()), name.data(), toHex16(hash).c_str());
}

// ---- elementary functions ----

void elementary_sweeps() {
  constexpr std::size_t kCount = 200000;
  Sequence s(1);
  std::vector<double> out;
  out.reserve(kCount + 4096);

  const auto finish = [&out](const char* name) {
    print(name, fingerprint(out));
    out.clear();
  };

  for (std::size_t i = 0; i < kCount; ++i) out.push_back(el::exp(s.uniform(-746.0, 710.0)));
  // exp(a 2^-26) lies a hair above a midpoint: the precise path.
  for (int a = -255; a < 256; ++a) out.push_back(el::exp(a * 0x1p-26));
  finish("elementary.exp");

  for (const bool cosine : {false, true}) {
    Sequence angles(2);
    for (std::size_t i = 0; i < kCount; ++i) {
      // Rotary angles up to 2^32 turns and beyond, and arguments up to the
      // largest doubles (the long reduction).
      // Draws in separate statements: the order in which function
      // arguments are evaluated differs between compilers.
      double x = angles.uniform(0.0, 4294967296.0);
      if (i % 4 == 3) {
        const int exponent = static_cast<int>(angles.below(1024));
        x = times_power_of_two(1.0 + x * 0x1p-32, exponent);
      }
      out.push_back(cosine ? el::cos(x) : el::sin(x));
    }
    // Near multiples of pi/2 (the precise path's reduction).
    for (int k = 1; k < 2000; ++k) {
      const double x = k * 1.5707963267948966;
      out.push_back(cosine ? el::cos(x) : el::sin(x));
    }
    finish(cosine ? "elementary.cos" : "elementary.sin");
  }

  for (std::size_t i = 0; i < kCount; ++i) out.push_back(el::erf(s.uniform(-6.0, 6.0)));
  for (int k = -40; k <= 40; ++k) out.push_back(el::erf(times_power_of_two(1.0, k * 25)));
  finish("elementary.erf");

  for (std::size_t i = 0; i < kCount; ++i) {
    const double mantissa = s.uniform(1.0, 2.0);
    const int exponent = static_cast<int>(s.below(120)) - 60;
    const double e = static_cast<double>(2 * s.below(64)) / 128.0;
    const double base = times_power_of_two(mantissa, exponent);
    out.push_back(el::pow(base, e));
  }
  // Exact results and midpoints (t^2)^1.5 = t^3 of 54 bits.
  for (std::uint64_t t = (1ULL << 18) - 1001; t < (1ULL << 18); t += 2) {
    const double v = static_cast<double>(t);
    out.push_back(el::pow(v * v, 1.5));
  }
  finish("elementary.pow");
}

// ---- models ----

struct Model {
  std::string name;
  TransformerSpec spec;
  TransformerWeights weights;
  TokenBatch batch;
};

Tensor random_tensor(std::vector<std::size_t> shape, Sequence& s, double low, double high) {
  Tensor t(std::move(shape), 0.0, true);
  for (double& v : t.data) v = s.uniform(low, high);
  return t;
}

Model make_model(std::string name, FeedForwardKind kind, std::uint32_t context, std::size_t width,
                 std::size_t batch_size, double rope_base, bool tied, std::uint64_t seed) {
  Model m;
  m.name = std::move(name);
  TransformerSpec& spec = m.spec;
  spec.vocabulary = 61;
  spec.context = context;
  spec.layers = 2;
  spec.model_dim = 16;
  spec.ffn_dim = 40;
  spec.query_heads = 4;
  spec.kv_heads = 2;
  spec.head_dim = 4;
  spec.position.rope_base = rope_base;
  spec.feed_forward = kind;
  spec.tied_embeddings = tied;
  spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                {"logits", PortDirection::output, PortKind::logits, 61, "logits/1"}};

  Sequence s(seed);
  const std::size_t d = spec.model_dim;
  const std::size_t kv = std::size_t{spec.kv_heads} * spec.head_dim;
  const std::size_t f = spec.ffn_dim;
  TransformerWeights& w = m.weights;
  // Large enough weights that the softmax, SiLU and GELU see arguments of
  // every size they meet in practice.
  w.token_embedding = random_tensor({spec.vocabulary, d}, s, -2.0, 2.0);
  for (std::uint32_t i = 0; i < spec.layers; ++i) {
    LayerWeights l;
    l.attention_norm = random_tensor({d}, s, 0.5, 1.5);
    l.query = random_tensor({d, d}, s, -1.0, 1.0);
    l.key = random_tensor({kv, d}, s, -1.0, 1.0);
    l.value = random_tensor({kv, d}, s, -1.0, 1.0);
    l.attention_output = random_tensor({d, d}, s, -0.5, 0.5);
    l.ffn_norm = random_tensor({d}, s, 0.5, 1.5);
    l.ffn_gate = random_tensor({f, d}, s, -1.0, 1.0);
    l.ffn_up = random_tensor({f, d}, s, -1.0, 1.0);
    l.ffn_down = random_tensor({d, f}, s, -0.3, 0.3);
    w.layers.push_back(std::move(l));
  }
  w.final_norm = random_tensor({d}, s, 0.5, 1.5);
  if (!tied) w.output_embedding = random_tensor({spec.vocabulary, d}, s, -1.0, 1.0);

  m.batch.batch_size = batch_size;
  m.batch.width = width;
  for (std::size_t k = 0; k < batch_size * width; ++k) {
    m.batch.tokens.push_back(static_cast<std::uint32_t>(s.below(spec.vocabulary)));
  }
  if (batch_size > 1) {
    for (std::size_t b = 0; b < batch_size; ++b) m.batch.lengths.push_back(width - 3 * b);
  }
  return m;
}

using Fingerprints = std::vector<std::pair<std::string, std::uint64_t>>;

// Every observed tensor and the logits of one forward pass on `kernels`.
Fingerprints run(const Model& m, bool full_precision, const kernels::KernelTable& kernels) {
  Fingerprints out;
  ForwardOptions options;
  options.full_precision = full_precision;
  const std::string prefix = m.name + (full_precision ? ".full." : ".single.");
  options.observer = [&](std::string_view name, const Tensor& t) {
    out.emplace_back(prefix + std::string(name), fingerprint(t.data));
  };
  const Tensor logits = forward_with(kernels, m.spec, m.weights, m.batch, options);
  out.emplace_back(prefix + "result", fingerprint(logits.data));
  return out;
}

// Rotary tables and a rotation at positions just below the largest context
// (2^32 - 1) and far beyond it, for two bases.
Fingerprints rotations(const kernels::KernelTable& kernels) {
  Fingerprints out;
  Sequence s(9);
  for (const double base : {10000.0, 500000.0, 0.75}) {
    for (const std::size_t offset : {std::size_t{0xFFFFFFFFULL - 64}, std::size_t{1} << 52}) {
      const std::size_t positions = 64;
      const std::size_t dim = 64;
      const RopeTable table = build_rope_table(positions, dim, base, offset);
      const std::string name = "rope.base" + std::to_string(static_cast<long long>(base * 100)) +
                               ".offset" + std::to_string(offset);
      out.emplace_back(name + ".cos", fingerprint(table.cos));
      out.emplace_back(name + ".sin", fingerprint(table.sin));
      Tensor query = random_tensor({positions, 2 * dim}, s, -1.0, 1.0);
      Tensor key = random_tensor({positions, dim}, s, -1.0, 1.0);
      apply_rope_with(kernels, query, key, 1, positions, 2, 1, table, true, false);
      out.emplace_back(name + ".query", fingerprint(query.data));
      out.emplace_back(name + ".key", fingerprint(key.data));
    }
  }
  return out;
}

int run_all() {
  elementary_sweeps();

  std::vector<Model> models;
  models.push_back(make_model("swiglu", FeedForwardKind::swiglu, 64, 24, 2, 10000.0, true, 3));
  models.push_back(make_model("gelu", FeedForwardKind::gelu_mlp, 64, 24, 2, 10000.0, false, 4));
  // Every position up to the context, with a base of long-context models.
  models.push_back(
      make_model("swiglu_long", FeedForwardKind::swiglu, 768, 768, 1, 500000.0, true, 5));
  models.push_back(
      make_model("gelu_long", FeedForwardKind::gelu_mlp, 768, 768, 1, 500000.0, true, 6));

  const kernels::KernelTable& active = kernels::active_kernels();
  int status = 0;
  const auto compare_levels =
      [&](const std::function<Fingerprints(const kernels::KernelTable&)>& compute) {
        const Fingerprints expected = compute(active);
        for (const auto& [name, hash] : expected) print(name, hash);
        for (const kernels::CpuLevel level : kernels::compiled_levels()) {
          if (!kernels::cpu_supports(level) || level == active.level) continue;
          if (compute(kernels::kernels_for(level)) != expected) {
            std::fprintf(stderr, "kernel level %s gives different bits\n",
                         std::string(kernels::level_name(level)).c_str());
            status = 1;
          }
        }
      };
  for (const Model& m : models) {
    for (const bool full_precision : {true, false}) {
      compare_levels([&](const kernels::KernelTable& k) { return run(m, full_precision, k); });
    }
  }
  compare_levels([](const kernels::KernelTable& k) { return rotations(k); });
  return status;
}

}  // namespace
}  // namespace Orvane::Core::Lumeth

int main() {
  try {
    return Orvane::Core::Lumeth::run_all();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
