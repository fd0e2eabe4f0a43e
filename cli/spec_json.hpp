#pragma once

// The tool's model configuration: a JSON object holding the fields of a
// TransformerSpec under their own names, so that a person can write one.
//
//   {"vocabulary": 258, "context": 512, "layers": 2, "model_dim": 64,
//    "ffn_dim": 176, "query_heads": 4, "kv_heads": 2, "head_dim": 16,
//    "position": {"kind": "rope", "rope_base": 10000},
//    "normalization": {"kind": "rms_norm", "epsilon": 1e-5},
//    "feed_forward": "swiglu", "tied_embeddings": true,
//    "precision": {"weights": "float64", "activations": "float64",
//                  "kv_cache": "float64"},
//    "ports": [{"name": "tokens", "direction": "input", "kind": "token_ids",
//               "width": 1, "schema": "tokens/1"}, ...]}
//
// The eight sizes are required (vocabulary may be left to a tokenizer, see
// spec_from_json); every other field has the default of TransformerSpec, and
// a configuration without "ports" gets default_model_ports(vocabulary), so one
// architecture has one identity however it was configured. Enumerations are
// names ("rope", "rms_norm", "gelu_mlp" or "swiglu", "float64", "float32" or
// "float16", "input" or "output", "token_ids", "embedding" or "logits") or
// integer codes 0 to 255, which validation then judges. Doubles are numbers,
// or the strings "inf", "-inf", "nan" and "-nan". Unknown keys are refused.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth::Cli {

// The spec a configuration describes. `vocabulary` fills "vocabulary" when the
// configuration has none (a tokenizer's vocabulary). Throws
// std::invalid_argument naming the offending field ("ports[1].kind: expected
// one of ..."). Does not validate: a configuration may describe an invalid
// spec, which validate_spec then reports.
[[nodiscard]] TransformerSpec spec_from_json(const nlohmann::json& config,
                                             std::optional<std::uint32_t> vocabulary = {});

// The configuration of `spec` with every field written out;
// spec_from_json(spec_to_json(s)) == s for every spec, NaN payloads aside.
[[nodiscard]] nlohmann::ordered_json spec_to_json(const TransformerSpec& spec);

}  // namespace Orvane::Core::Lumeth::Cli
