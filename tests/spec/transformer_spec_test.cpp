#include "lumeth/spec/transformer_spec.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace Orvane::Core::Lumeth {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

PortSpec port(std::string name, PortDirection direction, PortKind kind, std::uint32_t width,
              std::string schema = {}) {
  return PortSpec{std::move(name), direction, kind, width, std::move(schema)};
}

// The smallest valid spec: one layer, model width 2, one head of width 2.
TransformerSpec validSpec() {
  TransformerSpec spec;
  spec.vocabulary = 257;
  spec.context = 512;
  spec.layers = 1;
  spec.model_dim = 2;
  spec.ffn_dim = 3;
  spec.query_heads = 1;
  spec.kv_heads = 1;
  spec.head_dim = 2;
  spec.ports = {port("tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"),
                port("logits", PortDirection::output, PortKind::logits, 257, "logits/1")};
  return spec;
}

TransformerSpec edited(const std::function<void(TransformerSpec&)>& edit) {
  TransformerSpec spec = validSpec();
  edit(spec);
  return spec;
}

struct ValidationCase {
  std::string label;
  TransformerSpec spec;
  std::vector<SpecIssue> expected;
};

TEST(ValidateSpec, ReportsEveryFindingInOrder) {
  const std::vector<ValidationCase> cases = {
      {"default spec",
       TransformerSpec{},
       {{"vocabulary", "must be greater than zero"},
        {"context", "must be greater than zero"},
        {"layers", "must be greater than zero"},
        {"model_dim", "must be greater than zero"},
        {"ffn_dim", "must be greater than zero"},
        {"query_heads", "must be greater than zero"},
        {"kv_heads", "must be greater than zero"},
        {"head_dim", "must be greater than zero"},
        {"ports", "at least one input port is required"},
        {"ports", "at least one output port is required"}}},
      {"valid", validSpec(), {}},
      {"grouped heads that divide",
       edited([](auto& s) {
         s.model_dim = 8;
         s.query_heads = 4;
         s.kv_heads = 2;
       }),
       {}},
      {"kv_heads does not divide",
       edited([](auto& s) {
         s.model_dim = 8;
         s.query_heads = 4;
         s.kv_heads = 3;
       }),
       {{"kv_heads", "must divide query_heads exactly"}}},
      {"kv_heads does not divide, product wrong",
       edited([](auto& s) {
         s.query_heads = 4;
         s.kv_heads = 3;
       }),
       {{"model_dim", "must equal query_heads * head_dim"},
        {"kv_heads", "must divide query_heads exactly"}}},
      {"kv_heads exceeds query_heads",
       edited([](auto& s) {
         s.model_dim = 8;
         s.query_heads = 4;
         s.kv_heads = 8;
       }),
       {{"kv_heads", "must not exceed query_heads"},
        {"kv_heads", "must divide query_heads exactly"}}},
      {"kv_heads zero",
       edited([](auto& s) { s.kv_heads = 0; }),
       {{"kv_heads", "must be greater than zero"}}},
      {"zero model_dim also fails the product",
       edited([](auto& s) { s.model_dim = 0; }),
       {{"model_dim", "must be greater than zero"},
        {"model_dim", "must equal query_heads * head_dim"}}},
      // 65536 * 65536 is 2^32: it must not wrap onto a model_dim of 0.
      {"head product beyond 32 bits",
       edited([](auto& s) {
         s.model_dim = 0;
         s.query_heads = 65536;
         s.head_dim = 65536;
       }),
       {{"model_dim", "must be greater than zero"},
        {"model_dim", "must equal query_heads * head_dim"}}},
      {"odd head_dim",
       edited([](auto& s) {
         s.model_dim = 3;
         s.head_dim = 3;
       }),
       {{"head_dim", "must be even for RoPE"}}},
      {"unknown position kind skips the RoPE parity rule",
       edited([](auto& s) {
         s.model_dim = 3;
         s.head_dim = 3;
         s.position.kind = static_cast<PositionKind>(1);
       }),
       {{"position.kind", "unknown position encoding"}}},
      {"rope base checked whatever the kind",
       edited([](auto& s) {
         s.position.kind = static_cast<PositionKind>(255);
         s.position.rope_base = kNaN;
       }),
       {{"position.kind", "unknown position encoding"},
        {"position.rope_base", "must be finite and greater than zero"}}},
      {"unknown normalization",
       edited([](auto& s) { s.normalization.kind = static_cast<NormalizationKind>(1); }),
       {{"normalization.kind", "unknown normalization"}}},
      {"gelu feed-forward",
       edited([](auto& s) { s.feed_forward = FeedForwardKind::gelu_mlp; }),
       {}},
      {"unknown feed-forward",
       edited([](auto& s) { s.feed_forward = static_cast<FeedForwardKind>(2); }),
       {{"feed_forward", "unknown feed-forward kind"}}},
      {"dtype codes 0 to 2 are valid",
       edited([](auto& s) {
         s.precision = {DType::float16, DType::float32, DType::float64};
       }),
       {}},
      {"unknown dtypes in field order",
       edited([](auto& s) {
         s.precision = {static_cast<DType>(3), static_cast<DType>(255), static_cast<DType>(4)};
       }),
       {{"precision.weights", "unknown dtype"},
        {"precision.activations", "unknown dtype"},
        {"precision.kv_cache", "unknown dtype"}}},
      {"only the middle dtype unknown",
       edited([](auto& s) { s.precision.activations = static_cast<DType>(3); }),
       {{"precision.activations", "unknown dtype"}}},
      {"duplicate port names: only the later ones",
       edited([](auto& s) {
         s.ports = {port("x", PortDirection::input, PortKind::token_ids, 1),
                    port("x", PortDirection::output, PortKind::logits, 257),
                    port("x", PortDirection::output, PortKind::logits, 257)};
       }),
       {{"ports[1].name", "must be unique"}, {"ports[2].name", "must be unique"}}},
      {"names compare by exact bytes",
       edited([](auto& s) {
         s.ports = {port("x", PortDirection::input, PortKind::token_ids, 1),
                    port(std::string("x\0", 2), PortDirection::output, PortKind::logits, 257)};
       }),
       {}},
      {"empty names are never duplicates",
       edited([](auto& s) {
         s.ports = {port("", PortDirection::input, PortKind::token_ids, 1),
                    port("", PortDirection::output, PortKind::logits, 257)};
       }),
       {{"ports[0].name", "must not be empty"}, {"ports[1].name", "must not be empty"}}},
      {"unknown direction and kind count as neither input nor output",
       edited([](auto& s) {
         s.ports = {port("p", static_cast<PortDirection>(7), static_cast<PortKind>(9), 1)};
       }),
       {{"ports[0].direction", "unknown direction"},
        {"ports[0].kind", "unknown port kind"},
        {"ports", "at least one input port is required"},
        {"ports", "at least one output port is required"}}},
      {"token_ids of width 0",
       edited([](auto& s) { s.ports[0].width = 0; }),
       {{"ports[0].width", "must be greater than zero"},
        {"ports[0].width", "token_ids width must be one"}}},
      {"token_ids as an output",
       edited([](auto& s) { s.ports[0].direction = PortDirection::output; }),
       {{"ports[0].direction", "token_ids must be an input"},
        {"ports", "at least one input port is required"}}},
      {"embedding output of width model_dim without schema",
       edited([](auto& s) {
         s.ports.push_back(port("hidden", PortDirection::output, PortKind::embedding, 2));
       }),
       {{"ports[2].schema", "embedding ports require a schema"}}},
      {"embedding input of the wrong width",
       edited([](auto& s) {
         s.ports.push_back(port("hidden", PortDirection::input, PortKind::embedding, 3, "e/1"));
       }),
       {{"ports[2].width", "embedding width must equal model_dim"}}},
      {"logits of the wrong width",
       edited([](auto& s) { s.ports[1].width = 256; }),
       {{"ports[1].width", "logits width must equal vocabulary"}}},
      {"logits as an input still counts as an input",
       edited([](auto& s) {
         s.ports = {port("logits", PortDirection::input, PortKind::logits, 257)};
       }),
       {{"ports[0].direction", "logits must be an output"},
        {"ports", "at least one output port is required"}}},
      {"one port, several findings",
       edited([](auto& s) { s.ports[1] = port("", PortDirection::input, PortKind::logits, 0); }),
       {{"ports[1].name", "must not be empty"},
        {"ports[1].width", "must be greater than zero"},
        {"ports[1].width", "logits width must equal vocabulary"},
        {"ports[1].direction", "logits must be an output"},
        {"ports", "at least one output port is required"}}},
      // d = 2^31: the attention term d * (q + 2 kv + d) = 2^31 * 2^33 overflows.
      {"parameter count overflow comes last",
       edited([](auto& s) {
         s.vocabulary = 1u << 31;
         s.model_dim = 1u << 31;
         s.query_heads = 1u << 15;
         s.kv_heads = 1u << 15;
         s.head_dim = 1u << 16;
         s.layers = 1000;
         s.ports.clear();
       }),
       {{"ports", "at least one input port is required"},
        {"ports", "at least one output port is required"},
        {"dimensions", "parameter count overflows uint64"}}},
  };
  for (const ValidationCase& c : cases) {
    EXPECT_EQ(validate_spec(c.spec), c.expected) << c.label;
  }
}

TEST(ValidateSpec, RejectsNonPositiveAndNonFiniteRealValues) {
  for (const double bad : {0.0, -0.0, -1.0, -1e-300, kNaN, -kNaN, kInfinity, -kInfinity}) {
    EXPECT_EQ(
        validate_spec(edited([&](auto& s) { s.position.rope_base = bad; })),
        (std::vector<SpecIssue>{{"position.rope_base", "must be finite and greater than zero"}}))
        << bad;
    EXPECT_EQ(
        validate_spec(edited([&](auto& s) { s.normalization.epsilon = bad; })),
        (std::vector<SpecIssue>{{"normalization.epsilon", "must be finite and greater than zero"}}))
        << bad;
  }
  for (const double good :
       {std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(), 1.0}) {
    EXPECT_TRUE(validate_spec(edited([&](auto& s) {
                  s.position.rope_base = good;
                  s.normalization.epsilon = good;
                })).empty())
        << good;
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
