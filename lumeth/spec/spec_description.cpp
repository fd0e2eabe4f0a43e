#include "lumeth/spec/spec_description.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <locale>
#include <sstream>
#include <stdexcept>
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

// ---------------------------------------------------------------------------
// Parsing

[[noreturn]] void fail(const std::string& message) { throw std::invalid_argument(message); }

// The fewest bytes the five entries of one port take (empty name and schema,
// one-digit numbers): caps how many ports are reserved up front, whatever
// port_count claims.
constexpr std::size_t kMinimumPortBytes =
    std::string_view("9:port_name=0:;").size() + std::string_view("14:port_direction=1:0;").size() +
    std::string_view("9:port_kind=1:0;").size() + std::string_view("10:port_width=1:0;").size() +
    std::string_view("11:port_schema=0:;").size();

// Canonical unsigned decimal: digits only, no sign, no leading zero except
// for "0" itself, at most `max`.
std::optional<std::uint64_t> parseCanonicalUnsigned(std::string_view text, std::uint64_t max) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// Reads the entries of a description front to back. Every read checks what
// is left before it looks, so nothing is read past the end.
class DescriptionReader {
 public:
  explicit DescriptionReader(std::string_view text) : text_(text) {
    if (!text_.starts_with(kDescriptionHeader)) fail("spec description header mismatch");
    position_ = kDescriptionHeader.size();
  }

  [[nodiscard]] std::size_t remaining() const noexcept { return text_.size() - position_; }

  // One entry "klen:key=vlen:value;" whose key must be `key`; returns the
  // value, a view into the text.
  std::string_view entry(std::string_view key) {
    if (remaining() == 0) fail("spec description is truncated");
    if (take(length()) != key) fail("spec description expected key " + std::string(key));
    expect('=');
    const std::string_view value = take(length());
    expect(';');
    return value;
  }

  std::uint64_t unsignedEntry(std::string_view key, std::uint64_t max) {
    const std::optional<std::uint64_t> value = parseCanonicalUnsigned(entry(key), max);
    if (!value) invalidValue(key);
    return *value;
  }

  std::uint32_t u32Entry(std::string_view key) {
    return static_cast<std::uint32_t>(
        unsignedEntry(key, std::numeric_limits<std::uint32_t>::max()));
  }

  template <typename Enum>
  Enum enumEntry(std::string_view key) {
    return static_cast<Enum>(
        static_cast<std::uint8_t>(unsignedEntry(key, std::numeric_limits<std::uint8_t>::max())));
  }

  // A double exactly as formatDouble writes it: whatever from_chars accepts
  // beyond that ("1.", "01", "infinity", "nan(1)", ...) is refused by the
  // comparison with the value's own formatting.
  double doubleEntry(std::string_view key) {
    const std::string_view text = entry(key);
    double value = 0.0;
    const char* const last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value);
    if (error != std::errc() || end != last || formatDouble(value) != text) invalidValue(key);
    return value;
  }

  bool boolEntry(std::string_view key) {
    const std::string_view text = entry(key);
    if (text != "0" && text != "1") invalidValue(key);
    return text == "1";
  }

  std::string stringEntry(std::string_view key) { return std::string(entry(key)); }

  void finish() const {
    if (remaining() != 0) fail("spec description has trailing bytes");
  }

 private:
  [[noreturn]] static void invalidValue(std::string_view key) {
    fail("spec description value of " + std::string(key) + " is invalid");
  }

  // A length: canonical decimal digits up to the ':' that ends them.
  std::size_t length() {
    const std::size_t start = position_;
    while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9') {
      ++position_;
    }
    if (position_ == text_.size()) fail("spec description is truncated");
    const std::optional<std::uint64_t> value = parseCanonicalUnsigned(
        text_.substr(start, position_ - start), std::numeric_limits<std::uint64_t>::max());
    if (!value) fail("spec description length is malformed");
    expect(':');
    if (*value > remaining()) fail("spec description length runs past the end");
    return static_cast<std::size_t>(*value);
  }

  void expect(char separator) {
    if (remaining() == 0) fail("spec description is truncated");
    if (text_[position_] != separator) fail("spec description entry is malformed");
    ++position_;
  }

  std::string_view take(std::size_t count) {
    const std::string_view bytes = text_.substr(position_, count);
    position_ += count;
    return bytes;
  }

  std::string_view text_;
  std::size_t position_ = 0;
};

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

TransformerSpec parse_spec_description(std::string_view text) {
  DescriptionReader reader(text);
  TransformerSpec spec;
  spec.vocabulary = reader.u32Entry("vocabulary");
  spec.context = reader.u32Entry("context");
  spec.layers = reader.u32Entry("layers");
  spec.model_dim = reader.u32Entry("model_dim");
  spec.ffn_dim = reader.u32Entry("ffn_dim");
  spec.query_heads = reader.u32Entry("query_heads");
  spec.kv_heads = reader.u32Entry("kv_heads");
  spec.head_dim = reader.u32Entry("head_dim");
  spec.position.kind = reader.enumEntry<PositionKind>("position_kind");
  spec.position.rope_base = reader.doubleEntry("rope_base");
  spec.normalization.kind = reader.enumEntry<NormalizationKind>("normalization_kind");
  spec.normalization.epsilon = reader.doubleEntry("normalization_epsilon");
  spec.feed_forward = reader.enumEntry<FeedForwardKind>("feed_forward");
  spec.precision.weights = reader.enumEntry<DType>("weights_dtype");
  spec.precision.activations = reader.enumEntry<DType>("activations_dtype");
  spec.precision.kv_cache = reader.enumEntry<DType>("kv_cache_dtype");
  spec.tied_embeddings = reader.boolEntry("tied_embeddings");
  const std::uint64_t portCount =
      reader.unsignedEntry("port_count", std::numeric_limits<std::uint64_t>::max());
  spec.ports.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(portCount, reader.remaining() / kMinimumPortBytes)));
  for (std::uint64_t i = 0; i < portCount; ++i) {
    PortSpec port;
    port.name = reader.stringEntry("port_name");
    port.direction = reader.enumEntry<PortDirection>("port_direction");
    port.kind = reader.enumEntry<PortKind>("port_kind");
    port.width = reader.u32Entry("port_width");
    port.schema = reader.stringEntry("port_schema");
    spec.ports.push_back(std::move(port));
  }
  reader.finish();
  return spec;
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
