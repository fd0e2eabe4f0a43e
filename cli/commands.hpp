#pragma once

// The subcommands of the lumeth tool. Each add_*_command registers one
// subcommand (its options, help and callback) on the tool's CLI11 app; the
// callback runs during parsing and reports failures by throwing Refused or
// UsageError (see cli_support.hpp).

#include <CLI/CLI.hpp>

#include "cli/cli_support.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth::Cli {

void add_train_command(CLI::App& app, Io& io);
void add_count_command(CLI::App& app, Io& io);
void add_encode_command(CLI::App& app, Io& io);
void add_decode_command(CLI::App& app, Io& io);
void add_inspect_command(CLI::App& app, Io& io);
void add_spec_command(CLI::App& app, Io& io);
void add_model_command(CLI::App& app, Io& io);
void add_generate_command(CLI::App& app, Io& io);
#if defined(LUMETH_CLI_IMPORT)
void add_import_command(CLI::App& app, Io& io);
#endif

// The spec in `file`: a JSON configuration (spec_json.hpp), a canonical
// description, or a model directory's spec.txt; "-" reads standard input.
// Refused, with the file as source, when it is none of them.
[[nodiscard]] TransformerSpec read_spec_file(const std::string& file, Io& io);

}  // namespace Orvane::Core::Lumeth::Cli
