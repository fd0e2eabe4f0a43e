// InferenceSession::append and rewind: cached decoding gives every position
// the bits of a forward pass over the whole sequence, at every kernel level;
// refusals change nothing.

#include <gmock/gmock.h>
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
#include <tuple>
#include <utility>
#include <vector>

#include "lumeth/artifact/model.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/internal/kernels/cpu_level.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/session/inference_session.hpp"
#include "lumeth/session/internal/session_internals.hpp"
#include "tests/inference/numeric_test_support.hpp"
#include "tests/session/session_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using kernels::CpuLevel;
using Testing::failure_of;
using Testing::SessionFile;
using Testing::sessionFile;
using Testing::Snapshot;

using ModelPtr = std::shared_ptr<const TransformerModel>;
using Ids = std::vector<std::uint32_t>;

// ---------------------------------------------------------------------------
// Random models

struct ModelDraw {
  std::uint32_t vocabulary = 16;
  std::uint32_t context = 24;
  std::uint32_t layers = 1;
  std::uint32_t kv_heads = 1;
  std::uint32_t group = 1;  // query heads per key/value head
  std::uint32_t head_dim = 2;
  std::uint32_t ffn_dim = 3;
  FeedForwardKind kind = FeedForwardKind::swiglu;
  bool tied = true;
  double rope_base = 10000.0;
};

std::string describe(const ModelDraw& m) {
  return "vocabulary " + std::to_string(m.vocabulary) + ", layers " + std::to_string(m.layers) +
         ", heads " + std::to_string(m.kv_heads * m.group) + "/" + std::to_string(m.kv_heads) +
         " of " + std::to_string(m.head_dim) + ", ffn " + std::to_string(m.ffn_dim) +
         (m.kind == FeedForwardKind::swiglu ? ", swiglu" : ", gelu") +
         (m.tied ? ", tied" : ", untied");
}

TransformerSpec spec_of(const ModelDraw& m) {
  TransformerSpec spec;
  spec.vocabulary = m.vocabulary;
  spec.context = m.context;
  spec.layers = m.layers;
  spec.query_heads = m.kv_heads * m.group;
  spec.kv_heads = m.kv_heads;
  spec.head_dim = m.head_dim;
  spec.model_dim = spec.query_heads * m.head_dim;
  spec.ffn_dim = m.ffn_dim;
  spec.feed_forward = m.kind;
  spec.tied_embeddings = m.tied;
  spec.position.rope_base = m.rope_base;
  spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                {"logits", PortDirection::output, PortKind::logits, m.vocabulary, "logits/1"}};
  return spec;
}

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  double value(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(engine_);
  }
  std::uint32_t below(std::uint32_t bound) {
    return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(engine_);
  }
  Tensor tensor(std::vector<std::size_t> shape, double low, double high) {
    Tensor t(std::move(shape), 0.0, true);
    for (double& v : t.data) v = value(low, high);
    return t;
  }
  Ids ids(std::size_t count, std::uint32_t vocabulary) {
    Ids out(count);
    for (std::uint32_t& id : out) id = below(vocabulary);
    return out;
  }
  // Sizes of 1 .. 5 ids that add up to `total`.
  std::vector<std::size_t> chunks(std::size_t total) {
    std::vector<std::size_t> out;
    for (std::size_t done = 0; done < total;) {
      const std::size_t n = std::min<std::size_t>(total - done, 1 + below(5));
      out.push_back(n);
      done += n;
    }
    return out;
  }

 private:
  std::mt19937_64 engine_;
};

TransformerWeights weights_of(const ModelDraw& m, Random& random) {
  const TransformerSpec spec = spec_of(m);
  const std::size_t d = spec.model_dim;
  const std::size_t kv = std::size_t{m.kv_heads} * m.head_dim;
  const std::size_t f = m.ffn_dim;
  TransformerWeights w;
  w.token_embedding = random.tensor({m.vocabulary, d}, -1.0, 1.0);
  for (std::uint32_t i = 0; i < m.layers; ++i) {
    LayerWeights layer;
    layer.attention_norm = random.tensor({d}, 0.7, 1.3);
    layer.query = random.tensor({d, d}, -0.8, 0.8);
    layer.key = random.tensor({kv, d}, -0.8, 0.8);
    layer.value = random.tensor({kv, d}, -0.8, 0.8);
    layer.attention_output = random.tensor({d, d}, -0.5, 0.5);
    layer.ffn_norm = random.tensor({d}, 0.7, 1.3);
    layer.ffn_gate = random.tensor({f, d}, -0.8, 0.8);
    layer.ffn_up = random.tensor({f, d}, -0.8, 0.8);
    layer.ffn_down = random.tensor({d, f}, -0.5, 0.5);
    w.layers.push_back(std::move(layer));
  }
  w.final_norm = random.tensor({d}, 0.7, 1.3);
  if (!m.tied) w.output_embedding = random.tensor({m.vocabulary, d}, -1.0, 1.0);
  return w;
}

