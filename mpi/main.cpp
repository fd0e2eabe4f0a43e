// lumeth-mpi: run under mpirun (or srun); see driver.hpp.

#include <mpi.h>
#include <unistd.h>

#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "mpi/driver.hpp"

namespace {

// The standard output of ranks other than 0: everything is dropped.
class Discard : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

}  // namespace

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int status = 0;
  {
    namespace Lumeth = Orvane::Core::Lumeth;
    const Lumeth::Mpi::World world;
    Discard discard;
    std::ostream nowhere(&discard);
    std::ios::sync_with_stdio(false);
    Lumeth::Cli::Io io{.in = std::cin,
                       .out = world.root() ? std::cout : nowhere,
                       .err = std::cerr,
                       .progress = ::isatty(STDERR_FILENO) == 1};
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    status = Lumeth::Mpi::run(args, world, io);
    std::cout.flush();
    if (world.root() && !std::cout) {
      status = Lumeth::Cli::kExitRefused;
    }
  }
  MPI_Finalize();
  return status;
}
