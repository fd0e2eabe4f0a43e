#include "lumeth/import/internal/strict_json.hpp"

#include <set>
#include <string>
#include <vector>

namespace Orvane::Core::Lumeth::Import {
namespace {

// Thrown by the parser callback to abandon a document; never leaves this file.
struct Refused {};

}  // namespace

std::optional<nlohmann::json> parse_strict_json(std::string_view text) {
  // One set of the keys seen so far per open object, innermost last.
  std::vector<std::set<std::string, std::less<>>> open;
  const nlohmann::json::parser_callback_t callback =
      [&open](int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
        using Event = nlohmann::json::parse_event_t;
        switch (event) {
          case Event::object_start:
            open.emplace_back();
            [[fallthrough]];
          case Event::array_start:
            if (static_cast<std::size_t>(depth) >= kMaxJsonDepth) throw Refused{};
            break;
          case Event::object_end:
            open.pop_back();
            break;
          case Event::key:
            if (!open.back().insert(parsed.get<std::string>()).second) throw Refused{};
            break;
          default:
            break;
        }
        return true;
      };
  try {
    nlohmann::json document = nlohmann::json::parse(text.begin(), text.end(), callback,
                                                    /*allow_exceptions=*/false);
    if (document.is_discarded()) return std::nullopt;
    return document;
  } catch (const Refused&) {
    return std::nullopt;
  }
}

}  // namespace Orvane::Core::Lumeth::Import
