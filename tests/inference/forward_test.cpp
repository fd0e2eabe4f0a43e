#include "lumeth/inference/forward.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/operators.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

struct ModelShape {
  std::uint32_t vocabulary = 257;
  std::uint32_t context = 512;
  std::uint32_t layers = 1;
  std::uint32_t model_dim = 2;
  std::uint32_t ffn_dim = 3;
  std::uint32_t query_heads = 1;
  std::uint32_t kv_heads = 1;
  std::uint32_t head_dim = 2;
  FeedForwardKind kind = FeedForwardKind::swiglu;
  bool tied = true;
};

TransformerSpec make_spec(const ModelShape& m) {
  TransformerSpec spec;
  spec.vocabulary = m.vocabulary;
  spec.context = m.context;
  spec.layers = m.layers;
  spec.model_dim = m.model_dim;
  spec.ffn_dim = m.ffn_dim;
  spec.query_heads = m.query_heads;
  spec.kv_heads = m.kv_heads;
  spec.head_dim = m.head_dim;
  spec.feed_forward = m.kind;
  spec.tied_embeddings = m.tied;
  spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                {"logits", PortDirection::output, PortKind::logits, m.vocabulary, "logits/1"}};
  return spec;
}

// Deterministic, varied values of moderate size; `centre` 1.0 suits norms.
Tensor patterned(std::vector<std::size_t> shape, double seed, double centre = 0.0) {
  Tensor t(std::move(shape), 0.0, true);
  for (std::size_t k = 0; k < t.data.size(); ++k) {
    t.data[k] = centre + 0.5 * elementary::sin(static_cast<double>(k) * 0.731 + seed);
  }
  return t;
}

TransformerWeights make_weights(const ModelShape& m) {
  const std::size_t d = m.model_dim;
  const std::size_t q = std::size_t{m.query_heads} * m.head_dim;
  const std::size_t kv = std::size_t{m.kv_heads} * m.head_dim;
  const std::size_t f = m.ffn_dim;
  TransformerWeights w;
  w.token_embedding = patterned({m.vocabulary, d}, 0.1);
  for (std::uint32_t i = 0; i < m.layers; ++i) {
    const double s = 1.0 + static_cast<double>(i);
    LayerWeights layer;
    layer.attention_norm = patterned({d}, s * 0.2, 1.0);
    layer.query = patterned({q, d}, s * 0.3);
    layer.key = patterned({kv, d}, s * 0.4);
    layer.value = patterned({kv, d}, s * 0.5);
    layer.attention_output = patterned({d, q}, s * 0.6);
    layer.ffn_norm = patterned({d}, s * 0.7, 1.0);
    layer.ffn_gate = patterned({f, d}, s * 0.8);
    layer.ffn_up = patterned({f, d}, s * 0.9);
    layer.ffn_down = patterned({d, f}, s * 1.1);
    w.layers.push_back(std::move(layer));
  }
  w.final_norm = patterned({d}, 1.3, 1.0);
  if (!m.tied) {
    w.output_embedding = patterned({m.vocabulary, d}, 1.7);
  }
  return w;
}

TokenBatch make_batch(std::size_t batch_size, std::size_t width, std::vector<std::uint32_t> tokens,
                      std::vector<std::size_t> lengths = {}) {
  TokenBatch batch;
  batch.batch_size = batch_size;
  batch.width = width;
  batch.tokens = std::move(tokens);
  batch.lengths = std::move(lengths);
  return batch;
}

ForwardOptions options(bool full_precision = true) {
  ForwardOptions o;
  o.full_precision = full_precision;
  return o;
}

