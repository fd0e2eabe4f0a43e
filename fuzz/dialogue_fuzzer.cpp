// encodeDialogue and dialogueWindow with fuzzer-chosen turns (any role byte,
// any text), marker handling (any byte: the three modes and unknown values),
// flags, tokenizer, start and length.
//
// Properties: no turns fail with std::invalid_argument; an unknown marker
// handling fails with UnsupportedOption; under Refuse a dialogue with a
// marker in some turn text fails with MarkerNotAllowed, whatever the
// tokenizer; otherwise the ids and the target mask are exactly the pieces
// encoded one by one (markers, newlines and turn text, assistant text and its
// EOS as targets), where under TreatAsText a chat tokenizer's turn text is
// what its base alone gives, so the role ids and the EOS count exactly what
// the roles say; decoding the ids gives the dialogue's text, decoding the
// targets gives the assistant texts; a window fails exactly when it does not
// fit and otherwise copies the right slices.

#include <algorithm>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference.hpp"
#include "fuzz/tokenizer_fixtures.hpp"
#include "lumeth/tokenizers/dialogue.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

constexpr std::size_t kMaxTurns = 8;
constexpr std::size_t kMaxTurnText = 160;

struct ExpectedDialogue {
  std::vector<std::uint32_t> ids;
  std::vector<std::uint8_t> mask;
  std::string text;        // what decoding every id with skipSpecialTokens gives
  std::string targetText;  // what decoding the target ids gives
};

// MarkerHandling values; Parse is 0.
constexpr std::uint8_t kRefuse = 1;
constexpr std::uint8_t kTreatAsText = 2;

// The tokenizer a chat tokenizer of `kind` wraps.
TokenizerKind baseKind(TokenizerKind kind) {
  return kind == TokenizerKind::ChatBpe ? TokenizerKind::Bpe : TokenizerKind::Byte;
}

bool holdsMarker(std::string_view text) {
  const std::vector<ChatPiece> pieces = referenceChatPieces(text);
  return std::any_of(pieces.begin(), pieces.end(),
                     [](const ChatPiece& piece) { return piece.marker.has_value(); });
}

// `asText`: the piece is turn text under TreatAsText, which a chat tokenizer
// hands to its base whole.
void appendPiece(ExpectedDialogue& expected, TokenizerKind kind, std::string_view piece,
                 std::uint8_t mask, bool asText = false) {
  const bool chat = isChat(kind);
  const ExpectedIds encoded =
      referenceEncode(chat && asText ? baseKind(kind) : kind, piece, EncodeOptions{});
  LUMETH_FUZZ_CHECK(!encoded.error);
  expected.ids.insert(expected.ids.end(), encoded.ids.begin(), encoded.ids.end());
  expected.mask.insert(expected.mask.end(), encoded.ids.size(), mask);
  const std::string text = chat && !asText ? withoutChatMarkers(piece) : std::string(piece);
  expected.text += text;
  if (mask == 1) expected.targetText += text;
}

ExpectedDialogue expectedDialogue(TokenizerKind kind, const std::vector<DialogueTurn>& turns,
                                  bool addBos, bool addEos, bool asText) {
  const TokenizerDescriptor descriptor = fuzzTokenizers().get(kind).descriptor();
  ExpectedDialogue expected;
  if (addBos) {
    expected.ids.push_back(descriptor.bosId);
    expected.mask.push_back(0);
  }
  for (const DialogueTurn& turn : turns) {
    const bool user = turn.role == ChatRole::User;
    appendPiece(expected, kind, user ? "<|user|>" : "<|assistant|>", 0);
    appendPiece(expected, kind, "\n", 0);
    appendPiece(expected, kind, turn.text, user ? 0 : 1, asText);
    if (!user && addEos) {
      expected.ids.push_back(descriptor.eosId);
      expected.mask.push_back(1);
    }
    appendPiece(expected, kind, "\n", 0);
  }
  return expected;
}

void checkWindow(const DialogueEncoding& encoding, std::uint64_t start, std::uint64_t length) {
  std::optional<DialogueWindow> window;
  const auto error =
      invalidArgumentOutcome([&] { window.emplace(dialogueWindow(encoding, start, length)); });
  const std::uint64_t n = encoding.ids.size();
  const bool fits =
      length != 0 && encoding.targetMask.size() == n && start < n && length < n - start;
  LUMETH_FUZZ_CHECK(error.has_value() == !fits);
  if (error) {
    LUMETH_FUZZ_CHECK(*error == "dialogue window exceeds token sequence");
    return;
  }
  const TokenBatch& batch = *window;
  LUMETH_FUZZ_CHECK(batch.batch_size == 1 && batch.width == length && batch.lengths.empty());
  LUMETH_FUZZ_CHECK(batch.tokens.size() == length && batch.target_mask.size() == length &&
                    window->targets.size() == length);
  for (std::size_t i = 0; i < length; ++i) {
    LUMETH_FUZZ_CHECK(batch.tokens[i] == encoding.ids[start + i]);
    LUMETH_FUZZ_CHECK(window->targets[i] == encoding.ids[start + i + 1]);
    LUMETH_FUZZ_CHECK(batch.target_mask[i] == encoding.targetMask[start + i + 1]);
  }
}

