// The lumeth command-line tool: a thin layer over the library's public API.
// Run `lumeth --help` for its commands.

#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/app.hpp"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  namespace Cli = Orvane::Core::Lumeth::Cli;
  Cli::Io io{
      .in = std::cin, .out = std::cout, .err = std::cerr, .progress = ::isatty(STDERR_FILENO) == 1};
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const int status = Cli::run(args, io);
  std::cout.flush();
  return std::cout ? status : Cli::kExitRefused;
}
