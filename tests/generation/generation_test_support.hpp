#pragma once

// Shared by the generation tests: models whose next token is known (the
// successor model) or arbitrary (random models), a recorder for what the
// callback hears, and running generate on one kernel level.

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/artifact/model.hpp"
#include "lumeth/generation/generate.hpp"
#include "lumeth/generation/internal/generation_internals.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/internal/kernels/cpu_level.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth::Testing {

using ModelPtr = std::shared_ptr<const TransformerModel>;
using Ids = std::vector<std::uint32_t>;

inline std::vector<PortSpec> ports_of(std::uint32_t vocabulary) {
  return {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
          {"logits", PortDirection::output, PortKind::logits, vocabulary, "logits/1"}};
}

inline Tensor random_tensor(std::vector<std::size_t> shape, std::mt19937_64& engine, double low,
                            double high) {
  Tensor t(std::move(shape), 0.0, true);
  std::uniform_real_distribution<double> distribution(low, high);
  for (double& v : t.data) v = distribution(engine);
  return t;
}

inline ModelPtr make_bound(const TransformerSpec& spec, TransformerWeights weights,
                           const std::optional<std::string>& tokenizer_hash) {
  return tokenizer_hash ? make_model(spec, std::move(weights), *tokenizer_hash)
                        : make_model(spec, std::move(weights));
}

// A model whose most likely next token is successor[id] wherever successor
// holds one (kNoTokenId: none), by a margin of about `strength` logits over
// every other id. Token i embeds as the unit vector e_i (model_dim d: the
// vocabulary rounded up to a multiple of 4) and the untied output row of t
// is strength / sqrt(d) * e_p for the p whose successor t is: after the
// final norm (which scales e_i by sqrt(d)) the logit of successor[i] is
// `strength` and every other logit 0. The layer weights are random within
// +-noise, so attention and the cache move the logits a little; the layers
// add about noise^2 * d per coordinate to the residual, so noise well below
// d^-0.75 (0.015 for d = 260) keeps that a small fraction of e_i.
inline ModelPtr successor_model(std::uint32_t vocabulary,
                                const std::vector<std::uint32_t>& successor, double strength,
                                double noise, std::uint32_t context,
                                const std::optional<std::string>& tokenizer_hash,
                                std::uint64_t seed = 1) {
  const std::size_t d = (std::size_t{vocabulary} + 3) / 4 * 4;
  TransformerSpec spec;
  spec.vocabulary = vocabulary;
  spec.context = context;
  spec.layers = 1;
  spec.query_heads = 2;
  spec.kv_heads = 1;
  spec.head_dim = static_cast<std::uint32_t>(d / 2);
  spec.model_dim = static_cast<std::uint32_t>(d);
  spec.ffn_dim = 4;
  spec.tied_embeddings = false;
  spec.ports = ports_of(vocabulary);

  std::mt19937_64 engine(seed);
  const std::size_t kv = d / 2;
  TransformerWeights w;
  w.token_embedding = Tensor({vocabulary, d}, 0.0, true);
  w.output_embedding = Tensor({vocabulary, d}, 0.0, true);
  const double scale = strength / std::sqrt(static_cast<double>(d));
  for (std::uint32_t i = 0; i < vocabulary; ++i) {
    w.token_embedding.data[i * d + i] = 1.0;
    if (i < successor.size() && successor[i] != kNoTokenId) {
      w.output_embedding.data[successor[i] * d + i] = scale;
    }
  }
  LayerWeights layer;
  layer.attention_norm = Tensor({d}, 1.0, true);
  layer.query = random_tensor({d, d}, engine, -noise, noise);
  layer.key = random_tensor({kv, d}, engine, -noise, noise);
  layer.value = random_tensor({kv, d}, engine, -noise, noise);
  layer.attention_output = random_tensor({d, d}, engine, -noise, noise);
  layer.ffn_norm = Tensor({d}, 1.0, true);
  layer.ffn_gate = random_tensor({4, d}, engine, -noise, noise);
  layer.ffn_up = random_tensor({4, d}, engine, -noise, noise);
  layer.ffn_down = random_tensor({d, 4}, engine, -noise, noise);
  w.layers.push_back(std::move(layer));
  w.final_norm = Tensor({d}, 1.0, true);
  return make_bound(spec, std::move(w), tokenizer_hash);
}

