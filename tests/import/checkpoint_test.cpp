#include "lumeth/import/checkpoint.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "conformance/fixture.hpp"
#include "lumeth/import/internal/safetensors_writer.hpp"
#include "lumeth/spec/default_ports.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "temp_directory.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Json = nlohmann::ordered_json;
using Import::SafetensorsEntry;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// A small checkpoint built here: vocabulary 11, hidden 8, two query heads of
// width 4 sharing one key/value head, feed-forward 12, one layer. Every value
// is distinct and small, so the probe of make_model passes and a misplaced
// value shows.
struct Checkpoint {
  Json config;
  std::vector<SafetensorsEntry> entries;

  SafetensorsEntry* entry(std::string_view name) {
    const auto found = std::find_if(entries.begin(), entries.end(),
                                    [&](const SafetensorsEntry& e) { return e.name == name; });
    return found == entries.end() ? nullptr : &*found;
  }
  void remove(std::string_view name) {
    std::erase_if(entries, [&](const SafetensorsEntry& e) { return e.name == name; });
  }
  void add(std::string name, std::vector<std::uint64_t> shape, double base = 0.5) {
    std::uint64_t count = 1;
    for (const std::uint64_t extent : shape) count *= extent;
    std::vector<double> values(count);
    for (std::size_t i = 0; i < count; ++i) {
      values[i] = base + static_cast<double>((i * 37 + entries.size() * 11) % 97) / 1000.0 - 0.05;
    }
    entries.push_back(
        {std::move(name), SafetensorsDType::f64, std::move(shape), Import::f64_bytes(values)});
  }

  void writeTo(const TempDirectory& directory) const {
    directory.write("config.json", config.dump(2));
    directory.write("model.safetensors", Import::write_safetensors(entries));
  }
};

Checkpoint smallCheckpoint(bool gelu = false, bool tied = false) {
  Checkpoint c;
  c.config = {{"architectures", {"LlamaForCausalLM"}},
              {"model_type", "llama"},
              {"vocab_size", 11},
              {"max_position_embeddings", 32},
              {"num_hidden_layers", 1},
              {"hidden_size", 8},
              {"intermediate_size", 12},
              {"num_attention_heads", 2},
              {"num_key_value_heads", 1},
              {"rms_norm_eps", 1e-5},
              {"rope_theta", 10000.0},
              {"tie_word_embeddings", tied},
              {"hidden_act", gelu ? "gelu" : "silu"},
              {"torch_dtype", "float64"}};
  c.add("model.embed_tokens.weight", {11, 8}, 0.0);
  c.add("model.layers.0.input_layernorm.weight", {8}, 1.0);
  c.add("model.layers.0.self_attn.q_proj.weight", {8, 8}, 0.0);
  c.add("model.layers.0.self_attn.k_proj.weight", {4, 8}, 0.0);
  c.add("model.layers.0.self_attn.v_proj.weight", {4, 8}, 0.0);
  c.add("model.layers.0.self_attn.o_proj.weight", {8, 8}, 0.0);
  c.add("model.layers.0.post_attention_layernorm.weight", {8}, 1.0);
  if (!gelu) c.add("model.layers.0.mlp.gate_proj.weight", {12, 8}, 0.0);
  c.add("model.layers.0.mlp.up_proj.weight", {12, 8}, 0.0);
  c.add("model.layers.0.mlp.down_proj.weight", {8, 12}, 0.0);
  c.add("model.norm.weight", {8}, 1.0);
  if (!tied) c.add("lm_head.weight", {11, 8}, 0.0);
  return c;
}

std::vector<double> valuesOf(const SafetensorsEntry& entry) {
  std::vector<double> values(entry.bytes.size() / 8);
  readF64Array(entry.bytes, values);
  return values;
}

// The message and subject of the ImportError `call` throws; "" when it returns.
std::pair<std::string, std::string> failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const ImportError& error) {
    return {error.what(), error.subject()};
  }
  return {"", ""};
}

// ---------------------------------------------------------------------------
// Configuration

