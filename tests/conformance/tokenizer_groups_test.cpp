#include <gtest/gtest.h>

#include "conformance/driver.hpp"
#include "conformance/groups.hpp"

namespace Orvane::Core::Lumeth::Conformance {
namespace {

TEST(TokenizerGroups, PassAgainstTheLibrary) {
  EXPECT_NO_THROW(byte_tokenizer_checks());
  EXPECT_NO_THROW(dialogue_checks());
  EXPECT_NO_THROW(bpe_checks());
  EXPECT_NO_THROW(chat_tokenizer_checks());
}

// The groups run byte tokenizer first and dialogue, BPE, chat last; the
// streaming and artifact groups, when present, sit between the byte tokenizer
// and the dialogue group, so the positions are counted from both ends.
TEST(TokenizerGroups, ByteChecksRunFirstAndDialogueBpeChatChecksLast) {
  const auto groups = conformance_groups();
  ASSERT_GE(groups.size(), 4u);
  EXPECT_EQ(groups.front(), &byte_tokenizer_checks);
  EXPECT_EQ(groups[groups.size() - 3], &dialogue_checks);
  EXPECT_EQ(groups[groups.size() - 2], &bpe_checks);
  EXPECT_EQ(groups.back(), &chat_tokenizer_checks);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Conformance
