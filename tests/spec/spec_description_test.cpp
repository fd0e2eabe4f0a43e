#include "lumeth/spec/spec_description.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <locale>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "lumeth/foundation/fnv1a.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::uint32_t kU32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

TransformerSpec smallSpec() {
  TransformerSpec spec;
  spec.vocabulary = 257;
  spec.context = 512;
  spec.layers = 1;
  spec.model_dim = 2;
  spec.ffn_dim = 3;
  spec.query_heads = 1;
  spec.kv_heads = 1;
  spec.head_dim = 2;
  spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                {"logits", PortDirection::output, PortKind::logits, 257, "logits/1"}};
  return spec;
}

TransformerSpec edited(const std::function<void(TransformerSpec&)>& edit) {
  TransformerSpec spec = smallSpec();
  edit(spec);
  return spec;
}

TEST(DescribeSpec, SmallSpecKnownAnswer) {
  const std::string expected =
      "lumeth-transformer-spec-v1;10:vocabulary=3:257;7:context=3:512;6:layers=1:1;9:model_dim=1:"
      "2;7:ffn_dim=1:3;11:query_heads=1:1;8:kv_heads=1:1;8:head_dim=1:2;13:position_kind=1:0;9:"
      "rope_base=5:10000;18:normalization_kind=1:0;21:normalization_epsilon=22:1."
      "0000000000000001e-05;12:feed_forward=1:1;13:weights_dtype=1:0;17:activations_dtype=1:0;14:"
      "kv_cache_dtype=1:0;15:tied_embeddings=1:1;10:port_count=1:2;9:port_name=6:tokens;14:port_"
      "direction=1:0;9:port_kind=1:0;10:port_width=1:1;11:port_schema=8:tokens/1;9:port_name=6:"
      "logits;14:port_direction=1:1;9:port_kind=1:2;10:port_width=3:257;11:port_schema=8:logits/"
      "1;";
  ASSERT_EQ(expected.size(), 610u);
  EXPECT_EQ(describe_spec(smallSpec()), expected);
  EXPECT_EQ(spec_hash(smallSpec()), fnv1a64(expected));
}

TEST(DescribeSpec, WritesStoredBytesWithoutValidating) {
  const std::string noPorts = describe_spec(edited([](auto& s) { s.ports.clear(); }));
  EXPECT_TRUE(noPorts.ends_with("15:tied_embeddings=1:1;10:port_count=1:0;")) << noPorts;

  const std::string odd = describe_spec(edited([](auto& s) {
    s.vocabulary = kU32Max;
    s.position.kind = static_cast<PositionKind>(200);
    s.feed_forward = static_cast<FeedForwardKind>(255);
    s.tied_embeddings = false;
    s.ports = {{"a;b=c", static_cast<PortDirection>(7), static_cast<PortKind>(9), 0, ""}};
  }));
  for (const std::string entry :
       {"10:vocabulary=10:4294967295;", "13:position_kind=3:200;", "12:feed_forward=3:255;",
        "15:tied_embeddings=1:0;",
        "10:port_count=1:1;9:port_name=5:a;b=c;14:port_direction=1:7;9:port_kind=1:9;10:port_"
        "width=1:0;11:port_schema=0:;"}) {
    EXPECT_NE(odd.find(entry), std::string::npos) << entry << " in " << odd;
  }
  EXPECT_TRUE(odd.ends_with("11:port_schema=0:;"));
}

