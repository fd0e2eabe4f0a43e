#include "cli/spec_json.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "lumeth/spec/default_ports.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

using Json = nlohmann::json;

[[noreturn]] void refuse(const std::string& path, const std::string& message) {
  throw std::invalid_argument(path + ": " + message);
}

std::string member(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

void expectObject(const Json& value, const std::string& path,
                  std::initializer_list<std::string_view> keys) {
  if (!value.is_object()) refuse(path.empty() ? "configuration" : path, "expected an object");
  for (const auto& [key, unused] : value.items()) {
    bool known = false;
    for (const std::string_view allowed : keys) known = known || key == allowed;
    if (!known) refuse(member(path, key), "unknown key");
  }
}

std::uint32_t toU32(const Json& value, const std::string& path) {
  if (!value.is_number_unsigned() || value.get<std::uint64_t>() > 0xFFFFFFFFu) {
    refuse(path, "expected an integer from 0 to 4294967295");
  }
  return value.get<std::uint32_t>();
}

double toDouble(const Json& value, const std::string& path) {
  if (value.is_number()) return value.get<double>();
  if (value.is_string()) {
    const std::string text = value.get<std::string>();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (text == "inf") return kInf;
    if (text == "-inf") return -kInf;
    if (text == "nan")
      return std::bit_cast<double>(std::bit_cast<std::uint64_t>(nan) & ~(1ull << 63));
    if (text == "-nan")
      return std::bit_cast<double>(std::bit_cast<std::uint64_t>(nan) | (1ull << 63));
  }
  refuse(path, "expected a number, \"inf\", \"-inf\", \"nan\" or \"-nan\"");
}

Json fromDouble(double value) {
  const bool negative = std::signbit(value);
  if (value != value) return negative ? "-nan" : "nan";
  if (value == std::numeric_limits<double>::infinity()) return "inf";
  if (value == -std::numeric_limits<double>::infinity()) return "-inf";
  return value;
}

// An enumeration by name (its index in `names` is its code) or by code.
template <typename Enum, std::size_t N>
Enum toEnum(const Json& value, const std::string& path,
            const std::array<std::string_view, N>& names) {
  if (value.is_string()) {
    for (std::size_t code = 0; code < N; ++code) {
      if (value.get<std::string>() == names[code]) return static_cast<Enum>(code);
    }
  } else if (value.is_number_unsigned() && value.get<std::uint64_t>() <= 255) {
    return static_cast<Enum>(value.get<std::uint8_t>());
  }
  std::string expected = "expected one of";
  for (const std::string_view name : names) expected += " \"" + std::string(name) + "\"";
  refuse(path, expected + " or a code from 0 to 255");
}

template <typename Enum, std::size_t N>
Json fromEnum(Enum value, const std::array<std::string_view, N>& names) {
  const auto code = static_cast<std::size_t>(value);
  if (code < N) return std::string(names[code]);
  return code;
}

constexpr std::array<std::string_view, 1> kPositionKinds = {"rope"};
constexpr std::array<std::string_view, 1> kNormalizationKinds = {"rms_norm"};
constexpr std::array<std::string_view, 2> kFeedForwardKinds = {"gelu_mlp", "swiglu"};
constexpr std::array<std::string_view, 3> kDTypes = {"float64", "float32", "float16"};
constexpr std::array<std::string_view, 2> kDirections = {"input", "output"};
constexpr std::array<std::string_view, 3> kPortKinds = {"token_ids", "embedding", "logits"};

}  // namespace

