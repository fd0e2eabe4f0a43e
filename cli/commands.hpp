#pragma once

// The subcommands of the lumeth tool. Each add_*_command registers one
// subcommand (its options, help and callback) on the tool's CLI11 app; the
// callback runs during parsing and reports failures by throwing Refused or
// UsageError (see cli_support.hpp).

#include <CLI/CLI.hpp>

#include "cli/cli_support.hpp"

namespace Orvane::Core::Lumeth::Cli {

void add_train_command(CLI::App& app, Io& io);
void add_encode_command(CLI::App& app, Io& io);
void add_decode_command(CLI::App& app, Io& io);
void add_inspect_command(CLI::App& app, Io& io);

}  // namespace Orvane::Core::Lumeth::Cli
