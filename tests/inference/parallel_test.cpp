// The inference operators and the forward pass on a ThreadPool: the same
// bits and the same errors as on the calling thread alone, for pools of 1, 2,
// 3 and 8 threads, at every kernel level the processor runs.

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/inference/attention.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/cpu_level.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using kernels::CpuLevel;
using kernels::KernelTable;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kPoolSizes[] = {1, 2, 3, 8};

std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
  std::vector<std::uint64_t> bits;
  bits.reserve(values.size());
  for (const double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
  return bits;
}

// "<exception kind>: <message>" of what `run` throws, or "no error".
std::string failure_of(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::out_of_range& e) {
    return std::string("out_of_range: ") + e.what();
  } catch (const std::domain_error& e) {
    return std::string("domain_error: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "no error";
}

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  double value(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(engine_);
  }
  std::size_t below(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(engine_);
  }
  Tensor tensor(std::vector<std::size_t> shape, double low = -1.0, double high = 1.0) {
    Tensor t(std::move(shape), 0.0, true);
    for (double& v : t.data) v = value(low, high);
    return t;
  }

 private:
  std::mt19937_64 engine_;
};

// The pools every comparison runs on, made once: pools are meant to live
// long and serve many calls.
std::vector<std::unique_ptr<ThreadPool>> make_pools() {
  std::vector<std::unique_ptr<ThreadPool>> pools;
  for (const std::size_t threads : kPoolSizes)
    pools.push_back(std::make_unique<ThreadPool>(threads));
  return pools;
}

class ParallelLevel : public ::testing::TestWithParam<CpuLevel> {
 protected:
  void SetUp() override {
    if (!kernels::cpu_supports(GetParam())) {
      GTEST_SKIP() << "this processor lacks " << kernels::level_name(GetParam());
    }
  }
  const KernelTable& table() const { return kernels::kernels_for(GetParam()); }
  std::vector<std::unique_ptr<ThreadPool>> pools_ = make_pools();
};

INSTANTIATE_TEST_SUITE_P(AllLevels, ParallelLevel, ::testing::ValuesIn(kernels::compiled_levels()),
                         [](const ::testing::TestParamInfo<CpuLevel>& level) {
                           return std::string(kernels::level_name(level.param));
                         });

// Projections cut by outputs: row counts on both sides of the few-rows path,
// both weight layouts, row limits that cut inputs and outputs (attention's
// scores and weighted sums), a scale, single precision, and a planted NaN
// weight that makes the projection report failure either way.
TEST_P(ParallelLevel, ProjectionsGiveTheSameBitsOnEveryPool) {
  struct Case {
    std::size_t rows, in, out;
    bool input_major, in_limits, out_limits, full_precision, nan;
  };
  const Case cases[] = {
      {1, 512, 700, false, false, false, true, false},
      {3, 300, 400, false, false, true, true, false},
      {4, 256, 333, true, false, false, false, false},
      {5, 200, 410, false, false, false, true, false},
      {17, 64, 500, false, true, true, true, false},
      {40, 130, 257, true, true, false, false, false},
      {9, 128, 600, false, false, false, true, true},
      {2, 400, 300, true, false, false, true, true},
  };
  Random random(11);
  for (const Case& c : cases) {
    const Tensor x = random.tensor({c.rows, c.in});
    Tensor w = random.tensor({c.out, c.in});
    if (c.nan) w.data[random.below(w.data.size())] = kNaN;
    std::vector<std::size_t> in_limits(c.rows);
    std::vector<std::size_t> out_limits(c.rows);
    for (std::size_t r = 0; r < c.rows; ++r) {
      in_limits[r] = random.below(c.in + 1);
      out_limits[r] = random.below(c.out + 1);
    }
    const auto project = [&](ThreadPool* pool, bool& ok) {
      std::vector<double> y(c.rows * c.out, -7.0);
      std::vector<const double*> x_rows(c.rows);
      std::vector<double*> y_rows(c.rows);
      for (std::size_t r = 0; r < c.rows; ++r) {
        x_rows[r] = x.data.data() + r * c.in;
        y_rows[r] = y.data() + r * c.out;
      }
      kernels::ProjectArgs args;
      args.rows = c.rows;
      args.in = c.in;
      args.out = c.out;
      args.x_rows = x_rows.data();
      args.in_limits = c.in_limits ? in_limits.data() : nullptr;
      args.weight = w.data.data();
      args.weight_stride = c.input_major ? c.out : c.in;
      args.weight_input_major = c.input_major;
      args.y_rows = y_rows.data();
      args.out_limits = c.out_limits ? out_limits.data() : nullptr;
      args.scale = 0.375;
      args.guard = kernels::guard_mode(c.full_precision);
      ok = run_projection(table(), args, pool);
      return bits_of(y);
    };
    bool alone_ok = false;
    const std::vector<std::uint64_t> alone = project(nullptr, alone_ok);
    EXPECT_EQ(alone_ok, !c.nan);
    for (const auto& pool : pools_) {
      bool ok = false;
      EXPECT_EQ(project(pool.get(), ok), alone)
          << c.rows << "x" << c.in << "->" << c.out << " on " << pool->size() << " threads";
      EXPECT_EQ(ok, alone_ok);
    }
  }
}

