// parse_spec_description over any text, and describe_spec of specs built
// from any bytes parsed back.
//
// Input: the whole input is first parsed as a description; then the same
// bytes drive a FuzzedDataProvider that builds a TransformerSpec (every field
// any value: enumeration bytes out of range, doubles from raw bit patterns,
// up to 6 ports with names and schemas of any bytes), which is described and
// parsed back.
//
// Properties: only std::invalid_argument escapes the parser; a text that
// parses describes back to exactly itself (only the canonical form is
// accepted); every spec survives describe and parse field for field, doubles
// bit for bit, except that a NaN comes back as a NaN of the same sign.

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

void parseAny(std::string_view text) {
  TransformerSpec parsed;
  const auto error = invalidArgumentOutcome([&] { parsed = parse_spec_description(text); });
  if (!error) LUMETH_FUZZ_CHECK(describe_spec(parsed) == text);
}

double consumeDouble(FuzzedDataProvider& input) {
  return std::bit_cast<double>(input.ConsumeIntegral<std::uint64_t>());
}

bool sameDouble(double got, double want) {
  if (std::isnan(want)) return std::isnan(got) && std::signbit(got) == std::signbit(want);
  return std::bit_cast<std::uint64_t>(got) == std::bit_cast<std::uint64_t>(want);
}

template <typename Enum>
Enum consumeEnum(FuzzedDataProvider& input) {
  return static_cast<Enum>(input.ConsumeIntegral<std::uint8_t>());
}

void roundTrip(FuzzedDataProvider& input) {
  TransformerSpec spec;
  spec.vocabulary = input.ConsumeIntegral<std::uint32_t>();
  spec.context = input.ConsumeIntegral<std::uint32_t>();
  spec.layers = input.ConsumeIntegral<std::uint32_t>();
  spec.model_dim = input.ConsumeIntegral<std::uint32_t>();
  spec.ffn_dim = input.ConsumeIntegral<std::uint32_t>();
  spec.query_heads = input.ConsumeIntegral<std::uint32_t>();
  spec.kv_heads = input.ConsumeIntegral<std::uint32_t>();
  spec.head_dim = input.ConsumeIntegral<std::uint32_t>();
  spec.position.kind = consumeEnum<PositionKind>(input);
  spec.position.rope_base = consumeDouble(input);
  spec.normalization.kind = consumeEnum<NormalizationKind>(input);
  spec.normalization.epsilon = consumeDouble(input);
  spec.feed_forward = consumeEnum<FeedForwardKind>(input);
  spec.precision.weights = consumeEnum<DType>(input);
  spec.precision.activations = consumeEnum<DType>(input);
  spec.precision.kv_cache = consumeEnum<DType>(input);
  spec.tied_embeddings = input.ConsumeBool();
  const std::size_t ports = input.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < ports; ++i) {
    PortSpec port;
    port.name = input.ConsumeRandomLengthString(64);
    port.direction = consumeEnum<PortDirection>(input);
    port.kind = consumeEnum<PortKind>(input);
    port.width = input.ConsumeIntegral<std::uint32_t>();
    port.schema = input.ConsumeRandomLengthString(64);
    spec.ports.push_back(std::move(port));
  }

  const std::string text = describe_spec(spec);
  TransformerSpec parsed;
  LUMETH_FUZZ_CHECK(!invalidArgumentOutcome([&] { parsed = parse_spec_description(text); }));
  LUMETH_FUZZ_CHECK(sameDouble(parsed.position.rope_base, spec.position.rope_base));
  LUMETH_FUZZ_CHECK(sameDouble(parsed.normalization.epsilon, spec.normalization.epsilon));
  parsed.position.rope_base = spec.position.rope_base = 0.0;
  parsed.normalization.epsilon = spec.normalization.epsilon = 0.0;
  LUMETH_FUZZ_CHECK(parsed == spec);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  parseAny(asText(bytesOf(data, size)));
  FuzzedDataProvider input(data, size);
  roundTrip(input);
  return 0;
}
