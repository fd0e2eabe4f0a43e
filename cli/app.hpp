#pragma once

// The lumeth tool as a function, so that tests can run it in-process.

#include <string>
#include <vector>

#include "cli/cli_support.hpp"

namespace Orvane::Core::Lumeth::Cli {

// Parses `args` (without the program name), runs the chosen subcommand on
// `io` and returns the exit status: 0 success, 1 data refused, 2 usage error.
// Help (--help on the tool or any subcommand) goes to io.out with status 0.
// Never throws for anything a user can cause.
[[nodiscard]] int run(const std::vector<std::string>& args, Io& io);

}  // namespace Orvane::Core::Lumeth::Cli