TEST_P(ParallelLevel, OperatorsGiveTheSameBitsAndErrorsOnEveryPool) {
  Random random(12);
  const std::size_t rows = 96;
  const std::size_t d = 384;
  const std::size_t f = 200;
  const Tensor x = random.tensor({rows, d});
  const Tensor norm = random.tensor({d}, 0.5, 1.5);
  const Tensor gate = random.tensor({f, d}, -0.2, 0.2);
  const Tensor up = random.tensor({f, d}, -0.2, 0.2);
  const Tensor down = random.tensor({d, f}, -0.2, 0.2);
  for (const bool fp : {true, false}) {
    const auto normalized = [&](ThreadPool* pool) {
      return bits_of(rms_norm_with(table(), x, norm, rows, d, 1e-6, fp, pool).data);
    };
    const auto rotated = [&](ThreadPool* pool) {
      // 2 sequences of 48 rows, 12 query heads and 4 key/value heads of 32.
      Tensor q = x;
      Random same(13);
      Tensor k = same.tensor({rows, 128});
      const RopeTable rope = build_rope_table(48, 32, 10000.0, 5);
      apply_rope_with(table(), q, k, 2, 48, 12, 4, rope, fp, false, pool);
      std::vector<std::uint64_t> bits = bits_of(q.data);
      const std::vector<std::uint64_t> key_bits = bits_of(k.data);
      bits.insert(bits.end(), key_bits.begin(), key_bits.end());
      return bits;
    };
    const auto fed = [&](FeedForwardKind kind, ThreadPool* pool) {
      return bits_of(
          feed_forward_with(table(), x, gate, up, down, rows, d, f, kind, fp, pool).data);
    };
    for (const auto& pool : pools_) {
      EXPECT_EQ(normalized(pool.get()), normalized(nullptr)) << pool->size();
      EXPECT_EQ(rotated(pool.get()), rotated(nullptr)) << pool->size();
      for (const FeedForwardKind kind : {FeedForwardKind::swiglu, FeedForwardKind::gelu_mlp}) {
        EXPECT_EQ(fed(kind, pool.get()), fed(kind, nullptr)) << pool->size();
      }
    }
  }

  // A value that overflows single precision in one late row: the operators
  // fail with the same error whatever the pool.
  Tensor huge = x;
  huge.data[90 * d + 7] = 1e300;
  for (const auto& pool : pools_) {
    const std::string expected = failure_of([&] {
      (void)feed_forward_with(table(), huge, gate, up, down, rows, d, f, FeedForwardKind::swiglu,
                              false);
    });
    EXPECT_EQ(expected, "domain_error: transformer operator produced NaN/Inf");
    EXPECT_EQ(failure_of([&] {
                (void)feed_forward_with(table(), huge, gate, up, down, rows, d, f,
                                        FeedForwardKind::swiglu, false, pool.get());
              }),
              expected);
  }
}