std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
  std::vector<std::uint64_t> bits;
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
  } catch (const std::overflow_error& e) {
    return std::string("overflow_error: ") + e.what();
  } catch (const std::domain_error& e) {
    return std::string("domain_error: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "no error";
}

TEST(Forward, ObserverSeesEveryStageInOrder) {
  const ModelShape m;
  const TransformerSpec spec = make_spec(m);
  const TransformerWeights weights = make_weights(m);
  std::vector<std::string> names;
  std::map<std::string, Tensor> seen;
  ForwardOptions o;
  o.observer = [&](std::string_view name, const Tensor& t) {
    names.emplace_back(name);
    seen[std::string(name)] = t;
  };
  const Tensor logits = forward(spec, weights, make_batch(1, 1, {65}), o);

  EXPECT_THAT(names, ElementsAre("embedding", "layer.0.q", "layer.0.k", "layer.0.v",
                                 "layer.0.scores", "layer.0.probabilities", "layer.0.attention",
                                 "layer.0.mlp", "final_norm", "logits"));
  EXPECT_THAT(logits.shape, ElementsAre(1U, 1U, 257U));
  EXPECT_TRUE(logits.full_precision);
  EXPECT_THAT(seen["layer.0.probabilities"].data, ElementsAre(1.0));
  EXPECT_EQ(bits_of(seen["logits"].data), bits_of(logits.data));
  EXPECT_THAT(seen["embedding"].data, ElementsAre(weights.token_embedding.at({65, 0}),
                                                  weights.token_embedding.at({65, 1})));

  // Position 0 is not rotated: the observed query is the plain projection.
  const Tensor h = rms_norm(seen["embedding"], weights.layers[0].attention_norm, 1, 2,
                            spec.normalization.epsilon, true);
  const Tensor q = linear(h, weights.layers[0].query, 1, 2, 2, true, GuardLevel::forward);
  EXPECT_EQ(bits_of(seen["layer.0.q"].data), bits_of(q.data));
  // With a single visible position the attention output is the value row.
  EXPECT_EQ(bits_of(seen["layer.0.attention"].data), bits_of(seen["layer.0.v"].data));
}

TEST(Forward, ObserverNamesCountLayersInDecimal) {
  ModelShape m;
  m.layers = 11;
  std::vector<std::string> names;
  ForwardOptions o;
  o.observer = [&](std::string_view name, const Tensor&) { names.emplace_back(name); };
  (void)forward(make_spec(m), make_weights(m), make_batch(1, 2, {1, 2}), o);
  ASSERT_EQ(names.size(), 1U + 11U * 7U + 2U);
  EXPECT_EQ(names[1 + 10 * 7], "layer.10.q");
  EXPECT_EQ(names[1 + 10 * 7 + 6], "layer.10.mlp");
}

TEST(Forward, ObserverExceptionsPropagate) {
  const ModelShape m;
  ForwardOptions o;
  o.observer = [](std::string_view name, const Tensor&) {
    if (name == "layer.0.v") throw std::runtime_error("observer stopped");
  };
  EXPECT_THAT([&] { (void)forward(make_spec(m), make_weights(m), make_batch(1, 1, {3}), o); },
              ThrowsMessage<std::runtime_error>(StrEq("observer stopped")));
}

// One layer, vocabulary 3, model width 2, one head of width 2, feed-forward
// width 1, SwiGLU; tokens [1, 2]. The weights are picked by hand and the whole
// pass is recomputed below in plain doubles, in the same order of operations.
TEST(Forward, MatchesAHandComputedTinyModel) {
  ModelShape m;
  m.vocabulary = 3;
  m.context = 4;
  m.ffn_dim = 1;
  const TransformerSpec spec = make_spec(m);
  TransformerWeights w;
  const auto tensor = [](std::vector<std::size_t> shape, std::vector<double> values) {
    Tensor t(std::move(shape), 0.0, true);
    t.data = std::move(values);
    return t;
  };
  w.token_embedding = tensor({3, 2}, {0.5, -1.0, 1.5, 0.25, -0.75, 2.0});
  LayerWeights l;
  l.attention_norm = tensor({2}, {1.0, 0.5});
  l.query = tensor({2, 2}, {0.3, -0.2, 0.7, 0.1});
  l.key = tensor({2, 2}, {-0.4, 0.9, 0.2, 0.6});
  l.value = tensor({2, 2}, {1.1, -0.3, 0.05, 0.8});
  l.attention_output = tensor({2, 2}, {0.6, 0.2, -0.5, 0.9});
  l.ffn_norm = tensor({2}, {0.8, 1.2});
  l.ffn_gate = tensor({1, 2}, {0.4, -0.7});
  l.ffn_up = tensor({1, 2}, {1.3, 0.2});
  l.ffn_down = tensor({2, 1}, {0.9, -0.6});
  w.layers.push_back(l);
  w.final_norm = tensor({2}, {1.1, 0.95});

  const Tensor logits = forward(spec, w, make_batch(1, 2, {1, 2}), options());

  // --- the same pass by hand ---
  const double eps = spec.normalization.epsilon;
  using Vec = std::array<double, 2>;
  const auto row = [](const Tensor& t, std::size_t r) {
    return Vec{t.data[2 * r], t.data[2 * r + 1]};
  };
  const auto norm = [eps](Vec x, const Tensor& weight) {
    const double s = 0.0 + x[0] * x[0] + x[1] * x[1];
    const double k = 1.0 / std::sqrt(s / 2.0 + eps);
    return Vec{weight.data[0] * (x[0] * k), weight.data[1] * (x[1] * k)};
  };
  const auto project = [](Vec x, const Tensor& weight) {  // weight [2, 2]
    return Vec{0.0 + x[0] * weight.data[0] + x[1] * weight.data[1],
               0.0 + x[0] * weight.data[2] + x[1] * weight.data[3]};
  };
  const auto rotate = [](Vec x, double position) {
    const double angle = position / elementary::pow(10000.0, 0.0 / 2.0);
    const double c = elementary::cos(angle);
    const double n = elementary::sin(angle);
    return Vec{x[0] * c - x[1] * n, x[1] * c + x[0] * n};
  };
  const double scale = 1.0 / std::sqrt(2.0);
  const auto dot = [](Vec a, Vec b) { return 0.0 + a[0] * b[0] + a[1] * b[1]; };

  Vec x[2] = {row(w.token_embedding, 1), row(w.token_embedding, 2)};
  Vec q[2], k[2], v[2];
  for (std::size_t p = 0; p < 2; ++p) {
    const Vec h = norm(x[p], l.attention_norm);
    q[p] = rotate(project(h, l.query), static_cast<double>(p));
    k[p] = rotate(project(h, l.key), static_cast<double>(p));
    v[p] = project(h, l.value);
  }
  Vec attended[2];
  attended[0] = Vec{v[0][0] * 1.0 + 0.0, v[0][1] * 1.0 + 0.0};
  {
    const double s0 = dot(q[1], k[0]) * scale;
    const double s1 = dot(q[1], k[1]) * scale;
    const double top = s0 > s1 ? s0 : s1;
    const double sum = 0.0 + elementary::exp(s0 - top) + elementary::exp(s1 - top);
    const double p0 = elementary::exp(s0 - top) / sum;
    const double p1 = elementary::exp(s1 - top) / sum;
    for (std::size_t d = 0; d < 2; ++d) attended[1][d] = v[1][d] * p1 + (v[0][d] * p0 + 0.0);
  }
  for (std::size_t p = 0; p < 2; ++p) {
    const Vec o = project(attended[p], l.attention_output);
    x[p] = Vec{x[p][0] + o[0], x[p][1] + o[1]};
    const Vec h2 = norm(x[p], l.ffn_norm);
    const double gate = 0.0 + h2[0] * l.ffn_gate.data[0] + h2[1] * l.ffn_gate.data[1];
    const double up = 0.0 + h2[0] * l.ffn_up.data[0] + h2[1] * l.ffn_up.data[1];
    const double hidden = (gate / (elementary::exp(-gate) + 1.0)) * up;
    const Vec mlp{0.0 + hidden * l.ffn_down.data[0], 0.0 + hidden * l.ffn_down.data[1]};
    x[p] = Vec{x[p][0] + mlp[0], x[p][1] + mlp[1]};
    const Vec f = norm(x[p], w.final_norm);
    for (std::size_t t = 0; t < 3; ++t) {
      const double expected = dot(row(w.token_embedding, t), f);
      EXPECT_EQ(logits.at({0, p, t}), expected) << p << " " << t;
    }
  }
  // The hand computation is not trivially zero.
  EXPECT_NE(logits.at({0, 1, 0}), 0.0);
}

TEST(Forward, FillerPositionsStayZeroAndAreNeverValidated) {
  const ModelShape m;
  const TransformerSpec spec = make_spec(m);
  const TransformerWeights weights = make_weights(m);
  // Sequence 0 has length 1; its filler ids are beyond the vocabulary.
  const TokenBatch batch = make_batch(2, 3, {40, 257, 99999, 7, 8, 9}, {1, 3});
  std::map<std::string, Tensor> seen;
  ForwardOptions o;
  o.observer = [&](std::string_view name, const Tensor& t) { seen[std::string(name)] = t; };
  const Tensor logits = forward(spec, weights, batch, o);
  EXPECT_THAT(logits.shape, ElementsAre(2U, 3U, 257U));
  for (std::size_t s = 1; s < 3; ++s) {
    for (std::size_t t = 0; t < 257; ++t) {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(logits.at({0, s, t})), 0U) << s << " " << t;
    }
  }
  // Rows 1 and 2 are filler in every row-shaped intermediate.
  for (const char* name : {"embedding", "layer.0.q", "layer.0.k", "layer.0.v", "layer.0.attention",
                           "layer.0.mlp", "final_norm"}) {
    const Tensor& t = seen[name];
    for (std::size_t r = 1; r < 3; ++r) {
      for (std::size_t c = 0; c < t.shape[1]; ++c) {
        EXPECT_EQ(t.at({r, c}), 0.0) << name << " " << r;
      }
    }
  }

  // Valid positions do not depend on the padding or on the other sequence.
  const Tensor alone0 = forward(spec, weights, make_batch(1, 1, {40}), options());
  const Tensor alone1 = forward(spec, weights, make_batch(1, 3, {7, 8, 9}), options());
  EXPECT_EQ(bits_of(std::vector<double>(logits.data.begin(), logits.data.begin() + 257)),
            bits_of(alone0.data));
  EXPECT_EQ(bits_of(std::vector<double>(logits.data.begin() + 3 * 257, logits.data.end())),
            bits_of(alone1.data));
}

