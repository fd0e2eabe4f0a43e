// lumeth-mpi under mpirun with 1, 2 and 3 ranks on this machine: its results
// are byte for byte those of the single-process lumeth tool. Each test runs
// mpirun as a child process; ctest runs them one at a time.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
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

  // A model directory with random weights over a BPE tokenizer trained on
  // a small corpus; its path.
  std::string makeModel() {
    writeFile(dir_.path("small.txt"),
              "the cat sat on the mat; the cat sat on the hat. ahoj světe, ahoj světe! "
              "that hat, that mat, that cat and the rest of the words in a small corpus");
    EXPECT_EQ(
        runTool({"train", dir_.path("small.txt"), "-o", dir_.path("t.bpe"), "--vocab", "300", "-q"})
            .status,
        0);
    writeFile(dir_.path("c.json"),
              R"({"context": 96, "layers": 2, "model_dim": 16, "ffn_dim": 40,
                  "query_heads": 4, "kv_heads": 2, "head_dim": 4})");
    const ToolResult init = runTool({"model", "init", dir_.path("m"), "-c", dir_.path("c.json"),
                                     "-t", dir_.path("t.bpe"), "--seed", "4"});
    EXPECT_EQ(init.status, 0) << init.err;
    return dir_.path("m");
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
    for (const char* threads : {"1", "2"}) {
      SCOPED_TRACE(std::to_string(ranks) + " ranks, " + threads + " threads");
      const std::string artifact = dir_.path("mpi.bpe");
      std::vector<std::string> args = train;
      args.insert(args.end(),
                  {"-o", artifact, "--save-counts", dir_.path("mpi.runs"), "--threads", threads});
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

// A prompt of the generation tests: its input line, and the same prompt as
// arguments of lumeth generate.
struct Prompt {
  std::string line;
  std::vector<std::string> args;
  std::uint64_t maxTokens;
};

TEST_F(MpiDriver, GenerationGivesTheResultsOfTheSingleProcessToolInInputOrder) {
  const std::string model = makeModel();
  const std::vector<std::string> options = {"--temperature", "0.8", "--top-k", "40"};
  // Seven prompts (shares of 7, 3 + 4 and 2 + 2 + 3), text and ids, with the
  // command line's seed and token limit or their own; blank lines between.
  const std::vector<Prompt> prompts = {
      {R"({"prompt": "the cat"})", {"-p", "the cat", "--seed", "5"}, 12},
      {R"({"prompt": "ahoj světe", "seed": 9})", {"-p", "ahoj světe", "--seed", "9"}, 12},
      {R"({"prompt_ids": [5, 6, 7], "max_tokens": 4})",
       {"--prompt-ids", "5 6 7", "--seed", "5"},
       4},
      {R"({"seed": 77, "prompt": "that hat"})", {"-p", "that hat", "--seed", "77"}, 12},
      {R"({"prompt": "x", "max_tokens": 0})", {"-p", "x", "--seed", "5"}, 0},
      {R"({"prompt_ids": [1], "seed": 3, "max_tokens": 30})",
       {"--prompt-ids", "1", "--seed", "3"},
       30},
      {R"({"prompt": "the"})", {"-p", "the", "--seed", "5"}, 12},
  };
  std::string input;
  std::string expected;
  for (const Prompt& prompt : prompts) {
    input += prompt.line + "\n" + (input.size() % 3 == 0 ? "\n  \n" : "");
    std::vector<std::string> args = {"generate", model, "-n", std::to_string(prompt.maxTokens)};
    args.insert(args.end(), prompt.args.begin(), prompt.args.end());
    args.insert(args.end(), options.begin(), options.end());
    const ToolResult text = runTool(args);
    args.emplace_back("--ids");
    const ToolResult ids = runTool(args);
    ASSERT_EQ(text.status, 0) << text.err;
    ASSERT_EQ(ids.status, 0) << ids.err;
    std::string idList = ids.out.substr(0, ids.out.size() - 1);
    std::replace(idList.begin(), idList.end(), ' ', ',');
    const std::size_t count =
        idList.empty()
            ? 0
            : 1 + static_cast<std::size_t>(std::count(idList.begin(), idList.end(), ','));
    expected +=
        R"({"text":)" +
        nlohmann::json(text.out).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
        R"(,"ids":[)" + idList + R"(],"stop":")" +
        (count == prompt.maxTokens ? "token limit" : "end of sequence") + "\"}\n";
  }
  writeFile(dir_.path("prompts.jsonl"), input);

  std::vector<std::string> generate = {"generate", model, "-i",     dir_.path("prompts.jsonl"),
                                       "-n",       "12",  "--seed", "5"};
  generate.insert(generate.end(), options.begin(), options.end());
  for (const int ranks : kRankCounts) {
    for (const char* threads : {"1", "2"}) {
      SCOPED_TRACE(std::to_string(ranks) + " ranks, " + threads + " threads");
      std::vector<std::string> args = generate;
      args.insert(args.end(), {"--threads", threads});
      const ToolResult result = runMpi(ranks, args, dir_);
      ASSERT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(result.out, expected);
      EXPECT_TRUE(result.err.empty()) << result.err;
    }
  }
  // To a file; no prompts at all.
  generate.insert(generate.end(), {"-o", dir_.path("out.jsonl")});
  ASSERT_EQ(runMpi(3, generate, dir_).status, 0);
  EXPECT_EQ(readFile(dir_.path("out.jsonl")), expected);
  writeFile(dir_.path("none.jsonl"), "\n");
  const ToolResult none = runMpi(2, {"generate", model, "-i", dir_.path("none.jsonl")}, dir_);
  EXPECT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(none.out, "");
}

