#include "conformance/groups.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "conformance/driver.hpp"

namespace Orvane::Core::Lumeth::Conformance {
namespace {

using ::testing::ElementsAre;

TEST(ConformanceGroups, EachPassesAgainstTheLibrary) {
  for (const CheckGroup group : conformance_groups()) {
    EXPECT_NO_THROW(group());
  }
}

TEST(ConformanceGroups, RunInTheirFixedOrder) {
  const auto groups = conformance_groups();
  EXPECT_THAT(std::vector<CheckGroup>(groups.begin(), groups.end()),
              ElementsAre(&byte_tokenizer_checks, &streaming_checks, &artifact_binding_checks,
                          &dialogue_checks, &bpe_checks, &chat_tokenizer_checks));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Conformance
