#include "tests/cli/cli_test_support.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "cli/app.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {

ToolResult runTool(const std::vector<std::string>& args, std::string_view input) {
  std::istringstream in{std::string(input)};
  std::ostringstream out;
  std::ostringstream err;
  Io io{.in = in, .out = out, .err = err, .progress = false};
  ToolResult result;
  result.status = run(args, io);
  result.out = out.str();
  result.err = err.str();
  return result;
}

namespace {

std::string drain(int fd) {
  std::string bytes;
  std::array<char, 4096> block{};
  for (;;) {
    const ssize_t got = ::read(fd, block.data(), block.size());
    if (got <= 0) break;
    bytes.append(block.data(), static_cast<std::size_t>(got));
  }
  ::close(fd);
  return bytes;
}

}  // namespace

ToolResult runProcess(const std::vector<std::string>& args, std::string_view input) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (::pipe(inPipe) != 0 || ::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv0 = {LUMETH_TOOL_PATH};
  argv0.insert(argv0.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv0) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(inPipe[0], 0);
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
      ::close(fd);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(inPipe[0]);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  std::string out, err;
  std::thread outReader([&] { out = drain(outPipe[0]); });
  std::thread errReader([&] { err = drain(errPipe[0]); });
  std::size_t written = 0;
  while (written < input.size()) {
    const ssize_t put = ::write(inPipe[1], input.data() + written, input.size() - written);
    if (put <= 0) break;
    written += static_cast<std::size_t>(put);
  }
  ::close(inPipe[1]);
  outReader.join();
  errReader.join();
  int status = 0;
  ::waitpid(pid, &status, 0);
  return ToolResult{.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                    .out = std::move(out),
                    .err = std::move(err)};
}

ScratchDir::ScratchDir() {
  static std::atomic<int> next{0};
  root_ = std::filesystem::temp_directory_path() /
          ("lumeth-cli-test-" + std::to_string(::getpid()) + "-" + std::to_string(next++));
  std::filesystem::remove_all(root_);
  std::filesystem::create_directories(root_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string ScratchDir::path(std::string_view name) const { return (root_ / name).string(); }

void writeFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace Orvane::Core::Lumeth::Cli::Testing
