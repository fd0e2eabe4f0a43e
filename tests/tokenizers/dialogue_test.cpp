#include "lumeth/tokenizers/dialogue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "tests/tokenizers/tokenizer_test_support.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Ids = std::vector<std::uint32_t>;
using Mask = std::vector<std::uint8_t>;

const std::vector<DialogueTurn> kTwoTurns = {{ChatRole::User, "Ahoj"},
                                             {ChatRole::Assistant, "Dobrý den"}};

struct Expected {
  Ids ids;
  Mask mask;
};

// Concatenates the parts; every id of a part gets that part's mask value.
Expected sequence(std::initializer_list<std::pair<Ids, std::uint8_t>> parts) {
  Expected expected;
  for (const auto& [ids, mask] : parts) {
    expected.ids.insert(expected.ids.end(), ids.begin(), ids.end());
    expected.mask.insert(expected.mask.end(), ids.size(), mask);
  }
  return expected;
}

void expectWindowRefused(const DialogueEncoding& encoding, std::uint64_t start,
                         std::uint64_t length) {
  try {
    (void)dialogueWindow(encoding, start, length);
    ADD_FAILURE() << "window start " << start << " length " << length << " accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "dialogue window exceeds token sequence")
        << "start " << start << " length " << length;
  }
}

// Encodes byte b as id b and records every call; throws
// TokenizerError(InvalidUtf8, ...) for the piece `poison`.
class RecordingTokenizer : public ITransformerTokenizer {
 public:
  explicit RecordingTokenizer(std::string poison = {}) : poison_(std::move(poison)) {}

  EncodedText encode(std::string_view text, const EncodeOptions& options) const override {
    pieces.emplace_back(text);
    optionsSeen.push_back(options);
    if (!poison_.empty() && text == poison_) {
      throw TokenizerError(TokenizerErrorCode::InvalidUtf8, "poisoned piece");
    }
    return {idsOf(text), "ignored"};
  }
  std::string decode(std::span<const std::uint32_t>, const DecodeOptions&) const override {
    return {};
  }
  TokenizerDescriptor descriptor() const override {
    return {.kind = "recording",
            .version = 1,
            .vocabularySize = 1000,
            .bosId = 900,
            .eosId = 901,
            .hash = "0123456789abcdef"};
  }

  mutable std::vector<std::string> pieces;
  mutable std::vector<EncodeOptions> optionsSeen;

 private:
  std::string poison_;
};

TEST(EncodeDialogue, TwoTurnsOverTheByteTokenizer) {
  const ByteTokenizer tokenizer;
  const DialogueEncoding encoding = encodeDialogue(kTwoTurns, tokenizer, true, true);
  // The 10 bytes of "Dobrý den" and the EOS are the only targets.
  const Expected expected = sequence({{{256}, 0},
                                      {idsOf("<|user|>\nAhoj\n<|assistant|>\n"), 0},
                                      {idsOf("Dobrý den"), 1},
                                      {{257}, 1},
                                      {{10}, 0}});
  ASSERT_EQ(expected.ids.size(), 41u);
  ASSERT_EQ(std::count(expected.mask.begin(), expected.mask.end(), 1), 11);
  EXPECT_EQ(encoding.ids, expected.ids);
  EXPECT_EQ(encoding.targetMask, expected.mask);
  EXPECT_EQ(encoding.tokenizerHash, tokenizer.descriptor().hash);
}

TEST(EncodeDialogue, ChatTokenizerGivesSingleRoleIds) {
  const ChatTokenizer chat(std::make_shared<ByteTokenizer>());
  const DialogueEncoding encoding = encodeDialogue(kTwoTurns, chat, true, true);
  const Expected expected = sequence({{{256, 258, 10}, 0},
                                      {idsOf("Ahoj"), 0},
                                      {{10, 259, 10}, 0},
                                      {idsOf("Dobrý den"), 1},
                                      {{257}, 1},
                                      {{10}, 0}});
  EXPECT_EQ(encoding.ids, expected.ids);
  EXPECT_EQ(encoding.targetMask, expected.mask);
  EXPECT_EQ(encoding.tokenizerHash, chat.descriptor().hash);
}

