#pragma once

// TransformerSpec: the plain value record that describes one decoder-only
// transformer (dimensions, position encoding, normalization, feed-forward
// variant, declared precisions, embedding tying, ports), and its validation.
//
// Enumerations are stored as one byte each. A record may hold any byte value;
// validate_spec reports the out-of-range ones.

#include <cstdint>
#include <string>
#include <vector>

namespace Orvane::Core::Lumeth {

enum class PositionKind : std::uint8_t { rope = 0 };
enum class NormalizationKind : std::uint8_t { rms_norm = 0 };
enum class FeedForwardKind : std::uint8_t {
  gelu_mlp = 0,  // up projection, exact erf GELU, down projection
  swiglu = 1,    // SiLU-gated: gate, up and down projections
};
// Declared storage precisions; codes 0, 1 and 2 are valid. No inference
// operation reads them: they are validated, described and hashed, so two specs
// that differ only here compute identical results.
enum class DType : std::uint8_t { float64 = 0, float32 = 1, float16 = 2 };
enum class PortDirection : std::uint8_t { input = 0, output = 1 };
enum class PortKind : std::uint8_t { token_ids = 0, embedding = 1, logits = 2 };

struct PositionConfig {
  PositionKind kind = PositionKind::rope;
  double rope_base = 10000.0;

  friend bool operator==(const PositionConfig&, const PositionConfig&) = default;
};

struct NormalizationConfig {
  NormalizationKind kind = NormalizationKind::rms_norm;
  double epsilon = 1e-5;

  friend bool operator==(const NormalizationConfig&, const NormalizationConfig&) = default;
};

struct PrecisionConfig {
  DType weights = DType::float64;
  DType activations = DType::float64;
  DType kv_cache = DType::float64;

  friend bool operator==(const PrecisionConfig&, const PrecisionConfig&) = default;
};

struct PortSpec {
  std::string name;
  PortDirection direction = PortDirection::input;
  PortKind kind = PortKind::token_ids;
  std::uint32_t width = 0;
  std::string schema;  // free text such as "tokens/1"; required for embedding ports

  friend bool operator==(const PortSpec&, const PortSpec&) = default;
};

struct TransformerSpec {
  std::uint32_t vocabulary = 0;  // valid token ids are 0 .. vocabulary - 1
  std::uint32_t context = 0;     // largest batch width the forward pass accepts
  std::uint32_t layers = 0;
  std::uint32_t model_dim = 0;  // residual width; must equal query_heads * head_dim
  std::uint32_t ffn_dim = 0;
  std::uint32_t query_heads = 0;
  std::uint32_t kv_heads = 0;  // grouped-query attention: divides query_heads
  std::uint32_t head_dim = 0;  // even, for RoPE
  PositionConfig position;
  NormalizationConfig normalization;
  FeedForwardKind feed_forward = FeedForwardKind::swiglu;
  PrecisionConfig precision;
  bool tied_embeddings = true;  // the logits projection reuses the token embedding
  std::vector<PortSpec> ports;

  friend bool operator==(const TransformerSpec&, const TransformerSpec&) = default;
};

// One validation finding: the path of the offending field ("kv_heads",
// "ports[1].width") and the reason ("must not exceed query_heads").
struct SpecIssue {
  std::string field;
  std::string message;

  friend bool operator==(const SpecIssue&, const SpecIssue&) = default;
};

// Every finding about `spec`, in a fixed order; empty means valid. Never
// throws on bad content.
[[nodiscard]] std::vector<SpecIssue> validate_spec(const TransformerSpec& spec);

}  // namespace Orvane::Core::Lumeth
