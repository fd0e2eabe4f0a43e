#pragma once

// Plain, slow restatements of the library's observable behaviour, written
// independently of the library code so that the fuzz targets can compare the
// two on every input: UTF-8 draining under the three policies, the streaming
// byte decoder, BPE encoding with ranked merges, BPE training and the chat
// marker scan. Clarity over speed: nothing here is shared with the library
// except its public types.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth::Fuzz {

// Whether `bytes` is well-formed UTF-8 (no overlong forms, surrogates or code
// points above U+10FFFF, nothing unfinished).
[[nodiscard]] bool isWellFormedUtf8(std::string_view bytes);

// The result of turning bytes into text under a policy: the text and the
// bytes left waiting for more input, or the error code.
struct DrainResult {
  std::optional<TokenizerErrorCode> error;
  std::string text;
  std::string rest;
};

// Draining `bytes` front to back: complete sequences become text; a sequence
// cut short by the end waits (unless `final`) when every byte after its lead
// is a continuation byte; every other bad sequence, and with `final` an
// unfinished tail, is handled by the policy (Reject fails, Replace writes one
// U+FFFD per bad lead byte and one for the whole unfinished tail, any other
// value keeps the bytes).
[[nodiscard]] DrainResult referenceDrain(std::string_view bytes, std::uint8_t policy, bool final);

// The byte tokenizer's streaming decoder: ids appended to `pending`, then
// drained. Fails on the first id 256/257 without skip (SpecialTokenNotAllowed)
// or from 258 up (TokenIdOutOfRange) before looking at any byte.
[[nodiscard]] DrainResult referenceDecodeChunk(std::string_view pending,
                                               std::span<const std::uint32_t> ids,
                                               bool skipSpecialTokens, std::uint8_t policy,
                                               bool final);

// Maximal runs of all-whitespace (09..0D, 20) or all-other bytes.
[[nodiscard]] std::vector<std::string> referenceRuns(std::string_view bytes);

// Ids of `bytes` under `merges`: each run on its own, repeatedly replacing
// every occurrence (left to right, no overlap) of the adjacent pair with the
// lowest merge id; the first merge of a repeated pair is the one that counts.
[[nodiscard]] std::vector<std::uint32_t> referenceBpeEncode(std::span<const BpeMerge> merges,
                                                            std::string_view bytes);

// The bytes of `ids` under `merges` (ids below 256 + merges.size() only).
[[nodiscard]] std::string referenceBpeExpand(std::span<const BpeMerge> merges,
                                             std::span<const std::uint32_t> ids);

// The merges training learns from `corpus` (limits assumed valid).
[[nodiscard]] std::vector<BpeMerge> referenceTrainBpe(std::string_view corpus,
                                                      std::uint32_t vocabularySize,
                                                      std::uint32_t minPairFrequency,
                                                      std::uint32_t maxTokenBytes);

// One piece of a text as the chat tokenizer cuts it: a stretch of text for
// the base, or one of the markers ("<|user|>" 0, "<|assistant|>" 1,
// "<|end|>" 2), found left to right at the earliest position.
struct ChatPiece {
  std::optional<int> marker;
  std::string text;
};
[[nodiscard]] std::vector<ChatPiece> referenceChatPieces(std::string_view text);

}  // namespace Orvane::Core::Lumeth::Fuzz