TransformerSpec spec_from_json(const Json& config, std::optional<std::uint32_t> vocabulary) {
  expectObject(config, "",
               {"vocabulary", "context", "layers", "model_dim", "ffn_dim", "query_heads",
                "kv_heads", "head_dim", "position", "normalization", "feed_forward", "precision",
                "tied_embeddings", "ports"});
  TransformerSpec spec;
  const std::pair<const char*, std::uint32_t TransformerSpec::*> sizes[] = {
      {"vocabulary", &TransformerSpec::vocabulary}, {"context", &TransformerSpec::context},
      {"layers", &TransformerSpec::layers},         {"model_dim", &TransformerSpec::model_dim},
      {"ffn_dim", &TransformerSpec::ffn_dim},       {"query_heads", &TransformerSpec::query_heads},
      {"kv_heads", &TransformerSpec::kv_heads},     {"head_dim", &TransformerSpec::head_dim},
  };
  for (const auto& [key, field] : sizes) {
    if (config.contains(key)) {
      spec.*field = toU32(config[key], key);
    } else if (std::string_view(key) == "vocabulary" && vocabulary) {
      spec.vocabulary = *vocabulary;
    } else {
      refuse(key, "required");
    }
  }
  if (config.contains("position")) {
    const Json& position = config["position"];
    expectObject(position, "position", {"kind", "rope_base"});
    if (position.contains("kind")) {
      spec.position.kind = toEnum<PositionKind>(position["kind"], "position.kind", kPositionKinds);
    }
    if (position.contains("rope_base")) {
      spec.position.rope_base = toDouble(position["rope_base"], "position.rope_base");
    }
  }
  if (config.contains("normalization")) {
    const Json& normalization = config["normalization"];
    expectObject(normalization, "normalization", {"kind", "epsilon"});
    if (normalization.contains("kind")) {
      spec.normalization.kind = toEnum<NormalizationKind>(
          normalization["kind"], "normalization.kind", kNormalizationKinds);
    }
    if (normalization.contains("epsilon")) {
      spec.normalization.epsilon = toDouble(normalization["epsilon"], "normalization.epsilon");
    }
  }
  if (config.contains("feed_forward")) {
    spec.feed_forward =
        toEnum<FeedForwardKind>(config["feed_forward"], "feed_forward", kFeedForwardKinds);
  }
  if (config.contains("precision")) {
    const Json& precision = config["precision"];
    expectObject(precision, "precision", {"weights", "activations", "kv_cache"});
    const std::pair<const char*, DType PrecisionConfig::*> fields[] = {
        {"weights", &PrecisionConfig::weights},
        {"activations", &PrecisionConfig::activations},
        {"kv_cache", &PrecisionConfig::kv_cache}};
    for (const auto& [key, field] : fields) {
      if (precision.contains(key)) {
        spec.precision.*field = toEnum<DType>(precision[key], member("precision", key), kDTypes);
      }
    }
  }
  if (config.contains("tied_embeddings")) {
    if (!config["tied_embeddings"].is_boolean())
      refuse("tied_embeddings", "expected true or false");
    spec.tied_embeddings = config["tied_embeddings"].get<bool>();
  }
  if (!config.contains("ports")) {
    spec.ports = default_model_ports(spec.vocabulary);
    return spec;
  }
  const Json& ports = config["ports"];
  if (!ports.is_array()) refuse("ports", "expected an array");
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const std::string path = "ports[" + std::to_string(i) + "]";
    const Json& port = ports[i];
    expectObject(port, path, {"name", "direction", "kind", "width", "schema"});
    PortSpec spec_port;
    for (const char* key : {"name", "schema"}) {
      if (port.contains(key)) {
        if (!port[key].is_string()) refuse(member(path, key), "expected a string");
        (std::string_view(key) == "name" ? spec_port.name : spec_port.schema) =
            port[key].get<std::string>();
      }
    }
    if (port.contains("direction")) {
      spec_port.direction =
          toEnum<PortDirection>(port["direction"], member(path, "direction"), kDirections);
    }
    if (port.contains("kind")) {
      spec_port.kind = toEnum<PortKind>(port["kind"], member(path, "kind"), kPortKinds);
    }
    if (port.contains("width")) spec_port.width = toU32(port["width"], member(path, "width"));
    spec.ports.push_back(std::move(spec_port));
  }
  return spec;
}

nlohmann::ordered_json spec_to_json(const TransformerSpec& spec) {
  nlohmann::ordered_json config;
  config["vocabulary"] = spec.vocabulary;
  config["context"] = spec.context;
  config["layers"] = spec.layers;
  config["model_dim"] = spec.model_dim;
  config["ffn_dim"] = spec.ffn_dim;
  config["query_heads"] = spec.query_heads;
  config["kv_heads"] = spec.kv_heads;
  config["head_dim"] = spec.head_dim;
  config["position"] = {{"kind", fromEnum(spec.position.kind, kPositionKinds)},
                        {"rope_base", fromDouble(spec.position.rope_base)}};
  config["normalization"] = {{"kind", fromEnum(spec.normalization.kind, kNormalizationKinds)},
                             {"epsilon", fromDouble(spec.normalization.epsilon)}};
  config["feed_forward"] = fromEnum(spec.feed_forward, kFeedForwardKinds);
  config["precision"] = {{"weights", fromEnum(spec.precision.weights, kDTypes)},
                         {"activations", fromEnum(spec.precision.activations, kDTypes)},
                         {"kv_cache", fromEnum(spec.precision.kv_cache, kDTypes)}};
  config["tied_embeddings"] = spec.tied_embeddings;
  config["ports"] = nlohmann::ordered_json::array();
  for (const PortSpec& port : spec.ports) {
    config["ports"].push_back({{"name", port.name},
                               {"direction", fromEnum(port.direction, kDirections)},
                               {"kind", fromEnum(port.kind, kPortKinds)},
                               {"width", port.width},
                               {"schema", port.schema}});
  }
  return config;
}

}  // namespace Orvane::Core::Lumeth::Cli
