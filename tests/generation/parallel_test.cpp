// generate on a ThreadPool: the same ids, text and logits as on the calling
// thread alone, with the callback on the calling thread.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/generation/generate.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "tests/generation/generation_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Testing::Ids;
using Testing::Recording;

// Wide enough that every step's projections and logits are cut into parts:
// width 256, feed-forward 320, the byte tokenizer's 258 ids.
std::shared_ptr<const TransformerModel> wide_model(const std::string& tokenizer_hash) {
  std::mt19937_64 engine(3);
  TransformerSpec spec;
  spec.vocabulary = 258;
  spec.context = 48;
  spec.layers = 2;
  spec.query_heads = 8;
  spec.kv_heads = 4;
  spec.head_dim = 32;
  spec.model_dim = 256;
  spec.ffn_dim = 320;
  spec.feed_forward = FeedForwardKind::gelu_mlp;
  spec.tied_embeddings = true;
  spec.ports = Testing::ports_of(258);
  const std::size_t d = 256;
  TransformerWeights w;
  w.token_embedding = Testing::random_tensor({258, d}, engine, -2.0, 2.0);
  for (std::uint32_t i = 0; i < spec.layers; ++i) {
    LayerWeights layer;
    layer.attention_norm = Testing::random_tensor({d}, engine, 0.7, 1.3);
    layer.query = Testing::random_tensor({d, d}, engine, -0.2, 0.2);
    layer.key = Testing::random_tensor({128, d}, engine, -0.2, 0.2);
    layer.value = Testing::random_tensor({128, d}, engine, -0.2, 0.2);
    layer.attention_output = Testing::random_tensor({d, d}, engine, -0.1, 0.1);
    layer.ffn_norm = Testing::random_tensor({d}, engine, 0.7, 1.3);
    layer.ffn_gate = Tensor({320, d}, 0.0, true);
    layer.ffn_up = Testing::random_tensor({320, d}, engine, -0.2, 0.2);
    layer.ffn_down = Testing::random_tensor({d, 320}, engine, -0.1, 0.1);
    w.layers.push_back(std::move(layer));
  }
  w.final_norm = Testing::random_tensor({d}, engine, 0.7, 1.3);
  return Testing::make_bound(spec, std::move(w), tokenizer_hash);
}

TEST(ParallelGenerate, GivesTheSameRunOnEveryPool) {
  const ByteTokenizer tokenizer;
  const auto model = wide_model(tokenizer.descriptor().hash);
  GenerationOptions options;
  options.sampler = {.method = SamplingMethod::temperature, .temperature = 1.5};
  options.max_new_tokens = 30;
  options.stop_at_end_of_sequence = false;
  const auto run = [&](ThreadPool* pool, Recording& recording) {
    InferenceSession session = make_generation_session(model, 77);
    GenerationOptions with_pool = options;
    with_pool.pool = pool;
    return generate(session, tokenizer, "Dobrý den, ", with_pool, recording.callback());
  };
  Recording alone_heard;
  const GenerationResult alone = run(nullptr, alone_heard);
  ASSERT_EQ(alone.ids.size(), 30U);
  for (const std::size_t threads : {1U, 2U, 3U, 8U}) {
    ThreadPool pool(threads);
    Recording heard;
    const std::thread::id caller = std::this_thread::get_id();
    bool on_caller = true;
    const GenerationResult threaded = run(&pool, heard);
    EXPECT_EQ(threaded.ids, alone.ids) << threads;
    EXPECT_EQ(threaded.text, alone.text) << threads;
    EXPECT_TRUE(heard.logits == alone_heard.logits) << threads;
    // The callback runs on the thread that called generate.
    InferenceSession session = make_generation_session(model, 77);
    GenerationOptions with_pool = options;
    with_pool.pool = &pool;
    with_pool.max_new_tokens = 5;
    (void)generate(session, tokenizer, "x", with_pool, [&](const GeneratedToken&) {
      on_caller = on_caller && std::this_thread::get_id() == caller;
      return GenerationControl::proceed;
    });
    EXPECT_TRUE(on_caller);
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
