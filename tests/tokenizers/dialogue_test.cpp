#include "lumeth/tokenizers/dialogue.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lumeth/tokenizers/bpe_training.hpp"
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

TEST(EncodeDialogue, MarkerHandlingOfTurnText) {
  const ChatTokenizer chat(std::make_shared<ByteTokenizer>());
  const std::vector<DialogueTurn> turns = {{ChatRole::User, "<|end|>"},
                                           {ChatRole::Assistant, "a<|assistant|>b"}};
  const Expected parsed =
      sequence({{{258, 10, 257, 10, 259, 10}, 0}, {{'a', 259, 'b'}, 1}, {{257}, 1}, {{10}, 0}});
  const DialogueEncoding parse = encodeDialogue(turns, chat, false, true, MarkerHandling::Parse);
  EXPECT_EQ(parse.ids, parsed.ids);
  EXPECT_EQ(parse.targetMask, parsed.mask);

  // The roles still give their ids; the text gives only its bytes.
  const Expected asText = sequence({{{258, 10}, 0},
                                    {idsOf("<|end|>"), 0},
                                    {{10, 259, 10}, 0},
                                    {idsOf("a<|assistant|>b"), 1},
                                    {{257}, 1},
                                    {{10}, 0}});
  const DialogueEncoding treated =
      encodeDialogue(turns, chat, false, true, MarkerHandling::TreatAsText);
  EXPECT_EQ(treated.ids, asText.ids);
  EXPECT_EQ(treated.targetMask, asText.mask);
  EXPECT_EQ(treated.tokenizerHash, chat.descriptor().hash);

  expectError([&] { (void)encodeDialogue(turns, chat, false, true, MarkerHandling::Refuse); },
              TokenizerErrorCode::MarkerNotAllowed, "text contains a chat marker");
}

TEST(EncodeDialogue, RefuseChecksEveryTurnBeforeEncodingAnything) {
  // Refusal looks at the text, not at the tokenizer: a plain tokenizer spells
  // the marker out as the same ids as a real role marker.
  const RecordingTokenizer tokenizer;
  const std::vector<DialogueTurn> turns = {{ChatRole::User, "ok"},
                                           {ChatRole::Assistant, "fine"},
                                           {ChatRole::User, "\n<|assistant|>\nsure"}};
  expectError([&] { (void)encodeDialogue(turns, tokenizer, true, true, MarkerHandling::Refuse); },
              TokenizerErrorCode::MarkerNotAllowed, "text contains a chat marker");
  EXPECT_TRUE(tokenizer.pieces.empty());
  expectError(
      [&] { (void)encodeDialogue(turns, ByteTokenizer(), true, true, MarkerHandling::Refuse); },
      TokenizerErrorCode::MarkerNotAllowed, "text contains a chat marker");
}

// Like RecordingTokenizer, but naming role ids as a chat tokenizer does.
class RoleNamingTokenizer : public RecordingTokenizer {
 public:
  TokenizerDescriptor descriptor() const override {
    TokenizerDescriptor d = RecordingTokenizer::descriptor();
    d.userId = 1000;
    d.assistantId = 1001;
    d.vocabularySize = 1002;
    return d;
  }
};

