#include "cli/app.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <exception>
#include <iostream>
#include <new>

#include "cli/commands.hpp"
#include "lumeth/version.hpp"

namespace Orvane::Core::Lumeth::Cli {

int run(const std::vector<std::string>& args, Io& io) {
  CLI::App app{
      "Train, encode, decode and inspect with Lumeth: exact, bit-reproducible tokenizers and "
      "transformer inference. Every file is checked before it is trusted.",
      "lumeth"};
  app.require_subcommand(1);
  app.set_version_flag("--version", LUMETH_VERSION_STRING);
  app.footer("Run 'lumeth COMMAND --help' for the options of a command.");
  add_train_command(app, io);
  add_count_command(app, io);
  add_encode_command(app, io);
  add_decode_command(app, io);
  add_inspect_command(app, io);
  add_spec_command(app, io);
  add_model_command(app, io);
  add_generate_command(app, io);
#if defined(LUMETH_CLI_IMPORT)
  add_import_command(app, io);
#endif

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    // CLI11 would only say that a subcommand is required.
    const std::vector<CLI::App*> commands = app.get_subcommands({});
    if (!args.empty() && !args.front().starts_with('-') &&
        std::none_of(commands.begin(), commands.end(),
                     [&](const CLI::App* command) { return command->check_name(args.front()); })) {
      throw UsageError("unknown command '" + args.front() + "'");
    }
    app.parse(reversed);
    return kExitOk;
  } catch (const CLI::CallForHelp&) {
    io.out << app.help();
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    io.out << app.help("", CLI::AppFormatMode::All);
    return kExitOk;
  } catch (const CLI::CallForVersion&) {
    io.out << "lumeth " << LUMETH_VERSION_STRING << '\n';
    return kExitOk;
  } catch (const CLI::ParseError& error) {
    io.err << "lumeth: " << error.what() << "\nRun 'lumeth --help' for usage.\n";
    return kExitUsage;
  } catch (const UsageError& error) {
    io.err << "lumeth: " << error.what() << "\nRun 'lumeth --help' for usage.\n";
    return kExitUsage;
  } catch (const Refused& error) {
    io.out.flush();
    io.err << "lumeth: " << error.source() << ": " << error.what() << '\n';
    return kExitRefused;
  } catch (const std::bad_alloc&) {
    io.err << "lumeth: out of memory\n";
    return kExitRefused;
  }
}

}  // namespace Orvane::Core::Lumeth::Cli
