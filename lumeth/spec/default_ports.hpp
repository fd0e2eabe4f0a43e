#pragma once

// The ports of a model that brings none of its own, such as an imported
// checkpoint or one configured without ports: one token-id input and one
// logits output.

#include <cstdint>
#include <string_view>
#include <vector>

#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

inline constexpr std::string_view kDefaultInputPortName = "tokens";
inline constexpr std::string_view kDefaultInputPortSchema = "tokens/1";
inline constexpr std::string_view kDefaultOutputPortName = "logits";
inline constexpr std::string_view kDefaultOutputPortSchema = "logits/1";

// In this order: "tokens" (input, token_ids, width 1, schema "tokens/1") and
// "logits" (output, logits, width `vocabulary`, schema "logits/1"). The
// conformance suite's test model declares the same pair, so a model gets the
// same spec_hash whichever way its TransformerSpec was made.
[[nodiscard]] std::vector<PortSpec> default_model_ports(std::uint32_t vocabulary);

}  // namespace Orvane::Core::Lumeth