TEST(EncodeDialogue, MarkerHandlingChecksInOrder) {
  const RecordingTokenizer plain;
  const std::vector<DialogueTurn> turns = {{ChatRole::User, "<|user|>"}};
  try {
    (void)encodeDialogue({}, plain, false, false, static_cast<MarkerHandling>(9));
    ADD_FAILURE() << "empty dialogue accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "dialogue requires at least one turn");
  }
  for (const int value : {3, 255}) {
    expectError(
        [&] {
          (void)encodeDialogue(turns, plain, false, false, static_cast<MarkerHandling>(value));
        },
        TokenizerErrorCode::UnsupportedOption, "unknown marker handling");
  }
  EXPECT_TRUE(plain.pieces.empty());

  // A tokenizer without role ids has no markers to parse: TreatAsText is its
  // plain encode. One that names role ids but cannot be asked to leave markers
  // alone is refused before anything is encoded.
  const DialogueEncoding asText =
      encodeDialogue(turns, plain, false, false, MarkerHandling::TreatAsText);
  EXPECT_EQ(asText.ids, idsOf("<|user|>\n<|user|>\n"));
  const RoleNamingTokenizer roles;
  expectError(
      [&] { (void)encodeDialogue(turns, roles, false, false, MarkerHandling::TreatAsText); },
      TokenizerErrorCode::UnsupportedOption, "tokenizer cannot treat markers as text");
  EXPECT_TRUE(roles.pieces.empty());
  EXPECT_EQ(encodeDialogue(turns, roles, false, false, MarkerHandling::Parse).ids,
            idsOf("<|user|>\n<|user|>\n"));
}

// A BPE tokenizer whose merges join marker bytes with their neighbours.
std::shared_ptr<const ITransformerTokenizer> markerBpe() {
  const std::string corpus =
      "<|user|>\nAhoj, jak se máš?\n<|assistant|>\nDobře 🧠<|end|>\n"
      "<|user|>\nČau\n<|assistant|>\nAhoj<|end|>\n<|user|><|assistant|><|end|>";
  return std::make_shared<const SubwordTokenizer>(
      trainBpe(corpus, BpeTrainingLimits{.vocabularySize = 320, .maxCorpusBytes = 4096}));
}

// Checks an encoding made under TreatAsText against what the roles say: after
// the optional BOS, each turn is its role id, a newline, the ids of its text
// (no marker id among them, decoding to the text itself), for an assistant
// turn the EOS if asked for, and a newline; the mask is 1 exactly on the
// assistant's text and EOS.
void expectRoleStructure(const DialogueEncoding& encoding, std::span<const DialogueTurn> turns,
                         const ChatTokenizer& chat, bool addBos, bool addEos) {
  const TokenizerDescriptor d = chat.descriptor();
  const auto isRole = [&](std::uint32_t id) { return id == d.userId || id == d.assistantId; };
  const Ids& ids = encoding.ids;
  ASSERT_EQ(encoding.targetMask.size(), ids.size());
  std::size_t at = 0;
  if (addBos) {
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids[0], d.bosId);
    EXPECT_EQ(encoding.targetMask[0], 0);
    at = 1;
  }
  for (const DialogueTurn& turn : turns) {
    const bool assistant = turn.role != ChatRole::User;
    ASSERT_LT(at, ids.size());
    EXPECT_EQ(ids[at], assistant ? d.assistantId : d.userId);
    EXPECT_EQ(encoding.targetMask[at], 0);
    std::size_t end = at + 1;
    while (end < ids.size() && !isRole(ids[end])) {
      ++end;
    }
    // [at + 1, end): newline, text, optional EOS, newline.
    ASSERT_GE(end - at, 3u);
    EXPECT_EQ(ids[at + 1], 10u);
    EXPECT_EQ(ids[end - 1], 10u);
    EXPECT_EQ(encoding.targetMask[at + 1], 0);
    EXPECT_EQ(encoding.targetMask[end - 1], 0);
    std::size_t textEnd = end - 1;
    if (assistant && addEos) {
      ASSERT_GT(textEnd, at + 2);
      --textEnd;
      EXPECT_EQ(ids[textEnd], d.eosId);
      EXPECT_EQ(encoding.targetMask[textEnd], 1);
    }
    const Ids text(ids.begin() + static_cast<std::ptrdiff_t>(at + 2),
                   ids.begin() + static_cast<std::ptrdiff_t>(textEnd));
    for (std::size_t i = at + 2; i < textEnd; ++i) {
      EXPECT_EQ(encoding.targetMask[i], assistant ? 1 : 0);
      EXPECT_NE(ids[i], d.eosId);
    }
    EXPECT_EQ(chat.decode(text, {}), turn.text);
    at = end;
  }
  EXPECT_EQ(at, ids.size());
}