TEST(CheckpointConfigTest, MapsTheConfigurationOntoASpec) {
  Checkpoint c = smallCheckpoint();
  const TransformerSpec spec = map_checkpoint_config(c.config.dump());
  TransformerSpec expected;
  expected.vocabulary = 11;
  expected.context = 32;
  expected.layers = 1;
  expected.model_dim = 8;
  expected.ffn_dim = 12;
  expected.query_heads = 2;
  expected.kv_heads = 1;
  expected.head_dim = 4;
  expected.normalization.epsilon = 1e-5;
  expected.position.rope_base = 10000.0;
  expected.feed_forward = FeedForwardKind::swiglu;
  expected.tied_embeddings = false;
  expected.ports = default_model_ports(11);
  EXPECT_EQ(spec, expected);
  EXPECT_TRUE(validate_spec(spec).empty());
}

TEST(CheckpointConfigTest, AbsentOptionalKeysTakeTheFrameworksDefaults) {
  Checkpoint c = smallCheckpoint();
  for (const char* key :
       {"num_key_value_heads", "rope_theta", "tie_word_embeddings", "hidden_act"}) {
    c.config.erase(key);
  }
  c.config["head_dim"] = nullptr;
  const TransformerSpec spec = map_checkpoint_config(c.config.dump());
  EXPECT_EQ(spec.kv_heads, 2U);
  EXPECT_EQ(spec.head_dim, 4U);
  EXPECT_EQ(spec.position.rope_base, 10000.0);
  EXPECT_FALSE(spec.tied_embeddings);
  EXPECT_EQ(spec.feed_forward, FeedForwardKind::swiglu);
}

TEST(CheckpointConfigTest, AcceptsWhatComputesTheSame) {
  // Each edit leaves the computation as it is; the spec must still map.
  const std::vector<std::pair<const char*, std::function<void(Json&)>>> rows = {
      {"explicit head_dim", [](Json& j) { j["head_dim"] = 4; }},
      {"integer rope_theta", [](Json& j) { j["rope_theta"] = 10000; }},
      {"gelu", [](Json& j) { j["hidden_act"] = "gelu"; }},
      {"mistral", [](Json& j) { j["model_type"] = "mistral"; }},
      {"false biases", [](Json& j) { j["attention_bias"] = j["mlp_bias"] = false; }},
      {"null rope_scaling", [](Json& j) { j["rope_scaling"] = nullptr; }},
      {"default rope_parameters",
       [](Json& j) {
         j["rope_parameters"] = {{"rope_type", "default"}};
       }},
      {"window covering the context", [](Json& j) { j["sliding_window"] = 32; }},
      {"window switched off",
       [](Json& j) {
         j["sliding_window"] = 4;
         j["use_sliding_window"] = false;
       }},
      {"null window", [](Json& j) { j["sliding_window"] = nullptr; }},
      {"full rotary factor", [](Json& j) { j["partial_rotary_factor"] = 1.0; }},
      {"unrelated keys",
       [](Json& j) {
         j["initializer_range"] = 0.02;
         j["use_cache"] = true;
       }},
  };
  for (const auto& [name, edit] : rows) {
    SCOPED_TRACE(name);
    Checkpoint c = smallCheckpoint();
    edit(c.config);
    EXPECT_NO_THROW((void)map_checkpoint_config(c.config.dump()));
  }
}

TEST(CheckpointConfigTest, RotaryBaseComesFromRopeThetaThenRopeParameters) {
  Checkpoint c = smallCheckpoint();
  c.config["rope_parameters"] = {{"rope_type", "default"}, {"rope_theta", 500000.0}};
  EXPECT_EQ(map_checkpoint_config(c.config.dump()).position.rope_base, 10000.0);
  c.config.erase("rope_theta");
  EXPECT_EQ(map_checkpoint_config(c.config.dump()).position.rope_base, 500000.0);
}

struct ConfigRow {
  const char* name;
  std::function<void(Json&)> edit;
  const char* message;
  std::string subject;
};

