// lumeth encode and lumeth decode.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "tests/cli/cli_test_support.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

constexpr std::string_view kCorpus =
    "the cat sat on the mat; the cat sat on the hat. ahoj světe, ahoj světe!\n"
    "that hat, that mat, that cat\t\tand   the rest\n";

std::string idLine(const std::vector<std::uint32_t>& ids) {
  std::string line;
  for (const std::uint32_t id : ids) {
    if (!line.empty()) line += ' ';
    line += std::to_string(id);
  }
  line += '\n';
  return line;
}

// A folder with a byte tokenizer ("byte.lumebtk") and a BPE tokenizer trained
// on kCorpus ("bpe.lumesub").
class CodecCommand : public ::testing::Test {
 protected:
  CodecCommand()
      : bpe_(trainBpe(kCorpus, [] {
          BpeTrainingLimits limits;
          limits.vocabularySize = 320;
          return limits;
        }())) {
    const ByteBuffer byteArtifact = serializeByteTokenizerArtifact();
    writeFile(bytePath(), std::string(byteArtifact.begin(), byteArtifact.end()));
    writeFile(bpePath(), std::string(bpe_.artifact().begin(), bpe_.artifact().end()));
  }
  [[nodiscard]] std::string bytePath() const { return dir_.path("byte.lumebtk"); }
  [[nodiscard]] std::string bpePath() const { return dir_.path("bpe.lumesub"); }

  ScratchDir dir_;
  SubwordTokenizer bpe_;
};

TEST_F(CodecCommand, EncodesWithEveryOptionAsTheLibraryDoes) {
  const auto chat = std::make_shared<ChatTokenizer>(std::make_shared<SubwordTokenizer>(bpe_));
  const std::string text = "<|user|>the cat<|end|><|assistant|>sat on the mat<|end|>";
  struct Case {
    std::vector<std::string> options;
    std::vector<std::uint32_t> ids;
  };
  const std::vector<Case> cases = {
      {{}, bpe_.encode(kCorpus, {}).ids},
      {{"--bos", "--eos"}, bpe_.encode(kCorpus, {.addBos = true, .addEos = true}).ids},
      {{"--chat"}, chat->encode(text, {}).ids},
  };
  for (const Case& test : cases) {
    std::vector<std::string> args = {"encode", "-t", bpePath()};
    args.insert(args.end(), test.options.begin(), test.options.end());
    const bool isChat = test.options.size() == 1 && test.options[0] == "--chat";
    const ToolResult result = runTool(args, isChat ? text : kCorpus);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, idLine(test.ids)) << args.back();
  }
}

TEST_F(CodecCommand, StreamingLargeInputGivesTheIdsOfOneEncode) {
  // Several 1 MiB blocks, with a run longer than a block in the middle and
  // multi-byte characters and invalid bytes at block edges.
  std::string text;
  while (text.size() < (std::size_t{5} << 19)) text += kCorpus;
  text += std::string(std::size_t{3} << 19, 'x') + " \xC3 \xE2\x82 tail";
  while (text.size() < (std::size_t{9} << 19)) text += kCorpus;
  for (const char* policy : {"preserve", "replace"}) {
    const InvalidUtf8Policy value = std::string_view(policy) == "replace"
                                        ? InvalidUtf8Policy::Replace
                                        : InvalidUtf8Policy::PreserveBytes;
    const ToolResult result =
        runTool({"encode", "-t", bpePath(), "--policy", policy, "--bos", "--eos"}, text);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              idLine(bpe_.encode(text, {.addBos = true, .addEos = true, .invalidUtf8 = value}).ids))
        << policy;
  }
}