// Draw `index` of a family in which every combination of tied or untied,
// feed-forward kind and query heads per key/value head (1, 2, 4) comes up
// once in every twelve draws; the other sizes are random.
ModelDraw draw(std::size_t index, Random& random) {
  ModelDraw m;
  m.tied = index % 2 == 0;
  m.kind = (index / 2) % 2 == 0 ? FeedForwardKind::swiglu : FeedForwardKind::gelu_mlp;
  m.group = std::vector<std::uint32_t>{1, 2, 4}[index % 3];
  m.vocabulary = 3 + random.below(30);
  m.layers = 1 + random.below(3);
  m.kv_heads = 1 + random.below(2);
  m.head_dim = 2 * (1 + random.below(3));
  m.ffn_dim = 1 + random.below(9);
  m.rope_base = random.below(2) == 0 ? 10000.0 : 7.5;
  return m;
}

ModelPtr make(const ModelDraw& m, Random& random) {
  return make_model(spec_of(m), weights_of(m, random));
}

// ---------------------------------------------------------------------------
// Observations and their comparison

struct Observation {
  std::string name;
  Tensor tensor;
};
using Observations = std::vector<Observation>;

ForwardOptions recording(Observations& into, bool full_precision) {
  ForwardOptions options;
  options.full_precision = full_precision;
  options.observer = [&into](std::string_view name, const Tensor& tensor) {
    into.push_back({std::string(name), tensor});
  };
  return options;
}

ForwardOptions plain(bool full_precision) {
  ForwardOptions options;
  options.full_precision = full_precision;
  return options;
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool ends_with(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string shape_text(const std::vector<std::size_t>& shape) {
  std::string text = "[";
  for (std::size_t k = 0; k < shape.size(); ++k) text += (k ? ", " : "") + std::to_string(shape[k]);
  return text + "]";
}

// Where a step's logits [rows, vocabulary] differ from rows first .. of a
// forward pass's [1, width, vocabulary]; "" when every bit agrees.
std::string logits_mismatch(const Tensor& whole, const Tensor& step, std::size_t first) {
  const std::size_t vocabulary = whole.shape[2];
  if (step.shape.size() != 2 || step.shape[1] != vocabulary ||
      first + step.shape[0] > whole.shape[1]) {
    return "logits shape " + shape_text(step.shape);
  }
  for (std::size_t r = 0; r < step.shape[0]; ++r) {
    for (std::size_t t = 0; t < vocabulary; ++t) {
      if (!same_bits(step.data[r * vocabulary + t], whole.data[(first + r) * vocabulary + t])) {
        return "logits at position " + std::to_string(first + r) + ", token " + std::to_string(t);
      }
    }
  }
  return "";
}

// Where the observations of one step over positions p .. p + n - 1 differ
// from a forward pass's over the whole sequence (batch 1); "" when they are
// the same names in the same order and every value has forward's bits.
std::string step_mismatch(const Observations& whole, const Observations& step, std::size_t p,
                          std::size_t n, LogitRows rows) {
  if (whole.size() != step.size()) {
    return std::to_string(step.size()) + " observations, forward made " +
           std::to_string(whole.size());
  }
  for (std::size_t k = 0; k < whole.size(); ++k) {
    const std::string& name = whole[k].name;
    const Tensor& f = whole[k].tensor;
    const Tensor& s = step[k].tensor;
    if (step[k].name != name) return "observation " + step[k].name + " where forward has " + name;
    if (s.full_precision != f.full_precision) return name + " precision flag";
    if (name == "logits") {
      const std::size_t first = rows == LogitRows::last ? n - 1 : 0;
      if (s.shape[0] != n - first) return "logits rows";
      const std::string where = logits_mismatch(f, s, p + first);
      if (!where.empty()) return where;
    } else if (ends_with(name, ".scores") || ends_with(name, ".probabilities")) {
      // [1, heads, width, width] against [1, heads, n, p + n].
      const std::size_t heads = f.shape[1];
      const std::size_t width = f.shape[2];
      const std::vector<std::size_t> expected{1, heads, n, p + n};
      if (s.shape != expected) return name + " shape " + shape_text(s.shape);
      for (std::size_t h = 0; h < heads; ++h) {
        for (std::size_t r = 0; r < n; ++r) {
          for (std::size_t j = 0; j < p + n; ++j) {
            if (!same_bits(s.data[(h * n + r) * (p + n) + j],
                           f.data[(h * width + p + r) * width + j])) {
              return name + " at head " + std::to_string(h) + ", position " +
                     std::to_string(p + r) + ", key " + std::to_string(j);
            }
          }
        }
      }
    } else {
      // [width, columns] against [n, columns].
      const std::size_t columns = f.shape[1];
      if (s.shape != std::vector<std::size_t>{n, columns}) {
        return name + " shape " + shape_text(s.shape);
      }
      for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t c = 0; c < columns; ++c) {
          if (!same_bits(s.data[r * columns + c], f.data[(p + r) * columns + c])) {
            return name + " at position " + std::to_string(p + r) + ", column " + std::to_string(c);
          }
        }
      }
    }
  }
  return "";
}

