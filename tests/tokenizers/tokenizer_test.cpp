#include "lumeth/tokenizers/tokenizer.hpp"

#include <gtest/gtest.h>

#include <exception>
#include <stdexcept>

namespace Orvane::Core::Lumeth {
namespace {

TEST(TokenizerError, CarriesCodeAndMessageAndIsAStandardRuntimeError) {
  try {
    throw TokenizerError(TokenizerErrorCode::BindingMismatch,
                         "tokenizer hash does not match model binding");
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "tokenizer hash does not match model binding");
    const auto* typed = dynamic_cast<const TokenizerError*>(&error);
    ASSERT_NE(typed, nullptr);
    EXPECT_EQ(typed->code(), TokenizerErrorCode::BindingMismatch);
  }
  const TokenizerError original(TokenizerErrorCode::InvalidFormat, "x");
  const TokenizerError copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_EQ(copy.code(), TokenizerErrorCode::InvalidFormat);
  EXPECT_STREQ(copy.what(), "x");
  EXPECT_TRUE((std::is_base_of_v<std::exception, TokenizerError>));
}

TEST(TokenizerContract, CodesAndEnumerationsHaveTheirStoredValues) {
  EXPECT_EQ(static_cast<int>(TokenizerErrorCode::InvalidUtf8), 0);
  EXPECT_EQ(static_cast<int>(TokenizerErrorCode::TokenIdOutOfRange), 1);
  EXPECT_EQ(static_cast<int>(TokenizerErrorCode::SpecialTokenNotAllowed), 2);
  EXPECT_EQ(static_cast<int>(TokenizerErrorCode::InvalidFormat), 3);
  EXPECT_EQ(static_cast<int>(TokenizerErrorCode::BindingMismatch), 4);
  EXPECT_EQ(static_cast<int>(TokenizerErrorCode::UnsupportedOption), 5);
  EXPECT_EQ(static_cast<int>(TokenizerErrorCode::MarkerNotAllowed), 6);
  EXPECT_EQ(static_cast<int>(InvalidUtf8Policy::PreserveBytes), 0);
  EXPECT_EQ(static_cast<int>(InvalidUtf8Policy::Reject), 1);
  EXPECT_EQ(static_cast<int>(InvalidUtf8Policy::Replace), 2);
  EXPECT_EQ(sizeof(EncodeOptions), 4u);
  EXPECT_EQ(sizeof(DecodeOptions), 2u);
}

TEST(TokenizerContract, DefaultOptionsAskForNothing) {
  const EncodeOptions encode;
  EXPECT_FALSE(encode.addBos);
  EXPECT_FALSE(encode.addEos);
  EXPECT_EQ(encode.normalization, Normalization::None);
  EXPECT_EQ(encode.invalidUtf8, InvalidUtf8Policy::PreserveBytes);
  const DecodeOptions decode;
  EXPECT_FALSE(decode.skipSpecialTokens);
  EXPECT_EQ(decode.invalidUtf8, InvalidUtf8Policy::PreserveBytes);
  const TokenizerDescriptor descriptor;
  EXPECT_EQ(descriptor.userId, kNoTokenId);
  EXPECT_EQ(descriptor.assistantId, 0xFFFFFFFFu);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
