// lumeth import, over the checkpoints the framework fixtures hold.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "lumeth/directory/model_directory.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/import/checkpoint.hpp"
#include "tests/cli/cli_test_support.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

const std::string kFixtures = std::string(LUMETH_SOURCE_DIR) + "/tests/fixtures/import/";

TEST(ImportCommand, WritesTheModelDirectoryOfTheImportedCheckpoint) {
  ScratchDir dir;
  for (const char* fixture : {"swiglu-untied-gqa2", "gelu-tied", "swiglu-tied-gqa4-sharded"}) {
    const std::string output = dir.path(fixture);
    const ToolResult result = runTool({"import", kFixtures + fixture, "-o", output});
    ASSERT_EQ(result.status, 0) << result.err;
    const auto expected = import_model(kFixtures + fixture, {});
    const LoadedModelDirectory loaded = load_model_directory(output, {});
    EXPECT_EQ(loaded.model->identity(), expected->identity()) << fixture;
    EXPECT_EQ(loaded.tokenizer, nullptr);
    EXPECT_NE(result.out.find(output + ": imported "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(", runs on token ids\n"), std::string::npos) << result.out;
  }
}

TEST(ImportCommand, ListsWhereEachTensorCameFromAndHonoursTheRotaryLayout) {
  ScratchDir dir;
  const ToolResult listed = runTool({"import", kFixtures + "adjacent-pairs", "-o", dir.path("m"),
                                     "--rotary", "adjacent-pairs", "--list"});
  ASSERT_EQ(listed.status, 0) << listed.err;
  EXPECT_NE(listed.out.find("layers.0.query <- model.layers.0.self_attn.q_proj.weight (F64, "
                            "model.safetensors)\n"),
            std::string::npos)
      << listed.out;
  ImportOptions adjacent;
  adjacent.rotary_layout = RotaryLayout::adjacent_pairs;
  EXPECT_EQ(load_model_directory(dir.path("m"), {}).model->identity(),
            import_model(kFixtures + "adjacent-pairs", adjacent)->identity());
}

TEST(ImportCommand, RefusalsNameTheCheckpointAndWhatIsWrong) {
  ScratchDir dir;
  const ToolResult missing = runTool({"import", dir.path("nothing"), "-o", dir.path("m")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "lumeth: " + dir.path("nothing") +
                             ": checkpoint directory has no config.json: " + dir.path("nothing") +
                             "\n");
  const ToolResult limited =
      runTool({"import", kFixtures + "gelu-tied", "-o", dir.path("m"), "--max-values", "100"});
  EXPECT_EQ(limited.status, 1);
  EXPECT_NE(limited.err.find("checkpoint exceeds the weight limit"), std::string::npos)
      << limited.err;
  EXPECT_FALSE(std::filesystem::exists(dir.path("m")));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
