// Session steps on a ThreadPool: the same logits and cache as on the calling
// thread alone, a failed step changes nothing, and many sessions over one
// shared model step at once on the program's threads (sharing a pool, each
// with its own, or none), each exactly as when it steps alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/session/inference_session.hpp"
#include "tests/session/session_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Testing::Snapshot;
using ModelPtr = std::shared_ptr<const TransformerModel>;
using Ids = std::vector<std::uint32_t>;
using Bits = std::vector<std::uint64_t>;

constexpr std::size_t kPoolSizes[] = {1, 2, 3, 8};

Bits bits_of(const std::vector<double>& values) {
  Bits bits;
  bits.reserve(values.size());
  for (const double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
  return bits;
}

std::string failure_of(const std::function<void()>& run) {
  try {
    run();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

// A model large enough that a one-id step splits every projection and the
// logits across threads: width 256 (8 query heads of 32 over 2 key/value
// heads), feed-forward 384, vocabulary 512, two layers, untied.
TransformerSpec spec_of() {
  TransformerSpec spec;
  spec.vocabulary = 512;
  spec.context = 64;
  spec.layers = 2;
  spec.query_heads = 8;
  spec.kv_heads = 2;
  spec.head_dim = 32;
  spec.model_dim = 256;
  spec.ffn_dim = 384;
  spec.feed_forward = FeedForwardKind::swiglu;
  spec.tied_embeddings = false;
  spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                {"logits", PortDirection::output, PortKind::logits, 512, "logits/1"}};
  return spec;
}

TransformerWeights weights_of(const TransformerSpec& spec, std::uint64_t seed) {
  std::mt19937_64 engine(seed);
  const auto tensor = [&](std::vector<std::size_t> shape, double low, double high) {
    Tensor t(std::move(shape), 0.0, true);
    std::uniform_real_distribution<double> distribution(low, high);
    for (double& v : t.data) v = distribution(engine);
    return t;
  };
  const std::size_t d = spec.model_dim;
  const std::size_t kv = std::size_t{spec.kv_heads} * spec.head_dim;
  const std::size_t f = spec.ffn_dim;
  TransformerWeights w;
  w.token_embedding = tensor({spec.vocabulary, d}, -1.0, 1.0);
  for (std::uint32_t i = 0; i < spec.layers; ++i) {
    LayerWeights layer;
    layer.attention_norm = tensor({d}, 0.7, 1.3);
    layer.query = tensor({d, d}, -0.2, 0.2);
    layer.key = tensor({kv, d}, -0.2, 0.2);
    layer.value = tensor({kv, d}, -0.2, 0.2);
    layer.attention_output = tensor({d, d}, -0.1, 0.1);
    layer.ffn_norm = tensor({d}, 0.7, 1.3);
    layer.ffn_gate = tensor({f, d}, -0.2, 0.2);
    layer.ffn_up = tensor({f, d}, -0.2, 0.2);
    layer.ffn_down = tensor({d, f}, -0.1, 0.1);
    w.layers.push_back(std::move(layer));
  }
  w.final_norm = tensor({d}, 0.7, 1.3);
  w.output_embedding = tensor({spec.vocabulary, d}, -1.0, 1.0);
  return w;
}

// A sequence of ids and the sizes of the steps that consume it.
struct Script {
  Ids ids;
  std::vector<std::size_t> steps;
};

Script script_of(std::uint64_t seed, std::size_t length) {
  std::mt19937_64 engine(seed);
  Script script;
  for (std::size_t k = 0; k < length; ++k) script.ids.push_back(engine() % 512);
  for (std::size_t done = 0; done < length;) {
    // Mostly one id at a time, as decoding goes; now and then a few.
    const std::size_t n =
        std::min<std::size_t>(length - done, engine() % 3 == 0 ? 1 + engine() % 6 : 1);
    script.steps.push_back(n);
    done += n;
  }
  return script;
}

// Every step's logits, then the cache, as bits.
std::vector<Bits> play(const ModelPtr& model, const Script& script, bool full_precision,
                       ThreadPool* pool) {
  InferenceSession session(model, 1);
  ForwardOptions options;
  options.full_precision = full_precision;
  options.pool = pool;
  std::vector<Bits> out;
  std::size_t done = 0;
  for (const std::size_t n : script.steps) {
    out.push_back(bits_of(session.append(std::span(script.ids).subspan(done, n), options).data));
    done += n;
  }
  for (const Tensor& tensor : session.cache()) out.push_back(bits_of(tensor.data));
  return out;
}

TEST(ParallelSession, StepsGiveTheSameLogitsAndCacheOnEveryPool) {
  const ModelPtr model = make_model(spec_of(), weights_of(spec_of(), 1));
  std::vector<std::unique_ptr<ThreadPool>> pools;
  for (const std::size_t threads : kPoolSizes)
    pools.push_back(std::make_unique<ThreadPool>(threads));
  for (const std::uint64_t seed : {2U, 3U}) {
    const Script script = script_of(seed, 24);
    for (const bool fp : {true, false}) {
      const std::vector<Bits> alone = play(model, script, fp, nullptr);
      for (const auto& pool : pools) {
        EXPECT_TRUE(play(model, script, fp, pool.get()) == alone)
            << "seed " << seed << (fp ? ", full" : ", single") << ", " << pool->size()
            << " threads";
      }
    }
  }
}

TEST(ParallelSession, AStepThatFailsOnAPoolChangesNothing) {
  // Logits beyond single precision for token 300 (finite in full precision,
  // so make_model's probe passes): single-precision steps without logits
  // succeed, a step with logits fails in the projection that the pool
  // splits, after every layer wrote its cache rows.
  TransformerWeights weights = weights_of(spec_of(), 4);
  weights.output_embedding.data[300 * 256] = 1e300;
  weights.output_embedding.data[300 * 256 + 1] = -1e300;
  const ModelPtr model = make_model(spec_of(), std::move(weights));
  ThreadPool pool(3);
  ForwardOptions quiet;
  quiet.full_precision = false;
  quiet.pool = &pool;
  quiet.compute_logits = false;
  ForwardOptions logits = quiet;
  logits.compute_logits = true;
  ForwardOptions throwing = quiet;
  throwing.observer = [](std::string_view name, const Tensor&) {
    if (name == "layer.1.mlp") throw std::runtime_error("observer refused");
  };
  for (const std::size_t start : {0U, 5U}) {
    InferenceSession session(model, 1);
    if (start > 0) (void)session.append(Ids{1, 2, 3, 4, 5}, quiet);
    const Snapshot before(session);
    EXPECT_EQ(failure_of([&] {
                (void)session.append(Ids{7, 8}, logits);
              }),
              "transformer forward produced NaN/Inf");
    EXPECT_TRUE(Snapshot(session) == before);
    EXPECT_EQ(failure_of([&] { (void)session.append(Ids{9}, throwing); }), "observer refused");
    EXPECT_TRUE(Snapshot(session) == before);
    // And it steps on as if nothing had happened.
    ForwardOptions unobserved;
    unobserved.full_precision = false;
    unobserved.compute_logits = false;
    InferenceSession twin(model, 1);
    if (start > 0) (void)twin.append(Ids{1, 2, 3, 4, 5}, unobserved);
    (void)session.append(Ids{7}, quiet);
    (void)twin.append(Ids{7}, unobserved);
    EXPECT_TRUE(Snapshot(session) == Snapshot(twin));
  }
}

// Many sessions over one shared model, stepped at once by six program
// threads: three share one pool, two have a pool each, one has none. Every
// step's logits and the final cache are those of the session stepped alone
// on one thread.
TEST(ParallelSession, ManySessionsOverOneSharedModelAtOnce) {
  const ModelPtr model = make_model(spec_of(), weights_of(spec_of(), 5));
  constexpr std::size_t kThreads = 6;
  constexpr std::size_t kSessionsPerThread = 2;
  std::vector<Script> scripts;
  std::vector<std::vector<Bits>> expected;
  for (std::size_t s = 0; s < kThreads * kSessionsPerThread; ++s) {
    scripts.push_back(script_of(100 + s, 12 + s % 5));
    expected.push_back(play(model, scripts.back(), s % 2 == 0, nullptr));
  }

  ThreadPool shared(3);
  std::vector<std::unique_ptr<ThreadPool>> own;
  own.push_back(std::make_unique<ThreadPool>(2));
  own.push_back(std::make_unique<ThreadPool>(2));
  ThreadPool* const pool_of[kThreads] = {&shared,      &shared,      &shared,
                                         own[0].get(), own[1].get(), nullptr};
  std::vector<std::vector<Bits>> got(scripts.size());
  std::vector<std::string> errors(kThreads);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (std::size_t k = 0; k < kSessionsPerThread; ++k) {
          const std::size_t s = t + k * kThreads;
          got[s] = play(model, scripts[s], s % 2 == 0, pool_of[t]);
        }
      } catch (const std::exception& e) {
        errors[t] = e.what();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (std::size_t t = 0; t < kThreads; ++t) EXPECT_EQ(errors[t], "") << "thread " << t;
  for (std::size_t s = 0; s < scripts.size(); ++s) {
    EXPECT_TRUE(got[s] == expected[s]) << "session " << s;
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
