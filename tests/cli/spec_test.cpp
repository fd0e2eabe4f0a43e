// lumeth spec, and the JSON configuration it reads.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "cli/spec_json.hpp"
#include "conformance/fixture.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/spec/default_ports.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "tests/cli/cli_test_support.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

constexpr const char* kSmallConfig =
    R"({"vocabulary": 300, "context": 128, "layers": 2, "model_dim": 32, "ffn_dim": 88,
        "query_heads": 4, "kv_heads": 2, "head_dim": 8, "feed_forward": "gelu_mlp"})";

TransformerSpec smallSpec() {
  TransformerSpec spec;
  spec.vocabulary = 300;
  spec.context = 128;
  spec.layers = 2;
  spec.model_dim = 32;
  spec.ffn_dim = 88;
  spec.query_heads = 4;
  spec.kv_heads = 2;
  spec.head_dim = 8;
  spec.feed_forward = FeedForwardKind::gelu_mlp;
  spec.ports = default_model_ports(300);
  return spec;
}

TEST(SpecJson, AConfigurationWithoutPortsGetsTheDefaultPair) {
  EXPECT_EQ(spec_from_json(nlohmann::json::parse(kSmallConfig)), smallSpec());
  // The conformance fixture declares the same pair, so both name one model.
  EXPECT_EQ(default_model_ports(258), Conformance::make_test_spec(258).ports);
}

TEST(SpecJson, EverySpecComesBackFromItsConfiguration) {
  std::mt19937_64 random(41);
  const auto any_double = [&] {
    switch (random() % 5) {
      case 0:
        return std::numeric_limits<double>::infinity();
      case 1:
        return -std::numeric_limits<double>::quiet_NaN();
      case 2:
        return -0.0;
      default:
        return std::bit_cast<double>(random() & 0x7FEFFFFFFFFFFFFFULL);
    }
  };
  for (int round = 0; round < 300; ++round) {
    TransformerSpec spec;
    spec.vocabulary = static_cast<std::uint32_t>(random());
    spec.context = static_cast<std::uint32_t>(random());
    spec.layers = static_cast<std::uint32_t>(random() % 5);
    spec.head_dim = static_cast<std::uint32_t>(random() % 9);
    spec.position.kind = static_cast<PositionKind>(random() % 3);
    spec.position.rope_base = any_double();
    spec.normalization.epsilon = any_double();
    spec.feed_forward = static_cast<FeedForwardKind>(random() % 256);
    spec.precision.kv_cache = static_cast<DType>(random() % 5);
    spec.tied_embeddings = random() % 2 == 0;
    for (std::uint64_t i = random() % 3; i > 0; --i) {
      std::string name(1, 'p');
      name += std::to_string(i);
      spec.ports.push_back(PortSpec{.name = name,
                                    .direction = static_cast<PortDirection>(random() % 3),
                                    .kind = static_cast<PortKind>(random() % 4),
                                    .width = static_cast<std::uint32_t>(random()),
                                    .schema = std::string(random() % 3, 'x')});
    }
    const TransformerSpec back = spec_from_json(nlohmann::json::parse(spec_to_json(spec).dump()));
    // Compared through the canonical description, which tells NaNs by sign.
    EXPECT_EQ(describe_spec(back), describe_spec(spec)) << spec_to_json(spec).dump();
  }
}

TEST(SpecJson, RefusesWhatItCannotReadNamingTheField) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {R"([1, 2])", "configuration: expected an object"},
      {R"({"context": 1})", "vocabulary: required"},
      {R"({"vocabulary": -1})", "vocabulary: expected an integer from 0 to 4294967295"},
      {R"({"vocabulary": 1, "contxt": 1})", "contxt: unknown key"},
      {R"({"vocabulary": 1, "context": 1, "layers": 1, "model_dim": 1, "ffn_dim": 1,
           "query_heads": 1, "kv_heads": 1, "head_dim": 2, "feed_forward": "relu"})",
       "feed_forward: expected one of \"gelu_mlp\" \"swiglu\" or a code from 0 to 255"},
      {R"({"vocabulary": 1, "context": 1, "layers": 1, "model_dim": 1, "ffn_dim": 1,
           "query_heads": 1, "kv_heads": 1, "head_dim": 2, "position": {"rope_base": "big"}})",
       "position.rope_base: expected a number, \"inf\", \"-inf\", \"nan\" or \"-nan\""},
      {R"({"vocabulary": 1, "context": 1, "layers": 1, "model_dim": 1, "ffn_dim": 1,
           "query_heads": 1, "kv_heads": 1, "head_dim": 2, "ports": [{"name": 3}]})",
       "ports[0].name: expected a string"},
  };
  for (const auto& [text, message] : cases) {
    try {
      (void)spec_from_json(nlohmann::json::parse(text));
      ADD_FAILURE() << "accepted " << text;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), message);
    }
  }
}

TEST(SpecCommand, ConvertsHashesCountsAndValidates) {
  ScratchDir dir;
  writeFile(dir.path("c.json"), kSmallConfig);
  const TransformerSpec spec = smallSpec();
  const std::string description = describe_spec(spec);

  const ToolResult describe = runTool({"spec", "describe", dir.path("c.json")});
  EXPECT_EQ(describe.status, 0) << describe.err;
  EXPECT_EQ(describe.out, description + "\n");
  ASSERT_EQ(runTool({"spec", "describe", dir.path("c.json"), "-o", dir.path("spec.txt")}).status,
            0);
  EXPECT_EQ(readFile(dir.path("spec.txt")), description);

  // The description and the configuration name the same spec.
  for (const std::string& file : {dir.path("c.json"), dir.path("spec.txt")}) {
    EXPECT_EQ(runTool({"spec", "hash", file}).out, toHex16(spec_hash(spec)) + "\n");
    EXPECT_EQ(runTool({"spec", "params", file}).out, std::to_string(*parameter_count(spec)) + "\n");
    EXPECT_EQ(runTool({"spec", "validate", file}).out, "valid\n");
  }
  const ToolResult json = runTool({"spec", "json", dir.path("spec.txt")});
  EXPECT_EQ(spec_from_json(nlohmann::json::parse(json.out)), spec);
  EXPECT_EQ(runTool({"spec", "hash", "-"}, description).out, toHex16(spec_hash(spec)) + "\n");
}

TEST(SpecCommand, ValidationPrintsEveryFindingAndFails) {
  ScratchDir dir;
  writeFile(dir.path("bad.json"),
            R"({"vocabulary": 300, "context": 128, "layers": 2, "model_dim": 33, "ffn_dim": 88,
                "query_heads": 4, "kv_heads": 5, "head_dim": 8})");
  const ToolResult result = runTool({"spec", "validate", dir.path("bad.json")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out,
            "model_dim: must equal query_heads * head_dim\n"
            "kv_heads: must not exceed query_heads\n"
            "kv_heads: must divide query_heads exactly\n");
  EXPECT_EQ(result.err, "lumeth: " + dir.path("bad.json") + ": 3 problems\n");

  writeFile(dir.path("junk"), "lumeth-transformer-spec-v1;vocabulary=x");
  const ToolResult junk = runTool({"spec", "hash", dir.path("junk")});
  EXPECT_EQ(junk.status, 1);
  EXPECT_EQ(junk.err.rfind("lumeth: " + dir.path("junk") + ": ", 0), 0u) << junk.err;
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