TEST(Forward, InputChecksInOrder) {
  ModelShape m;
  m.context = 4;
  struct Case {
    const char* name;
    std::function<void(TransformerSpec&, TransformerWeights&, TokenBatch&)> edit;
    std::string expected;
    bool layer_check;  // raised by forward when the layer is reached, not by validation
    // The outcome with full_precision false where it differs from `expected`.
    std::string single_precision{};
  };
  constexpr std::size_t half = std::size_t{1} << 63;
  const std::vector<Case> cases = {
      {"zero batch",
       [](auto&, auto&, TokenBatch& b) {
         b.batch_size = 0;
         b.tokens.clear();
       },
       "invalid_argument: token batch dimensions are invalid", false},
      {"zero width",
       [](auto&, auto&, TokenBatch& b) {
         b.width = 0;
         b.tokens.clear();
       },
       "invalid_argument: token batch dimensions are invalid", false},
      {"width above context",
       [](auto&, auto&, TokenBatch& b) {
         b.width = 5;
         b.tokens.assign(10, 1);
       },
       "invalid_argument: token batch dimensions are invalid", false},
      {"too many tokens", [](auto&, auto&, TokenBatch& b) { b.tokens.push_back(1); },
       "invalid_argument: token batch storage does not match shape", false},
      // 2^63 + 1 sequences of width 2 wrap to 2 in 64 bits, the token count.
      {"wrapping token count",
       [](auto&, auto&, TokenBatch& b) {
         b.batch_size = half + 1;
         b.width = 2;
         b.tokens = {1, 2};
       },
       "invalid_argument: token batch storage does not match shape", false},
      {"lengths count", [](auto&, auto&, TokenBatch& b) { b.lengths = {1}; },
       "invalid_argument: token batch lengths do not match batch size", false},
      {"length above width",
       [](auto&, auto&, TokenBatch& b) {
         b.lengths = {3, 5};
       },
       "invalid_argument: sequence length exceeds batch width", false},
      {"token equal to vocabulary", [](auto&, auto&, TokenBatch& b) { b.tokens[6] = 257; },
       "out_of_range: token id exceeds vocabulary", false},
      // Sequences are examined in order: the bad id of sequence 0 comes first.
      {"token before a bad length",
       [](auto&, auto&, TokenBatch& b) {
         b.tokens[1] = 300;
         b.lengths = {4, 9};
       },
       "out_of_range: token id exceeds vocabulary", false},
      {"token embedding",
       [](auto&, TransformerWeights& w, auto&) {
         w.token_embedding = Tensor({256, 2}, 0.0, true);
       },
       "invalid_argument: token embedding has an invalid shape", false},
      {"final norm",
       [](auto&, TransformerWeights& w, auto&) {
         w.final_norm = Tensor({2, 1}, 1.0, true);
       },
       "invalid_argument: final norm has an invalid shape", false},
      {"layer count", [](auto&, TransformerWeights& w, auto&) { w.layers.pop_back(); },
       "invalid_argument: weight layer count mismatch", false},
      {"output embedding when untied",
       [](TransformerSpec& s, TransformerWeights& w, auto&) {
         s.tied_embeddings = false;
         w.output_embedding = Tensor({2, 257}, 0.0, true);
       },
       "invalid_argument: output embedding has an invalid shape", false},
      {"empty output embedding when untied",
       [](TransformerSpec& s, auto&, auto&) { s.tied_embeddings = false; },
       "invalid_argument: output embedding has an invalid shape", false},
      {"short embedding storage",
       [](auto&, TransformerWeights& w, auto&) { w.token_embedding.data.pop_back(); },
       "out_of_range: tensor index out of bounds", false},
      {"attention norm",
       [](auto&, TransformerWeights& w, auto&) {
         w.layers[0].attention_norm = Tensor({3}, 1.0, true);
       },
       "invalid_argument: attention norm has an invalid shape", true},
      {"query weight",
       [](auto&, TransformerWeights& w, auto&) {
         w.layers[0].query = Tensor({2, 3}, 1.0, true);
       },
       "invalid_argument: query weight has an invalid shape", true},
      {"key weight",
       [](auto&, TransformerWeights& w, auto&) { w.layers[0].key = Tensor({4}, 1.0, true); },
       "invalid_argument: key weight has an invalid shape", true},
      {"value weight", [](auto&, TransformerWeights& w, auto&) { w.layers[0].value = Tensor(); },
       "invalid_argument: value weight has an invalid shape", true},
      {"attention output weight",
       [](auto&, TransformerWeights& w, auto&) {
         w.layers[0].attention_output = Tensor({2, 2, 1}, 1.0, true);
       },
       "invalid_argument: attention output weight has an invalid shape", true},
      {"feed-forward norm",
       [](auto&, TransformerWeights& w, auto&) { w.layers[0].ffn_norm = Tensor({1}, 1.0, true); },
       "invalid_argument: feed-forward norm has an invalid shape", true},
      {"feed-forward gate weight",
       [](auto&, TransformerWeights& w, auto&) {
         w.layers[0].ffn_gate = Tensor({2, 3}, 1.0, true);
       },
       "invalid_argument: feed-forward gate weight has an invalid shape", true},
      {"feed-forward gate weight for gelu",
       [](TransformerSpec& s, TransformerWeights& w, auto&) {
         s.feed_forward = FeedForwardKind::gelu_mlp;
         w.layers[0].ffn_gate = Tensor();
       },
       "invalid_argument: feed-forward gate weight has an invalid shape", true},
      {"feed-forward up weight",
       [](auto&, TransformerWeights& w, auto&) {
         w.layers[0].ffn_up = Tensor({3, 3}, 1.0, true);
       },
       "invalid_argument: feed-forward up weight has an invalid shape", true},
      {"feed-forward down weight",
       [](auto&, TransformerWeights& w, auto&) {
         w.layers[0].ffn_down = Tensor({3, 2}, 1.0, true);
       },
       "invalid_argument: feed-forward down weight has an invalid shape", true},
      // Two wrong tensors: the table order decides.
      {"query before down",
       [](auto&, TransformerWeights& w, auto&) {
         w.layers[0].ffn_down = Tensor({3, 2}, 1.0, true);
         w.layers[0].query = Tensor({1, 2}, 1.0, true);
       },
       "invalid_argument: query weight has an invalid shape", true},
      {"non-finite embedding value",
       [](auto&, TransformerWeights& w, auto&) {
         w.token_embedding.at({7, 1}) = std::numeric_limits<double>::quiet_NaN();
       },
       "domain_error: transformer forward produced NaN/Inf", true},
      {"non-finite norm weight",
       [](auto&, TransformerWeights& w, auto&) {
         w.layers[0].ffn_norm.data[0] = std::numeric_limits<double>::infinity();
       },
       "domain_error: transformer operator produced NaN/Inf", true},
      // Finite in a double but beyond the largest float: only a pass that
      // rounds to single precision refuses it; the full pass carries it
      // through with every logit finite.
      {"embedding value beyond single precision",
       [](auto&, TransformerWeights& w, auto&) {
         w.token_embedding.at({7, 1}) = 3.5e38;
       },
       "no error", true, "domain_error: transformer forward produced NaN/Inf"},
  };
  for (const Case& c : cases) {
    TransformerSpec spec = make_spec(m);
    TransformerWeights weights = make_weights(m);
    TokenBatch batch = make_batch(2, 4, {1, 2, 3, 4, 5, 6, 7, 8});
    c.edit(spec, weights, batch);
    for (const bool fp : {true, false}) {
      const std::string& expected =
          fp || c.single_precision.empty() ? c.expected : c.single_precision;
      Tensor logits;
      EXPECT_EQ(failure_of([&] { logits = forward(spec, weights, batch, options(fp)); }), expected)
          << c.name << (fp ? " full" : " single");
      for (const double v : logits.data) {
        ASSERT_TRUE(std::isfinite(v)) << c.name << (fp ? " full" : " single");
      }
    }
    EXPECT_EQ(failure_of([&] { validate_forward_inputs(spec, weights, batch); }),
              c.layer_check ? "no error" : c.expected)
        << c.name;
  }
}

