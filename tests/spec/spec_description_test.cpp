#include "lumeth/spec/spec_description.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <locale>
#include <optional>
#include <set>
#include <stdexcept>
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

// ---------------------------------------------------------------------------
// Parsing

using ::testing::StrEq;
using ::testing::ThrowsMessage;

std::vector<std::uint64_t> doubleBits(const TransformerSpec& spec) {
  return {std::bit_cast<std::uint64_t>(spec.position.rope_base),
          std::bit_cast<std::uint64_t>(spec.normalization.epsilon)};
}

// Field for field, the doubles by bit pattern (so that -0 and 0 differ and a
// NaN is compared at all).
void expectSameSpec(const TransformerSpec& got, const TransformerSpec& want) {
  EXPECT_EQ(doubleBits(got), doubleBits(want));
  TransformerSpec gotRest = got;
  TransformerSpec wantRest = want;
  gotRest.position.rope_base = wantRest.position.rope_base = 0.0;
  gotRest.normalization.epsilon = wantRest.normalization.epsilon = 0.0;
  EXPECT_EQ(gotRest, wantRest);
}

TEST(ParseSpecDescription, InvertsDescribeForEveryKindOfField) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte.push_back(static_cast<char>(b));
  const std::vector<std::pair<std::string, TransformerSpec>> cases = {
      {"small", smallSpec()},
      {"default, no ports", TransformerSpec{}},
      {"every field at its largest", edited([](auto& s) {
         s.vocabulary = s.context = s.layers = s.model_dim = s.ffn_dim = kU32Max;
         s.query_heads = s.kv_heads = s.head_dim = kU32Max;
         s.position.kind = static_cast<PositionKind>(255);
         s.normalization.kind = static_cast<NormalizationKind>(255);
         s.feed_forward = static_cast<FeedForwardKind>(255);
         s.precision = {static_cast<DType>(255), static_cast<DType>(3), static_cast<DType>(128)};
         s.tied_embeddings = false;
         s.ports[1].width = kU32Max;
       })},
      {"ports of any bytes", edited([&](auto& s) {
         s.ports = {{"a;b=c", static_cast<PortDirection>(7), static_cast<PortKind>(9), 0, ""},
                    {"", PortDirection::output, PortKind::logits, 257, everyByte},
                    {everyByte, static_cast<PortDirection>(255), PortKind::embedding, 2, "9:x=1:;"},
                    {std::string(1000, ';'), PortDirection::input, PortKind::token_ids, 1,
                     std::string("\0\0", 2)}};
       })},
  };
  for (const auto& [label, spec] : cases) {
    SCOPED_TRACE(label);
    const std::string text = describe_spec(spec);
    const TransformerSpec parsed = parse_spec_description(text);
    expectSameSpec(parsed, spec);
    EXPECT_EQ(describe_spec(parsed), text);
  }
}

TEST(ParseSpecDescription, GivesBackEveryDoubleBitForBit) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> values = {0.0,
                                -0.0,
                                1e-5,
                                0.1,
                                1e16,
                                1e17,
                                1e20,
                                0.0001,
                                0.00009999999999999999,
                                10000.000000000002,
                                std::numeric_limits<double>::denorm_min(),
                                -std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::min(),
                                std::nextafter(std::numeric_limits<double>::min(), 0.0),
                                std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::lowest(),
                                std::numeric_limits<double>::epsilon(),
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity()};
  // And bit patterns spread over the whole range, every exponent included.
  std::uint64_t seed = 1;
  for (int i = 0; i < 20000; ++i) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    const double value = std::bit_cast<double>(seed);
    if (!std::isnan(value)) values.push_back(value);
  }
  for (const double value : values) {
    TransformerSpec spec = smallSpec();
    spec.position.rope_base = value;
    spec.normalization.epsilon = -value;
    const TransformerSpec parsed = parse_spec_description(describe_spec(spec));
    ASSERT_EQ(doubleBits(parsed), doubleBits(spec)) << describe_spec(spec);
  }

  // The text of a NaN holds its sign but not its payload.
  for (const std::uint64_t bits :
       {0x7FF8000000000000ULL, 0x7FF0000000000001ULL, 0x7FFFFFFFFFFFFFFFULL, 0xFFF8000000000000ULL,
        0xFFF0000000000ABCULL}) {
    TransformerSpec spec = smallSpec();
    spec.position.rope_base = std::bit_cast<double>(bits);
    spec.normalization.epsilon = nan;
    const TransformerSpec parsed = parse_spec_description(describe_spec(spec));
    EXPECT_TRUE(std::isnan(parsed.position.rope_base)) << std::hex << bits;
    EXPECT_EQ(std::signbit(parsed.position.rope_base), (bits >> 63) != 0) << std::hex << bits;
    EXPECT_TRUE(std::isnan(parsed.normalization.epsilon));
    EXPECT_FALSE(std::signbit(parsed.normalization.epsilon));
  }
}

// The description of smallSpec() with `from` replaced by `to` (once).
std::string replaced(std::string_view from, std::string_view to) {
  std::string text = describe_spec(smallSpec());
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
  return text;
}