TEST(CheckpointConfigTest, RefusalTable) {
  const std::vector<ConfigRow> rows = {
      {"model_type missing", [](Json& j) { j.erase("model_type"); },
       "checkpoint configuration lacks a required key", "model_type"},
      {"model_type a number", [](Json& j) { j["model_type"] = 1; },
       "checkpoint configuration value is invalid", "model_type"},
      {"another model type", [](Json& j) { j["model_type"] = "gemma"; },
       "checkpoint model type is not supported", "gemma"},
      {"vocab_size missing", [](Json& j) { j.erase("vocab_size"); },
       "checkpoint configuration lacks a required key", "vocab_size"},
      {"vocab_size null", [](Json& j) { j["vocab_size"] = nullptr; },
       "checkpoint configuration value is invalid", "vocab_size"},
      {"hidden_size a real", [](Json& j) { j["hidden_size"] = 8.0; },
       "checkpoint configuration value is invalid", "hidden_size"},
      {"hidden_size a text", [](Json& j) { j["hidden_size"] = "8"; },
       "checkpoint configuration value is invalid", "hidden_size"},
      {"zero heads", [](Json& j) { j["num_attention_heads"] = 0; },
       "checkpoint configuration value is invalid", "num_attention_heads"},
      {"negative layers", [](Json& j) { j["num_hidden_layers"] = -1; },
       "checkpoint configuration value is invalid", "num_hidden_layers"},
      {"layers beyond 32 bits", [](Json& j) { j["num_hidden_layers"] = 4294967296ULL; },
       "checkpoint configuration value is invalid", "num_hidden_layers"},
      {"head_dim zero", [](Json& j) { j["head_dim"] = 0; },
       "checkpoint configuration value is invalid", "head_dim"},
      {"rms_norm_eps missing", [](Json& j) { j.erase("rms_norm_eps"); },
       "checkpoint configuration lacks a required key", "rms_norm_eps"},
      {"rms_norm_eps negative", [](Json& j) { j["rms_norm_eps"] = -1e-5; },
       "checkpoint configuration value is invalid", "rms_norm_eps"},
      {"rms_norm_eps a text", [](Json& j) { j["rms_norm_eps"] = "1e-5"; },
       "checkpoint configuration value is invalid", "rms_norm_eps"},
      {"rope_theta zero", [](Json& j) { j["rope_theta"] = 0; },
       "checkpoint configuration value is invalid", "rope_theta"},
      {"rope_theta null", [](Json& j) { j["rope_theta"] = nullptr; },
       "checkpoint configuration value is invalid", "rope_theta"},
      {"rope_parameters a list", [](Json& j) { j["rope_parameters"] = Json::array(); },
       "checkpoint configuration value is invalid", "rope_parameters"},
      {"tie_word_embeddings a text", [](Json& j) { j["tie_word_embeddings"] = "yes"; },
       "checkpoint configuration value is invalid", "tie_word_embeddings"},
      {"tanh gelu", [](Json& j) { j["hidden_act"] = "gelu_pytorch_tanh"; },
       "checkpoint activation is not supported", "gelu_pytorch_tanh"},
      {"relu", [](Json& j) { j["hidden_act"] = "relu"; }, "checkpoint activation is not supported",
       "relu"},
      {"attention biases", [](Json& j) { j["attention_bias"] = true; },
       "checkpoint uses attention biases", "attention_bias"},
      {"feed-forward biases", [](Json& j) { j["mlp_bias"] = true; },
       "checkpoint uses feed-forward biases", "mlp_bias"},
      {"linear rotary scaling",
       [](Json& j) {
         j["rope_scaling"] = {{"type", "linear"}, {"factor", 2.0}};
       },
       "checkpoint uses rotary scaling", "rope_scaling"},
      {"yarn rope_parameters",
       [](Json& j) {
         j["rope_parameters"] = {{"rope_type", "yarn"}};
       },
       "checkpoint uses rotary scaling", "rope_parameters"},
      {"rope_parameters with a factor",
       [](Json& j) {
         j["rope_parameters"] = {{"rope_type", "default"}, {"factor", 8.0}};
       },
       "checkpoint uses rotary scaling", "rope_parameters"},
      {"a window shorter than the context", [](Json& j) { j["sliding_window"] = 31; },
       "checkpoint uses sliding-window attention", "sliding_window"},
      {"a window switched on",
       [](Json& j) {
         j["sliding_window"] = 4;
         j["use_sliding_window"] = true;
       },
       "checkpoint uses sliding-window attention", "sliding_window"},
      {"half the head rotated", [](Json& j) { j["partial_rotary_factor"] = 0.5; },
       "checkpoint uses partial rotary encoding", "partial_rotary_factor"},
      {"head_dim that does not fill the model", [](Json& j) { j["head_dim"] = 6; },
       "checkpoint configuration does not describe a valid model",
       "model_dim: must equal query_heads * head_dim"},
      {"key/value heads that do not divide",
       [](Json& j) {
         j["num_attention_heads"] = 4;
         j["num_key_value_heads"] = 3;
         j["head_dim"] = 2;
       },
       "checkpoint configuration does not describe a valid model",
       "kv_heads: must divide query_heads exactly"},
      {"odd head_dim",
       [](Json& j) {
         j["hidden_size"] = 6;
         j["num_key_value_heads"] = 2;
       },
       "checkpoint configuration does not describe a valid model",
       "head_dim: must be even for RoPE"},
  };
  std::set<std::string> names;
  for (const ConfigRow& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(names.insert(row.name).second) << "duplicate row name";
    Checkpoint c = smallCheckpoint();
    row.edit(c.config);
    const auto [message, subject] =
        failureOf([&] { (void)map_checkpoint_config(c.config.dump()); });
    EXPECT_EQ(message, row.message);
    EXPECT_EQ(subject, row.subject);
  }
}

