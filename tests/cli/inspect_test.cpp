// lumeth inspect.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "conformance/fixture.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/session/inference_session.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "tests/cli/cli_test_support.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

std::string asText(const ByteBuffer& bytes) { return {bytes.begin(), bytes.end()}; }

struct Sample {
  const char* name;
  const char* kind;
  std::string bytes;
};

// One file of each kind the tool recognises.
std::vector<Sample> samples() {
  const ByteTokenizer byteTokenizer;
  BpeTrainingLimits limits;
  limits.vocabularySize = 270;
  const SubwordTokenizer bpe = trainBpe("the cat sat on the mat with the hat", limits);
  const auto model = Conformance::make_bound_test_model(byteTokenizer);
  InferenceSession session(model, 7);
  session.set_tokenizer_state(ByteBuffer{1, 2, 3});
  return {
      {"byte.lumebtk", "byte tokenizer", asText(byteTokenizer.artifact())},
      {"bpe.lumesub", "bpe tokenizer", asText(bpe.artifact())},
      {"model.lumectm", "model artifact", asText(model->artifact())},
      {"session.lumects", "session file", asText(session.save())},
  };
}

TEST(InspectCommand, ShowsATokenizerArtifactFieldByField) {
  ScratchDir dir;
  const std::string path = dir.path("byte.lumebtk");
  const ByteTokenizer tokenizer;
  writeFile(path, asText(tokenizer.artifact()));
  const ToolResult result = runTool({"inspect", path});
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string payloadChecksum = toHex16(fnv1a64(kByteTokenizerDescription));
  EXPECT_EQ(result.out, path +
                            ": byte tokenizer, 134 bytes\n"
                            "  header: version=1 endian_marker=19525 payload_length=110 "
                            "payload_checksum=" +
                            payloadChecksum +
                            "\n"
                            "  tokenizer: kind=byte version=1 vocabulary=258 bos=256 eos=257 "
                            "hash=" +
                            tokenizer.descriptor().hash + "\n  ok\n");
}

TEST(InspectCommand, EveryKindIsRecognisedAndVerified) {
  ScratchDir dir;
  std::vector<std::string> args = {"inspect", "--json"};
  for (const Sample& sample : samples()) {
    writeFile(dir.path(sample.name), sample.bytes);
    args.push_back(dir.path(sample.name));
  }
  const ToolResult result = runTool(args);
  ASSERT_EQ(result.status, 0) << result.err << result.out;
  std::istringstream lines(result.out);
  std::string line;
  std::size_t index = 0;
  const std::vector<Sample> expected = samples();
  while (std::getline(lines, line)) {
    const nlohmann::json report = nlohmann::json::parse(line);
    ASSERT_LT(index, expected.size());
    EXPECT_EQ(report["kind"], expected[index].kind);
    EXPECT_EQ(report["ok"], true);
    ++index;
  }
  EXPECT_EQ(index, expected.size());
}

TEST(InspectCommand, ShowsTheTensorTableOfAModel) {
  ScratchDir dir;
  const Sample model = samples()[2];
  writeFile(dir.path("m"), model.bytes);
  const ToolResult result = runTool({"inspect", dir.path("m")});
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("  tensors: 11\n    token_embedding f64 [258, 2] offset=0 bytes=4128 "),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("    final_norm f64 [2] "), std::string::npos) << result.out;
}

TEST(InspectCommand, ACorruptedCopyOfEachKindEndsWithItsFirstFailingCheck) {
  struct Corruption {
    std::size_t sample;
    std::size_t offset;  // from the end of the file
    const char* error;
  };
  const std::vector<Corruption> corruptions = {
      {0, 1, "tokenizer artifact hash or semantics mismatch"},
      {1, 1, "BPE tokenizer length or checksum mismatch"},
      {2, 1, "artifact global checksum mismatch"},
      {3, 1, "artifact global checksum mismatch"},
  };
  ScratchDir dir;
  const std::vector<Sample> files = samples();
  for (const Corruption& corruption : corruptions) {
    std::string bytes = files[corruption.sample].bytes;
    bytes[bytes.size() - corruption.offset] ^= 0x01;
    const std::string path = dir.path(files[corruption.sample].name);
    writeFile(path, bytes);
    const ToolResult result = runTool({"inspect", path});
    EXPECT_EQ(result.status, 1) << files[corruption.sample].name;
    const std::size_t last = result.out.rfind("  error: ");
    ASSERT_NE(last, std::string::npos) << result.out;
    EXPECT_NE(result.out.find(corruption.error, last), std::string::npos) << result.out;
    EXPECT_EQ(result.err.rfind("lumeth: " + path + ": ", 0), 0u) << result.err;
  }
}

TEST(InspectCommand, AnUnknownFileIsNamedAndTheOthersStillShown) {
  ScratchDir dir;
  writeFile(dir.path("notes.txt"), "hello");
  writeFile(dir.path("byte.lumebtk"), samples()[0].bytes);
  const ToolResult result = runTool({"inspect", dir.path("notes.txt"), dir.path("byte.lumebtk")});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(
      result.out.find(dir.path("notes.txt") + ": unknown, 5 bytes\n  error: not a Lumeth file"),
      std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("byte tokenizer, 134 bytes"), std::string::npos);
  EXPECT_EQ(result.err, "lumeth: " + dir.path("notes.txt") + ": not a Lumeth file\n");
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