TEST_F(MpiDriver, AGenerationRefusedOnAnyRankStopsEveryRankWithStatusOne) {
  const std::string model = makeModel();
  const std::string output = dir_.path("out.jsonl");
  const std::string input = dir_.path("prompts.jsonl");
  // Lines refused by rank 0 as it reads them, and an id beyond the
  // vocabulary that only the rank running the last prompt finds.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"prompt": 3})", R"("prompt" must be a string)"},
      {R"({"prompt": "a", "prompt_ids": [1]})", R"(give exactly one of "prompt" and "prompt_ids")"},
      {R"({"prompt": "a", "temperature": 2})", R"(unknown key "temperature")"},
      {R"({"prompt": "a", "seed": 0})", "generation seed must not be 0"},
      {R"({"prompt_ids": [1, -2]})", "invalid token id -2"},
      {R"(["not", "an", "object"])", R"(expected a JSON object with "prompt" or "prompt_ids")"},
      {R"({"prompt_ids": [1, 400000]})", ""},
  };
  for (const auto& [line, message] : cases) {
    writeFile(input, "{\"prompt\": \"a\"}\n{\"prompt\": \"b\"}\n" + line + "\n");
    writeFile(output, "old");
    // Rank 0's refusals are the same for any number of ranks; the last
    // prompt's rank depends on the number.
    const std::vector<int> rankCounts =
        message.empty() ? std::vector<int>(std::begin(kRankCounts), std::end(kRankCounts))
                        : std::vector<int>{3};
    for (const int ranks : rankCounts) {
      SCOPED_TRACE(line + ", " + std::to_string(ranks) + " ranks");
      const ToolResult result =
          runMpi(ranks, {"generate", model, "-i", input, "-o", output, "-n", "3"}, dir_);
      EXPECT_EQ(result.status, 1);
      const std::string said = "lumeth-mpi: " + input + ":3: " + message;
      const std::size_t at = result.err.find(said);
      ASSERT_NE(at, std::string::npos) << result.err;
      EXPECT_EQ(result.err.find("lumeth-mpi:", at + 1), std::string::npos)
          << "reported once: " << result.err;
      EXPECT_EQ(readFile(output), "old");
    }
  }
  const ToolResult usage = runMpi(2, {"generate", model, "--greedy", "--top-k", "3"}, dir_);
  EXPECT_EQ(usage.status, 2);
  const ToolResult options = runMpi(2, {"generate", model, "--top-p", "2"}, dir_);
  EXPECT_EQ(options.status, 1);
  EXPECT_NE(options.err.find("lumeth-mpi: options: sampler top_p must be in (0, 1]\n"),
            std::string::npos)
      << options.err;
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