// Where the session's cache differs from forward's rotated keys and values
// ("layer.<i>.k", ".v") of every position; "" when it holds them bit for bit.
std::string cache_mismatch(const Observations& whole, const InferenceSession& session) {
  std::vector<const Tensor*> expected;
  for (const Observation& o : whole) {
    if (ends_with(o.name, ".k") || ends_with(o.name, ".v")) expected.push_back(&o.tensor);
  }
  if (session.cache().size() != expected.size()) return "cache tensor count";
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const Tensor& cached = session.cache()[k];
    if (cached.shape != expected[k]->shape || !cached.full_precision) {
      return "cache tensor " + std::to_string(k) + " shape " + shape_text(cached.shape);
    }
    for (std::size_t v = 0; v < cached.data.size(); ++v) {
      if (!same_bits(cached.data[v], expected[k]->data[v])) {
        return "cache tensor " + std::to_string(k) + " value " + std::to_string(v);
      }
    }
  }
  return "";
}

TokenBatch one_row(const Ids& ids) {
  TokenBatch batch;
  batch.batch_size = 1;
  batch.width = ids.size();
  batch.tokens = ids;
  return batch;
}

// ---------------------------------------------------------------------------
// Every compiled kernel level; a level the processor lacks is skipped. The
// forward passes the steps are held to run on the detected level (all
// levels give the same bits, which the inference tests pin down).

class StepLevel : public ::testing::TestWithParam<CpuLevel> {
 protected:
  void SetUp() override {
    if (!kernels::cpu_supports(GetParam())) {
      GTEST_SKIP() << "this processor lacks " << kernels::level_name(GetParam());
    }
  }
  Tensor append(InferenceSession& session, std::span<const std::uint32_t> ids,
                const ForwardOptions& options, LogitRows rows = LogitRows::all) const {
    return SessionInternals::append_with(session, kernels::kernels_for(GetParam()), ids, options,
                                         rows);
  }
};

std::string level_label(const ::testing::TestParamInfo<CpuLevel>& level) {
  return std::string(kernels::level_name(level.param));
}

INSTANTIATE_TEST_SUITE_P(AllLevels, StepLevel, ::testing::ValuesIn(kernels::compiled_levels()),
                         level_label);

// How one pass of the differential test feeds a sequence.
struct Feeding {
  const char* name;
  bool observed;
  bool random_chunks;  // else all at once (one chunk) or one id at a time
  bool one_at_a_time;
  bool vary_logits;  // some steps ask for the last row only or for no logits
};

