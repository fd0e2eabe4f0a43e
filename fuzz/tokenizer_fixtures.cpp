#include "fuzz/tokenizer_fixtures.hpp"

#include "fuzz/reference.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

// Short, repetitive, with multi-byte characters, whitespace runs of several
// kinds and the chat markers, so that the trained merges join marker bytes,
// split characters and cover whitespace.
constexpr std::string_view kTrainingCorpus =
    " ahoj světe ahoj světe český chatbot ahoj světe\n"
    "<|user|>\nAhoj, jak se máš?\n<|assistant|>\nDobrý den, mám se dobře.<|end|>\n"
    "<|user|>\n  příliš žluťoučký kůň  \t\n<|assistant|>\nÚpěl ďábelské ódy "
    "🧠🧠<|end|>\n"
    "hello hello world  world\r\n\r\n aaaa aaaa aaaa bbbb bbbb";

constexpr std::uint8_t kReject = 1;
constexpr std::uint8_t kReplace = 2;

// MarkerHandling values; Parse is 0.
constexpr std::uint8_t kRefuse = 1;
constexpr std::uint8_t kTreatAsText = 2;

ExpectedIds plainEncode(std::span<const BpeMerge> merges, bool bpe, std::string_view text,
                        const EncodeOptions& options) {
  ExpectedIds expected;
  if (options.normalization != Normalization::None) {
    expected.error = TokenizerErrorCode::UnsupportedOption;
    return expected;
  }
  // Normalization first, then the policy value, then the text.
  const auto policy = static_cast<std::uint8_t>(options.invalidUtf8);
  if (policy > kReplace) {
    expected.error = TokenizerErrorCode::UnsupportedOption;
    return expected;
  }
  std::string bytes(text);
  if (policy == kReject || policy == kReplace) {
    const DrainResult drained = referenceDrain(text, policy, /*final=*/true);
    if (drained.error) {
      expected.error = drained.error;
      return expected;
    }
    bytes = drained.text;
  }
  if (bpe) {
    expected.ids = referenceBpeEncode(merges, bytes);
  } else {
    for (const char c : bytes) expected.ids.push_back(static_cast<unsigned char>(c));
  }
  return expected;
}

ExpectedText plainDecode(std::span<const BpeMerge> merges, bool bpe,
                         std::span<const std::uint32_t> ids, const DecodeOptions& options) {
  const auto policy = static_cast<std::uint8_t>(options.invalidUtf8);
  const auto mergeCount = static_cast<std::uint32_t>(merges.size());
  const std::uint32_t bos = 256 + (bpe ? mergeCount : 0);
  const std::uint32_t vocabulary = bos + 2;
  // The byte tokenizer judges the policy before any id, the BPE tokenizer
  // after every id was accepted.
  if (!bpe && policy > kReplace) return {TokenizerErrorCode::UnsupportedOption, {}};
  std::vector<std::uint32_t> kept;
  for (const std::uint32_t id : ids) {
    if (id >= vocabulary) return {TokenizerErrorCode::TokenIdOutOfRange, {}};
    if (id >= bos) {
      if (!options.skipSpecialTokens) return {TokenizerErrorCode::SpecialTokenNotAllowed, {}};
      continue;
    }
    kept.push_back(id);
  }
  if (policy > kReplace) return {TokenizerErrorCode::UnsupportedOption, {}};
  const DrainResult drained = referenceDrain(referenceBpeExpand(merges, kept), policy, true);
  return {drained.error, drained.text};
}

}  // namespace

const ITransformerTokenizer& FuzzTokenizers::get(TokenizerKind kind) const {
  switch (kind) {
    case TokenizerKind::Byte:
      return *byte;
    case TokenizerKind::Bpe:
      return *bpe;
    case TokenizerKind::ChatByte:
      return *chatByte;
    case TokenizerKind::ChatBpe:
      return *chatBpe;
  }
  return *byte;
}

const FuzzTokenizers& fuzzTokenizers() {
  static const FuzzTokenizers tokenizers = [] {
    FuzzTokenizers built;
    built.byte = std::make_shared<ByteTokenizer>();
    built.bpe = std::make_shared<SubwordTokenizer>(
        trainBpe(kTrainingCorpus, BpeTrainingLimits{.vocabularySize = 340,
                                                    .minPairFrequency = 2,
                                                    .maxTokenBytes = 12,
                                                    .maxCorpusBytes = 4096}));
    built.chatByte = std::make_shared<ChatTokenizer>(built.byte);
    built.chatBpe = std::make_shared<ChatTokenizer>(built.bpe);
    return built;
  }();
  return tokenizers;
}

