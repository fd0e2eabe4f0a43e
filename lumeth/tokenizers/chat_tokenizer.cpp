#include "lumeth/tokenizers/chat_tokenizer.hpp"

#include <array>
#include <stdexcept>
#include <string>
#include <utility>

#include "lumeth/foundation/fnv1a.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// The largest base vocabulary whose two role ids still fit in a u32.
constexpr std::uint32_t kMaxBaseVocabulary = 0xFFFFFFFDu;

constexpr std::size_t kMarkerCount = 3;
// Searched in this order. The markers differ in their third byte, so no two of
// them start at the same position and the order never decides.
constexpr std::array<std::string_view, kMarkerCount> kMarkers = {"<|user|>", "<|assistant|>",
                                                                 "<|end|>"};

std::shared_ptr<const ITransformerTokenizer> requireBase(
    std::shared_ptr<const ITransformerTokenizer> base) {
  if (!base) {
    throw std::invalid_argument("chat tokenizer base is null");
  }
  return base;
}

}  // namespace

ChatTokenizer::ChatTokenizer(std::shared_ptr<const ITransformerTokenizer> base)
    : base_(requireBase(std::move(base))), descriptor_(base_->descriptor()) {
  if (descriptor_.vocabularySize > kMaxBaseVocabulary) {
    throw std::invalid_argument("chat tokenizer vocabulary overflows");
  }
  const std::uint32_t baseVocabulary = descriptor_.vocabularySize;
  descriptor_.kind = "chat-v2/" + descriptor_.kind;
  descriptor_.userId = baseVocabulary;
  descriptor_.assistantId = baseVocabulary + 1;
  descriptor_.vocabularySize = baseVocabulary + 2;
  // Hashed only, never stored. The base's hash is part of it, so two chat
  // tokenizers share a hash only when their bases do.
  const std::string description = "lumeth-chat-tokenizer-v2;base=" + descriptor_.hash +
                                  ";user=" + std::to_string(descriptor_.userId) +
                                  ";assistant=" + std::to_string(descriptor_.assistantId) +
                                  ";eos=" + std::to_string(descriptor_.eosId);
  descriptor_.hash = toHex16(fnv1a64(description));
}

EncodedText ChatTokenizer::encode(std::string_view text, const EncodeOptions& options) const {
  EncodedText result;
  result.tokenizerHash = descriptor_.hash;
  if (options.addBos) {
    result.ids.push_back(descriptor_.bosId);
  }
  const EncodeOptions segmentOptions{.addBos = false,
                                     .addEos = false,
                                     .normalization = options.normalization,
                                     .invalidUtf8 = options.invalidUtf8};
  const std::array<std::uint32_t, kMarkerCount> markerIds = {
      descriptor_.userId, descriptor_.assistantId, descriptor_.eosId};

  // next[k]: the first occurrence of marker k at or after the position it was
  // last searched from (npos when there is none). It stays right for as long
  // as it is not behind the current position, so a marker is searched again
  // only once it has been passed, and the text is scanned in linear time
  // however many markers it holds.
  std::array<std::size_t, kMarkerCount> next{};
  for (std::size_t k = 0; k < kMarkerCount; ++k) {
    next[k] = text.find(kMarkers[k]);
  }
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t found = std::string_view::npos;
    std::size_t which = kMarkerCount;  // kMarkerCount: no marker ahead
    for (std::size_t k = 0; k < kMarkerCount; ++k) {
      if (next[k] < position) {
        next[k] = text.find(kMarkers[k], position);
      }
      if (next[k] < found) {
        found = next[k];
        which = k;
      }
    }
    const std::size_t segmentEnd = which == kMarkerCount ? text.size() : found;
    if (segmentEnd > position) {
      const EncodedText segment =
          base_->encode(text.substr(position, segmentEnd - position), segmentOptions);
      result.ids.insert(result.ids.end(), segment.ids.begin(), segment.ids.end());
    }
    if (which == kMarkerCount) {
      break;
    }
    result.ids.push_back(markerIds[which]);
    position = found + kMarkers[which].size();
  }
  if (options.addEos) {
    result.ids.push_back(descriptor_.eosId);
  }
  return result;
}

std::string ChatTokenizer::decode(std::span<const std::uint32_t> ids,
                                  const DecodeOptions& options) const {
  // The ids between two role ids form a contiguous run of the input, so each
  // run goes to the base as a sub-span without being copied.
  std::string text;
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::uint32_t id = ids[i];
    if (id != descriptor_.userId && id != descriptor_.assistantId) {
      continue;
    }
    if (i > runStart) {
      text += base_->decode(ids.subspan(runStart, i - runStart), options);
    }
    if (!options.skipSpecialTokens) {
      throw TokenizerError(TokenizerErrorCode::SpecialTokenNotAllowed,
                           "chat role token requires skipSpecialTokens=true");
    }
    runStart = i + 1;
  }
  // The last run goes to the base even when it is empty, so that the base
  // still judges the options of a call made only of role ids.
  text += base_->decode(ids.subspan(runStart), options);
  return text;
}

TokenizerDescriptor ChatTokenizer::descriptor() const { return descriptor_; }

}  // namespace Orvane::Core::Lumeth
