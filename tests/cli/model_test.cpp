// lumeth model init, and inspect on model directories and spec descriptions.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "cli/random_weights.hpp"
#include "cli/spec_json.hpp"
#include "lumeth/directory/model_directory.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "tests/cli/cli_test_support.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

// No vocabulary: the tokenizer gives it.
constexpr const char* kConfig =
    R"({"context": 64, "layers": 2, "model_dim": 16, "ffn_dim": 40, "query_heads": 4,
        "kv_heads": 2, "head_dim": 4, "tied_embeddings": false})";

class ModelCommand : public ::testing::Test {
 protected:
  ModelCommand() {
    BpeTrainingLimits limits;
    limits.vocabularySize = 280;
    tokenizer_ = std::make_shared<const SubwordTokenizer>(
        trainBpe("the cat sat on the mat with the hat", limits));
    writeFile(dir_.path("t.lumesub"),
              std::string(tokenizer_->artifact().begin(), tokenizer_->artifact().end()));
    writeFile(dir_.path("c.json"), kConfig);
  }

  ScratchDir dir_;
  std::shared_ptr<const SubwordTokenizer> tokenizer_;
};

TEST_F(ModelCommand, InitWritesADirectoryThatLoadsWithTheDocumentedWeights) {
  const std::string model = dir_.path("m");
  const ToolResult result = runTool({"model", "init", model, "-c", dir_.path("c.json"), "-t",
                                     dir_.path("t.lumesub"), "--chat", "--seed", "9"});
  ASSERT_EQ(result.status, 0) << result.err;
  const LoadedModelDirectory loaded = load_model_directory(model, {});
  const ChatTokenizer chat(tokenizer_);
  EXPECT_EQ(loaded.tokenizer->descriptor(), chat.descriptor());
  const TransformerSpec& spec = loaded.model->spec();
  EXPECT_EQ(spec.vocabulary, chat.descriptor().vocabularySize);
  const TransformerWeights expected = random_weights(spec, 9);
  EXPECT_EQ(loaded.model->weights().layers[1].ffn_down.data, expected.layers[1].ffn_down.data);
  EXPECT_EQ(loaded.model->weights().output_embedding.data, expected.output_embedding.data);
  EXPECT_EQ(result.out, model + ": model " + toHex16(loaded.model->identity()) + ", " +
                            std::to_string(*parameter_count(spec)) +
                            " parameters, bound to chat-v2/bpe tokenizer " +
                            chat.descriptor().hash + "\n");

  // Seeds give different models; the same seed the same model.
  ASSERT_EQ(runTool({"model", "init", dir_.path("again"), "-c", dir_.path("c.json"), "-t",
                     dir_.path("t.lumesub"), "--chat", "--seed", "9"})
                .status,
            0);
  ASSERT_EQ(runTool({"model", "init", dir_.path("other"), "-c", dir_.path("c.json"), "-t",
                     dir_.path("t.lumesub"), "--chat", "--seed", "10"})
                .status,
            0);
  EXPECT_EQ(readFile(dir_.path("again") + "/model.lumectm"), readFile(model + "/model.lumectm"));
  EXPECT_NE(readFile(dir_.path("other") + "/model.lumectm"), readFile(model + "/model.lumectm"));
}

TEST(RandomWeights, AreTheDocumentedStream) {
  TransformerSpec spec = spec_from_json(nlohmann::json::parse(
      R"({"vocabulary": 3, "context": 4, "layers": 1, "model_dim": 4, "ffn_dim": 2,
          "query_heads": 2, "kv_heads": 1, "head_dim": 2})"));
  const TransformerWeights weights = random_weights(spec, 5);
  // The first draw by hand: z = 5 + 1 * 0x9E3779B97F4A7C15, then splitmix64.
  std::uint64_t z = 5 + 0x9E3779B97F4A7C15ULL;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  z ^= z >> 31;
  const double first =
      static_cast<double>(static_cast<std::int64_t>(z >> 11) - (std::int64_t{1} << 52)) * 0x1p-52 *
      0.5;  // 1 / sqrt(4)
  EXPECT_EQ(weights.token_embedding.data[0], first);
  EXPECT_EQ(weights.layers[0].attention_norm.data, std::vector<double>(4, 1.0));
  for (const double value : weights.layers[0].ffn_down.data) {
    EXPECT_LT(std::abs(value), 1.0 / std::sqrt(2.0));
  }
}

TEST_F(ModelCommand, InitRefusesWhatCannotMakeAModel) {
  writeFile(dir_.path("bad.json"), R"({"context": 64, "layers": 1, "model_dim": 16,
      "ffn_dim": 40, "query_heads": 4, "kv_heads": 3, "head_dim": 4})");
  const ToolResult invalid = runTool(
      {"model", "init", dir_.path("m"), "-c", dir_.path("bad.json"), "-t", dir_.path("t.lumesub")});
  EXPECT_EQ(invalid.status, 1);
  EXPECT_EQ(invalid.err,
            "lumeth: " + dir_.path("bad.json") + ": kv_heads: must divide query_heads exactly\n");
  EXPECT_FALSE(std::filesystem::exists(dir_.path("m")));

  const ToolResult noVocabulary =
      runTool({"model", "init", dir_.path("m"), "-c", dir_.path("c.json")});
  EXPECT_EQ(noVocabulary.status, 1);
  EXPECT_EQ(noVocabulary.err, "lumeth: " + dir_.path("c.json") + ": vocabulary: required\n");
  EXPECT_EQ(runTool({"model", "init", dir_.path("m"), "-c", dir_.path("c.json"), "--chat"}).status,
            2);
}

TEST_F(ModelCommand, InspectChecksADirectoryAsAWholeAndEachOfItsFiles) {
  const std::string model = dir_.path("m");
  ASSERT_EQ(
      runTool({"model", "init", model, "-c", dir_.path("c.json"), "-t", dir_.path("t.lumesub")})
          .status,
      0);
  const ToolResult whole = runTool({"inspect", model, model + "/spec.txt", model + "/model.lumectm",
                                    model + "/tokenizer.lumetok"});
  EXPECT_EQ(whole.status, 0) << whole.err;
  EXPECT_NE(whole.out.find(model + ": model directory\n"), std::string::npos) << whole.out;
  EXPECT_NE(whole.out.find(model + "/spec.txt: spec description"), std::string::npos);

  // A tokenizer that is not the one the model was bound to (nor of its size).
  BpeTrainingLimits limits;
  limits.vocabularySize = 280;
  const SubwordTokenizer other = trainBpe("other words entirely, other words", limits);
  writeFile(model + "/tokenizer.lumetok",
            std::string(other.artifact().begin(), other.artifact().end()));
  const ToolResult mismatch = runTool({"inspect", model});
  EXPECT_EQ(mismatch.status, 1);
  EXPECT_NE(mismatch.out.find("  error: tokenizer vocabulary does not match model\n"),
            std::string::npos)
      << mismatch.out;
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