TEST(EncodeDialogue, TurnTextIsNotEscaped) {
  // A marker inside assistant text becomes the role id, masked like the rest
  // of that text.
  const ChatTokenizer chat(std::make_shared<ByteTokenizer>());
  const DialogueEncoding encoding = encodeDialogue(
      std::vector<DialogueTurn>{{ChatRole::Assistant, "a<|assistant|>b"}}, chat, false, false);
  EXPECT_EQ(encoding.ids, (Ids{259, 10, 'a', 259, 'b', 10}));
  EXPECT_EQ(encoding.targetMask, (Mask{0, 0, 1, 1, 1, 0}));
}

TEST(EncodeDialogue, PiecesNeverMergeAcrossABoundary) {
  // Merge 256 joins a space and a newline; it would apply wherever the two
  // bytes met inside one encode call.
  const SubwordTokenizer bpe({BpeMerge{32, 10, " \n"}});
  ASSERT_EQ(bpe.encode("Ahoj \n", EncodeOptions{}).ids, (Ids{'A', 'h', 'o', 'j', 256}));

  const DialogueEncoding encoding = encodeDialogue(
      std::vector<DialogueTurn>{{ChatRole::User, "Ahoj "}, {ChatRole::Assistant, "Dobrý den "}},
      bpe, false, true);
  // Both trailing spaces stay byte 32 with their newline a separate byte 10.
  const Expected expected = sequence({{idsOf("<|user|>\nAhoj \n<|assistant|>\n"), 0},
                                      {idsOf("Dobrý den "), 1},
                                      {{bpe.descriptor().eosId}, 1},
                                      {{10}, 0}});
  EXPECT_EQ(encoding.ids, expected.ids);
  EXPECT_EQ(encoding.targetMask, expected.mask);
  EXPECT_EQ(std::count(encoding.ids.begin(), encoding.ids.end(), 256u), 0);
}

TEST(EncodeDialogue, EachPieceIsItsOwnCallWithAllZeroOptions) {
  const RecordingTokenizer tokenizer;
  // Any role value other than User is an assistant turn.
  const std::vector<DialogueTurn> turns = {
      {ChatRole::User, "q"}, {ChatRole::Assistant, ""}, {static_cast<ChatRole>(7), "a"}};
  const DialogueEncoding encoding = encodeDialogue(turns, tokenizer, true, true);
  EXPECT_EQ(tokenizer.pieces,
            (std::vector<std::string>{"<|user|>", "\n", "q", "\n", "<|assistant|>", "\n", "", "\n",
                                      "<|assistant|>", "\n", "a", "\n"}));
  for (const EncodeOptions& options : tokenizer.optionsSeen) {
    EXPECT_FALSE(options.addBos);
    EXPECT_FALSE(options.addEos);
    EXPECT_EQ(options.normalization, Normalization::None);
    EXPECT_EQ(options.invalidUtf8, InvalidUtf8Policy::PreserveBytes);
  }
  EXPECT_EQ(encoding.ids.front(), 900u);
  EXPECT_EQ(std::count(encoding.ids.begin(), encoding.ids.end(), 901u), 2);
  EXPECT_EQ(encoding.tokenizerHash, "0123456789abcdef");
}

TEST(EncodeDialogue, MaskCoversOnlyAssistantTextAndItsEos) {
  const ByteTokenizer tokenizer;
  struct Case {
    const char* name;
    std::vector<DialogueTurn> turns;
    bool addBos;
    bool addEos;
    Expected expected;
  };
  const std::vector<Case> cases = {
      {"only user turns get an all-zero mask",
       {{ChatRole::User, "A"}, {ChatRole::User, "B"}},
       false,
       true,
       sequence({{idsOf("<|user|>\nA\n<|user|>\nB\n"), 0}})},
      {"empty assistant text keeps its EOS as a target",
       {{ChatRole::Assistant, ""}},
       false,
       true,
       sequence({{idsOf("<|assistant|>\n"), 0}, {{257}, 1}, {{10}, 0}})},
      {"no EOS without addEos",
       {{ChatRole::User, "A"}, {ChatRole::Assistant, "B"}},
       true,
       false,
       sequence(
           {{{256}, 0}, {idsOf("<|user|>\nA\n<|assistant|>\n"), 0}, {idsOf("B"), 1}, {{10}, 0}})},
  };
  for (const Case& c : cases) {
    const DialogueEncoding encoding = encodeDialogue(c.turns, tokenizer, c.addBos, c.addEos);
    EXPECT_EQ(encoding.ids, c.expected.ids) << c.name;
    EXPECT_EQ(encoding.targetMask, c.expected.mask) << c.name;
  }
}