TEST(DescribeSpec, FormatsDoublesWithSeventeenSignificantDigits) {
  const std::vector<std::pair<double, std::string>> cases = {
      {10000.0, "10000"},
      {1e-5, "1.0000000000000001e-05"},
      {0.1, "0.10000000000000001"},
      {1e20, "1e+20"},
      {1e16, "10000000000000000"},
      {1e17, "1e+17"},
      {0.0001, "0.0001"},
      {0.5, "0.5"},
      {-2.0, "-2"},
      {-0.0, "-0"},
      {std::numeric_limits<double>::denorm_min(), "4.9406564584124654e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::infinity(), "inf"},
  };
  for (const auto& [value, text] : cases) {
    // A plain copy for the lambda: clang before 16 cannot capture a
    // structured binding.
    const double number = value;
    const std::string description = describe_spec(edited([&](auto& s) {
      s.position.rope_base = number;
      s.normalization.epsilon = number;
    }));
    const std::string length = std::to_string(text.size());
    EXPECT_NE(description.find("9:rope_base=" + length + ":" + text + ";"), std::string::npos)
        << text << " in " << description;
    EXPECT_NE(description.find("21:normalization_epsilon=" + length + ":" + text + ";"),
              std::string::npos)
        << text << " in " << description;
  }
}

// A locale whose numbers look nothing like the classic ones.
struct CommaDecimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(DescribeSpec, IgnoresTheGlobalLocale) {
  const std::string classic =
      describe_spec(edited([](auto& s) { s.position.rope_base = 12345.5; }));
  const std::locale previous =
      std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  const std::string underOther =
      describe_spec(edited([](auto& s) { s.position.rope_base = 12345.5; }));
  std::locale::global(previous);
  EXPECT_EQ(underOther, classic);
  EXPECT_NE(classic.find("9:rope_base=7:12345.5;"), std::string::npos) << classic;
}

TEST(DescribeSpec, EverySingleFieldChangesTheDescriptionAndHash) {
  const std::vector<std::function<void(TransformerSpec&)>> edits = {
      [](auto& s) { s.vocabulary = 258; },
      [](auto& s) { s.context = 511; },
      [](auto& s) { s.layers = 2; },
      [](auto& s) { s.model_dim = 4; },
      [](auto& s) { s.ffn_dim = 4; },
      [](auto& s) { s.query_heads = 2; },
      [](auto& s) { s.kv_heads = 2; },
      [](auto& s) { s.head_dim = 4; },
      [](auto& s) { s.position.kind = static_cast<PositionKind>(1); },
      [](auto& s) { s.position.rope_base = 10000.000000000002; },
      [](auto& s) { s.normalization.kind = static_cast<NormalizationKind>(1); },
      [](auto& s) { s.normalization.epsilon = 1e-6; },
      [](auto& s) { s.feed_forward = FeedForwardKind::gelu_mlp; },
      [](auto& s) { s.precision.weights = DType::float32; },
      [](auto& s) { s.precision.activations = DType::float32; },
      [](auto& s) { s.precision.kv_cache = DType::float32; },
      [](auto& s) { s.tied_embeddings = false; },
      [](auto& s) { s.ports.pop_back(); },
      [](auto& s) { s.ports[0].name = "token"; },
      [](auto& s) { s.ports[0].direction = PortDirection::output; },
      [](auto& s) { s.ports[0].kind = PortKind::embedding; },
      [](auto& s) { s.ports[0].width = 2; },
      [](auto& s) { s.ports[0].schema = "tokens/2"; },
      // Moving a byte between name and schema keeps the concatenation but not
      // the lengths.
      [](auto& s) {
        s.ports[0].name = "tokens;";
        s.ports[0].schema = "okens/1";
      },
  };
  std::set<std::string> descriptions{describe_spec(smallSpec())};
  std::set<std::uint64_t> hashes{spec_hash(smallSpec())};
  for (std::size_t i = 0; i < edits.size(); ++i) {
    const TransformerSpec spec = edited(edits[i]);
    EXPECT_TRUE(descriptions.insert(describe_spec(spec)).second) << "edit " << i;
    EXPECT_TRUE(hashes.insert(spec_hash(spec)).second) << "edit " << i;
  }
}

struct CountCase {
  std::string label;
  TransformerSpec spec;
  std::optional<std::uint64_t> expected;
};

// A spec whose only non-zero fields are the ones given; the rest keep their
// defaults.
TransformerSpec dims(std::uint32_t vocabulary, std::uint32_t layers, std::uint32_t model_dim,
                     std::uint32_t ffn_dim, std::uint32_t query_heads, std::uint32_t kv_heads,
                     std::uint32_t head_dim, bool tied = true) {
  TransformerSpec spec;
  spec.vocabulary = vocabulary;
  spec.layers = layers;
  spec.model_dim = model_dim;
  spec.ffn_dim = ffn_dim;
  spec.query_heads = query_heads;
  spec.kv_heads = kv_heads;
  spec.head_dim = head_dim;
  spec.tied_embeddings = tied;
  return spec;
}

TEST(ParameterCount, CountsOrReportsOverflow) {
  const std::vector<CountCase> cases = {
      // 257 * 2 embedding + (2 * 8 attention + 6 * 3 feed-forward + 4 norms) + 2 final norm.
      {"small swiglu", smallSpec(), 554},
      {"small untied", edited([](auto& s) { s.tied_embeddings = false; }), 1068},
      {"small gelu", edited([](auto& s) { s.feed_forward = FeedForwardKind::gelu_mlp; }), 548},
      {"unknown feed-forward counts two matrices",
       edited([](auto& s) { s.feed_forward = static_cast<FeedForwardKind>(9); }), 548},
      {"default spec", TransformerSpec{}, 0},
      // (2^32 - 1)^2 + (2^32 - 1) fits; doubling the embedding term does not.
      {"tied at the 32-bit limit", dims(kU32Max, 0, kU32Max, 0, 0, 0, 0), 18446744069414584320u},
      {"untied at the 32-bit limit", dims(kU32Max, 0, kU32Max, 0, 0, 0, 0, false), std::nullopt},
      // 2 * 2^31 * (2^32 - 1) + (2^32 - 1) is exactly 2^64 - 1.
      {"exactly the largest count", dims(1u << 31, 0, kU32Max, 0, 0, 0, 0, false), kU64Max},
      {"one layer more", dims(1u << 31, 1, kU32Max, 0, 0, 0, 0, false), std::nullopt},
      // The feed-forward term overflows even though no layer multiplies it.
      {"overflow inside a layer with zero layers", dims(0, 0, kU32Max, kU32Max, 0, 0, 0),
       std::nullopt},
      {"overflow in the attention width sum", dims(0, 0, 1, 0, kU32Max, kU32Max, kU32Max),
       std::nullopt},
  };
  for (const CountCase& c : cases) {
    EXPECT_EQ(parameter_count(c.spec), c.expected) << c.label;
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
