#include "lumeth/spec/transformer_spec.hpp"

#include <cmath>
#include <string>
#include <unordered_set>

#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr const char* kMustBePositive = "must be greater than zero";
constexpr const char* kMustBeFinitePositive = "must be finite and greater than zero";
constexpr const char* kUnknownDType = "unknown dtype";

// Rejects 0, negatives, NaN and both infinities. Written as a positive test so
// that NaN, for which every comparison is false, falls on the failing side.
bool isFinitePositive(double value) noexcept { return std::isfinite(value) && value > 0.0; }

bool productEquals(std::uint32_t a, std::uint32_t b, std::uint32_t expected) noexcept {
  // Two u32 factors never overflow 64 bits; the product is still compared in
  // 64 bits so that a product above 2^32 - 1 cannot wrap onto `expected`.
  return std::uint64_t{a} * std::uint64_t{b} == std::uint64_t{expected};
}

void validatePorts(const TransformerSpec& spec, std::vector<SpecIssue>& issues) {
  std::unordered_set<std::string> seenNames;
  bool hasInput = false;
  bool hasOutput = false;
  for (std::size_t i = 0; i < spec.ports.size(); ++i) {
    const PortSpec& port = spec.ports[i];
    const std::string prefix = "ports[" + std::to_string(i) + "]";
    const auto add = [&](const char* suffix, const char* message) {
      issues.push_back({prefix + suffix, message});
    };
    const auto direction = static_cast<std::uint8_t>(port.direction);
    const auto kind = static_cast<std::uint8_t>(port.kind);

    if (port.name.empty()) {
      add(".name", "must not be empty");
    } else if (!seenNames.insert(port.name).second) {
      add(".name", "must be unique");
    }
    if (direction >= 2) add(".direction", "unknown direction");
    if (kind >= 3) add(".kind", "unknown port kind");
    if (port.width == 0) add(".width", kMustBePositive);
    if (port.direction == PortDirection::input) hasInput = true;
    if (port.direction == PortDirection::output) hasOutput = true;
    if (port.kind == PortKind::token_ids && port.width != 1) {
      add(".width", "token_ids width must be one");
    }
    if (port.kind == PortKind::embedding && port.width != spec.model_dim) {
      add(".width", "embedding width must equal model_dim");
    }
    if (port.kind == PortKind::embedding && port.schema.empty()) {
      add(".schema", "embedding ports require a schema");
    }
    if (port.kind == PortKind::logits && port.width != spec.vocabulary) {
      add(".width", "logits width must equal vocabulary");
    }
    if (port.kind == PortKind::token_ids && port.direction != PortDirection::input) {
      add(".direction", "token_ids must be an input");
    }
    if (port.kind == PortKind::logits && port.direction != PortDirection::output) {
      add(".direction", "logits must be an output");
    }
  }
  if (!hasInput) issues.push_back({"ports", "at least one input port is required"});
  if (!hasOutput) issues.push_back({"ports", "at least one output port is required"});
}

}  // namespace

std::vector<SpecIssue> validate_spec(const TransformerSpec& spec) {
  std::vector<SpecIssue> issues;

  const std::pair<const char*, std::uint32_t> dimensions[] = {
      {"vocabulary", spec.vocabulary}, {"context", spec.context},
      {"layers", spec.layers},         {"model_dim", spec.model_dim},
      {"ffn_dim", spec.ffn_dim},       {"query_heads", spec.query_heads},
      {"kv_heads", spec.kv_heads},     {"head_dim", spec.head_dim},
  };
  for (const auto& [field, value] : dimensions) {
    if (value == 0) issues.push_back({field, kMustBePositive});
  }

  if (!productEquals(spec.query_heads, spec.head_dim, spec.model_dim)) {
    issues.push_back({"model_dim", "must equal query_heads * head_dim"});
  }
  if (spec.kv_heads > spec.query_heads) {
    issues.push_back({"kv_heads", "must not exceed query_heads"});
  }
  if (spec.kv_heads != 0 && spec.query_heads % spec.kv_heads != 0) {
    issues.push_back({"kv_heads", "must divide query_heads exactly"});
  }

  if (spec.position.kind != PositionKind::rope) {
    issues.push_back({"position.kind", "unknown position encoding"});
  }
  if (spec.position.kind == PositionKind::rope && spec.head_dim % 2 != 0) {
    issues.push_back({"head_dim", "must be even for RoPE"});
  }
  // Checked whatever the position kind, so a bad base is reported even next to
  // an unknown kind.
  if (!isFinitePositive(spec.position.rope_base)) {
    issues.push_back({"position.rope_base", kMustBeFinitePositive});
  }

  if (spec.normalization.kind != NormalizationKind::rms_norm) {
    issues.push_back({"normalization.kind", "unknown normalization"});
  }
  if (!isFinitePositive(spec.normalization.epsilon)) {
    issues.push_back({"normalization.epsilon", kMustBeFinitePositive});
  }

  if (static_cast<std::uint8_t>(spec.feed_forward) >= 2) {
    issues.push_back({"feed_forward", "unknown feed-forward kind"});
  }
  if (static_cast<std::uint8_t>(spec.precision.weights) >= 3) {
    issues.push_back({"precision.weights", kUnknownDType});
  }
  if (static_cast<std::uint8_t>(spec.precision.activations) >= 3) {
    issues.push_back({"precision.activations", kUnknownDType});
  }
  if (static_cast<std::uint8_t>(spec.precision.kv_cache) >= 3) {
    issues.push_back({"precision.kv_cache", kUnknownDType});
  }

  validatePorts(spec, issues);

  if (!parameter_count(spec).has_value()) {
    issues.push_back({"dimensions", "parameter count overflows uint64"});
  }
  return issues;
}

}  // namespace Orvane::Core::Lumeth
