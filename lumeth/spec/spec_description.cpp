#include "lumeth/spec/spec_description.hpp"

#include <limits>
#include <locale>
#include <sstream>
#include <string_view>

#include "lumeth/foundation/fnv1a.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::string_view kDescriptionHeader = "lumeth-transformer-spec-v1;";

// Appends one entry: klen ":" key "=" vlen ":" value ";". The lengths are byte
// counts, so keys and values may hold any bytes, ";" and "=" included.
void appendEntry(std::string& out, std::string_view key, std::string_view value) {
  out += std::to_string(key.size());
  out += ':';
  out += key;
  out += '=';
  out += std::to_string(value.size());
  out += ':';
  out += value;
  out += ';';
}

void appendEntry(std::string& out, std::string_view key, std::uint64_t value) {
  appendEntry(out, key, std::to_string(value));
}

// Enumerations are written as their stored byte, in range or not.
template <typename Enum>
void appendEnumEntry(std::string& out, std::string_view key, Enum value) {
  appendEntry(out, key, std::uint64_t{static_cast<std::uint8_t>(value)});
}

// 17 significant digits in the general notation, independent of the global
// locale: enough to tell every pair of distinct doubles apart.
std::string formatDouble(double value) {
  std::ostringstream stream;
  stream.imbue(std::locale::classic());
  stream.precision(17);
  stream << value;
  return std::move(stream).str();
}

// Overflow-checked u64 steps: the product or sum, or nullopt when it would
// exceed 2^64 - 1. The test comes before the operation, so nothing wraps.
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

std::optional<std::uint64_t> checkedMul(std::uint64_t x, std::uint64_t y) noexcept {
  if (x != 0 && y > kU64Max / x) return std::nullopt;
  return x * y;
}

std::optional<std::uint64_t> checkedAdd(std::uint64_t x, std::uint64_t y) noexcept {
  if (y > kU64Max - x) return std::nullopt;
  return x + y;
}

}  // namespace

std::string describe_spec(const TransformerSpec& spec) {
  std::string out(kDescriptionHeader);
  appendEntry(out, "vocabulary", spec.vocabulary);
  appendEntry(out, "context", spec.context);
  appendEntry(out, "layers", spec.layers);
  appendEntry(out, "model_dim", spec.model_dim);
  appendEntry(out, "ffn_dim", spec.ffn_dim);
  appendEntry(out, "query_heads", spec.query_heads);
  appendEntry(out, "kv_heads", spec.kv_heads);
  appendEntry(out, "head_dim", spec.head_dim);
  appendEnumEntry(out, "position_kind", spec.position.kind);
  appendEntry(out, "rope_base", formatDouble(spec.position.rope_base));
  appendEnumEntry(out, "normalization_kind", spec.normalization.kind);
  appendEntry(out, "normalization_epsilon", formatDouble(spec.normalization.epsilon));
  appendEnumEntry(out, "feed_forward", spec.feed_forward);
  appendEnumEntry(out, "weights_dtype", spec.precision.weights);
  appendEnumEntry(out, "activations_dtype", spec.precision.activations);
  appendEnumEntry(out, "kv_cache_dtype", spec.precision.kv_cache);
  appendEntry(out, "tied_embeddings", spec.tied_embeddings ? "1" : "0");
  appendEntry(out, "port_count", std::uint64_t{spec.ports.size()});
  for (const PortSpec& port : spec.ports) {
    appendEntry(out, "port_name", port.name);
    appendEnumEntry(out, "port_direction", port.direction);
    appendEnumEntry(out, "port_kind", port.kind);
    appendEntry(out, "port_width", port.width);
    appendEntry(out, "port_schema", port.schema);
  }
  return out;
}

std::uint64_t spec_hash(const TransformerSpec& spec) { return fnv1a64(describe_spec(spec)); }

std::optional<std::uint64_t> parameter_count(const TransformerSpec& spec) {
  // d = model_dim, q = query_heads * head_dim, kv = kv_heads * head_dim,
  // f = ffn_dim, g = number of feed-forward matrices. The order of the steps
  // fixes which overflow is met first; every step is checked.
  const std::uint64_t d = spec.model_dim;
  const std::uint64_t g = spec.feed_forward == FeedForwardKind::swiglu ? 3 : 2;

  const auto embedding = checkedMul(spec.vocabulary, d);
  if (!embedding) return std::nullopt;
  std::optional<std::uint64_t> total = embedding;
  if (!spec.tied_embeddings) {
    total = checkedAdd(*total, *embedding);
    if (!total) return std::nullopt;
  }

  const auto q = checkedMul(spec.query_heads, spec.head_dim);
  const auto kv = checkedMul(spec.kv_heads, spec.head_dim);
  if (!q || !kv) return std::nullopt;

  // Query, key, value and output projections: d*q + d*kv + d*kv + d*d.
  auto width = checkedAdd(*q, *kv);
  if (width) width = checkedAdd(*width, *kv);
  if (width) width = checkedAdd(*width, d);
  if (!width) return std::nullopt;
  const auto attention = checkedMul(d, *width);
  if (!attention) return std::nullopt;

  const auto hidden = checkedMul(d, spec.ffn_dim);
  if (!hidden) return std::nullopt;
  const auto mlp = checkedMul(*hidden, g);
  if (!mlp) return std::nullopt;

  // Plus the two normalization weight vectors of the layer.
  const auto norms = checkedMul(2, d);
  if (!norms) return std::nullopt;
  auto layer = checkedAdd(*attention, *mlp);
  if (layer) layer = checkedAdd(*layer, *norms);
  if (!layer) return std::nullopt;

  const auto allLayers = checkedMul(*layer, spec.layers);
  if (!allLayers) return std::nullopt;
  total = checkedAdd(*total, *allLayers);
  if (!total) return std::nullopt;
  // The final normalization weights.
  return checkedAdd(*total, d);
}

}  // namespace Orvane::Core::Lumeth
