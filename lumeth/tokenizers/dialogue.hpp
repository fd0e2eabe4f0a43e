#pragma once

// The dialogue builder: chat turns become one token sequence for a
// decoder-only model, with a per-token target mask that marks only the
// assistant's words and the end-of-sequence id closing an assistant turn
// (assistant-only targets); and next-token training windows cut out of such
// an encoding. Works with any tokenizer: a chat tokenizer turns the role
// markers into single role ids, other tokenizers spell them out as text.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "lumeth/inference/forward.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// Every value other than User is treated as Assistant.
enum class ChatRole : std::uint8_t { User = 0, Assistant = 1 };

struct DialogueTurn {
  ChatRole role = ChatRole::User;
  std::string text;  // any bytes, normally UTF-8
};

// Invariant: ids and targetMask have the same length.
struct DialogueEncoding {
  std::vector<std::uint32_t> ids;
  std::string tokenizerHash;  // the encoding tokenizer's descriptor hash
  // One entry per id: 1 when the id is a training target, 0 otherwise.
  std::vector<std::uint8_t> targetMask;
};

// A next-token training window over one sequence: a one-sequence TokenBatch
// followed by the targets, so that it can be passed wherever a TokenBatch is
// expected. Position i holds the input id tokens[i], targets[i] the id that
// follows it in the encoding, and target_mask[i] the mask of that following
// id (not of the input). batch_size is 1, width the window length, lengths
// empty (the sequence fills the whole width).
struct DialogueWindow : TokenBatch {
  std::vector<std::uint32_t> targets;  // one per position
};

// Encodes each turn as separate pieces, every piece with its own
// tokenizer.encode call under all-zero EncodeOptions, so no token ever spans
// two pieces:
//   user turn:       "<|user|>" "\n" text "\n"                    all mask 0
//   assistant turn:  "<|assistant|>" "\n" (mask 0), text (mask 1),
//                    EOS id if addEos (mask 1), "\n" (mask 0)
// preceded by the BOS id (mask 0) if addBos. Nothing closes the dialogue as a
// whole and no EOS follows a user turn.
//
// `markers` applies to turn text only; the roles always produce their
// markers. Under Parse (the default) turn text is not escaped: a marker
// inside it is encoded as the tokenizer encodes any text, so with a
// ChatTokenizer it becomes a real role id. For turn text that comes from
// someone else:
//   Refuse       a turn text in which the bytes of any marker appear is
//                refused, whatever the tokenizer, before anything is encoded;
//                otherwise the result is exactly that of Parse.
//   TreatAsText  a ChatTokenizer encodes turn text under TreatAsText, so no
//                marker id comes from it; a tokenizer with no role ids in its
//                descriptor has no markers to parse and encodes turn text as
//                under Parse.
// Throws, checking in this order: std::invalid_argument("dialogue requires at
// least one turn") for an empty list; TokenizerError(UnsupportedOption,
// "unknown marker handling") for a value above TreatAsText; under Refuse,
// TokenizerError(MarkerNotAllowed, "text contains a chat marker") for the
// first turn text holding a marker; under TreatAsText,
// TokenizerError(UnsupportedOption, "tokenizer cannot treat markers as text")
// for a tokenizer that names role ids but is not a ChatTokenizer (its own
// encode would parse them); then errors of the tokenizer propagate unchanged.
[[nodiscard]] DialogueEncoding encodeDialogue(std::span<const DialogueTurn> turns,
                                              const ITransformerTokenizer& tokenizer, bool addBos,
                                              bool addEos,
                                              MarkerHandling markers = MarkerHandling::Parse);

// The window of `length` positions whose inputs are ids[start ..
// start + length - 1] and whose targets are ids[start + 1 .. start + length],
// so it needs start + length <= n - 1 for n ids. Copies what it needs.
// Throws std::invalid_argument("dialogue window exceeds token sequence") when
// length is 0, when targetMask and ids differ in length, or when
// start + length is not below n, including a sum that overflows 64 bits.
[[nodiscard]] DialogueWindow dialogueWindow(const DialogueEncoding& encoding, std::uint64_t start,
                                            std::uint64_t length);

}  // namespace Orvane::Core::Lumeth