TEST_P(StepLevel, EverySplitOfASequenceGivesTheBitsOfForward) {
  const std::vector<Feeding> feedings = {
      {"all at once", true, false, false, false},
      {"one id at a time", true, false, true, false},
      {"one id at a time, unobserved", false, false, true, false},
      {"random chunks", true, true, false, true},
      {"random chunks, unobserved", false, true, false, true},
  };
  Random random(1234);
  for (std::size_t index = 0; index < 24; ++index) {
    const ModelDraw m = draw(index, random);
    const ModelPtr model = make(m, random);
    // Every other model runs up to its context.
    const std::size_t length = index % 2 == 0 ? m.context : 1 + random.below(m.context);
    const Ids ids = random.ids(length, m.vocabulary);
    for (const bool fp : {true, false}) {
      SCOPED_TRACE(describe(m) + (fp ? ", full precision" : ", single precision") + ", " +
                   std::to_string(length) + " ids");
      Observations whole;
      const Tensor expected =
          forward(model->spec(), model->weights(), one_row(ids), recording(whole, fp));

      for (const Feeding& feeding : feedings) {
        SCOPED_TRACE(feeding.name);
        std::vector<std::size_t> chunks{length};
        if (feeding.one_at_a_time) chunks.assign(length, 1);
        if (feeding.random_chunks) chunks = random.chunks(length);
        InferenceSession session(model, 1);
        std::size_t p = 0;
        for (const std::size_t n : chunks) {
          LogitRows rows = LogitRows::all;
          ForwardOptions options = plain(fp);
          Observations step;
          if (feeding.observed) options = recording(step, fp);
          if (feeding.vary_logits) {
            const std::uint32_t choice = random.below(3);
            if (choice == 1) rows = LogitRows::last;
            if (choice == 2) options.compute_logits = false;
          }
          const Tensor logits = append(session, std::span(ids).subspan(p, n), options, rows);
          if (!options.compute_logits) {
            EXPECT_TRUE(logits.shape.empty() && logits.data.empty());
          } else {
            const std::size_t first = rows == LogitRows::last ? n - 1 : 0;
            ASSERT_EQ(logits_mismatch(expected, logits, p + first), "") << "step at " << p;
            EXPECT_EQ(logits.shape[0], n - first);
          }
          if (feeding.observed) {
            Observations reference = whole;
            if (!options.compute_logits) reference.pop_back();  // no "logits" observation
            ASSERT_EQ(step_mismatch(reference, step, p, n, rows), "") << "step at " << p;
          }
          p += n;
          ASSERT_EQ(session.position(), p);
          ASSERT_EQ(session.input_tokens().size(), p);
          ASSERT_EQ(session.cache().size(), 2 * std::size_t{m.layers});
        }
        EXPECT_EQ(session.input_tokens(), ids);
        EXPECT_EQ(cache_mismatch(whole, session), "");
      }
    }
  }
}

TEST(SessionStep, TheDifferentialCheckSeesASingleFlippedBit) {
  // The comparison above on a real pair of runs, then with the last bit of
  // one value flipped in each kind of observation: it must name the place.
  Random random(5);
  const ModelDraw m = draw(4, random);
  const ModelPtr model = make(m, random);
  const Ids ids = random.ids(6, m.vocabulary);
  Observations whole;
  (void)forward(model->spec(), model->weights(), one_row(ids), recording(whole, true));
  InferenceSession session(model, 1);
  (void)session.append(std::span(ids).first(4), plain(true));
  Observations step;
  (void)session.append(std::span(ids).subspan(4), recording(step, true));
  ASSERT_EQ(step_mismatch(whole, step, 4, 2, LogitRows::all), "");

  const std::vector<std::pair<std::string, std::string>> flips = {
      {"embedding", "embedding at position 5, column 0"},
      {"layer.0.probabilities", "layer.0.probabilities at head 0, position 5, key 0"},
      {"layer.0.k", "layer.0.k at position 5, column 0"},
      {"logits", "logits at position 5, token 0"}};
  for (const auto& [name, message] : flips) {
    Observations flipped = step;
    const auto found = std::find_if(flipped.begin(), flipped.end(),
                                    [&](const Observation& o) { return o.name == name; });
    ASSERT_NE(found, flipped.end()) << name;
    // The first value of the second new row (position 5): for the
    // probabilities, key 0 of head 0.
    std::vector<double>& data = found->tensor.data;
    const std::size_t at =
        name == "layer.0.probabilities" ? found->tensor.shape[3] : found->tensor.shape.back();
    data[at] = std::bit_cast<double>(std::bit_cast<std::uint64_t>(data[at]) ^ 1);
    EXPECT_EQ(step_mismatch(whole, flipped, 4, 2, LogitRows::all), message);
  }
}