// successor_model's table for a chain of ids: chain[k] is followed by
// chain[k + 1], the last by nothing.
inline std::vector<std::uint32_t> chain_successors(std::uint32_t vocabulary, const Ids& chain) {
  std::vector<std::uint32_t> successor(vocabulary, kNoTokenId);
  for (std::size_t k = 0; k + 1 < chain.size(); ++k) successor[chain[k]] = chain[k + 1];
  return successor;
}

// A random model of vocabulary `vocabulary` and a few layers and heads drawn
// from `seed`; logits spread over a few units, so that sampling at
// temperature 1 gives varied ids.
inline ModelPtr random_model(std::uint32_t vocabulary, std::uint32_t context, std::uint64_t seed,
                             const std::optional<std::string>& tokenizer_hash = std::nullopt) {
  std::mt19937_64 engine(seed);
  const auto below = [&](std::uint32_t n) { return static_cast<std::uint32_t>(engine() % n); };
  TransformerSpec spec;
  spec.vocabulary = vocabulary;
  spec.context = context;
  spec.layers = 1 + below(2);
  spec.kv_heads = 1 + below(2);
  spec.query_heads = spec.kv_heads * (1 + below(2));
  spec.head_dim = 2 * (1 + below(3));
  spec.model_dim = spec.query_heads * spec.head_dim;
  spec.ffn_dim = 1 + below(6);
  spec.feed_forward = below(2) == 0 ? FeedForwardKind::swiglu : FeedForwardKind::gelu_mlp;
  spec.tied_embeddings = below(2) == 0;
  spec.ports = ports_of(vocabulary);
  const std::size_t d = spec.model_dim;
  const std::size_t kv = std::size_t{spec.kv_heads} * spec.head_dim;
  const std::size_t f = spec.ffn_dim;
  TransformerWeights w;
  w.token_embedding = random_tensor({vocabulary, d}, engine, -1.5, 1.5);
  for (std::uint32_t i = 0; i < spec.layers; ++i) {
    LayerWeights layer;
    layer.attention_norm = random_tensor({d}, engine, 0.7, 1.3);
    layer.query = random_tensor({d, d}, engine, -0.8, 0.8);
    layer.key = random_tensor({kv, d}, engine, -0.8, 0.8);
    layer.value = random_tensor({kv, d}, engine, -0.8, 0.8);
    layer.attention_output = random_tensor({d, d}, engine, -0.5, 0.5);
    layer.ffn_norm = random_tensor({d}, engine, 0.7, 1.3);
    layer.ffn_gate = random_tensor({f, d}, engine, -0.8, 0.8);
    layer.ffn_up = random_tensor({f, d}, engine, -0.8, 0.8);
    layer.ffn_down = random_tensor({d, f}, engine, -0.5, 0.5);
    w.layers.push_back(std::move(layer));
  }
  w.final_norm = random_tensor({d}, engine, 0.7, 1.3);
  if (!spec.tied_embeddings) w.output_embedding = random_tensor({vocabulary, d}, engine, -1.5, 1.5);
  return make_bound(spec, std::move(w), tokenizer_hash);
}

inline bool same_bits(const std::vector<double>& a, std::span<const double> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<std::uint64_t>(a[i]) != std::bit_cast<std::uint64_t>(b[i])) return false;
  }
  return true;
}

// What the callback heard, in order.
struct Recording {
  Ids ids;
  std::vector<std::string> chunks;
  std::vector<std::vector<double>> logits;
  std::vector<std::uint64_t> indices;

  // A callback that records and returns `control` (stop_at: stop after the
  // id of that index instead).
  GenerationCallback callback(std::optional<std::uint64_t> stop_at = std::nullopt) {
    return [this, stop_at](const GeneratedToken& token) {
      ids.push_back(token.id);
      chunks.emplace_back(token.text);
      logits.emplace_back(token.logits.begin(), token.logits.end());
      indices.push_back(token.index);
      return stop_at && token.index == *stop_at ? GenerationControl::stop
                                                : GenerationControl::proceed;
    };
  }
};

// generate on one kernel level; `tokenizer` null for ids only.
inline GenerationResult run_on(kernels::CpuLevel level, InferenceSession& session,
                               const ITransformerTokenizer* tokenizer,
                               const GenerationPrompt& prompt, const GenerationOptions& options,
                               const GenerationCallback& callback = {}) {
  return generate_with(kernels::kernels_for(level), session, tokenizer, prompt, options, callback);
}

}  // namespace Orvane::Core::Lumeth::Testing