// The JSON parser refuses a number beyond the range of doubles outright, so
// no infinity can reach a real-valued key.
TEST(CheckpointConfigTest, ANumberBeyondTheDoublesIsNotValidJson) {
  std::string text = smallCheckpoint().config.dump();
  const std::size_t at = text.find("10000.0");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, 7, "1e999");
  EXPECT_EQ(failureOf([&] { (void)map_checkpoint_config(text); }).first,
            "checkpoint configuration is not valid json");
}

TEST(CheckpointConfigTest, RefusesTextsThatAreNotOneJsonObject) {
  for (const char* text : {"", "{", "{\"a\":1,\"a\":2}", "{} {}", "{\"a\":1} // note"}) {
    EXPECT_EQ(failureOf([&] { (void)map_checkpoint_config(text); }).first,
              "checkpoint configuration is not valid json")
        << text;
  }
  std::string deep(100, '[');
  deep += std::string(100, ']');
  EXPECT_EQ(failureOf([&] { (void)map_checkpoint_config("{\"x\":" + deep + "}"); }).first,
            "checkpoint configuration is not valid json");
  EXPECT_EQ(failureOf([] { (void)map_checkpoint_config("[1]"); }).first,
            "checkpoint configuration is not a json object");
}

TEST(CheckpointConfigTest, DefaultPortsAreTheConformanceModelsPorts) {
  EXPECT_EQ(default_model_ports(258), Conformance::make_test_spec(258).ports);
}

// ---------------------------------------------------------------------------
// Tensors

ImportOptions adjacentPairs() {
  ImportOptions options;
  options.rotary_layout = RotaryLayout::adjacent_pairs;
  return options;
}

ImportedCheckpoint importOf(const Checkpoint& c, const ImportOptions& options = {}) {
  const TempDirectory directory;
  c.writeTo(directory);
  return import_checkpoint(directory.path(), options);
}