TEST_P(StepLevel, SaveAndRestoreBetweenAnyTwoStepsContinuesWithTheSameBits) {
  Random random(77);
  for (const std::size_t index : {0u, 5u}) {
    ModelDraw m = draw(index, random);
    m.context = 12;
    const ModelPtr model = make(m, random);
    const Ids ids = random.ids(m.context, m.vocabulary);
    for (const bool fp : {true, false}) {
      SCOPED_TRACE(describe(m) + (fp ? ", full precision" : ", single precision"));
      const Tensor expected = forward(model->spec(), model->weights(), one_row(ids), plain(fp));
      InferenceSession uninterrupted(model, 1);
      for (std::size_t p = 0; p < ids.size(); ++p) {
        (void)append(uninterrupted, std::span(ids).subspan(p, 1), plain(fp));
      }

      for (std::size_t k = 0; k <= ids.size(); ++k) {
        InferenceSession first(model, 1);
        if (k > 0) (void)append(first, std::span(ids).first(k), plain(fp));
        InferenceSession resumed(model, 1);
        resumed.restore(first.save(), ArtifactLimits{});
        for (std::size_t p = k; p < ids.size(); ++p) {
          const Tensor logits = append(resumed, std::span(ids).subspan(p, 1), plain(fp));
          ASSERT_EQ(logits_mismatch(expected, logits, p), "") << "saved after " << k;
        }
        EXPECT_EQ(resumed.save(), uninterrupted.save()) << "saved after " << k;
      }
    }
  }
}