TEST(Forward, AcceptsWidthUpToTheContext) {
  ModelShape m;
  m.context = 4;
  const TransformerSpec spec = make_spec(m);
  const TransformerWeights weights = make_weights(m);
  const Tensor logits = forward(spec, weights, make_batch(1, 4, {1, 2, 3, 4}), options());
  EXPECT_THAT(logits.shape, ElementsAre(1U, 4U, 257U));
  EXPECT_THAT(
      [&] {
        (void)forward(spec, weights, make_batch(1, 5, {1, 2, 3, 4, 5}), options());
      },
      ThrowsMessage<std::invalid_argument>(StrEq("token batch dimensions are invalid")));
}

TEST(Forward, RefusesASpecThatValidationRejects) {
  TransformerSpec spec = make_spec(ModelShape{});
  spec.kv_heads = 3;  // above query_heads and not a divisor
  ASSERT_FALSE(validate_spec(spec).empty()) << "kv_heads 3 over one query head must be reported";
  // The TransformerSpec is refused before the batch, which is also invalid here.
  EXPECT_THAT(
      [&] { (void)forward(spec, TransformerWeights{}, TokenBatch{}, options()); },
      ThrowsMessage<std::invalid_argument>(StrEq("transformer forward received invalid spec")));
}

TEST(Forward, TiedAndUntiedEmbeddings) {
  ModelShape m;
  const TransformerSpec tied_spec = make_spec(m);
  TransformerWeights weights = make_weights(m);
  const TokenBatch batch = make_batch(1, 3, {5, 77, 200});
  // Tied: the output embedding is ignored, even empty.
  ASSERT_THAT(weights.output_embedding.shape, IsEmpty());
  const Tensor tied = forward(tied_spec, weights, batch, options());

  m.tied = false;
  const TransformerSpec untied_spec = make_spec(m);
  weights.output_embedding = weights.token_embedding;
  EXPECT_EQ(bits_of(forward(untied_spec, weights, batch, options()).data), bits_of(tied.data));
  // Doubling the output embedding doubles every logit exactly; the token
  // embedding (read by the layers) is unchanged.
  for (double& v : weights.output_embedding.data) v *= 2.0;
  const Tensor doubled = forward(untied_spec, weights, batch, options());
  for (std::size_t k = 0; k < tied.data.size(); ++k) {
    ASSERT_EQ(doubled.data[k], 2.0 * tied.data[k]) << k;
  }
  // Tied ignores whatever the output embedding holds.
  EXPECT_EQ(bits_of(forward(tied_spec, weights, batch, options()).data), bits_of(tied.data));
}

