#include "conformance/driver.hpp"

#include <array>
#include <exception>

#include "conformance/groups.hpp"

namespace Orvane::Core::Lumeth::Conformance {

int run_conformance(std::span<const CheckGroup> groups, std::ostream& out, std::ostream& err) {
  try {
    for (const CheckGroup group : groups) {
      group();
    }
    out << kSummaryLine;
  } catch (const std::exception& failure) {
    err << failure.what() << '\n';
    return 1;
  }
  return 0;
}

std::span<const CheckGroup> conformance_groups() {
  static constexpr std::array<CheckGroup, 6> kGroups{
      byte_tokenizer_checks,
      streaming_checks,
      artifact_binding_checks,
      dialogue_checks,
      bpe_checks,
      chat_tokenizer_checks,
  };
  return kGroups;
}

}  // namespace Orvane::Core::Lumeth::Conformance