TEST_P(StepLevel, RewindThenAppendGivesTheBitsOfTheEditedSequence) {
  Random random(31);
  for (const std::size_t index : {1u, 2u, 9u}) {
    const ModelDraw m = draw(index, random);
    const ModelPtr model = make(m, random);
    const Ids original = random.ids(16, m.vocabulary);
    for (const bool fp : {true, false}) {
      SCOPED_TRACE(describe(m) + (fp ? ", full precision" : ", single precision"));
      InferenceSession session(model, 1);
      std::size_t p = 0;
      for (const std::size_t n : random.chunks(original.size())) {
        (void)append(session, std::span(original).subspan(p, n), plain(fp));
        p += n;
      }
      for (const std::size_t dropped : {0u, 1u, 7u, 16u}) {
        InferenceSession edited(session);
        edited.rewind(dropped);
        const std::size_t kept = original.size() - dropped;
        ASSERT_EQ(edited.position(), kept);
        EXPECT_EQ(edited.input_tokens(),
                  Ids(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(kept)));
        EXPECT_EQ(edited.cache().size(), kept == 0 ? 0 : 2 * std::size_t{m.layers});

        const Ids ending = random.ids(1 + random.below(6), m.vocabulary);
        Ids sequence(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(kept));
        sequence.insert(sequence.end(), ending.begin(), ending.end());
        Observations whole;
        (void)forward(model->spec(), model->weights(), one_row(sequence), recording(whole, fp));
        Observations step;
        (void)append(edited, ending, recording(step, fp));
        EXPECT_EQ(step_mismatch(whole, step, kept, ending.size(), LogitRows::all), "")
            << "after dropping " << dropped;
        EXPECT_EQ(cache_mismatch(whole, edited), "") << "after dropping " << dropped;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// State and refusals

TEST(SessionStep, RewindUndoesAnAppendByteForByte) {
  Random random(8);
  const ModelDraw m = draw(3, random);
  const ModelPtr model = make(m, random);
  InferenceSession session(model, 5);
  const ByteBuffer empty = session.save();
  (void)session.append(random.ids(3, m.vocabulary), plain(true));
  const ByteBuffer three = session.save();
  (void)session.append(random.ids(4, m.vocabulary), plain(true));
  session.rewind(4);
  EXPECT_EQ(session.save(), three);
  session.rewind(0);
  EXPECT_EQ(session.save(), three);
  session.rewind(3);
  EXPECT_EQ(session.save(), empty);
  EXPECT_TRUE(session.cache().empty());
}

TEST(SessionStep, StepsKeepCounterSettingAndTokenizerState) {
  Random random(9);
  const ModelDraw m = draw(0, random);
  const ByteBuffer state{1, 2, 3};
  const ModelPtr bound = make_model(spec_of(m), weights_of(m, random), "hash");
  SessionFile file = sessionFile(*bound, {}, state);
  file.setting = 3;
  file.counter = 42;
  InferenceSession session(bound, 1);
  session.restore(file.bytes(), ArtifactLimits{});
  (void)session.append(Ids{1, 2}, plain(true));
  session.rewind(1);
  EXPECT_EQ(session.counter(), 42u);
  EXPECT_EQ(session.setting(), 3u);
  EXPECT_EQ(session.tokenizer_state(), state);
  EXPECT_EQ(session.position(), 1u);
}

// A model whose logits overflow single precision for one position but not
// another: token 0 embeds as (1, -1), token 2 as (1, 1); attention and
// feed-forward add nothing (zero output projections), so the final norm is
// 3 * (1, -1) or 3 * (1, 1) (up to epsilon), and logit 1 is 1e38 times the
// sum: 0 for token 0, 6e38 (finite as a double, infinite as a float) for
// token 2. The full-precision probe of make_model passes.
ModelPtr overflowing_model() {
  ModelDraw m;
  m.vocabulary = 3;
  m.context = 8;
  m.tied = false;
  TransformerWeights w;
  w.token_embedding = Tensor({3, 2}, 0.0, true);
  w.token_embedding.data = {1.0, -1.0, -0.5, 0.25, 1.0, 1.0};
  LayerWeights layer;
  layer.attention_norm = Tensor({2}, 1.0, true);
  layer.query = Tensor({2, 2}, 0.5, true);
  layer.key = Tensor({2, 2}, 0.5, true);
  layer.value = Tensor({2, 2}, 0.5, true);
  layer.attention_output = Tensor({2, 2}, 0.0, true);
  layer.ffn_norm = Tensor({2}, 1.0, true);
  layer.ffn_gate = Tensor({3, 2}, 0.5, true);
  layer.ffn_up = Tensor({3, 2}, 0.5, true);
  layer.ffn_down = Tensor({2, 3}, 0.0, true);
  w.layers.push_back(std::move(layer));
  w.final_norm = Tensor({2}, 3.0, true);
  w.output_embedding = Tensor({3, 2}, 0.0, true);
  w.output_embedding.data = {0.5, 0.5, 1e38, 1e38, -0.5, 0.5};
  return make_model(spec_of(m), std::move(w));
}

struct Refusal {
  const char* name;
  std::function<void(InferenceSession&)> step;
  const char* failure;
};

TEST(SessionStep, RefusedStepsChangeNothing) {
  // Each on a fresh session (the first step builds the cache) and on one
  // that already holds two positions (a step extends it).
  const ModelPtr model = overflowing_model();
  ForwardOptions throwing = plain(true);
  throwing.observer = [](std::string_view name, const Tensor&) {
    if (name == "logits") throw std::runtime_error("observer refused");
  };
  const std::vector<Refusal> refusals = {
      {"an id equal to the vocabulary, last in the step",
       [](InferenceSession& s) {
         (void)s.append(Ids{0, 1, 3}, plain(true));
       },
       "out_of_range: token id exceeds vocabulary"},
      {"no ids", [](InferenceSession& s) { (void)s.append(Ids{}, plain(true)); },
       "invalid_argument: session step has no tokens"},
      {"one position past the context",
       [](InferenceSession& s) { (void)s.append(Ids(8 - s.position() + 1, 0), plain(true)); },
       "invalid_argument: session step exceeds the context"},
      {"a logit beyond single precision, after every layer wrote its rows",
       [](InferenceSession& s) {
         (void)s.append(Ids{0, 2}, plain(false));
       },
       "domain_error: transformer forward produced NaN/Inf"},
      {"the observer throws at the logits",
       [&throwing](InferenceSession& s) {
         (void)s.append(Ids{0, 1}, throwing);
       },
       "other: observer refused"},
  };
  for (const std::size_t start : {0u, 2u}) {
    for (const Refusal& refusal : refusals) {
      SCOPED_TRACE(std::string(refusal.name) + " at position " + std::to_string(start));
      InferenceSession session(model, 1);
      if (start > 0) (void)session.append(Ids{0, 1}, plain(false));
      const Snapshot before(session);
      EXPECT_EQ(failure_of([&] { refusal.step(session); }), refusal.failure);
      EXPECT_TRUE(Snapshot(session) == before) << "the refused step changed the session";
      // And the session still steps as if nothing had happened.
      Observations whole;
      Ids sequence(session.input_tokens());
      sequence.push_back(1);
      (void)forward(model->spec(), model->weights(), one_row(sequence), recording(whole, false));
      Observations step;
      (void)session.append(Ids{1}, recording(step, false));
      EXPECT_EQ(step_mismatch(whole, step, start, 1, LogitRows::all), "");
    }
  }
  // The boundary: a step that ends exactly at the context is accepted.
  InferenceSession full(model, 1);
  EXPECT_NO_THROW((void)full.append(Ids(8, 0), plain(false)));
  EXPECT_EQ(full.position(), 8u);
}

TEST(SessionStep, RewindPastThePositionIsRefused) {
  Random random(10);
  const ModelDraw m = draw(1, random);
  InferenceSession session(make(m, random), 1);
  (void)session.append(Ids{1, 2}, plain(true));
  const Snapshot before(session);
  EXPECT_EQ(failure_of([&] { session.rewind(3); }),
            "invalid_argument: session rewind exceeds position");
  EXPECT_TRUE(Snapshot(session) == before);
}

TEST(SessionStep, ARestoredCacheThatDoesNotFitTheModelIsRefusedByStepAndRewind) {
  // A session file may carry any cache; the restore takes it as stored, the
  // first step or rewind checks it against the model. The model: 2 layers,
  // kv width 4.
  Random random(11);
  ModelDraw m = draw(0, random);
  m.layers = 2;
  m.kv_heads = 2;
  m.head_dim = 2;
  const ModelPtr model = make(m, random);
  // A file at `position` with `tokens` input tokens and `tensors` cache
  // tensors of `shape`.
  const auto file = [&](std::uint64_t position, std::size_t tokens, std::size_t tensors,
                        std::vector<std::uint64_t> shape) {
    SessionFile f = sessionFile(*model, Ids(tokens, 1), {});
    f.position = position;
    std::size_t values = 1;
    for (const std::uint64_t extent : shape) values *= extent;
    for (std::size_t k = 0; k < tensors; ++k) f.addCache(shape, std::vector<double>(values, 0.25));
    return f.bytes();
  };
  const std::string tokens = "invalid_argument: session position does not match its input tokens";
  const std::string count = "invalid_argument: session cache tensor count does not match the model";
  const std::string shape = "invalid_argument: session cache shape does not match the model";
  const std::vector<std::tuple<const char*, ByteBuffer, std::string>> cases = {
      {"position without input tokens", file(2, 0, 4, {2, 4}), tokens},
      {"input tokens without position", file(0, 2, 0, {1}), tokens},
      {"no cache at position 2", file(2, 2, 0, {1}), count},
      {"one tensor per layer", file(2, 2, 2, {2, 4}), count},
      {"one tensor too many", file(2, 2, 5, {2, 4}), count},
      {"a cache at position 0", file(0, 0, 4, {1, 4}), count},
      {"rows beyond the position", file(2, 2, 4, {3, 4}), shape},
      {"rows of another kv width", file(2, 2, 4, {2, 6}), shape},
      {"flat tensors", file(2, 2, 4, {8}), shape},
      {"a third dimension", file(2, 2, 4, {2, 4, 1}), shape},
  };
  for (const auto& [name, bytes, failure] : cases) {
    SCOPED_TRACE(name);
    InferenceSession session(model, 1);
    session.restore(bytes, ArtifactLimits{});
    const Snapshot before(session);
    EXPECT_EQ(failure_of([&] { (void)session.append(Ids{1}, plain(true)); }), failure);
    // The state is checked before the arguments.
    EXPECT_EQ(failure_of([&] { (void)session.append(Ids{}, plain(true)); }), failure);
    EXPECT_EQ(failure_of([&] { session.rewind(0); }), failure);
    EXPECT_TRUE(Snapshot(session) == before);
  }
  // The same shapes fitting the model step.
  InferenceSession fitting(model, 1);
  fitting.restore(file(2, 2, 4, {2, 4}), ArtifactLimits{});
  EXPECT_NO_THROW((void)fitting.append(Ids{1}, plain(true)));
  EXPECT_EQ(fitting.cache()[3].shape, (std::vector<std::size_t>{3, 4}));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