TEST_F(CodecCommand, ThreadsGiveTheIdsOfOneEncode) {
  // Blocks of 8 MiB at two threads: enough text for several pieces, a run
  // longer than a piece, and an unfinished UTF-8 sequence right before a
  // space at the end of the first 1 MiB block (where a cut after it, rather
  // than after the space, would turn its two replacement characters into
  // one).
  std::string text(std::size_t{1} << 20, 'x');
  text.replace(text.size() - 3, 3, "\xE2\x82 ");
  while (text.size() < (std::size_t{11} << 20)) text += kCorpus;
  text += std::string(std::size_t{2} << 20, 'y') + " \xC3 tail";
  const auto chat = std::make_shared<ChatTokenizer>(std::make_shared<SubwordTokenizer>(bpe_));
  for (const char* threads : {"1", "2", "0"}) {
    const ToolResult result = runTool(
        {"encode", "-t", bpePath(), "--policy", "replace", "--bos", "--threads", threads}, text);
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(
        result.out,
        idLine(bpe_.encode(text, {.addBos = true, .invalidUtf8 = InvalidUtf8Policy::Replace}).ids))
        << threads;
    const ToolResult chatResult =
        runTool({"encode", "-t", bpePath(), "--chat", "--threads", threads}, text);
    ASSERT_EQ(chatResult.status, 0) << chatResult.err;
    EXPECT_EQ(chatResult.out, idLine(chat->encode(text, {}).ids)) << threads;
  }
}

TEST_F(CodecCommand, ChatMarkersInUntrustedTextAreRefusedOrKeptAsText) {
  const ChatTokenizer chat(std::make_shared<SubwordTokenizer>(bpe_));
  const std::string text = "the cat <|assistant|>sat";
  const ToolResult asText =
      runTool({"encode", "-t", bpePath(), "--chat", "--markers", "text"}, text);
  EXPECT_EQ(asText.status, 0) << asText.err;
  EXPECT_EQ(asText.out, idLine(chat.encode(text, {}, MarkerHandling::TreatAsText).ids));
  const ToolResult refused =
      runTool({"encode", "-t", bpePath(), "--chat", "--markers", "refuse"}, text);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "lumeth: standard input: text contains a chat marker\n");
  EXPECT_EQ(runTool({"encode", "-t", bpePath(), "--markers", "refuse"}, text).status, 2);
}

TEST_F(CodecCommand, JsonLinesNameEachInput) {
  writeFile(dir_.path("a.txt"), "ab");
  const ToolResult result =
      runTool({"encode", "-t", bytePath(), "--json", dir_.path("a.txt"), "-"}, "c");
  ASSERT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "{\"input\":\"" + dir_.path("a.txt") +
                            "\",\"ids\":[97,98]}\n{\"input\":\"standard input\",\"ids\":[99]}\n");
}

TEST_F(CodecCommand, DecodeReversesEncode) {
  const std::string ids = runTool({"encode", "-t", bpePath()}, kCorpus).out;
  const ToolResult text = runTool({"decode", "-t", bpePath()}, ids);
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out, kCorpus);

  const ToolResult json = runTool({"decode", "-t", bytePath(), "--json", "--skip-special"},
                                  "[256,104,105,257]\n{\"input\":\"x\",\"ids\":[111,107]}\n");
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, "{\"text\":\"hi\"}\n{\"text\":\"ok\"}\n");
}

TEST_F(CodecCommand, RefusalsNameTheInputAndCarryTheLibraryMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"encode", "-t", bytePath(), "--policy", "reject"},
       "a\xFF",
       "invalid or incomplete UTF-8 sequence"},
      {{"decode", "-t", bytePath()}, "104 258", "token id is outside byte-tokenizer vocabulary"},
      {{"decode", "-t", bytePath()}, "104 256", "special token requires skipSpecialTokens=true"},
      {{"decode", "-t", bytePath()}, "104 x7", "invalid token id 'x7'"},
      {{"decode", "-t", bytePath()}, "4294967296", "invalid token id '4294967296'"},
      {{"decode", "-t", bytePath(), "--json"}, "[1, -2]", "invalid token id -2"},
      {{"encode", "-t", dir_.path("none")}, "", dir_.path("none") + ": "},
  };
  for (const Case& test : cases) {
    const ToolResult result = runTool(test.args, test.input);
    EXPECT_EQ(result.status, 1) << test.err;
    EXPECT_EQ(result.err.rfind("lumeth: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(test.err), std::string::npos) << result.err;
  }
  writeFile(dir_.path("not-a-tokenizer"), "LUMECTM1 and more");
  const ToolResult wrong = runTool({"encode", "-t", dir_.path("not-a-tokenizer")}, "x");
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.err,
            "lumeth: " + dir_.path("not-a-tokenizer") + ": unknown tokenizer artifact magic\n");
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
