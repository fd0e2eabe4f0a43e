#include "lumeth/tokenizers/binding.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "conformance/fixture.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Conformance::make_test_spec;
using Conformance::make_test_weights;
using ::testing::ElementsAre;

constexpr const char* kVocabularyMessage = "tokenizer vocabulary does not match model";
constexpr const char* kHashMessage = "tokenizer hash does not match model binding";

std::shared_ptr<const TransformerModel> modelWith(std::uint32_t vocabulary,
                                                  std::optional<std::string> binding) {
  if (binding) {
    return make_model(make_test_spec(vocabulary), make_test_weights(vocabulary), *binding);
  }
  return make_model(make_test_spec(vocabulary), make_test_weights(vocabulary));
}

TEST(TokenizerBinding, BoundModelAcceptsItsTokenizerAndEncodes) {
  const ByteTokenizer tokenizer;
  const auto model = modelWith(258, tokenizer.descriptor().hash);
  EXPECT_NO_THROW(validateTokenizerBinding(*model, tokenizer));
  const EncodedText encoded = encodeForModel(*model, tokenizer, "ok", EncodeOptions{});
  EXPECT_THAT(encoded.ids, ElementsAre(111u, 107u));
  EXPECT_EQ(encoded.tokenizerHash, tokenizer.descriptor().hash);
  EXPECT_EQ(encoded.tokenizerHash, model->tokenizerHash());
}

// A tokenizer that counts encode calls, to prove a refused binding encodes
// nothing.
class CountingTokenizer : public ITransformerTokenizer {
 public:
  EncodedText encode(std::string_view text, const EncodeOptions& options) const override {
    ++encodeCalls;
    return base.encode(text, options);
  }
  std::string decode(std::span<const std::uint32_t> ids,
                     const DecodeOptions& options) const override {
    return base.decode(ids, options);
  }
  TokenizerDescriptor descriptor() const override { return base.descriptor(); }

  ByteTokenizer base;
  mutable int encodeCalls = 0;
};

TEST(TokenizerBinding, RefusesMismatchesWithTheFirstFailingCheck) {
  const std::string byteHash = ByteTokenizer().descriptor().hash;
  struct Case {
    const char* name;
    std::uint32_t vocabulary;
    std::optional<std::string> binding;
    const char* message;
  };
  const std::vector<Case> cases{
      {"other hash", 258, "wrong-tokenizer", kHashMessage},
      {"unbound", 258, std::nullopt, kHashMessage},
      {"hash differing only in case", 258, "A84BB3ACDD95C5DC", kHashMessage},
      {"hash prefix", 258, byteHash.substr(0, 15), kHashMessage},
      {"vocabulary", 257, byteHash, kVocabularyMessage},
      {"vocabulary and hash", 257, "wrong-tokenizer", kVocabularyMessage},
      {"vocabulary, unbound", 259, std::nullopt, kVocabularyMessage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto model = modelWith(c.vocabulary, c.binding);
    const CountingTokenizer tokenizer;
    for (const auto& action : std::vector<std::function<void()>>{
             [&] { validateTokenizerBinding(*model, tokenizer); },
             [&] { (void)encodeForModel(*model, tokenizer, "ok", EncodeOptions{}); }}) {
      try {
        action();
        ADD_FAILURE() << "binding accepted";
      } catch (const TokenizerError& error) {
        EXPECT_EQ(error.code(), TokenizerErrorCode::BindingMismatch);
        EXPECT_STREQ(error.what(), c.message);
      }
    }
    EXPECT_EQ(tokenizer.encodeCalls, 0);
  }
}

TEST(TokenizerBinding, EncodeErrorsPassThroughOnceBound) {
  const ByteTokenizer tokenizer;
  const auto model = modelWith(258, tokenizer.descriptor().hash);
  EncodeOptions reject;
  reject.invalidUtf8 = InvalidUtf8Policy::Reject;
  try {
    (void)encodeForModel(*model, tokenizer, "\xC3\x28", reject);
    ADD_FAILURE() << "invalid UTF-8 accepted";
  } catch (const TokenizerError& error) {
    EXPECT_EQ(error.code(), TokenizerErrorCode::InvalidUtf8);
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
