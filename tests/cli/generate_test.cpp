// lumeth generate.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "lumeth/directory/model_directory.hpp"
#include "lumeth/generation/generate.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "tests/cli/cli_test_support.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

constexpr std::string_view kCorpus =
    "the cat sat on the mat; the cat sat on the hat. ahoj světe, ahoj světe! "
    "that hat, that mat, that cat and the rest of the words in a small corpus";

// A model directory with random weights over a BPE tokenizer.
class GenerateCommand : public ::testing::Test {
 protected:
  GenerateCommand() {
    BpeTrainingLimits limits;
    limits.vocabularySize = 300;
    const SubwordTokenizer tokenizer = trainBpe(kCorpus, limits);
    writeFile(dir_.path("t.lumesub"),
              std::string(tokenizer.artifact().begin(), tokenizer.artifact().end()));
    writeFile(dir_.path("c.json"),
              R"({"context": 96, "layers": 2, "model_dim": 16, "ffn_dim": 40,
                  "query_heads": 4, "kv_heads": 2, "head_dim": 4})");
    const ToolResult init = runTool({"model", "init", model(), "-c", dir_.path("c.json"), "-t",
                                     dir_.path("t.lumesub"), "--seed", "4"});
    EXPECT_EQ(init.status, 0) << init.err;
  }
  [[nodiscard]] std::string model() const { return dir_.path("m"); }

  ScratchDir dir_;
};

TEST_F(GenerateCommand, PrintsWhatTheLibraryGenerates) {
  const ToolResult result = runTool({"generate", model(), "-p", "the cat", "-n", "20", "--seed",
                                     "9", "--temperature", "0.7", "--top-k", "40"});
  ASSERT_EQ(result.status, 0) << result.err;
  const LoadedModelDirectory loaded = load_model_directory(model(), {});
  InferenceSession session = make_generation_session(loaded.model, 9);
  GenerationOptions options;
  options.sampler = {.method = SamplingMethod::temperature, .temperature = 0.7, .top_k = 40};
  options.max_new_tokens = 20;
  EXPECT_EQ(result.out, generate(session, *loaded.tokenizer, "the cat", options).text);
  EXPECT_TRUE(result.err.empty()) << result.err;
}

TEST_F(GenerateCommand, TheOutputIsTheSameForAnyNumberOfThreads) {
  for (const std::vector<std::string>& prompt : {std::vector<std::string>{"-p", "the cat"},
                                                 std::vector<std::string>{"--prompt-ids", "7 8"}}) {
    std::vector<std::string> args = {"generate", model(), "-n", "16", "--seed", "3", "--ids"};
    args.insert(args.end(), prompt.begin(), prompt.end());
    const ToolResult one = runTool(args);
    ASSERT_EQ(one.status, 0) << one.err;
    for (const char* threads : {"2", "3", "0"}) {
      std::vector<std::string> threaded = args;
      threaded.insert(threaded.end(), {"--threads", threads});
      const ToolResult result = runTool(threaded);
      ASSERT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(result.out, one.out) << threads << " threads";
    }
  }
}

TEST_F(GenerateCommand, AStoppedRunResumedFromItsSessionPrintsTheRestOfTheSameText) {
  for (const std::vector<std::string>& sampler :
       {std::vector<std::string>{"--greedy"},
        std::vector<std::string>{"--temperature", "1.3", "--top-p", "0.9"}}) {
    std::vector<std::string> whole = {"generate", model(), "-p", "ahoj", "-n", "24", "--seed", "5"};
    whole.insert(whole.end(), sampler.begin(), sampler.end());
    const ToolResult uninterrupted = runTool(whole);
    ASSERT_EQ(uninterrupted.status, 0) << uninterrupted.err;
    for (const int k : {1, 7, 23}) {
      std::string name = std::to_string(sampler.size());  // one file per sampler and k
      name += '-';
      name += std::to_string(k);
      name += ".lumects";
      const std::string file = dir_.path(name);
      std::vector<std::string> first = {"generate",        model(),  "-p", "ahoj",      "-n",
                                        std::to_string(k), "--seed", "5",  "--session", file};
      first.insert(first.end(), sampler.begin(), sampler.end());
      std::vector<std::string> rest = {"generate",  model(), "-n", std::to_string(24 - k),
                                       "--session", file};
      rest.insert(rest.end(), sampler.begin(), sampler.end());
      const ToolResult a = runTool(first);
      const ToolResult b = runTool(rest);
      ASSERT_EQ(a.status, 0) << a.err;
      ASSERT_EQ(b.status, 0) << b.err;
      EXPECT_EQ(a.out + b.out, uninterrupted.out) << "stopped after " << k << " of 24";
    }
  }
}

TEST_F(GenerateCommand, UsageErrorsAndRefusals) {
  EXPECT_EQ(runTool({"generate", model()}).status, 2);
  EXPECT_EQ(runTool({"generate", model(), "-p", "x", "--prompt-ids", "1"}).status, 2);
  EXPECT_EQ(runTool({"generate", model(), "-p", "x", "--greedy", "--top-p", "0.5"}).status, 2);
  const ToolResult zero = runTool({"generate", model(), "-p", "x", "--seed", "0"});
  EXPECT_EQ(zero.status, 1);
  EXPECT_EQ(zero.err, "lumeth: seed: generation seed must not be 0\n");
  const ToolResult topP = runTool({"generate", model(), "-p", "x", "--top-p", "1.5"});
  EXPECT_EQ(topP.status, 1);
  EXPECT_EQ(topP.err, "lumeth: options: sampler top_p must be in (0, 1]\n");
  writeFile(dir_.path("junk.lumects"), "LUMECTS1 but nothing else");
  const ToolResult junk = runTool({"generate", model(), "--session", dir_.path("junk.lumects")});
  EXPECT_EQ(junk.status, 1);
  EXPECT_EQ(junk.err.rfind("lumeth: " + dir_.path("junk.lumects") + ": ", 0), 0u) << junk.err;
}

#if defined(LUMETH_CLI_IMPORT)
// Checkpoints from the framework: imported with the tool, their greedy
// continuation is the framework's.
TEST(GenerateImported, GreedyContinuationsAreTheFrameworks) {
  const std::string fixtures = std::string(LUMETH_SOURCE_DIR) + "/tests/fixtures/import/";
  ScratchDir dir;
  for (const char* fixture : {"swiglu-untied-gqa2", "gelu-tied", "swiglu-tied-gqa4-sharded",
                              "narrow-bf16", "adjacent-pairs"}) {
    SCOPED_TRACE(fixture);
    std::vector<std::string> import = {"import", fixtures + fixture, "-o", dir.path(fixture)};
    if (std::string_view(fixture) == "adjacent-pairs") {
      import.insert(import.end(), {"--rotary", "adjacent-pairs"});
    }
    ASSERT_EQ(runTool(import).status, 0);
    std::ifstream in(fixtures + fixture + "/expected.json");
    const nlohmann::json expected = nlohmann::json::parse(in);
    const auto joined = [](const nlohmann::json& ids) {
      std::string text;
      for (const auto& id : ids) {
        if (!text.empty()) text += ' ';
        text += std::to_string(id.get<std::uint32_t>());
      }
      return text;
    };
    const std::string prompt = joined(expected["greedy"]["prompt"]);
    const std::string continuation = joined(expected["greedy"]["continuation"]);
    const ToolResult result =
        runTool({"generate", dir.path(fixture), "--prompt-ids", prompt, "--greedy", "-n",
                 std::to_string(expected["greedy"]["continuation"].size())});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, continuation + "\n");
  }
}
#endif

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
