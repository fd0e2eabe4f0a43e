#include "lumeth/tokenizers/chat_tokenizer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "tests/tokenizers/tokenizer_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// toHex16(fnv1a64("lumeth-chat-tokenizer-v2;base=a84bb3acdd95c5dc;user=258;
// assistant=259;eos=257")), worked out independently of the library.
constexpr const char* kChatOverByteHash = "1238d61628053861";

const std::string kTranscript = "<|user|>\nAhoj\n<|assistant|>\nČau<|end|>";
const std::vector<std::uint32_t> kTranscriptIds = {258, 10, 65,  104, 111, 106, 10,
                                                   259, 10, 196, 140, 97,  117, 257};

std::shared_ptr<const ITransformerTokenizer> byteBase() {
  return std::make_shared<const ByteTokenizer>();
}

// A base whose descriptor is chosen by the test and which records every call:
// it encodes byte b as id b and decodes ids into a bracketed list.
class RecordingBase : public ITransformerTokenizer {
 public:
  explicit RecordingBase(TokenizerDescriptor descriptor) : descriptor_(std::move(descriptor)) {}

  EncodedText encode(std::string_view text, const EncodeOptions& options) const override {
    encoded.emplace_back(text);
    encodeOptions.push_back(options);
    return {idsOf(text), "base"};
  }
  std::string decode(std::span<const std::uint32_t> ids, const DecodeOptions&) const override {
    decoded.emplace_back(ids.begin(), ids.end());
    std::string text = "[";
    for (const std::uint32_t id : ids) {
      text += std::to_string(id) + ";";
    }
    return text + "]";
  }
  TokenizerDescriptor descriptor() const override { return descriptor_; }

  mutable std::vector<std::string> encoded;
  mutable std::vector<EncodeOptions> encodeOptions;
  mutable std::vector<std::vector<std::uint32_t>> decoded;

 private:
  TokenizerDescriptor descriptor_;
};

TokenizerDescriptor fakeDescriptor(std::uint32_t vocabularySize) {
  return {.kind = "fake",
          .version = 7,
          .vocabularySize = vocabularySize,
          .bosId = 3,
          .eosId = 4,
          .hash = "0123456789abcdef"};
}

TEST(ChatTokenizer, DescriptorOverAByteBase) {
  const ChatTokenizer chat(byteBase());
  const TokenizerDescriptor d = chat.descriptor();
  EXPECT_EQ(d.kind, "chat-v2/byte");
  EXPECT_EQ(d.version, 1u);
  EXPECT_EQ(d.vocabularySize, 260u);
  EXPECT_EQ(d.bosId, 256u);
  EXPECT_EQ(d.eosId, 257u);
  EXPECT_EQ(d.userId, 258u);
  EXPECT_EQ(d.assistantId, 259u);
  EXPECT_EQ(d.hash, kChatOverByteHash);
}

TEST(ChatTokenizer, HashFollowsTheBaseHash) {
  TokenizerDescriptor one = fakeDescriptor(300);
  TokenizerDescriptor other = one;
  other.hash = "fedcba9876543210";
  const ChatTokenizer a(std::make_shared<RecordingBase>(one));
  const ChatTokenizer b(std::make_shared<RecordingBase>(one));
  const ChatTokenizer c(std::make_shared<RecordingBase>(other));
  EXPECT_EQ(a.descriptor().hash, b.descriptor().hash);
  EXPECT_NE(a.descriptor().hash, c.descriptor().hash);
  EXPECT_EQ(a.descriptor().kind, "chat-v2/fake");
  EXPECT_EQ(a.descriptor().version, 7u);
}

TEST(ChatTokenizer, VocabularyLimitsAndNullBase) {
  const ChatTokenizer largest(std::make_shared<RecordingBase>(fakeDescriptor(0xFFFFFFFDu)));
  EXPECT_EQ(largest.descriptor().userId, 0xFFFFFFFDu);
  EXPECT_EQ(largest.descriptor().assistantId, 0xFFFFFFFEu);
  EXPECT_EQ(largest.descriptor().vocabularySize, 0xFFFFFFFFu);

  for (const std::uint32_t size : {0xFFFFFFFEu, 0xFFFFFFFFu}) {
    try {
      const ChatTokenizer refused(std::make_shared<RecordingBase>(fakeDescriptor(size)));
      ADD_FAILURE() << "vocabulary " << size << " accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "chat tokenizer vocabulary overflows");
    }
  }
  try {
    const ChatTokenizer refused(nullptr);
    ADD_FAILURE() << "null base accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "chat tokenizer base is null");
  }
}