// Attention cut into chunks by sequence, key/value head and rows: outputs,
// scores and probabilities as on one thread; errors in walk order (a
// non-finite value in an earlier sequence before a later refused length, a
// refused length before a later non-finite value).
TEST_P(ParallelLevel, AttentionGivesTheSameBitsAndErrorsOnEveryPool) {
  Random random(14);
  const std::size_t batch = 3;
  const std::size_t seq = 70;
  const std::size_t query_heads = 6;
  const std::size_t kv_heads = 2;
  const std::size_t head_dim = 16;
  const Tensor q = random.tensor({batch * seq, query_heads * head_dim}, -2.0, 2.0);
  const Tensor k = random.tensor({batch * seq, kv_heads * head_dim}, -2.0, 2.0);
  const Tensor v = random.tensor({batch * seq, kv_heads * head_dim});
  const std::vector<std::size_t> lengths{70, 33, 1};
  for (const bool fp : {true, false}) {
    const AttentionResult alone =
        attention_with(table(), q, k, v, batch, seq, query_heads, kv_heads, head_dim, lengths, fp);
    const Tensor alone_output = attention_output_with(table(), q, k, v, batch, seq, query_heads,
                                                      kv_heads, head_dim, {}, fp);
    for (const auto& pool : pools_) {
      const AttentionResult a = attention_with(table(), q, k, v, batch, seq, query_heads, kv_heads,
                                               head_dim, lengths, fp, pool.get());
      EXPECT_EQ(bits_of(a.output.data), bits_of(alone.output.data)) << pool->size();
      EXPECT_EQ(bits_of(a.scores.data), bits_of(alone.scores.data)) << pool->size();
      EXPECT_EQ(bits_of(a.probabilities.data), bits_of(alone.probabilities.data)) << pool->size();
      EXPECT_EQ(bits_of(attention_output_with(table(), q, k, v, batch, seq, query_heads, kv_heads,
                                              head_dim, {}, fp, pool.get())
                            .data),
                bits_of(alone_output.data))
          << pool->size();
    }
  }

  Tensor poisoned = q;
  poisoned.data[(seq + 5) * query_heads * head_dim + 3] = kNaN;  // sequence 1
  const struct {
    std::vector<std::size_t> lengths;
    const Tensor* query;
    std::string expected;
  } failures[] = {
      {{70, 70, 71}, &poisoned, "domain_error: transformer operator produced NaN/Inf"},
      {{71, 70, 70}, &poisoned, "invalid_argument: attention length exceeds sequence"},
      {{70, 3, 71}, &poisoned, "invalid_argument: attention length exceeds sequence"},
  };
  for (const auto& failure : failures) {
    const auto attend = [&](ThreadPool* pool) {
      return failure_of([&] {
        (void)attention_with(table(), *failure.query, k, v, batch, seq, query_heads, kv_heads,
                             head_dim, failure.lengths, true, pool);
      });
    };
    EXPECT_EQ(attend(nullptr), failure.expected);
    for (const auto& pool : pools_) EXPECT_EQ(attend(pool.get()), failure.expected);
  }
}

// ---------------------------------------------------------------------------
// The forward pass

struct ModelDraw {
  std::uint32_t vocabulary = 300;
  std::uint32_t layers = 2;
  std::uint32_t kv_heads = 2;
  std::uint32_t group = 2;
  std::uint32_t head_dim = 16;
  std::uint32_t ffn_dim = 150;
  FeedForwardKind kind = FeedForwardKind::swiglu;
  bool tied = true;
};

