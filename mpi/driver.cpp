#include "mpi/driver.hpp"

#include <exception>
#include <iostream>
#include <new>

#include "lumeth/version.hpp"

namespace Orvane::Core::Lumeth::Mpi {

void report_failure(Cli::Io& io, const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Cli::Refused& refused) {
    io.err << "lumeth-mpi: " << refused.source() << ": " << refused.what() << '\n';
  } catch (const std::bad_alloc&) {
    io.err << "lumeth-mpi: out of memory\n";
  } catch (const std::exception& error) {
    io.err << "lumeth-mpi: " << error.what() << '\n';
  }
  io.err.flush();
}

void collectively(const World& world, Cli::Io& io, const std::function<void()>& body) {
  std::exception_ptr failure;
  try {
    body();
  } catch (const Stopped&) {
    throw;
  } catch (...) {
    failure = std::current_exception();
    report_failure(io, failure);
  }
  if (world.anyFailed(failure != nullptr)) {
    throw Stopped{};
  }
}

int run(const std::vector<std::string>& args, const World& world, Cli::Io& io) {
  CLI::App app{
      "Lumeth over MPI: BPE training with the corpus counted on every rank, and batch "
      "generation with the prompts shared out among the ranks. Results are byte for byte those "
      "of the lumeth tool on one machine, for any number of ranks.",
      "lumeth-mpi"};
  app.require_subcommand(1);
  app.set_version_flag("--version", LUMETH_VERSION_STRING);
  app.footer("Run 'lumeth-mpi COMMAND --help' for the options of a command.");
  add_train_command(app, world, io);
  add_generate_command(app, world, io);

  // Usage and help are printed once, by rank 0.
  std::ostream& said = world.root() ? io.err : io.out;
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
    return Cli::kExitOk;
  } catch (const CLI::CallForHelp&) {
    io.out << app.help();
    return Cli::kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    io.out << app.help("", CLI::AppFormatMode::All);
    return Cli::kExitOk;
  } catch (const CLI::CallForVersion&) {
    io.out << "lumeth-mpi " << LUMETH_VERSION_STRING << '\n';
    return Cli::kExitOk;
  } catch (const CLI::ParseError& error) {
    said << "lumeth-mpi: " << error.what() << "\nRun 'lumeth-mpi --help' for usage.\n";
    return Cli::kExitUsage;
  } catch (const Cli::UsageError& error) {
    said << "lumeth-mpi: " << error.what() << "\nRun 'lumeth-mpi --help' for usage.\n";
    return Cli::kExitUsage;
  } catch (const Stopped&) {
    io.out.flush();
    return Cli::kExitRefused;
  }
}

}  // namespace Orvane::Core::Lumeth::Mpi