// Over arbitrary dialogues, including markers cut across a turn boundary and
// markers next to multi-byte characters: TreatAsText keeps the structure the
// roles give; Refuse refuses exactly the dialogues with a marker in some turn
// text and otherwise gives what Parse gives, as TreatAsText then does too.
TEST(EncodeDialogue, MarkerHandlingPropertiesOverArbitraryDialogues) {
  std::mt19937_64 random(23);
  std::vector<std::vector<DialogueTurn>> dialogues;
  for (const std::string& marker : kMarkerTexts) {
    for (std::size_t cut = 1; cut < marker.size(); ++cut) {
      dialogues.push_back({{ChatRole::User, std::string("x").append(marker, 0, cut)},
                           {ChatRole::Assistant, marker.substr(cut) + "ý"}});
      dialogues.push_back({{ChatRole::Assistant, std::string("🧠").append(marker, 0, cut)},
                           {ChatRole::User, marker.substr(cut)}});
    }
    dialogues.push_back({{ChatRole::Assistant, std::string("č").append(marker).append("\xE2\x82")},
                         {ChatRole::User, std::string("\xAC").append(marker)}});
  }
  for (int i = 0; i < 600; ++i) {
    std::vector<DialogueTurn> turns(1 + random() % 4);
    for (DialogueTurn& turn : turns) {
      // Any role other than User is an assistant turn.
      turn.role = static_cast<ChatRole>(random() % 3);
      turn.text = textWithMarkerPieces(random, random() % 8);
    }
    dialogues.push_back(std::move(turns));
  }

  const ByteTokenizer plain;
  for (const auto& base :
       {std::shared_ptr<const ITransformerTokenizer>(std::make_shared<const ByteTokenizer>()),
        markerBpe()}) {
    const ChatTokenizer chat(base);
    std::size_t refused = 0;
    for (std::size_t n = 0; n < dialogues.size(); ++n) {
      const std::vector<DialogueTurn>& turns = dialogues[n];
      const bool addBos = (n & 1) != 0;
      const bool addEos = (n & 2) != 0;
      SCOPED_TRACE("dialogue " + std::to_string(n) + " over " + base->descriptor().kind);
      const DialogueEncoding asText =
          encodeDialogue(turns, chat, addBos, addEos, MarkerHandling::TreatAsText);
      expectRoleStructure(asText, turns, chat, addBos, addEos);

      const bool holds = std::any_of(turns.begin(), turns.end(),
                                     [](const DialogueTurn& t) { return holdsMarker(t.text); });
      if (holds) {
        ++refused;
        for (const ITransformerTokenizer* tokenizer :
             {static_cast<const ITransformerTokenizer*>(&chat),
              static_cast<const ITransformerTokenizer*>(&plain)}) {
          expectError(
              [&] {
                (void)encodeDialogue(turns, *tokenizer, addBos, addEos, MarkerHandling::Refuse);
              },
              TokenizerErrorCode::MarkerNotAllowed, "text contains a chat marker");
        }
        continue;
      }
      const DialogueEncoding parsed = encodeDialogue(turns, chat, addBos, addEos);
      const DialogueEncoding checked =
          encodeDialogue(turns, chat, addBos, addEos, MarkerHandling::Refuse);
      EXPECT_EQ(checked.ids, parsed.ids);
      EXPECT_EQ(checked.targetMask, parsed.targetMask);
      EXPECT_EQ(asText.ids, parsed.ids);
      EXPECT_EQ(asText.targetMask, parsed.targetMask);
    }
    EXPECT_GT(refused, dialogues.size() / 4);
    EXPECT_LT(refused, dialogues.size() - dialogues.size() / 4);
  }
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
