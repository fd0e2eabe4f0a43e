// lumeth-mpi under mpirun with 1, 2 and 3 ranks on this machine: its results
// are byte for byte those of the single-process lumeth tool. Each test runs
// mpirun as a child process; ctest runs them one at a time.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tests/cli/cli_test_support.hpp"

extern char** environ;

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

constexpr int kRankCounts[] = {1, 2, 3};

// mpirun -np `ranks` lumeth-mpi `args`, with its output streams collected.
ToolResult runMpi(int ranks, const std::vector<std::string>& args, const ScratchDir& dir) {
  std::vector<std::string> argv0 = {LUMETH_MPIEXEC, "-np", std::to_string(ranks)};
  for (std::string_view flag : {LUMETH_MPIEXEC_FLAGS}) {
    if (!flag.empty()) argv0.emplace_back(flag);
  }
  argv0.emplace_back(LUMETH_MPI_DRIVER);
  argv0.insert(argv0.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : argv0) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const std::string out = dir.path("mpirun.out");
  const std::string err = dir.path("mpirun.err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot run " << argv[0];
    return {};
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return ToolResult{.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                    .out = readFile(out),
                    .err = readFile(err)};
}

class MpiDriver : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The tests may run as root (as CI does), which Open MPI refuses unless
    // told; a setting of the caller's own is kept.
    ::setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 0);
    ::setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 0);
  }

  // Corpus files of words with long runs among them (so that the ranks'
  // nominal cuts fall inside runs), whitespace stretches, an empty file and
  // a file that is a single run.
  std::vector<std::string> writeCorpus() {
    std::mt19937_64 random(11);
    std::vector<std::string> paths;
    const std::size_t sizes[] = {120000, 0, 3000, 70000};
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
      std::string text;
      while (text.size() < sizes[i]) {
        static constexpr std::string_view kWords[] = {"ahoj", "světe", "the", "cat", "🧠", "a"};
        for (std::size_t n = 1 + random() % 3; n > 0; --n) text += kWords[random() % 6];
        if (random() % 50 == 0) text.append(2000 + random() % 3000, 'x');
        text.append(1 + random() % 2, random() % 7 == 0 ? '\n' : ' ');
      }
      paths.push_back(dir_.path("corpus" + std::to_string(i) + ".txt"));
      writeFile(paths.back(), text);
    }
    paths.push_back(dir_.path("one-run.txt"));
    writeFile(paths.back(), std::string(5000, 'y'));
    return paths;
  }

  ScratchDir dir_;
};

TEST_F(MpiDriver, TrainingGivesTheArtifactAndCountsOfTheSingleProcessTool) {
  const std::vector<std::string> corpus = writeCorpus();
  const std::vector<std::string> limits = {"--vocab", "2000", "--min-frequency", "2"};
  std::vector<std::string> train = {"train"};
  train.insert(train.end(), corpus.begin(), corpus.end());
  train.insert(train.end(), limits.begin(), limits.end());

  std::vector<std::string> single = train;
  single.insert(single.end(), {"-o", dir_.path("single.bpe")});
  const ToolResult expected = runTool(single);
  ASSERT_EQ(expected.status, 0) << expected.err;
  std::vector<std::string> count = {"count"};
  count.insert(count.end(), corpus.begin(), corpus.end());
  count.insert(count.end(), {"-o", dir_.path("single.runs")});
  ASSERT_EQ(runTool(count).status, 0);

  for (const int ranks : kRankCounts) {
    SCOPED_TRACE(std::to_string(ranks) + " ranks");
    const std::string artifact = dir_.path("mpi.bpe");
    std::vector<std::string> args = train;
    args.insert(args.end(), {"-o", artifact, "--save-counts", dir_.path("mpi.runs")});
    const ToolResult result = runMpi(ranks, args, dir_);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(readFile(artifact), readFile(dir_.path("single.bpe")));
    EXPECT_EQ(readFile(dir_.path("mpi.runs")), readFile(dir_.path("single.runs")));
    // The same summary line, printed once.
    const std::string prefix = dir_.path("single.bpe") + ":";
    EXPECT_EQ(result.out, artifact + ":" + expected.out.substr(prefix.size()));
    EXPECT_TRUE(result.err.empty()) << result.err;
  }
}

TEST_F(MpiDriver, AFailureOnAnyRankStopsEveryRankWithStatusOne) {
  const std::vector<std::string> corpus = writeCorpus();
  const std::string artifact = dir_.path("out.bpe");
  writeFile(artifact, "old");
  for (const int ranks : kRankCounts) {
    SCOPED_TRACE(std::to_string(ranks) + " ranks");
    const ToolResult missing =
        runMpi(ranks, {"train", corpus[0], dir_.path("missing.txt"), "-o", artifact}, dir_);
    EXPECT_EQ(missing.status, 1);
    const std::string message =
        "lumeth-mpi: " + dir_.path("missing.txt") + ": No such file or directory\n";
    ASSERT_NE(missing.err.find(message), std::string::npos) << missing.err;
    EXPECT_EQ(missing.err.find(message, missing.err.find(message) + 1), std::string::npos)
        << "reported once: " << missing.err;
    EXPECT_EQ(readFile(artifact), "old");
  }
  // A usage error: every rank finds it, rank 0 says it.
  const ToolResult usage = runMpi(3, {"train", "-o", artifact, "--vocab", "9"}, dir_);
  EXPECT_EQ(usage.status, 2);
  const std::string said = "Run 'lumeth-mpi --help' for usage.";
  ASSERT_NE(usage.err.find(said), std::string::npos) << usage.err;
  EXPECT_EQ(usage.err.find(said, usage.err.find(said) + 1), std::string::npos) << usage.err;
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