TEST(ParseSpecDescription, RefusesEveryByteOutOfPlace) {
  const std::string small = describe_spec(smallSpec());
  const std::string header = "lumeth-transformer-spec-v1;";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "spec description header mismatch"},
      {"lumeth-transformer-spec-v1", "spec description header mismatch"},
      {"lumeth-transformer-spec-v2;" + small.substr(header.size()),
       "spec description header mismatch"},
      {" " + small, "spec description header mismatch"},
      {header, "spec description is truncated"},
      {small.substr(0, small.size() - 1), "spec description is truncated"},
      {small.substr(0, small.find("7:context")), "spec description is truncated"},
      {header + "10", "spec description is truncated"},
      {header + "10:vocabulary", "spec description is truncated"},

      {replaced("10:vocabulary", "010:vocabulary"), "spec description length is malformed"},
      {replaced("10:vocabulary", ":vocabulary"), "spec description length is malformed"},
      {replaced("10:vocabulary", "+10:vocabulary"), "spec description length is malformed"},
      {replaced("=3:257", "=03:257"), "spec description length is malformed"},
      {replaced("10:vocabulary", "99999999999999999999999:vocabulary"),
       "spec description length is malformed"},
      {replaced("10:vocabulary", "10000:vocabulary"), "spec description length runs past the end"},
      {replaced("8:logits/1;", "10:logits/1;"), "spec description length runs past the end"},
      {replaced("8:logits/1;", "9:logits/1;"), "spec description is truncated"},

      {replaced("10:vocabulary", "10;vocabulary"), "spec description entry is malformed"},
      {replaced("10:vocabulary=", "10:vocabulary:"), "spec description entry is malformed"},
      {replaced("=3:257", "=3=257"), "spec description entry is malformed"},
      {replaced("=3:257;", "=2:257;"), "spec description entry is malformed"},
      {replaced("=3:257;", "=4:257;"), "spec description entry is malformed"},
      {replaced("10:vocabulary", "1a:vocabulary"), "spec description entry is malformed"},

      {replaced("10:vocabulary", "10:Vocabulary"), "spec description expected key vocabulary"},
      {replaced("10:vocabulary", "11:vocabulary "), "spec description expected key vocabulary"},
      {replaced("10:vocabulary=3:257;7:context=3:512;", "7:context=3:512;10:vocabulary=3:257;"),
       "spec description expected key vocabulary"},
      {replaced("7:context=3:512;", ""), "spec description expected key context"},
      {replaced("7:context=3:512;", "7:context=3:512;7:context=3:512;"),
       "spec description expected key layers"},
      {replaced("14:port_direction=1:0;", ""), "spec description expected key port_direction"},

      {replaced("=3:257;", "=4:0257;"), "spec description value of vocabulary is invalid"},
      {replaced("=3:257;", "=4:+257;"), "spec description value of vocabulary is invalid"},
      {replaced("=3:257;", "=2:-1;"), "spec description value of vocabulary is invalid"},
      {replaced("=3:257;", "=0:;"), "spec description value of vocabulary is invalid"},
      {replaced("=3:257;", "=3:2 7;"), "spec description value of vocabulary is invalid"},
      {replaced("=3:257;", "=10:4294967296;"), "spec description value of vocabulary is invalid"},
      {replaced("13:position_kind=1:0;", "13:position_kind=3:256;"),
       "spec description value of position_kind is invalid"},
      {replaced("15:tied_embeddings=1:1;", "15:tied_embeddings=1:2;"),
       "spec description value of tied_embeddings is invalid"},
      {replaced("15:tied_embeddings=1:1;", "15:tied_embeddings=4:true;"),
       "spec description value of tied_embeddings is invalid"},
      {replaced("10:port_count=1:2;", "10:port_count=20:18446744073709551616;"),
       "spec description value of port_count is invalid"},
      {replaced("10:port_width=1:1;", "10:port_width=1:x;"),
       "spec description value of port_width is invalid"},

      {small + ";", "spec description has trailing bytes"},
      {small + "\n", "spec description has trailing bytes"},
      {replaced("10:port_count=1:2;", "10:port_count=1:1;"), "spec description has trailing bytes"},
      {replaced("10:port_count=1:2;", "10:port_count=1:3;"), "spec description is truncated"},
      {replaced("10:port_count=1:2;", "10:port_count=20:18446744073709551615;"),
       "spec description is truncated"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_THAT([&] { (void)parse_spec_description(text); },
                ThrowsMessage<std::invalid_argument>(StrEq(message)))
        << text;
  }
}

TEST(ParseSpecDescription, AcceptsOnlyTheCanonicalFormOfADouble) {
  // Each text parses to a number, but describe_spec would not write it so.
  for (const std::string number : {"10000.0", "1e4",
                                   "1e+04",   "01e4",
                                   "10000.",  "+10000",
                                   "1E+04",   "0x1p13",
                                   "10000 ",  "1.0000000000000001e-5",
                                   "1e-05",   "0.10000000000000000555",
                                   "-0.0",    "infinity",
                                   "INF",     "+inf",
                                   "NaN",     "nan(1)",
                                   "-nan(1)", "1e400",
                                   "1e-400",  ""}) {
    const std::string text =
        replaced("9:rope_base=5:10000;",
                 "9:rope_base=" + std::to_string(number.size()) + ":" + number + ";");
    EXPECT_THAT([&] { (void)parse_spec_description(text); },
                ThrowsMessage<std::invalid_argument>(
                    StrEq("spec description value of rope_base is invalid")))
        << number;
  }
}

// Every prefix of a valid description, and every single-byte change of it,
// is refused or (for a change in a name, schema or digit) describes back to
// exactly the text that was parsed.
TEST(ParseSpecDescription, EveryPrefixAndEveryByteChangeIsRefusedOrCanonical) {
  const std::string small = describe_spec(smallSpec());
  for (std::size_t length = 0; length < small.size(); ++length) {
    EXPECT_THROW((void)parse_spec_description(small.substr(0, length)), std::invalid_argument)
        << length;
  }
  for (std::size_t at = 0; at < small.size(); ++at) {
    for (const int delta : {1, 0x80}) {
      std::string text = small;
      text[at] = static_cast<char>(text[at] ^ delta);
      try {
        EXPECT_EQ(describe_spec(parse_spec_description(text)), text) << at;
      } catch (const std::invalid_argument&) {
      }
    }
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