TEST(ChatTokenizer, SharesOwnershipOfItsBase) {
  auto base = std::make_shared<ByteTokenizer>();
  const std::weak_ptr<ByteTokenizer> watch = base;
  {
    const ChatTokenizer chat(base);
    base.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(chat.encode("hi", {}).ids, idsOf("hi"));
  }
  EXPECT_TRUE(watch.expired());
}

TEST(ChatTokenizer, AcceptsAPointerToAConstantBase) {
  // Code that hands tokenizers out as pointers to const can wrap them.
  const std::shared_ptr<const ITransformerTokenizer> base = std::make_shared<const ByteTokenizer>();
  const ChatTokenizer chat(base);
  EXPECT_EQ(chat.descriptor().hash, kChatOverByteHash);
  EXPECT_EQ(chat.encode(kTranscript, {}).ids, kTranscriptIds);
  EXPECT_EQ(base.use_count(), 2);
}

TEST(ChatTokenizer, KeepsItsBaseAfterBeingMovedFrom) {
  ChatTokenizer constructed(byteBase());
  const ChatTokenizer target(std::move(constructed));
  ChatTokenizer source(byteBase());
  ChatTokenizer assigned(byteBase());
  assigned = std::move(source);
  // Moving copies: both moved-from tokenizers still encode and decode
  // through their base.
  for (const ChatTokenizer* moved : {&constructed, &source}) {
    EXPECT_EQ(moved->descriptor(), target.descriptor());
    EXPECT_EQ(moved->encode(kTranscript, {}).ids, kTranscriptIds);
    EXPECT_EQ(moved->encode(kTranscript, {}).tokenizerHash, kChatOverByteHash);
    EXPECT_EQ(moved->decode(kTranscriptIds, {.skipSpecialTokens = true}), "\nAhoj\n\nČau");
  }
  EXPECT_EQ(assigned.encode(kTranscript, {}).ids, kTranscriptIds);
}

TEST(ChatTokenizer, EncodesTheTranscriptWithOneIdPerMarker) {
  const ChatTokenizer chat(byteBase());
  const EncodedText encoded = chat.encode(kTranscript, {});
  EXPECT_EQ(encoded.ids, kTranscriptIds);
  EXPECT_EQ(encoded.tokenizerHash, kChatOverByteHash);

  std::vector<std::uint32_t> framed = {256};
  framed.insert(framed.end(), kTranscriptIds.begin(), kTranscriptIds.end());
  framed.push_back(257);
  EXPECT_EQ(chat.encode(kTranscript, {.addBos = true, .addEos = true}).ids, framed);
}