TEST(CheckpointImportTest, PlacesEveryTensorAndRecordsItsSource) {
  const Checkpoint c = smallCheckpoint();
  const ImportedCheckpoint imported = importOf(c);
  const TransformerWeights& w = imported.weights;
  Checkpoint source = c;
  EXPECT_EQ(w.token_embedding.data, valuesOf(*source.entry("model.embed_tokens.weight")));
  EXPECT_THAT(w.token_embedding.shape, ElementsAre(11U, 8U));
  ASSERT_EQ(w.layers.size(), 1U);
  EXPECT_EQ(w.layers[0].value.data,
            valuesOf(*source.entry("model.layers.0.self_attn.v_proj.weight")));
  EXPECT_EQ(w.layers[0].ffn_down.data,
            valuesOf(*source.entry("model.layers.0.mlp.down_proj.weight")));
  EXPECT_THAT(w.layers[0].ffn_down.shape, ElementsAre(8U, 12U));
  EXPECT_EQ(w.output_embedding.data, valuesOf(*source.entry("lm_head.weight")));

  ASSERT_EQ(imported.tensors.size(), 12U);
  EXPECT_EQ(imported.tensors[0], (ImportedTensor{"token_embedding", "model.embed_tokens.weight",
                                                 "model.safetensors", SafetensorsDType::f64}));
  EXPECT_EQ(imported.tensors[7].name, "layers.0.ffn_gate");
  EXPECT_EQ(imported.tensors[7].source, "model.layers.0.mlp.gate_proj.weight");
  EXPECT_EQ(imported.tensors[11].name, "output_embedding");
  // Names in the order of the model artifact.
  const auto model = make_model(imported.spec, imported.weights);
  const std::vector<NamedWeightTensor> named = named_weight_tensors(model->weights());
  ASSERT_EQ(named.size(), imported.tensors.size());
  for (std::size_t i = 0; i < named.size(); ++i) EXPECT_EQ(named[i].name, imported.tensors[i].name);
}

TEST(CheckpointImportTest, InterleavesQueryAndKeyRowsOfEachHead) {
  Checkpoint c = smallCheckpoint();
  // Row r of q_proj and k_proj holds r in every column.
  for (const char* name :
       {"model.layers.0.self_attn.q_proj.weight", "model.layers.0.self_attn.k_proj.weight"}) {
    SafetensorsEntry& entry = *c.entry(name);
    std::vector<double> values(entry.shape[0] * 8);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i / 8);
    entry.bytes = Import::f64_bytes(values);
  }
  const auto rowsOf = [](const Tensor& t) {
    std::vector<double> rows;
    for (std::size_t r = 0; r < t.shape[0]; ++r) rows.push_back(t.data[r * t.shape[1]]);
    return rows;
  };
  // head_dim 4: rows (0, 1, 2, 3) -> (0, 2, 1, 3) within each head.
  const ImportedCheckpoint halves = importOf(c);
  EXPECT_THAT(rowsOf(halves.weights.layers[0].query), ElementsAre(0, 2, 1, 3, 4, 6, 5, 7));
  EXPECT_THAT(rowsOf(halves.weights.layers[0].key), ElementsAre(0, 2, 1, 3));
  const ImportedCheckpoint pairs = importOf(c, adjacentPairs());
  EXPECT_THAT(rowsOf(pairs.weights.layers[0].query), ElementsAre(0, 1, 2, 3, 4, 5, 6, 7));
  EXPECT_THAT(rowsOf(pairs.weights.layers[0].key), ElementsAre(0, 1, 2, 3));
}

TEST(CheckpointImportTest, GeluModelsGetAZeroGate) {
  const ImportedCheckpoint imported = importOf(smallCheckpoint(/*gelu=*/true));
  EXPECT_EQ(imported.spec.feed_forward, FeedForwardKind::gelu_mlp);
  const Tensor& gate = imported.weights.layers[0].ffn_gate;
  EXPECT_THAT(gate.shape, ElementsAre(12U, 8U));
  EXPECT_TRUE(std::all_of(gate.data.begin(), gate.data.end(), [](double v) { return v == 0.0; }));
  EXPECT_EQ(imported.tensors[7],
            (ImportedTensor{"layers.0.ffn_gate", "", "", SafetensorsDType::f64}));
}

TEST(CheckpointImportTest, ATiedCheckpointMayCarryAnEqualHead) {
  Checkpoint c = smallCheckpoint(false, /*tied=*/true);
  SafetensorsEntry head = *c.entry("model.embed_tokens.weight");
  head.name = "lm_head.weight";
  c.entries.push_back(head);
  const ImportedCheckpoint imported = importOf(c);
  EXPECT_TRUE(imported.spec.tied_embeddings);
  EXPECT_TRUE(imported.weights.output_embedding.data.empty());
  EXPECT_EQ(imported.tensors.size(), 11U);
}