TransformerSpec spec_of(const ModelDraw& m) {
  TransformerSpec spec;
  spec.vocabulary = m.vocabulary;
  spec.context = 128;
  spec.layers = m.layers;
  spec.query_heads = m.kv_heads * m.group;
  spec.kv_heads = m.kv_heads;
  spec.head_dim = m.head_dim;
  spec.model_dim = spec.query_heads * m.head_dim;
  spec.ffn_dim = m.ffn_dim;
  spec.feed_forward = m.kind;
  spec.tied_embeddings = m.tied;
  spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                {"logits", PortDirection::output, PortKind::logits, m.vocabulary, "logits/1"}};
  return spec;
}

TransformerWeights weights_of(const ModelDraw& m, Random& random) {
  const TransformerSpec spec = spec_of(m);
  const std::size_t d = spec.model_dim;
  const std::size_t kv = std::size_t{m.kv_heads} * m.head_dim;
  const std::size_t f = m.ffn_dim;
  TransformerWeights w;
  w.token_embedding = random.tensor({m.vocabulary, d});
  for (std::uint32_t i = 0; i < m.layers; ++i) {
    LayerWeights layer;
    layer.attention_norm = random.tensor({d}, 0.7, 1.3);
    layer.query = random.tensor({d, d}, -0.3, 0.3);
    layer.key = random.tensor({kv, d}, -0.3, 0.3);
    layer.value = random.tensor({kv, d}, -0.3, 0.3);
    layer.attention_output = random.tensor({d, d}, -0.2, 0.2);
    layer.ffn_norm = random.tensor({d}, 0.7, 1.3);
    layer.ffn_gate = random.tensor({f, d}, -0.3, 0.3);
    layer.ffn_up = random.tensor({f, d}, -0.3, 0.3);
    layer.ffn_down = random.tensor({d, f}, -0.2, 0.2);
    w.layers.push_back(std::move(layer));
  }
  w.final_norm = random.tensor({d}, 0.7, 1.3);
  if (!m.tied) w.output_embedding = random.tensor({m.vocabulary, d});
  return w;
}

// A batch of `sequences` rows of `width` positions with random lengths (one
// of them full) and random ids.
TokenBatch batch_of(const ModelDraw& m, std::size_t sequences, std::size_t width, Random& random) {
  TokenBatch batch;
  batch.batch_size = sequences;
  batch.width = width;
  for (std::size_t k = 0; k < sequences * width; ++k) {
    batch.tokens.push_back(static_cast<std::uint32_t>(random.below(m.vocabulary)));
  }
  for (std::size_t b = 0; b < sequences; ++b) {
    batch.lengths.push_back(b == 0 ? width : 1 + random.below(width));
  }
  return batch;
}

struct ForwardRun {
  std::vector<std::string> names;
  std::vector<std::vector<std::uint64_t>> observed;
  std::vector<std::uint64_t> logits;
  bool observer_on_caller = true;
};

ForwardRun run_forward(const TransformerSpec& spec, const TransformerWeights& weights,
                       const TokenBatch& batch, bool full_precision, ThreadPool* pool) {
  ForwardRun run;
  const std::thread::id caller = std::this_thread::get_id();
  ForwardOptions options;
  options.full_precision = full_precision;
  options.pool = pool;
  options.observer = [&](std::string_view name, const Tensor& tensor) {
    run.names.emplace_back(name);
    run.observed.push_back(bits_of(tensor.data));
    run.observer_on_caller = run.observer_on_caller && std::this_thread::get_id() == caller;
  };
  run.logits = bits_of(forward(spec, weights, batch, options).data);
  // Without an observer the attention keeps no matrices: another path.
  options.observer = nullptr;
  EXPECT_EQ(bits_of(forward(spec, weights, batch, options).data), run.logits);
  return run;
}

