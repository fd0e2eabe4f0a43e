#include "lumeth/tokenizers/chat_tokenizer.hpp"

#include <array>
#include <stdexcept>
#include <string>
#include <utility>

#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/internal/chat_markers.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// The largest base vocabulary whose two role ids still fit in a u32.
constexpr std::uint32_t kMaxBaseVocabulary = 0xFFFFFFFDu;

std::shared_ptr<const ITransformerTokenizer> requireBase(
    std::shared_ptr<const ITransformerTokenizer> base) {
  if (!base) {
    throw std::invalid_argument("chat tokenizer base is null");
  }
  return base;
}

}  // namespace

ChatTokenizer::ChatTokenizer(std::shared_ptr<const ITransformerTokenizer> base)
    : base_(requireBase(std::move(base))),
      chatBase_(dynamic_cast<const ChatTokenizer*>(base_.get())),
      descriptor_(base_->descriptor()) {
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
  return encode(text, options, MarkerHandling::Parse);
}

EncodedText ChatTokenizer::encode(std::string_view text, const EncodeOptions& options,
                                  MarkerHandling markers) const {
  requireKnownMarkerHandling(markers);
  // next[k]: the first occurrence of marker k at or after the position it was
  // last searched from (npos when there is none). It stays right for as long
  // as it is not behind the current position, so a marker is searched again
  // only once it has been passed, and the text is scanned in linear time
  // however many markers it holds. The first search also serves Refuse, which
  // therefore costs nothing over Parse.
  std::array<std::size_t, kChatMarkerCount> next{};
  if (markers != MarkerHandling::TreatAsText) {
    for (std::size_t k = 0; k < kChatMarkerCount; ++k) {
      next[k] = text.find(kChatMarkers[k]);
      if (markers == MarkerHandling::Refuse && next[k] != std::string_view::npos) {
        throwMarkerNotAllowed();
      }
    }
  }

  EncodedText result;
  result.tokenizerHash = descriptor_.hash;
  if (options.addBos) {
    result.ids.push_back(descriptor_.bosId);
  }
  const EncodeOptions segmentOptions{.addBos = false,
                                     .addEos = false,
                                     .normalization = options.normalization,
                                     .invalidUtf8 = options.invalidUtf8};
  const auto appendSegment = [&](std::string_view segment) {
    const EncodedText encoded = encodeWithBase(segment, segmentOptions, markers);
    result.ids.insert(result.ids.end(), encoded.ids.begin(), encoded.ids.end());
  };
  if (markers == MarkerHandling::TreatAsText) {
    // Empty text never reaches the base, as under Parse.
    if (!text.empty()) {
      appendSegment(text);
    }
  } else {
    const std::array<std::uint32_t, kChatMarkerCount> markerIds = {
        descriptor_.userId, descriptor_.assistantId, descriptor_.eosId};
    std::size_t position = 0;
    while (position < text.size()) {
      std::size_t found = std::string_view::npos;
      std::size_t which = kChatMarkerCount;  // kChatMarkerCount: no marker ahead
      for (std::size_t k = 0; k < kChatMarkerCount; ++k) {
        if (next[k] < position) {
          next[k] = text.find(kChatMarkers[k], position);
        }
        if (next[k] < found) {
          found = next[k];
          which = k;
        }
      }
      const std::size_t segmentEnd = which == kChatMarkerCount ? text.size() : found;
      if (segmentEnd > position) {
        appendSegment(text.substr(position, segmentEnd - position));
      }
      if (which == kChatMarkerCount) {
        break;
      }
      result.ids.push_back(markerIds[which]);
      position = found + kChatMarkers[which].size();
    }
  }
  if (options.addEos) {
    result.ids.push_back(descriptor_.eosId);
  }
  return result;
}

EncodedText ChatTokenizer::encodeWithBase(std::string_view piece, const EncodeOptions& options,
                                          MarkerHandling markers) const {
  // A chat base would parse the same markers again (its "<|end|>" is this
  // tokenizer's EOS id), so it is told to treat them as text as well.
  if (markers == MarkerHandling::TreatAsText && chatBase_ != nullptr) {
    return chatBase_->encode(piece, options, MarkerHandling::TreatAsText);
  }
  return base_->encode(piece, options);
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
