#include <gtest/gtest.h>

#include "conformance/driver.hpp"
#include "conformance/groups.hpp"

namespace Orvane::Core::Lumeth::Conformance {
namespace {

TEST(TokenizerGroups, PassAgainstTheLibrary) {
  EXPECT_NO_THROW(byte_tokenizer_checks());
  EXPECT_NO_THROW(bpe_checks());
  EXPECT_NO_THROW(chat_tokenizer_checks());
}

TEST(TokenizerGroups, ByteChecksRunFirstAndBpeChecksJustBeforeTheLastChatChecks) {
  const auto groups = conformance_groups();
  ASSERT_GE(groups.size(), 3u);
  EXPECT_EQ(groups.front(), &byte_tokenizer_checks);
  EXPECT_EQ(groups[groups.size() - 2], &bpe_checks);
  EXPECT_EQ(groups.back(), &chat_tokenizer_checks);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Conformance