TEST(CheckpointImportTest, WeightLimitCountsTheValuesHeld) {
  // 2 * 11 * 8 embedding values + one layer + final norm; a gelu model's
  // zero gate counts as held.
  const std::uint64_t swiglu = 176 + (8 * (8 + 4 + 4 + 8) + 3 * 8 * 12 + 16) + 8;
  for (const bool gelu : {false, true}) {
    SCOPED_TRACE(gelu);
    const Checkpoint c = smallCheckpoint(gelu);
    ImportOptions options;
    options.limits.max_weight_values = swiglu;
    EXPECT_NO_THROW((void)importOf(c, options));
    options.limits.max_weight_values = swiglu - 1;
    EXPECT_EQ(failureOf([&] { (void)importOf(c, options); }).first,
              "checkpoint exceeds the weight limit");
  }
}

struct TensorRow {
  const char* name;
  std::function<void(Checkpoint&)> edit;
  const char* message;
  std::string subject;
};

TEST(CheckpointImportTest, TensorRefusalTable) {
  const auto nanIn = [](const char* name) {
    return [name](Checkpoint& c) {
      SafetensorsEntry& entry = *c.entry(name);
      std::vector<double> values = valuesOf(entry);
      values[values.size() / 2] = std::numeric_limits<double>::quiet_NaN();
      entry.bytes = Import::f64_bytes(values);
    };
  };
  const std::vector<TensorRow> rows = {
      {"final norm missing", [](Checkpoint& c) { c.remove("model.norm.weight"); },
       "checkpoint lacks a tensor", "model.norm.weight"},
      {"untied without a head", [](Checkpoint& c) { c.remove("lm_head.weight"); },
       "checkpoint lacks a tensor", "lm_head.weight"},
      {"gate missing", [](Checkpoint& c) { c.remove("model.layers.0.mlp.gate_proj.weight"); },
       "checkpoint lacks a tensor", "model.layers.0.mlp.gate_proj.weight"},
      {"first missing tensor in table order",
       [](Checkpoint& c) {
         c.remove("model.norm.weight");
         c.remove("model.layers.0.self_attn.o_proj.weight");
       },
       "checkpoint lacks a tensor", "model.layers.0.self_attn.o_proj.weight"},
      {"a query bias", [](Checkpoint& c) { c.add("model.layers.0.self_attn.q_proj.bias", {8}); },
       "checkpoint has bias tensors", "model.layers.0.self_attn.q_proj.bias"},
      {"a stored rotary table",
       [](Checkpoint& c) { c.add("model.layers.0.self_attn.rotary_emb.inv_freq", {2}); },
       "checkpoint has a tensor the importer does not map",
       "model.layers.0.self_attn.rotary_emb.inv_freq"},
      {"a second layer the config does not have",
       [](Checkpoint& c) { c.add("model.layers.1.input_layernorm.weight", {8}); },
       "checkpoint has a tensor the importer does not map",
       "model.layers.1.input_layernorm.weight"},
      {"a gated gelu", [](Checkpoint& c) { c.config["hidden_act"] = "gelu"; },
       "checkpoint uses a gated gelu feed-forward", "model.layers.0.mlp.gate_proj.weight"},
      {"key rows of the query",
       [](Checkpoint& c) {
         c.remove("model.layers.0.self_attn.k_proj.weight");
         c.add("model.layers.0.self_attn.k_proj.weight", {8, 8});
       },
       "checkpoint tensor has the wrong shape", "model.layers.0.self_attn.k_proj.weight"},
      {"a transposed down projection",
       [](Checkpoint& c) {
         c.entry("model.layers.0.mlp.down_proj.weight")->shape = {12, 8};
       },
       "checkpoint tensor has the wrong shape", "model.layers.0.mlp.down_proj.weight"},
      {"a norm as a matrix",
       [](Checkpoint& c) {
         c.entry("model.norm.weight")->shape = {1, 8};
       },
       "checkpoint tensor has the wrong shape", "model.norm.weight"},
      {"a NaN in the embedding", nanIn("model.embed_tokens.weight"),
       "checkpoint tensor holds NaN or infinity", "model.embed_tokens.weight"},
      {"a NaN in the head", nanIn("lm_head.weight"), "checkpoint tensor holds NaN or infinity",
       "lm_head.weight"},
      {"an infinity in the key",
       [](Checkpoint& c) {
         SafetensorsEntry& entry = *c.entry("model.layers.0.self_attn.k_proj.weight");
         entry.dtype = SafetensorsDType::f16;
         entry.bytes = Import::u16_bytes(std::vector<std::uint16_t>(32, 0xFC00));
       },
       "checkpoint tensor holds NaN or infinity", "model.layers.0.self_attn.k_proj.weight"},
      {"a tied head that differs", [](Checkpoint& c) { c.config["tie_word_embeddings"] = true; },
       "checkpoint ties its embeddings but its lm_head differs", "lm_head.weight"},
      {"a tied head of another shape",
       [](Checkpoint& c) {
         c.config["tie_word_embeddings"] = true;
         c.entry("lm_head.weight")->shape = {8, 11};
       },
       "checkpoint tensor has the wrong shape", "lm_head.weight"},
  };
  std::set<std::string> names;
  for (const TensorRow& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(names.insert(row.name).second) << "duplicate row name";
    Checkpoint c = smallCheckpoint();
    row.edit(c);
    const auto [message, subject] = failureOf([&] { (void)importOf(c); });
    EXPECT_EQ(message, row.message);
    EXPECT_EQ(subject, row.subject);
  }
}

