#pragma once

// JSON documents from untrusted text, stricter than the grammar: a key that
// repeats within one object makes the document invalid (readers would
// otherwise silently keep one of the values), and so does nesting deeper
// than kMaxJsonDepth, which no configuration or index file needs.

#include <cstddef>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace Orvane::Core::Lumeth::Import {

inline constexpr std::size_t kMaxJsonDepth = 64;

// The document, or nothing when `text` is not one valid JSON value (strict
// syntax, UTF-8 strings, only whitespace around it) or breaks the rules above.
[[nodiscard]] std::optional<nlohmann::json> parse_strict_json(std::string_view text);

}  // namespace Orvane::Core::Lumeth::Import
