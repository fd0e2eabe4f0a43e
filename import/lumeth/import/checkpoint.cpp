#include "lumeth/import/checkpoint.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "lumeth/import/internal/files.hpp"
#include "lumeth/import/internal/strict_json.hpp"
#include "lumeth/inference/floating_point.hpp"
#include "lumeth/spec/default_ports.hpp"
#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

constexpr std::string_view kConfigFile = "config.json";
constexpr std::string_view kSingleWeightsFile = "model.safetensors";
constexpr std::string_view kIndexFile = "model.safetensors.index.json";

[[noreturn]] void fail(const char* message, std::string subject = {}) {
  throw ImportError(message, std::move(subject));
}

// ---------------------------------------------------------------------------
// Configuration

const Json* member(const Json& object, std::string_view key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

bool isNull(const Json* value) { return value == nullptr || value->is_null(); }

// A required (or, with a fallback, optional) count in 1 .. 2^32 - 1.
std::uint32_t countValue(const Json& config, const char* key,
                         std::optional<std::uint32_t> fallback = std::nullopt) {
  const Json* value = member(config, key);
  if (isNull(value)) {
    if (fallback) return *fallback;
    if (value == nullptr) fail("checkpoint configuration lacks a required key", key);
    fail("checkpoint configuration value is invalid", key);
  }
  if (!value->is_number_unsigned()) fail("checkpoint configuration value is invalid", key);
  const auto number = value->get<std::uint64_t>();
  if (number == 0 || number > std::numeric_limits<std::uint32_t>::max()) {
    fail("checkpoint configuration value is invalid", key);
  }
  return static_cast<std::uint32_t>(number);
}

// A finite, positive real; integers are taken as their double value.
double positiveReal(const Json& value, const char* key) {
  if (!value.is_number()) fail("checkpoint configuration value is invalid", key);
  const double number = value.get<double>();
  if (!is_finite_value(number) || !(number > 0.0)) {
    fail("checkpoint configuration value is invalid", key);
  }
  return number;
}

bool flagValue(const Json& config, const char* key, bool fallback) {
  const Json* value = member(config, key);
  if (value == nullptr) return fallback;
  if (!value->is_boolean()) fail("checkpoint configuration value is invalid", key);
  return value->get<bool>();
}

std::string textValue(const Json& config, const char* key,
                      std::optional<std::string_view> fallback) {
  const Json* value = member(config, key);
  if (value == nullptr) {
    if (fallback) return std::string(*fallback);
    fail("checkpoint configuration lacks a required key", key);
  }
  if (!value->is_string()) fail("checkpoint configuration value is invalid", key);
  return value->get<std::string>();
}

// The rotary base: rope_theta, else rope_parameters.rope_theta, else 10000.
// rope_parameters is the newer home of the rotary settings; whether it asks
// for more than the plain rotation is decided with the other refusals.
double rotaryBase(const Json& config) {
  const Json* parameters = member(config, "rope_parameters");
  std::optional<double> nested;
  if (!isNull(parameters)) {
    if (!parameters->is_object()) {
      fail("checkpoint configuration value is invalid", "rope_parameters");
    }
    const Json* type = member(*parameters, "rope_type");
    if (type != nullptr && !type->is_string()) {
      fail("checkpoint configuration value is invalid", "rope_parameters");
    }
    if (const Json* theta = member(*parameters, "rope_theta"); theta != nullptr) {
      nested = positiveReal(*theta, "rope_parameters");
    }
  }
  if (const Json* theta = member(config, "rope_theta"); theta != nullptr) {
    return positiveReal(*theta, "rope_theta");
  }
  return nested.value_or(10000.0);
}

// rope_parameters beyond {"rope_type": "default", "rope_theta": x} (its
// shape was checked by rotaryBase).
bool scalesRotation(const Json* parameters) {
  if (isNull(parameters)) return false;
  for (const auto& [key, value] : parameters->items()) {
    if (key == "rope_type" && value.get<std::string>() == "default") continue;
    if (key == "rope_theta") continue;
    return true;
  }
  return false;
}

void refuseUnsupported(const Json& config, std::uint32_t context) {
  if (flagValue(config, "attention_bias", false)) {
    fail("checkpoint uses attention biases", "attention_bias");
  }
  if (flagValue(config, "mlp_bias", false)) fail("checkpoint uses feed-forward biases", "mlp_bias");
  if (!isNull(member(config, "rope_scaling"))) {
    fail("checkpoint uses rotary scaling", "rope_scaling");
  }
  if (scalesRotation(member(config, "rope_parameters"))) {
    fail("checkpoint uses rotary scaling", "rope_parameters");
  }
  const Json* window = member(config, "sliding_window");
  if (!isNull(window)) {
    if (!window->is_number_unsigned()) {
      fail("checkpoint configuration value is invalid", "sliding_window");
    }
    const bool enabled = flagValue(config, "use_sliding_window", true);
    if (enabled && window->get<std::uint64_t>() < context) {
      fail("checkpoint uses sliding-window attention", "sliding_window");
    }
  }
  const Json* partial = member(config, "partial_rotary_factor");
  if (!isNull(partial)) {
    if (!partial->is_number()) {
      fail("checkpoint configuration value is invalid", "partial_rotary_factor");
    }
    if (partial->get<double>() != 1.0) {
      fail("checkpoint uses partial rotary encoding", "partial_rotary_factor");
    }
  }
}

TransformerSpec specFromConfig(const Json& config) {
  if (!config.is_object()) fail("checkpoint configuration is not a json object");
  const std::string modelType = textValue(config, "model_type", std::nullopt);
  if (modelType != "llama" && modelType != "mistral") {
    fail("checkpoint model type is not supported", modelType);
  }
  TransformerSpec spec;
  spec.vocabulary = countValue(config, "vocab_size");
  spec.context = countValue(config, "max_position_embeddings");
  spec.layers = countValue(config, "num_hidden_layers");
  spec.model_dim = countValue(config, "hidden_size");
  spec.ffn_dim = countValue(config, "intermediate_size");
  spec.query_heads = countValue(config, "num_attention_heads");
  spec.kv_heads = countValue(config, "num_key_value_heads", spec.query_heads);
  // Integer division as the frameworks do it; a remainder shows up below as
  // model_dim != query_heads * head_dim.
  spec.head_dim = countValue(config, "head_dim", std::max(1U, spec.model_dim / spec.query_heads));
  const Json* epsilon = member(config, "rms_norm_eps");
  if (epsilon == nullptr) fail("checkpoint configuration lacks a required key", "rms_norm_eps");
  spec.normalization.epsilon = positiveReal(*epsilon, "rms_norm_eps");
  spec.position.rope_base = rotaryBase(config);
  spec.tied_embeddings = flagValue(config, "tie_word_embeddings", false);
  const std::string activation = textValue(config, "hidden_act", "silu");
  if (activation == "silu") {
    spec.feed_forward = FeedForwardKind::swiglu;
  } else if (activation == "gelu") {
    spec.feed_forward = FeedForwardKind::gelu_mlp;
  } else {
    fail("checkpoint activation is not supported", activation);
  }
  refuseUnsupported(config, spec.context);
  spec.ports = default_model_ports(spec.vocabulary);
  const std::vector<SpecIssue> issues = validate_spec(spec);
  if (!issues.empty()) {
    fail("checkpoint configuration does not describe a valid model",
         issues.front().field + ": " + issues.front().message);
  }
  return spec;
}

// Doubles the weights hold: the parameter count as a SwiGLU model counts it,
// which adds the zero gate of a gelu model. Nullopt on overflow.
std::optional<std::uint64_t> weightValues(const TransformerSpec& spec) {
  TransformerSpec counted = spec;
  counted.feed_forward = FeedForwardKind::swiglu;
  return parameter_count(counted);
}

// ---------------------------------------------------------------------------
// Weights files

std::string readJsonFile(const fs::path& path, std::uint64_t maxBytes) {
  bool tooLarge = false;
  std::string text = Import::read_small_file(path, maxBytes, tooLarge);
  if (tooLarge) fail("checkpoint file exceeds size limit", path.filename().string());
  return text;
}

bool isPlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

struct WeightsFile {
  std::string name;
  SafetensorsFile reader;
};

// The weights files and, for every tensor name, the file that holds it.
struct Weights {
  std::vector<WeightsFile> files;
  std::map<std::string, std::size_t, std::less<>> location;
};

Weights openWeights(const fs::path& directory, const CheckpointLimits& limits) {
  const fs::path single = directory / kSingleWeightsFile;
  const fs::path index = directory / kIndexFile;
  const bool hasSingle = fs::exists(single);
  const bool hasIndex = fs::exists(index);
  if (!hasSingle && !hasIndex) {
    fail("checkpoint directory has no safetensors weights", directory.string());
  }
  if (hasSingle && hasIndex) {
    fail("checkpoint directory has both a single weights file and an index", directory.string());
  }
  Weights weights;
  if (hasSingle) {
    weights.files.push_back(
        {std::string(kSingleWeightsFile), SafetensorsFile::open(single, limits.safetensors)});
    for (const SafetensorsTensor& tensor : weights.files[0].reader.header().tensors) {
      weights.location.emplace(tensor.name, 0);
    }
    return weights;
  }

  const std::optional<Json> document =
      Import::parse_strict_json(readJsonFile(index, limits.max_json_bytes));
  if (!document) fail("checkpoint index is not valid json");
  const Json* map = document->is_object() ? member(*document, "weight_map") : nullptr;
  if (map == nullptr || !map->is_object()) fail("checkpoint index is malformed");
  // Tensor -> shard name, and the shards in name order.
  std::map<std::string, std::string, std::less<>> mapped;
  std::map<std::string, std::size_t, std::less<>> shards;
  for (const auto& [tensor, shard] : map->items()) {
    if (!shard.is_string()) fail("checkpoint index is malformed");
    mapped.emplace(tensor, shard.get<std::string>());
    shards.emplace(shard.get<std::string>(), 0);
  }
  for (const auto& [shard, position] : shards) {
    if (!isPlainFileName(shard)) fail("checkpoint index names an invalid shard file", shard);
  }
  for (auto& [shard, position] : shards) {
    position = weights.files.size();
    weights.files.push_back({shard, SafetensorsFile::open(directory / shard, limits.safetensors)});
  }
  for (const auto& [tensor, shard] : mapped) {
    const std::size_t file = shards.at(shard);
    if (weights.files[file].reader.find(tensor) == nullptr) {
      fail("checkpoint index maps a tensor its shard does not hold", tensor);
    }
    weights.location.emplace(tensor, file);
  }
  // In shard order, then header order; a tensor stored twice is unmapped in
  // one of its shards.
  for (std::size_t file = 0; file < weights.files.size(); ++file) {
    for (const SafetensorsTensor& tensor : weights.files[file].reader.header().tensors) {
      const auto found = weights.location.find(tensor.name);
      if (found == weights.location.end() || found->second != file) {
        fail("checkpoint shard holds a tensor the index does not map to it", tensor.name);
      }
    }
  }
  return weights;
}

// ---------------------------------------------------------------------------
// Tensor mapping

enum class Role : std::uint8_t { plain, query, key, zero_gate };

// One Lumeth tensor and where it comes from.
struct Planned {
  std::string name;    // artifact name
  std::string source;  // checkpoint name; empty for the zero gate
  std::vector<std::size_t> shape;
  Role role = Role::plain;
  Tensor* target = nullptr;
};

std::vector<Planned> planTensors(const TransformerSpec& spec, TransformerWeights& weights) {
  const std::size_t d = spec.model_dim;
  const std::size_t q = std::size_t{spec.query_heads} * spec.head_dim;
  const std::size_t kv = std::size_t{spec.kv_heads} * spec.head_dim;
  const std::size_t f = spec.ffn_dim;
  const std::size_t v = spec.vocabulary;
  const bool gelu = spec.feed_forward == FeedForwardKind::gelu_mlp;

  weights.layers.resize(spec.layers);
  std::vector<Planned> plan;
  plan.push_back({"token_embedding",
                  "model.embed_tokens.weight",
                  {v, d},
                  Role::plain,
                  &weights.token_embedding});
  for (std::size_t i = 0; i < spec.layers; ++i) {
    const std::string at = "layers." + std::to_string(i) + ".";
    const std::string from = "model.layers." + std::to_string(i) + ".";
    LayerWeights& layer = weights.layers[i];
    plan.push_back({at + "attention_norm",
                    from + "input_layernorm.weight",
                    {d},
                    Role::plain,
                    &layer.attention_norm});
    plan.push_back(
        {at + "query", from + "self_attn.q_proj.weight", {q, d}, Role::query, &layer.query});
    plan.push_back({at + "key", from + "self_attn.k_proj.weight", {kv, d}, Role::key, &layer.key});
    plan.push_back(
        {at + "value", from + "self_attn.v_proj.weight", {kv, d}, Role::plain, &layer.value});
    plan.push_back({at + "attention_output",
                    from + "self_attn.o_proj.weight",
                    {d, q},
                    Role::plain,
                    &layer.attention_output});
    plan.push_back({at + "ffn_norm",
                    from + "post_attention_layernorm.weight",
                    {d},
                    Role::plain,
                    &layer.ffn_norm});
    if (gelu) {
      plan.push_back({at + "ffn_gate", "", {f, d}, Role::zero_gate, &layer.ffn_gate});
    } else {
      plan.push_back(
          {at + "ffn_gate", from + "mlp.gate_proj.weight", {f, d}, Role::plain, &layer.ffn_gate});
    }
    plan.push_back(
        {at + "ffn_up", from + "mlp.up_proj.weight", {f, d}, Role::plain, &layer.ffn_up});
    plan.push_back(
        {at + "ffn_down", from + "mlp.down_proj.weight", {d, f}, Role::plain, &layer.ffn_down});
  }
  plan.push_back({"final_norm", "model.norm.weight", {d}, Role::plain, &weights.final_norm});
  if (!spec.tied_embeddings) {
    plan.push_back(
        {"output_embedding", "lm_head.weight", {v, d}, Role::plain, &weights.output_embedding});
  }
  return plan;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool shapeIs(const SafetensorsTensor& tensor, const std::vector<std::size_t>& shape) {
  return std::equal(tensor.shape.begin(), tensor.shape.end(), shape.begin(), shape.end(),
                    [](std::uint64_t a, std::size_t b) { return a == b; });
}

void checkTensorSet(const TransformerSpec& spec, const Weights& weights,
                    const std::vector<Planned>& plan) {
  if (spec.feed_forward == FeedForwardKind::gelu_mlp) {
    for (const auto& [name, file] : weights.location) {
      if (name.starts_with("model.layers.") && endsWith(name, ".mlp.gate_proj.weight")) {
        fail("checkpoint uses a gated gelu feed-forward", name);
      }
    }
  }
  for (const auto& [name, file] : weights.location) {
    if (endsWith(name, ".bias")) fail("checkpoint has bias tensors", name);
  }
  std::map<std::string_view, const Planned*> expected;
  for (const Planned& planned : plan) {
    if (planned.source.empty()) continue;
    if (!weights.location.contains(planned.source))
      fail("checkpoint lacks a tensor", planned.source);
    expected.emplace(planned.source, &planned);
  }
  for (const auto& [name, file] : weights.location) {
    // A tied checkpoint may carry its output head too; it is compared below.
    const bool tiedHead = spec.tied_embeddings && name == "lm_head.weight";
    if (!expected.contains(name) && !tiedHead) {
      fail("checkpoint has a tensor the importer does not map", name);
    }
  }
  const auto tensorOf = [&](const std::string& name) {
    return weights.files[weights.location.find(name)->second].reader.find(name);
  };
  for (const Planned& planned : plan) {
    if (!planned.source.empty() && !shapeIs(*tensorOf(planned.source), planned.shape)) {
      fail("checkpoint tensor has the wrong shape", planned.source);
    }
  }
  if (spec.tied_embeddings && weights.location.contains("lm_head.weight") &&
      !shapeIs(*tensorOf("lm_head.weight"), {spec.vocabulary, spec.model_dim})) {
    fail("checkpoint tensor has the wrong shape", "lm_head.weight");
  }
}

// Reorders each head's rows from the half-split rotary layout to adjacent
// pairs: row 2i <- row i, row 2i + 1 <- row i + headDim/2. [heads * headDim, d].
void interleaveHeadRows(Tensor& tensor, std::size_t headDim) {
  const std::size_t cols = tensor.shape[1];
  const std::size_t heads = tensor.shape[0] / headDim;
  const std::size_t half = headDim / 2;
  std::vector<double> head(headDim * cols);
  for (std::size_t h = 0; h < heads; ++h) {
    double* rows = tensor.data.data() + h * headDim * cols;
    std::copy_n(rows, head.size(), head.begin());
    for (std::size_t i = 0; i < half; ++i) {
      std::copy_n(head.begin() + static_cast<std::ptrdiff_t>(i * cols), cols, rows + 2 * i * cols);
      std::copy_n(head.begin() + static_cast<std::ptrdiff_t>((i + half) * cols), cols,
                  rows + (2 * i + 1) * cols);
    }
  }
}

Tensor readChecked(const Weights& weights, const std::string& name) {
  const SafetensorsFile& reader = weights.files[weights.location.find(name)->second].reader;
  Tensor tensor = reader.read(name);
  if (!std::all_of(tensor.data.begin(), tensor.data.end(), is_finite_value)) {
    fail("checkpoint tensor holds NaN or infinity", name);
  }
  return tensor;
}

}  // namespace

TransformerSpec map_checkpoint_config(std::string_view config_json) {
  const std::optional<Json> config = Import::parse_strict_json(config_json);
  if (!config) fail("checkpoint configuration is not valid json");
  return specFromConfig(*config);
}

ImportedCheckpoint import_checkpoint(const fs::path& directory, const ImportOptions& options) {
  const fs::path configPath = directory / kConfigFile;
  if (!fs::exists(configPath)) fail("checkpoint directory has no config.json", directory.string());
  ImportedCheckpoint result;
  result.spec = map_checkpoint_config(readJsonFile(configPath, options.limits.max_json_bytes));
  const std::optional<std::uint64_t> values = weightValues(result.spec);
  if (!values || *values > options.limits.max_weight_values) {
    fail("checkpoint exceeds the weight limit");
  }

  const Weights weights = openWeights(directory, options.limits);
  // Built in a local and moved out only when everything passed.
  TransformerWeights built;
  const std::vector<Planned> plan = planTensors(result.spec, built);
  checkTensorSet(result.spec, weights, plan);

  result.tensors.reserve(plan.size());
  for (const Planned& planned : plan) {
    if (planned.role == Role::zero_gate) {
      *planned.target = Tensor(planned.shape, 0.0, true);
      result.tensors.push_back({planned.name, "", "", SafetensorsDType::f64});
      continue;
    }
    const WeightsFile& file = weights.files[weights.location.find(planned.source)->second];
    *planned.target = readChecked(weights, planned.source);
    if (options.rotary_layout == RotaryLayout::half_split &&
        (planned.role == Role::query || planned.role == Role::key)) {
      interleaveHeadRows(*planned.target, result.spec.head_dim);
    }
    result.tensors.push_back(
        {planned.name, planned.source, file.name, file.reader.find(planned.source)->dtype});
  }
  if (result.spec.tied_embeddings && weights.location.contains("lm_head.weight")) {
    const Tensor head = readChecked(weights, "lm_head.weight");
    if (head.data != built.token_embedding.data) {
      fail("checkpoint ties its embeddings but its lm_head differs", "lm_head.weight");
    }
  }
  result.weights = std::move(built);
  return result;
}

std::shared_ptr<const TransformerModel> import_model(const fs::path& directory,
                                                     const ImportOptions& options) {
  ImportedCheckpoint imported = import_checkpoint(directory, options);
  return make_model(imported.spec, std::move(imported.weights));
}

}  // namespace Orvane::Core::Lumeth
