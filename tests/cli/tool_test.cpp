// The tool as a whole: help, version, usage errors and exit statuses.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumeth/version.hpp"
#include "tests/cli/cli_test_support.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

TEST(Tool, HelpListsEveryCommandAndEachCommandHasHelp) {
  const ToolResult help = runTool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.err.empty());
  for (const char* command : {"train", "encode", "decode", "inspect"}) {
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
    const ToolResult own = runTool({command, "--help"});
    EXPECT_EQ(own.status, 0) << command;
    EXPECT_NE(own.out.find(std::string("Usage: lumeth ") + command), std::string::npos) << own.out;
  }
}

TEST(Tool, VersionIsThePackageVersion) {
  const ToolResult version = runTool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("lumeth ") + LUMETH_VERSION_STRING + "\n");
}

TEST(Tool, UsageErrorsExitWithTwoAndSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{}, "A subcommand is required"},
      {{"frobnicate"}, "frobnicate"},
      {{"encode"}, "--tokenizer is required"},
      {{"encode", "-t", "x", "--policy", "lenient"}, "lenient"},
      {{"train", "-o", "x", "--vocab", "100"}, "--vocab"},
      {{"train", "--no-such-option", "-o", "x"}, "--no-such-option"},
      {{"inspect"}, "files is required"},
  };
  for (const Case& test : cases) {
    const ToolResult result = runTool(test.args);
    EXPECT_EQ(result.status, 2) << test.says;
    EXPECT_TRUE(result.out.empty()) << test.says;
    EXPECT_NE(result.err.find(test.says), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("lumeth --help"), std::string::npos) << result.err;
  }
}

TEST(Tool, TheExecutableExitsWithTheSameStatuses) {
  EXPECT_EQ(runProcess({"--help"}).status, 0);
  EXPECT_EQ(runProcess({"encode"}).status, 2);
  const ToolResult refused = runProcess({"inspect", "/nonexistent/file"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("lumeth: /nonexistent/file: "), std::string::npos) << refused.err;
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