// What encodeDialogue gave: the encoding, or the documented failure.
struct DialogueOutcome {
  std::optional<std::string> invalidArgument;
  std::optional<TokenizerErrorCode> tokenizerError;
};

// Anything but std::invalid_argument and TokenizerError is a finding.
template <typename Call>
DialogueOutcome dialogueOutcome(Call&& call) {
  DialogueOutcome outcome;
  try {
    call();
  } catch (const TokenizerError& error) {
    outcome.tokenizerError = error.code();
  } catch (const std::invalid_argument& error) {
    outcome.invalidArgument = error.what();
  } catch (const std::exception& error) {
    undocumentedException(error.what());
  } catch (...) {
    undocumentedException("(not a std::exception)");
  }
  return outcome;
}

// Under TreatAsText with a chat tokenizer: one user or assistant id per turn
// of that role and one EOS per assistant turn when asked for; nothing else
// carries a marker id.
void checkRoleIds(const DialogueEncoding& encoding, const std::vector<DialogueTurn>& turns,
                  const TokenizerDescriptor& descriptor, bool addEos) {
  const auto users = static_cast<std::size_t>(std::count_if(
      turns.begin(), turns.end(), [](const DialogueTurn& t) { return t.role == ChatRole::User; }));
  const std::size_t assistants = turns.size() - users;
  const auto count = [&](std::uint32_t id) {
    return static_cast<std::size_t>(std::count(encoding.ids.begin(), encoding.ids.end(), id));
  };
  LUMETH_FUZZ_CHECK(count(descriptor.userId) == users);
  LUMETH_FUZZ_CHECK(count(descriptor.assistantId) == assistants);
  LUMETH_FUZZ_CHECK(count(descriptor.eosId) == (addEos ? assistants : 0));
}

std::uint64_t consumeWindowValue(FuzzedDataProvider& input) {
  return input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint64_t>(0, 64)
                             : input.ConsumeIntegral<std::uint64_t>();
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  FuzzedDataProvider input(data, size);
  const auto kind = static_cast<TokenizerKind>(
      input.ConsumeIntegralInRange<std::uint8_t>(0, kTokenizerKinds - 1));
  // Any byte: 0 Parse, 1 Refuse, 2 TreatAsText, every other value unknown.
  const auto markers = input.ConsumeIntegral<std::uint8_t>();
  const bool addBos = input.ConsumeBool();
  const bool addEos = input.ConsumeBool();
  const bool dropLastMask = input.ConsumeBool();
  const std::uint64_t start = consumeWindowValue(input);
  const std::uint64_t length = consumeWindowValue(input);
  std::vector<DialogueTurn> turns(input.ConsumeIntegralInRange<std::size_t>(0, kMaxTurns));
  for (DialogueTurn& turn : turns) {
    // Any byte: every value other than User counts as Assistant.
    turn.role = static_cast<ChatRole>(input.ConsumeIntegral<std::uint8_t>());
    turn.text = input.ConsumeRandomLengthString(kMaxTurnText);
  }

  const ITransformerTokenizer& tokenizer = fuzzTokenizers().get(kind);
  DialogueEncoding encoding;
  const DialogueOutcome outcome = dialogueOutcome([&] {
    encoding =
        encodeDialogue(turns, tokenizer, addBos, addEos, static_cast<MarkerHandling>(markers));
  });
  if (turns.empty()) {
    LUMETH_FUZZ_CHECK(outcome.invalidArgument == "dialogue requires at least one turn");
    return 0;
  }
  LUMETH_FUZZ_CHECK(!outcome.invalidArgument);
  if (markers > kTreatAsText) {
    LUMETH_FUZZ_CHECK(outcome.tokenizerError == TokenizerErrorCode::UnsupportedOption);
    return 0;
  }
  const bool refused =
      markers == kRefuse && std::any_of(turns.begin(), turns.end(),
                                        [](const DialogueTurn& t) { return holdsMarker(t.text); });
  if (refused) {
    LUMETH_FUZZ_CHECK(outcome.tokenizerError == TokenizerErrorCode::MarkerNotAllowed);
    return 0;
  }
  LUMETH_FUZZ_CHECK(!outcome.tokenizerError);
  const bool asText = markers == kTreatAsText;
  const ExpectedDialogue expected = expectedDialogue(kind, turns, addBos, addEos, asText);
  LUMETH_FUZZ_CHECK(encoding.ids == expected.ids);
  LUMETH_FUZZ_CHECK(encoding.targetMask == expected.mask);
  LUMETH_FUZZ_CHECK(encoding.tokenizerHash == tokenizer.descriptor().hash);
  if (asText && isChat(kind)) checkRoleIds(encoding, turns, tokenizer.descriptor(), addEos);

  const DecodeOptions skip{.skipSpecialTokens = true};
  LUMETH_FUZZ_CHECK(tokenizer.decode(encoding.ids, skip) == expected.text);
  std::vector<std::uint32_t> targets;
  for (std::size_t i = 0; i < encoding.ids.size(); ++i) {
    if (encoding.targetMask[i] == 1) targets.push_back(encoding.ids[i]);
  }
  LUMETH_FUZZ_CHECK(tokenizer.decode(targets, skip) == expected.targetText);

  if (dropLastMask && !encoding.targetMask.empty()) encoding.targetMask.pop_back();
  checkWindow(encoding, start, length);
  return 0;
}