TEST(ParallelForward, RandomModelsGiveTheSameBitsOnEveryPool) {
  const std::vector<std::unique_ptr<ThreadPool>> pools = make_pools();
  Random random(15);
  for (std::size_t index = 0; index < 4; ++index) {
    ModelDraw m;
    m.tied = index % 2 == 0;
    m.kind = index / 2 == 0 ? FeedForwardKind::swiglu : FeedForwardKind::gelu_mlp;
    m.group = 1 + static_cast<std::uint32_t>(index % 3);
    m.kv_heads = 1 + static_cast<std::uint32_t>(random.below(2));
    m.head_dim = 8 * (1 + static_cast<std::uint32_t>(random.below(3)));
    m.ffn_dim = 64 + static_cast<std::uint32_t>(random.below(150));
    m.vocabulary = 200 + static_cast<std::uint32_t>(random.below(400));
    const TransformerSpec spec = spec_of(m);
    const TransformerWeights weights = weights_of(m, random);
    const TokenBatch batch = batch_of(m, 1 + random.below(3), 20 + random.below(60), random);
    for (const bool fp : {true, false}) {
      const ForwardRun alone = run_forward(spec, weights, batch, fp, nullptr);
      for (const auto& pool : pools) {
        const ForwardRun threaded = run_forward(spec, weights, batch, fp, pool.get());
        EXPECT_EQ(threaded.names, alone.names);
        EXPECT_TRUE(threaded.observed == alone.observed)
            << "model " << index << ", " << pool->size();
        EXPECT_EQ(threaded.logits, alone.logits) << "model " << index << ", " << pool->size();
        EXPECT_TRUE(threaded.observer_on_caller);
      }
    }
  }
}

TEST(ParallelForward, FailuresAreThoseOfTheCallingThreadAlone) {
  const std::vector<std::unique_ptr<ThreadPool>> pools = make_pools();
  Random random(16);
  const ModelDraw m;
  const TransformerSpec spec = spec_of(m);
  const TransformerWeights good = weights_of(m, random);
  const TokenBatch batch = batch_of(m, 2, 64, random);

  TransformerWeights nan_value = good;
  nan_value.layers[1].value.data[5] = kNaN;  // the forward pass's own projection
  TransformerWeights nan_gate = good;
  nan_gate.layers[0].ffn_gate.data[77] = kNaN;  // inside the feed-forward operator
  TransformerWeights huge_embedding = good;
  huge_embedding.token_embedding.data[batch.tokens[3] * spec.model_dim] = 1e300;
  TransformerWeights bad_shape = good;
  bad_shape.layers[1].ffn_down = Tensor({3}, 0.0, true);

  const struct {
    const TransformerWeights* weights;
    bool full_precision;
    std::string expected;
  } cases[] = {
      {&nan_value, true, "domain_error: transformer forward produced NaN/Inf"},
      {&nan_gate, true, "domain_error: transformer operator produced NaN/Inf"},
      {&huge_embedding, false, "domain_error: transformer forward produced NaN/Inf"},
      {&bad_shape, true, "invalid_argument: feed-forward down weight has an invalid shape"},
  };
  for (const auto& c : cases) {
    const auto run = [&](ThreadPool* pool, std::vector<std::string>& names) {
      ForwardOptions options;
      options.full_precision = c.full_precision;
      options.pool = pool;
      options.observer = [&names](std::string_view name, const Tensor&) {
        names.emplace_back(name);
      };
      return failure_of([&] { (void)forward(spec, *c.weights, batch, options); });
    };
    std::vector<std::string> alone_names;
    EXPECT_EQ(run(nullptr, alone_names), c.expected);
    for (const auto& pool : pools) {
      std::vector<std::string> names;
      EXPECT_EQ(run(pool.get(), names), c.expected) << pool->size();
      EXPECT_EQ(names, alone_names) << "observations before the failure";
    }
  }

  // An exception from the observer leaves through forward, on every pool.
  for (const auto& pool : pools) {
    ForwardOptions options;
    options.pool = pool.get();
    options.observer = [](std::string_view name, const Tensor&) {
      if (name == "layer.1.v") throw std::runtime_error("observer stops here");
    };
    EXPECT_EQ(failure_of([&] { (void)forward(spec, good, batch, options); }),
              "other: observer stops here");
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