TEST(ChatTokenizer, OnlyExactMarkersAreAtomic) {
  const ChatTokenizer chat(byteBase());
  struct Case {
    std::string text;
    std::vector<std::uint32_t> ids;
  };
  const std::vector<Case> cases = {
      {"<|user|><|assistant|><|end|>", {258, 259, 257}},
      {"<|end|>a<|user|>b<|end|>c<|assistant|><|user|>", {257, 'a', 258, 'b', 257, 'c', 259, 258}},
      {"<|USER|>", idsOf("<|USER|>")},
      {"<|us er|>", idsOf("<|us er|>")},
      {"<|user|", idsOf("<|user|")},
      {"<<|user|>>", {'<', 258, '>'}},
      {"<|end|<|end|>", {'<', '|', 'e', 'n', 'd', '|', 257}},
      {"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(chat.encode(c.text, {}).ids, c.ids) << c.text;
  }
}

TEST(ChatTokenizer, EncodesTheTextBetweenMarkersSeparatelyWithTheCallersOptions) {
  auto base = std::make_shared<RecordingBase>(fakeDescriptor(100));
  const ChatTokenizer chat(base);
  const EncodeOptions options{.addBos = true,
                              .addEos = true,
                              .normalization = static_cast<Normalization>(1),
                              .invalidUtf8 = InvalidUtf8Policy::Replace};
  const EncodedText encoded = chat.encode("ab<|user|><|end|>c<|assistant|>", options);
  EXPECT_EQ(encoded.ids, (std::vector<std::uint32_t>{3, 'a', 'b', 100, 4, 'c', 101, 4}));
  EXPECT_EQ(base->encoded, (std::vector<std::string>{"ab", "c"}));
  for (const EncodeOptions& seen : base->encodeOptions) {
    EXPECT_FALSE(seen.addBos);
    EXPECT_FALSE(seen.addEos);
    EXPECT_EQ(seen.normalization, options.normalization);
    EXPECT_EQ(seen.invalidUtf8, options.invalidUtf8);
  }
}

TEST(ChatTokenizer, BaseNeverSeesAcrossAMarker) {
  const ChatTokenizer chat(byteBase());
  // The euro sign cut by a marker is three bad sequences, not one character.
  EXPECT_EQ(chat.encode("\xE2<|user|>\x82\xAC", {.invalidUtf8 = InvalidUtf8Policy::Replace}).ids,
            [] {
              std::vector<std::uint32_t> ids = idsOf(kFffd);
              ids.push_back(258);
              for (const std::uint32_t id : idsOf(kFffd + kFffd)) {
                ids.push_back(id);
              }
              return ids;
            }());
  // Markers alone never reach the base, so its refusal of the option never comes.
  const EncodeOptions normalized{.normalization = static_cast<Normalization>(1)};
  EXPECT_EQ(chat.encode("<|user|><|end|>", normalized).ids, (std::vector<std::uint32_t>{258, 257}));
  expectError([&] { (void)chat.encode("<|user|>x", normalized); },
              TokenizerErrorCode::UnsupportedOption,
              "byte tokenizer supports only normalization=none");
}

// A BPE base whose merges join the bytes of the markers (and of "\n" with
// their neighbours), so that marker bytes encoded as text merge into tokens.
std::shared_ptr<const ITransformerTokenizer> markerBpeBase() {
  const std::string corpus =
      "<|user|>\nAhoj, jak se máš?\n<|assistant|>\nDobře 🧠<|end|>\n"
      "<|user|>\nČau\n<|assistant|>\nAhoj<|end|>\n<|user|><|assistant|><|end|>";
  return std::make_shared<const SubwordTokenizer>(
      trainBpe(corpus, BpeTrainingLimits{.vocabularySize = 320, .maxCorpusBytes = 4096}));
}

bool isMarkerId(std::uint32_t id, const TokenizerDescriptor& d) {
  return id == d.userId || id == d.assistantId || id == d.eosId;
}

TEST(ChatTokenizer, MarkerHandlingOfTheTranscript) {
  EXPECT_EQ(static_cast<int>(MarkerHandling::Parse), 0);
  EXPECT_EQ(static_cast<int>(MarkerHandling::Refuse), 1);
  EXPECT_EQ(static_cast<int>(MarkerHandling::TreatAsText), 2);
  const ChatTokenizer chat(byteBase());
  std::vector<std::uint32_t> asText = {256};
  for (const std::uint32_t id : idsOf(kTranscript)) {
    asText.push_back(id);
  }
  asText.push_back(257);
  const EncodeOptions framed{.addBos = true, .addEos = true};
  EXPECT_EQ(chat.encode(kTranscript, {}, MarkerHandling::Parse).ids, kTranscriptIds);
  EXPECT_EQ(chat.encode(kTranscript, framed, MarkerHandling::TreatAsText).ids, asText);
  EXPECT_EQ(chat.encode(kTranscript, framed, MarkerHandling::TreatAsText).tokenizerHash,
            kChatOverByteHash);
  expectError([&] { (void)chat.encode(kTranscript, framed, MarkerHandling::Refuse); },
              TokenizerErrorCode::MarkerNotAllowed, "text contains a chat marker");
  // Text without a marker is the same under every handling.
  for (const MarkerHandling markers :
       {MarkerHandling::Parse, MarkerHandling::Refuse, MarkerHandling::TreatAsText}) {
    EXPECT_EQ(chat.encode("Ahoj <|us er|>", framed, markers).ids,
              chat.encode("Ahoj <|us er|>", framed).ids);
    EXPECT_EQ(chat.encode("", framed, markers).ids, (std::vector<std::uint32_t>{256, 257}));
  }
}

TEST(ChatTokenizer, MarkerHandlingChecksInOrder) {
  auto base = std::make_shared<RecordingBase>(fakeDescriptor(100));
  const ChatTokenizer chat(base);
  const std::string unknown = "unknown marker handling";
  const std::string refused = "text contains a chat marker";
  const EncodeOptions normalized{.normalization = static_cast<Normalization>(1)};
  // An unknown handling is refused before anything else, even for empty text.
  for (const int value : {3, 255}) {
    for (const std::string_view text : {std::string_view(""), std::string_view("a<|end|>")}) {
      expectError([&] { (void)chat.encode(text, normalized, static_cast<MarkerHandling>(value)); },
                  TokenizerErrorCode::UnsupportedOption, unknown);
    }
  }
  // The marker refusal comes before the base sees any text or option.
  expectError([&] { (void)chat.encode("ab<|user|>", normalized, MarkerHandling::Refuse); },
              TokenizerErrorCode::MarkerNotAllowed, refused);
  EXPECT_TRUE(base->encoded.empty());

  // Under TreatAsText the whole text is one base call with the segment
  // options; empty text never reaches the base.
  const EncodeOptions options{.addBos = true,
                              .addEos = true,
                              .normalization = static_cast<Normalization>(1),
                              .invalidUtf8 = InvalidUtf8Policy::Replace};
  EXPECT_EQ(chat.encode("a<|end|>", options, MarkerHandling::TreatAsText).ids,
            (std::vector<std::uint32_t>{3, 'a', '<', '|', 'e', 'n', 'd', '|', '>', 4}));
  EXPECT_EQ(chat.encode("", options, MarkerHandling::TreatAsText).ids,
            (std::vector<std::uint32_t>{3, 4}));
  ASSERT_EQ(base->encoded, (std::vector<std::string>{"a<|end|>"}));
  EXPECT_FALSE(base->encodeOptions[0].addBos);
  EXPECT_FALSE(base->encodeOptions[0].addEos);
  EXPECT_EQ(base->encodeOptions[0].normalization, options.normalization);
  EXPECT_EQ(base->encodeOptions[0].invalidUtf8, options.invalidUtf8);

  // Over a byte base: markers alone reach the base only when they are text,
  // and then the base judges the options (normalization before the policy).
  const ChatTokenizer overBytes(byteBase());
  EXPECT_EQ(overBytes.encode("<|end|>", normalized, MarkerHandling::Parse).ids,
            (std::vector<std::uint32_t>{257}));
  expectError(
      [&] {
        (void)overBytes.encode("<|end|>",
                               {.normalization = static_cast<Normalization>(1),
                                .invalidUtf8 = static_cast<InvalidUtf8Policy>(9)},
                               MarkerHandling::TreatAsText);
      },
      TokenizerErrorCode::UnsupportedOption, "byte tokenizer supports only normalization=none");
  expectError(
      [&] {
        (void)overBytes.encode("<|end|>", {.invalidUtf8 = static_cast<InvalidUtf8Policy>(9)},
                               MarkerHandling::TreatAsText);
      },
      TokenizerErrorCode::UnsupportedOption, "unknown invalid UTF-8 policy");
}

TEST(ChatTokenizer, TreatAsTextReachesThroughAChatBase) {
  // The inner tokenizer's "<|end|>" is the outer one's EOS id, so the inner
  // one must not parse the text either.
  const auto inner = std::make_shared<const ChatTokenizer>(byteBase());
  const ChatTokenizer outer(inner);
  EXPECT_EQ(outer.descriptor().kind, "chat-v2/chat-v2/byte");
  EXPECT_EQ(outer.encode(kTranscript, {}, MarkerHandling::TreatAsText).ids, idsOf(kTranscript));
  EXPECT_EQ(outer.encode("a<|user|>", {}).ids, (std::vector<std::uint32_t>{'a', 260}));
}

// Over arbitrary text and both kinds of base: under TreatAsText no marker id
// comes out, the ids are the base's own and decode back to the text; under
// Refuse every text with a marker is refused and every other one encodes as
// under Parse.
TEST(ChatTokenizer, MarkerHandlingPropertiesOverArbitraryText) {
  std::mt19937_64 random(17);
  std::vector<std::string> texts;
  for (const std::string& marker : kMarkerTexts) {
    // Every marker against multi-byte characters, whole and cut.
    for (const std::string_view before : {"", "č", "🧠", "\xE2\x82", "\xF0"}) {
      for (const std::string_view after : {"", "€", "\xAC", "\x9F\xA7\xA0"}) {
        texts.push_back(std::string(before) + marker + std::string(after));
      }
    }
    // Every cut of the marker, the two parts apart and together.
    for (std::size_t cut = 1; cut < marker.size(); ++cut) {
      texts.push_back(marker.substr(0, cut) + "č" + marker.substr(cut));
      texts.push_back(marker.substr(cut) + marker.substr(0, cut) + marker.substr(cut));
    }
  }
  for (int i = 0; i < 1500; ++i) {
    texts.push_back(textWithMarkerPieces(random, random() % 12));
  }

  for (const auto& base : {byteBase(), markerBpeBase()}) {
    const ChatTokenizer chat(base);
    const TokenizerDescriptor d = chat.descriptor();
    if (d.kind == "chat-v2/bpe") {
      // The BPE base merges marker bytes, so marker text becomes subwords.
      ASSERT_LT(base->encode("<|assistant|>", {}).ids.size(), 13u);
    }
    std::size_t refusedCount = 0;
    for (const std::string& text : texts) {
      SCOPED_TRACE(testing::PrintToString(text) + " over " + d.kind);
      const EncodedText asText = chat.encode(text, {}, MarkerHandling::TreatAsText);
      EXPECT_EQ(asText.ids, base->encode(text, {}).ids);
      EXPECT_TRUE(std::none_of(asText.ids.begin(), asText.ids.end(),
                               [&](std::uint32_t id) { return isMarkerId(id, d); }));
      EXPECT_EQ(chat.decode(asText.ids, {}), text);

      if (holdsMarker(text)) {
        ++refusedCount;
        expectError([&] { (void)chat.encode(text, {}, MarkerHandling::Refuse); },
                    TokenizerErrorCode::MarkerNotAllowed, "text contains a chat marker");
      } else {
        EXPECT_EQ(chat.encode(text, {.addBos = true}, MarkerHandling::Refuse).ids,
                  chat.encode(text, {.addBos = true}).ids);
      }
    }
    // Both sides of the Refuse property were exercised.
    EXPECT_GT(refusedCount, texts.size() / 4);
    EXPECT_LT(refusedCount, texts.size() - texts.size() / 4);
  }
}

TEST(ChatTokenizer, DecodeSkipsRoleIdsOnlyWhenAsked) {
  const ChatTokenizer chat(byteBase());
  EXPECT_EQ(chat.decode(kTranscriptIds, {.skipSpecialTokens = true}), "\nAhoj\n\nČau");
  expectError([&] { (void)chat.decode(kTranscriptIds, {}); },
              TokenizerErrorCode::SpecialTokenNotAllowed,
              "chat role token requires skipSpecialTokens=true");
  EXPECT_EQ(chat.decode(idsOf("plain"), {}), "plain");
}

TEST(ChatTokenizer, DecodeJudgesPendingIdsBeforeARoleId) {
  const ChatTokenizer chat(byteBase());
  struct Case {
    std::vector<std::uint32_t> ids;
    TokenizerErrorCode code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{257, 258},
       TokenizerErrorCode::SpecialTokenNotAllowed,
       "special token requires skipSpecialTokens=true"},
      {{65, 259},
       TokenizerErrorCode::SpecialTokenNotAllowed,
       "chat role token requires skipSpecialTokens=true"},
      {{65, 260, 258},
       TokenizerErrorCode::TokenIdOutOfRange,
       "token id is outside byte-tokenizer vocabulary"},
      {{999},
       TokenizerErrorCode::TokenIdOutOfRange,
       "token id is outside byte-tokenizer vocabulary"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.ids));
    expectError([&] { (void)chat.decode(c.ids, {}); }, c.code, c.message);
  }
}