TEST(CheckpointImportTest, DirectoryProblems) {
  const TempDirectory directory;
  EXPECT_EQ(failureOf([&] { (void)import_checkpoint(directory.path(), {}); }),
            std::make_pair(std::string("checkpoint directory has no config.json"),
                           directory.path().string()));

  // The configuration is checked before the weights are looked for.
  Checkpoint c = smallCheckpoint();
  c.config["hidden_act"] = "relu";
  directory.write("config.json", c.config.dump());
  EXPECT_EQ(failureOf([&] { (void)import_checkpoint(directory.path(), {}); }).first,
            "checkpoint activation is not supported");

  c = smallCheckpoint();
  directory.write("config.json", c.config.dump());
  EXPECT_EQ(failureOf([&] { (void)import_checkpoint(directory.path(), {}); }).first,
            "checkpoint directory has no safetensors weights");
  ImportOptions small;
  small.limits.max_json_bytes = c.config.dump().size() - 1;
  EXPECT_EQ(failureOf([&] { (void)import_checkpoint(directory.path(), small); }),
            std::make_pair(std::string("checkpoint file exceeds size limit"),
                           std::string("config.json")));

  c.writeTo(directory);
  directory.write("model.safetensors.index.json", "{}");
  EXPECT_EQ(failureOf([&] { (void)import_checkpoint(directory.path(), {}); }).first,
            "checkpoint directory has both a single weights file and an index");

  // A weights file's own faults come through with its messages.
  std::filesystem::remove(directory.path() / "model.safetensors.index.json");
  directory.write("model.safetensors", ByteBuffer(4, 0));
  EXPECT_EQ(failureOf([&] { (void)import_checkpoint(directory.path(), {}); }).first,
            "safetensors file is too short");
  ImportOptions tiny;
  tiny.limits.safetensors.max_file_bytes = 3;
  EXPECT_EQ(failureOf([&] { (void)import_checkpoint(directory.path(), tiny); }).first,
            "safetensors file exceeds size limit");
}

// ---------------------------------------------------------------------------
// Shards

// The small checkpoint split after its sixth tensor into two shards.
struct Sharded {
  Checkpoint checkpoint = smallCheckpoint();
  std::vector<SafetensorsEntry> first;
  std::vector<SafetensorsEntry> second;
  Json index;

  Sharded() {
    first.assign(checkpoint.entries.begin(), checkpoint.entries.begin() + 6);
    second.assign(checkpoint.entries.begin() + 6, checkpoint.entries.end());
    for (const SafetensorsEntry& e : first) index["weight_map"][e.name] = "part-1.safetensors";
    for (const SafetensorsEntry& e : second) index["weight_map"][e.name] = "part-2.safetensors";
    index["metadata"] = {{"total_size", 0}};
  }

  void writeTo(const TempDirectory& directory) const {
    directory.write("config.json", checkpoint.config.dump());
    directory.write("model.safetensors.index.json", index.dump());
    directory.write("part-1.safetensors", Import::write_safetensors(first));
    directory.write("part-2.safetensors", Import::write_safetensors(second));
  }
};

