#pragma once

// lumeth-mpi: the lumeth tool's training and batch generation spread over
// the ranks of an MPI job. Every rank parses the same arguments and runs the
// same command; rank 0 alone writes the results and prints to standard
// output, and each rank reports its own failures on its standard error.
//
// Exit statuses as for lumeth: 0 success, 1 data refused (on any rank: all
// ranks stop together), 2 a usage error (reported by rank 0).

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "cli/cli_support.hpp"
#include "mpi/world.hpp"

namespace Orvane::Core::Lumeth::Mpi {

// Thrown on every rank once the ranks have agreed that some rank failed (its
// failure is already reported): the command ends with exit status 1.
struct Stopped {};

// Runs `body` on this rank, then agrees with the others: a failure here
// (Refused, or any other exception of the library) is reported on this
// rank's standard error as "lumeth-mpi: <source>: <message>", and when any
// rank failed every rank throws Stopped. Collective: every rank must call it
// in the same order.
void collectively(const World& world, Cli::Io& io, const std::function<void()>& body);

// Reports a failure caught on this rank, as collectively does.
void report_failure(Cli::Io& io, const std::exception_ptr& failure);

void add_train_command(CLI::App& app, const World& world, Cli::Io& io);
void add_generate_command(CLI::App& app, const World& world, Cli::Io& io);

// Parses `args` (without the program name) and runs the command on this
// rank; returns the exit status. `io.out` is rank 0's standard output, or a
// stream that discards on the other ranks.
[[nodiscard]] int run(const std::vector<std::string>& args, const World& world, Cli::Io& io);

}  // namespace Orvane::Core::Lumeth::Mpi