TEST(ChatTokenizer, DecodesTheRunsBetweenRoleIdsSeparately) {
  auto base = std::make_shared<RecordingBase>(fakeDescriptor(100));
  const ChatTokenizer chat(base);
  const std::vector<std::uint32_t> ids = {1, 2, 100, 3, 101, 101, 4, 99};
  EXPECT_EQ(chat.decode(ids, {.skipSpecialTokens = true}), "[1;2;][3;][4;99;]");
  EXPECT_EQ(base->decoded, (std::vector<std::vector<std::uint32_t>>{{1, 2}, {3}, {4, 99}}));

  // Over a byte base, a character split by a role id is not reassembled: each
  // part meets the policy on its own.
  const ChatTokenizer overBytes(byteBase());
  const std::vector<std::uint32_t> split = {0xE2, 0x82, 258, 0xAC};
  EXPECT_EQ(overBytes.decode(
                split, {.skipSpecialTokens = true, .invalidUtf8 = InvalidUtf8Policy::Replace}),
            kFffd + kFffd);
  expectError(
      [&] {
        (void)overBytes.decode(
            split, {.skipSpecialTokens = true, .invalidUtf8 = InvalidUtf8Policy::Reject});
      },
      TokenizerErrorCode::InvalidUtf8, "invalid or incomplete UTF-8 sequence");
}

TEST(ChatTokenizer, TheLastRunGoesToTheBaseEvenWhenEmpty) {
  auto base = std::make_shared<RecordingBase>(fakeDescriptor(100));
  const ChatTokenizer chat(base);
  EXPECT_EQ(chat.decode(std::vector<std::uint32_t>{100, 101}, {.skipSpecialTokens = true}), "[]");
  EXPECT_EQ(base->decoded, (std::vector<std::vector<std::uint32_t>>{{}}));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