ExpectedIds referenceEncode(TokenizerKind kind, std::string_view text, const EncodeOptions& options,
                            std::uint8_t markers) {
  const FuzzTokenizers& tokenizers = fuzzTokenizers();
  const TokenizerDescriptor descriptor = tokenizers.get(kind).descriptor();
  const bool bpe = kind == TokenizerKind::Bpe || kind == TokenizerKind::ChatBpe;
  const std::span<const BpeMerge> merges = tokenizers.bpe->merges();
  ExpectedIds expected;
  if (isChat(kind)) {
    // The handling is judged first, then (Refuse) the markers, before the
    // base sees anything.
    if (markers > kTreatAsText) return {TokenizerErrorCode::UnsupportedOption, {}};
    if (markers == kRefuse) {
      for (const ChatPiece& piece : referenceChatPieces(text)) {
        if (piece.marker) return {TokenizerErrorCode::MarkerNotAllowed, {}};
      }
    }
  }
  if (options.addBos) expected.ids.push_back(descriptor.bosId);
  if (isChat(kind) && markers == kTreatAsText) {
    // The whole text goes to the base; empty text never reaches it.
    const EncodeOptions segment{.addBos = false,
                                .addEos = false,
                                .normalization = options.normalization,
                                .invalidUtf8 = options.invalidUtf8};
    if (!text.empty()) {
      ExpectedIds body = plainEncode(merges, bpe, text, segment);
      if (body.error) return body;
      expected.ids.insert(expected.ids.end(), body.ids.begin(), body.ids.end());
    }
  } else if (!isChat(kind)) {
    ExpectedIds body = plainEncode(merges, bpe, text, options);
    if (body.error) return body;
    expected.ids.insert(expected.ids.end(), body.ids.begin(), body.ids.end());
  } else {
    const std::uint32_t markerIds[] = {descriptor.userId, descriptor.assistantId, descriptor.eosId};
    const EncodeOptions segment{.addBos = false,
                                .addEos = false,
                                .normalization = options.normalization,
                                .invalidUtf8 = options.invalidUtf8};
    for (const ChatPiece& piece : referenceChatPieces(text)) {
      if (piece.marker) {
        expected.ids.push_back(markerIds[*piece.marker]);
        continue;
      }
      ExpectedIds body = plainEncode(merges, bpe, piece.text, segment);
      if (body.error) return body;
      expected.ids.insert(expected.ids.end(), body.ids.begin(), body.ids.end());
    }
  }
  if (options.addEos) expected.ids.push_back(descriptor.eosId);
  return expected;
}

ExpectedText referenceDecode(TokenizerKind kind, std::span<const std::uint32_t> ids,
                             const DecodeOptions& options) {
  const FuzzTokenizers& tokenizers = fuzzTokenizers();
  const bool bpe = kind == TokenizerKind::Bpe || kind == TokenizerKind::ChatBpe;
  const std::span<const BpeMerge> merges =
      bpe ? tokenizers.bpe->merges() : std::span<const BpeMerge>();
  if (!isChat(kind)) return plainDecode(merges, bpe, ids, options);

  const TokenizerDescriptor descriptor = tokenizers.get(kind).descriptor();
  ExpectedText expected;
  std::vector<std::uint32_t> run;
  for (const std::uint32_t id : ids) {
    if (id != descriptor.userId && id != descriptor.assistantId) {
      run.push_back(id);
      continue;
    }
    if (!run.empty()) {
      const ExpectedText part = plainDecode(merges, bpe, run, options);
      if (part.error) return part;
      expected.text += part.text;
      run.clear();
    }
    if (!options.skipSpecialTokens) return {TokenizerErrorCode::SpecialTokenNotAllowed, {}};
  }
  const ExpectedText last = plainDecode(merges, bpe, run, options);
  if (last.error) return last;
  expected.text += last.text;
  return expected;
}

std::string withoutChatMarkers(std::string_view text) {
  std::string kept;
  for (const ChatPiece& piece : referenceChatPieces(text)) kept += piece.text;
  return kept;
}

}  // namespace Orvane::Core::Lumeth::Fuzz
