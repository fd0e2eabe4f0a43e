// lumeth train.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/tokenizers/bpe_training.hpp"
#include "tests/cli/cli_test_support.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

constexpr std::string_view kFirst = "the cat sat on the mat; the cat sat on the hat\n";
constexpr std::string_view kSecond = "hat mat cat that hat\nahoj světe ahoj světe";

BpeTrainingLimits limitsWithVocabulary(std::uint32_t vocabulary) {
  BpeTrainingLimits limits;
  limits.vocabularySize = vocabulary;
  return limits;
}

TEST(TrainCommand, EachFileIsItsOwnDocument) {
  ScratchDir dir;
  writeFile(dir.path("a.txt"), kFirst);
  writeFile(dir.path("b.txt"), kSecond);
  const std::string artifact = dir.path("t.lumesub");
  const ToolResult result =
      runTool({"train", dir.path("a.txt"), dir.path("b.txt"), "--vocab", "300", "-o", artifact});
  ASSERT_EQ(result.status, 0) << result.err;
  const std::vector<std::string_view> documents = {kFirst, kSecond};
  const SubwordTokenizer expected = trainBpe(documents, limitsWithVocabulary(300));
  const ByteBuffer& bytes = expected.artifact();
  EXPECT_EQ(readFile(artifact), std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(result.out, artifact + ": bpe tokenizer, " + std::to_string(expected.merges().size()) +
                            " merges, vocabulary " +
                            std::to_string(expected.descriptor().vocabularySize) + ", hash " +
                            expected.descriptor().hash + "\n");
  EXPECT_TRUE(result.err.empty()) << "no progress without a terminal";
  EXPECT_FALSE(std::filesystem::exists(artifact + ".tmp"));
}

TEST(TrainCommand, ReadsStandardInputAndHonoursTheLimits) {
  ScratchDir dir;
  const std::string artifact = dir.path("t.lumesub");
  const ToolResult result = runTool(
      {"train", "-o", artifact, "--vocab", "270", "--min-frequency", "3", "--max-token-bytes", "3"},
      kFirst);
  ASSERT_EQ(result.status, 0) << result.err;
  BpeTrainingLimits limits = limitsWithVocabulary(270);
  limits.minPairFrequency = 3;
  limits.maxTokenBytes = 3;
  const SubwordTokenizer expected = trainBpe(kFirst, limits);
  EXPECT_EQ(readFile(artifact),
            std::string(expected.artifact().begin(), expected.artifact().end()));
}

TEST(TrainCommand, RefusesACorpusOverTheLimitAndKeepsTheOldArtifact) {
  ScratchDir dir;
  writeFile(dir.path("a.txt"), kFirst);
  writeFile(dir.path("b.txt"), kSecond);
  const std::string artifact = dir.path("t.lumesub");
  writeFile(artifact, "old");
  const std::string limit = std::to_string(kFirst.size() + kSecond.size() - 1);
  const ToolResult result = runTool(
      {"train", dir.path("a.txt"), dir.path("b.txt"), "--max-corpus-bytes", limit, "-o", artifact});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "lumeth: " + dir.path("b.txt") +
                            ": BPE training corpus exceeds configured size limit\n");
  EXPECT_EQ(readFile(artifact), "old");
}

TEST(TrainCommand, AMissingInputIsRefusedWithItsName) {
  ScratchDir dir;
  const ToolResult result = runTool({"train", dir.path("missing.txt"), "-o", dir.path("t")});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err.rfind("lumeth: " + dir.path("missing.txt") + ": ", 0), 0u) << result.err;
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