TEST(CheckpointShardTest, ShardsImportAsOneFile) {
  const Sharded sharded;
  const TempDirectory directory;
  sharded.writeTo(directory);
  const ImportedCheckpoint fromShards = import_checkpoint(directory.path(), {});
  const ImportedCheckpoint fromOne = importOf(sharded.checkpoint);
  EXPECT_EQ(fromShards.spec, fromOne.spec);
  const auto a = named_weight_tensors(fromShards.weights);
  const auto b = named_weight_tensors(fromOne.weights);
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].tensor.get().data, b[i].tensor.get().data) << a[i].name;
  }
  EXPECT_EQ(fromShards.tensors[0].file, "part-1.safetensors");
  EXPECT_EQ(fromShards.tensors.back().file, "part-2.safetensors");
}

struct ShardRow {
  const char* name;
  std::function<void(Sharded&)> edit;
  const char* message;
  std::string subject;
};

TEST(CheckpointShardTest, RefusalTable) {
  const std::vector<ShardRow> rows = {
      {"no weight map", [](Sharded& s) { s.index.erase("weight_map"); },
       "checkpoint index is malformed", ""},
      {"weight map a list", [](Sharded& s) { s.index["weight_map"] = Json::array(); },
       "checkpoint index is malformed", ""},
      {"a shard named by a number",
       [](Sharded& s) { s.index["weight_map"]["model.norm.weight"] = 2; },
       "checkpoint index is malformed", ""},
      {"a shard outside the directory",
       [](Sharded& s) { s.index["weight_map"]["model.norm.weight"] = "../part-2.safetensors"; },
       "checkpoint index names an invalid shard file", "../part-2.safetensors"},
      {"a shard named ..", [](Sharded& s) { s.index["weight_map"]["model.norm.weight"] = ".."; },
       "checkpoint index names an invalid shard file", ".."},
      {"a tensor mapped to the wrong shard",
       [](Sharded& s) { s.index["weight_map"]["model.norm.weight"] = "part-1.safetensors"; },
       "checkpoint index maps a tensor its shard does not hold", "model.norm.weight"},
      {"a shard tensor the index leaves out",
       [](Sharded& s) { s.index["weight_map"].erase("model.norm.weight"); },
       "checkpoint shard holds a tensor the index does not map to it", "model.norm.weight"},
      {"a tensor in both shards", [](Sharded& s) { s.first.push_back(s.second.back()); },
       "checkpoint shard holds a tensor the index does not map to it", "lm_head.weight"},
      {"a shard that breaks its format", [](Sharded& s) { s.second.back().bytes.pop_back(); },
       "safetensors tensor byte count does not match its shape", "lm_head.weight"},
  };
  std::set<std::string> names;
  for (const ShardRow& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_TRUE(names.insert(row.name).second) << "duplicate row name";
    Sharded sharded;
    row.edit(sharded);
    const TempDirectory directory;
    sharded.writeTo(directory);
    const auto [message, subject] =
        failureOf([&] { (void)import_checkpoint(directory.path(), {}); });
    EXPECT_EQ(message, row.message);
    EXPECT_EQ(subject, row.subject);
  }
}

TEST(CheckpointShardTest, IndexTextProblems) {
  const Sharded sharded;
  const TempDirectory directory;
  sharded.writeTo(directory);
  for (const char* text :
       {"", "{\"weight_map\":{}", "{\"weight_map\":{\"a\":\"x\",\"a\":\"y\"}}"}) {
    directory.write("model.safetensors.index.json", text);
    EXPECT_EQ(failureOf([&] { (void)import_checkpoint(directory.path(), {}); }).first,
              "checkpoint index is not valid json")
        << text;
  }
  directory.write("model.safetensors.index.json", "[]");
  EXPECT_EQ(failureOf([&] { (void)import_checkpoint(directory.path(), {}); }).first,
            "checkpoint index is malformed");

  Sharded missing;
  missing.index["weight_map"]["model.norm.weight"] = "part-3.safetensors";
  missing.writeTo(directory);
  EXPECT_THROW((void)import_checkpoint(directory.path(), {}), std::filesystem::filesystem_error);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
