#include "conformance/driver.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "conformance/checks.hpp"

namespace Orvane::Core::Lumeth::Conformance {
namespace {

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

RunResult runGroups(const std::vector<CheckGroup>& groups) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = run_conformance(groups, out, err);
  return {status, out.str(), err.str()};
}

// Groups are plain function pointers, so the test's observations go through
// a file-local counter.
int groupsRun = 0;

void passingGroup() { ++groupsRun; }
void failingCheckGroup() {
  ++groupsRun;
  check(false, "golden token IDs changed");
}
void failingLibraryGroup() {
  ++groupsRun;
  throw std::invalid_argument("session model mismatch");
}

TEST(Driver, SuccessPrintsExactlyTheSummaryLine) {
  groupsRun = 0;
  const RunResult result = runGroups({passingGroup, passingGroup});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kSummaryLine);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(groupsRun, 2);
}

TEST(Driver, NoGroupsStillPrintsTheSummaryLine) {
  const RunResult result = runGroups({});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kSummaryLine);
}

TEST(Driver, FirstFailureStopsTheRunWithItsLiteralMessage) {
  groupsRun = 0;
  const RunResult result = runGroups({passingGroup, failingCheckGroup, passingGroup});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "golden token IDs changed\n");
  EXPECT_EQ(groupsRun, 2) << "groups after the failure must not run";
}

TEST(Driver, LibraryExceptionsReachStandardErrorUnchanged) {
  const RunResult result = runGroups({failingLibraryGroup});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "session model mismatch\n");
}

TEST(Driver, ExecutableGroupsAllPass) {
  const RunResult result = runGroups({conformance_groups().begin(), conformance_groups().end()});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, kSummaryLine);
}

TEST(Check, ThrowsRuntimeErrorWithTheMessageOnlyWhenFalse) {
  EXPECT_NO_THROW(check(true, "unused"));
  try {
    check(false, "byte token mapping changed");
    FAIL() << "check(false) returned";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "byte token mapping changed");
  }
}

std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "(no failure)";
}

TEST(ExpectTokenizerError, SwallowsTheExpectedCode) {
  EXPECT_NO_THROW(expectTokenizerError(
      [] { throw TokenizerError(TokenizerErrorCode::SpecialTokenNotAllowed, "x"); },
      TokenizerErrorCode::SpecialTokenNotAllowed, "unused"));
}

TEST(ExpectTokenizerError, FailsWithItsOwnMessageOnSuccessOrAnotherCode) {
  EXPECT_EQ(failureOf([] {
              expectTokenizerError([] {}, TokenizerErrorCode::InvalidFormat,
                                   "corrupt tokenizer artifact accepted");
            }),
            "corrupt tokenizer artifact accepted");
  EXPECT_EQ(failureOf([] {
              expectTokenizerError(
                  [] { throw TokenizerError(TokenizerErrorCode::InvalidUtf8, "inner"); },
                  TokenizerErrorCode::InvalidFormat, "corrupt tokenizer artifact accepted");
            }),
            "corrupt tokenizer artifact accepted");
}

TEST(ExpectTokenizerError, LetsOtherExceptionTypesThrough) {
  EXPECT_THROW(expectTokenizerError([] { throw std::invalid_argument("session model mismatch"); },
                                    TokenizerErrorCode::InvalidFormat, "unused"),
               std::invalid_argument);
  EXPECT_EQ(failureOf([] {
              expectTokenizerError([] { throw std::invalid_argument("inner text"); },
                                   TokenizerErrorCode::InvalidFormat, "outer text");
            }),
            "inner text");
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Conformance