TEST(Forward, GeluIgnoresGateValues) {
  ModelShape m;
  m.kind = FeedForwardKind::gelu_mlp;
  const TransformerSpec spec = make_spec(m);
  TransformerWeights weights = make_weights(m);
  const TokenBatch batch = make_batch(1, 2, {9, 10});
  const Tensor reference = forward(spec, weights, batch, options());
  weights.layers[0].ffn_gate = Tensor({3, 2}, std::numeric_limits<double>::quiet_NaN(), true);
  EXPECT_EQ(bits_of(forward(spec, weights, batch, options()).data), bits_of(reference.data));
  // SwiGLU does read them.
  TransformerSpec swiglu = spec;
  swiglu.feed_forward = FeedForwardKind::swiglu;
  EXPECT_EQ(failure_of([&] { (void)forward(swiglu, weights, batch, options()); }),
            "domain_error: transformer operator produced NaN/Inf");
}

TEST(Forward, WithoutLogitsReturnsTheEmptyTensor) {
  const ModelShape m;
  std::vector<std::string> names;
  ForwardOptions o = options(false);
  o.compute_logits = false;
  o.observer = [&](std::string_view name, const Tensor&) { names.emplace_back(name); };
  const Tensor result = forward(make_spec(m), make_weights(m), make_batch(1, 2, {1, 2}), o);
  EXPECT_THAT(result.shape, IsEmpty());
  EXPECT_THAT(result.data, IsEmpty());
  EXPECT_TRUE(result.full_precision);
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), "final_norm");
}

