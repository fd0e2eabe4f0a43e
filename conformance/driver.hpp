#pragma once

// Runs conformance check groups and reports the outcome.

#include <ostream>
#include <span>
#include <string_view>

namespace Orvane::Core::Lumeth::Conformance {

// A check group builds library objects, exercises them and throws a
// std::exception carrying a fixed message when an expectation fails.
using CheckGroup = void (*)();

// The one line written to standard output when every group passes.
inline constexpr std::string_view kSummaryLine =
    "transformer-tokenizer bytes=256 unicode=ROUND-TRIP specials=ATOMIC-CHAT "
    "streaming=CTS-PRESERVED artifact=VERSIONED bpe=RANKED-BYTE-FALLBACK binding=ENFORCED "
    "dialogue=ASSISTANT-ONLY raw-api=INDEPENDENT\n";

// Runs `groups` in order. When all return, writes kSummaryLine to `out` and
// returns 0. The first std::exception stops the run: its what() text and a
// newline go to `err`, nothing more is written, and the result is 1.
// Exceptions outside the std::exception hierarchy are not caught.
int run_conformance(std::span<const CheckGroup> groups, std::ostream& out, std::ostream& err);

// The groups of the conformance suite, in their fixed order.
std::span<const CheckGroup> conformance_groups();

}  // namespace Orvane::Core::Lumeth::Conformance