TEST(EncodeDialogue, RefusesAnEmptyTurnList) {
  const RecordingTokenizer tokenizer;
  try {
    (void)encodeDialogue({}, tokenizer, true, true);
    ADD_FAILURE() << "empty dialogue accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "dialogue requires at least one turn");
  }
  EXPECT_TRUE(tokenizer.pieces.empty());
}

TEST(EncodeDialogue, TokenizerErrorsPropagate) {
  const RecordingTokenizer tokenizer("bad");
  try {
    (void)encodeDialogue(
        std::vector<DialogueTurn>{{ChatRole::User, "ok"}, {ChatRole::Assistant, "bad"}}, tokenizer,
        false, false);
    ADD_FAILURE() << "tokenizer error swallowed";
  } catch (const TokenizerError& error) {
    EXPECT_EQ(error.code(), TokenizerErrorCode::InvalidUtf8);
    EXPECT_STREQ(error.what(), "poisoned piece");
  }
}

TEST(DialogueWindow, WholeEncodingShiftsTargetsByOne) {
  const DialogueEncoding encoding = encodeDialogue(kTwoTurns, ByteTokenizer(), true, true);
  const std::size_t n = encoding.ids.size();
  const DialogueWindow window = dialogueWindow(encoding, 0, n - 1);

  EXPECT_EQ(window.batch_size, 1u);
  EXPECT_EQ(window.width, n - 1);
  EXPECT_TRUE(window.lengths.empty());
  EXPECT_EQ(window.tokens, Ids(encoding.ids.begin(), encoding.ids.end() - 1));
  EXPECT_EQ(window.targets, Ids(encoding.ids.begin() + 1, encoding.ids.end()));
  EXPECT_EQ(window.target_mask, Mask(encoding.targetMask.begin() + 1, encoding.targetMask.end()));
  // The last input is the EOS, which predicts the closing newline (context).
  EXPECT_EQ(window.tokens.back(), 257u);
  EXPECT_EQ(window.target_mask.back(), 0u);

  // The window is a TokenBatch, usable wherever one is expected.
  const TokenBatch& batch = window;
  EXPECT_EQ(batch.width, n - 1);
  EXPECT_EQ(batch.target_mask, window.target_mask);
}

TEST(DialogueWindow, InnerWindowUsesTheMaskOfEachTarget) {
  const DialogueEncoding encoding{
      .ids = {10, 11, 12, 13, 14}, .tokenizerHash = "h", .targetMask = {0, 0, 1, 1, 0}};
  const DialogueWindow window = dialogueWindow(encoding, 1, 3);
  EXPECT_EQ(window.width, 3u);
  EXPECT_EQ(window.tokens, (Ids{11, 12, 13}));
  EXPECT_EQ(window.targets, (Ids{12, 13, 14}));
  EXPECT_EQ(window.target_mask, (Mask{1, 1, 0}));
}

TEST(DialogueWindow, RefusesWindowsThatDoNotFit) {
  const DialogueEncoding encoding{
      .ids = {1, 2, 3, 4, 5}, .tokenizerHash = "h", .targetMask = {0, 1, 0, 1, 0}};
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

  // start + length = n - 1 is the last window that fits.
  EXPECT_EQ(dialogueWindow(encoding, 3, 1).targets, (Ids{5}));
  EXPECT_EQ(dialogueWindow(encoding, 0, 4).targets, (Ids{2, 3, 4, 5}));

  struct Case {
    std::uint64_t start;
    std::uint64_t length;
  };
  const std::vector<Case> refused = {
      {0, 0},         // empty window
      {2, 0},         // empty window inside the encoding
      {4, 1},         // start + length = n: no id left for the last target
      {0, 5},         // start + length = n
      {5, 1},         // starts at the end
      {kMax, 1},      // the sum wraps to 0
      {kMax - 1, 3},  // the sum wraps to 1
      {1, kMax},      // the sum wraps to 0
      {kMax, kMax},   // the sum wraps to 2^64 - 2
  };
  for (const Case& c : refused) {
    expectWindowRefused(encoding, c.start, c.length);
  }
}

TEST(DialogueWindow, RefusesAMaskOfAnotherLength) {
  for (const Mask& mask : {Mask{0, 1, 0, 1}, Mask{0, 1, 0, 1, 0, 1}, Mask{}}) {
    const DialogueEncoding encoding{
        .ids = {1, 2, 3, 4, 5}, .tokenizerHash = "h", .targetMask = mask};
    expectWindowRefused(encoding, 0, 1);
  }
  expectWindowRefused(DialogueEncoding{}, 0, 1);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