// Two layers, four query heads over two key/value heads of width 2, two
// sequences of different lengths.
ModelShape larger_model(FeedForwardKind kind) {
  ModelShape m;
  m.vocabulary = 50;
  m.context = 8;
  m.layers = 2;
  m.model_dim = 8;
  m.ffn_dim = 5;
  m.query_heads = 4;
  m.kv_heads = 2;
  m.head_dim = 2;
  m.kind = kind;
  m.tied = false;
  return m;
}

TEST(Forward, RepeatedRunsAreBitIdentical) {
  for (const FeedForwardKind kind : {FeedForwardKind::swiglu, FeedForwardKind::gelu_mlp}) {
    const ModelShape m = larger_model(kind);
    TransformerSpec spec = make_spec(m);
    const TransformerWeights weights = make_weights(m);
    const TokenBatch batch = make_batch(2, 6, {3, 14, 15, 9, 26, 5, 35, 8, 9, 7, 0, 0}, {6, 4});
    const Tensor first = forward(spec, weights, batch, options());
    const Tensor second = forward(spec, weights, batch, options());
    EXPECT_THAT(first.shape, ElementsAre(2U, 6U, 50U));
    EXPECT_EQ(bits_of(first.data), bits_of(second.data));
    // Declared precisions are not read by the pass.
    spec.precision.weights = DType::float16;
    spec.precision.kv_cache = DType::float32;
    EXPECT_EQ(bits_of(forward(spec, weights, batch, options()).data), bits_of(first.data));
  }
}

TEST(Forward, SinglePrecisionLogitsAreFloatsCloseToTheFullRun) {
  const ModelShape m = larger_model(FeedForwardKind::swiglu);
  const TransformerSpec spec = make_spec(m);
  const TransformerWeights weights = make_weights(m);
  const TokenBatch batch = make_batch(2, 6, {3, 14, 15, 9, 26, 5, 35, 8, 9, 7, 0, 0}, {6, 4});
  const Tensor full = forward(spec, weights, batch, options(true));
  const Tensor single = forward(spec, weights, batch, options(false));
  EXPECT_FALSE(single.full_precision);
  ASSERT_EQ(single.data.size(), full.data.size());
  bool any_difference = false;
  for (std::size_t k = 0; k < full.data.size(); ++k) {
    EXPECT_EQ(static_cast<double>(static_cast<float>(single.data[k])), single.data[k]) << k;
    EXPECT_NEAR(single.data[k], full.data[k], 1e-5 * (1.0 + std::fabs(full.data[k]))) << k;
    any_difference = any_difference || single.data[k] != full.data[k];
  }
  EXPECT_TRUE(any_difference);
  // Filler positions hold 0.0 in both runs.
  EXPECT_THAT(std::vector<double>(single.data.begin() + (6 + 4) * 50, single.data.end()),
              Each(0.0));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
