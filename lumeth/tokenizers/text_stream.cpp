#include "lumeth/tokenizers/text_stream.hpp"

#include <algorithm>
#include <stdexcept>
#include <typeinfo>
#include <utility>

#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/utf8.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// The text of the complete sequences at the front of `bytes` under `policy`;
// `bytes` keeps what waits for more input (nothing when `final`). The valid
// prefix, usually all of it, is copied as it is; the policy handles the rest,
// which starts on a sequence boundary. Under Reject a bad sequence throws and
// `bytes` is left as it was.
std::string drainBytes(std::vector<std::uint8_t>& bytes, InvalidUtf8Policy policy, bool final) {
  const std::size_t valid = validUtf8Prefix(bytes);
  std::string text(asText(std::span<const std::uint8_t>(bytes).first(valid)));
  if (valid == bytes.size()) {
    bytes.clear();
    return text;
  }
  std::vector<std::uint8_t> rest(bytes.begin() + static_cast<std::ptrdiff_t>(valid), bytes.end());
  text += drainPending(rest, policy, final);
  bytes.swap(rest);
  return text;
}

[[noreturn]] void throwSpecial() {
  throw TokenizerError(TokenizerErrorCode::SpecialTokenNotAllowed,
                       "special token requires skipSpecialTokens=true");
}

}  // namespace

TextStream::TextStream(const ITransformerTokenizer& tokenizer, const DecodeOptions& options)
    : state_(DecodeOptions{}) {
  // Exact types only: a derived class may override decode. The chat layers
  // are peeled from the outside in; their role ids never collide, because
  // each layer's lie above its base's whole vocabulary.
  const ITransformerTokenizer* layer = &tokenizer;
  while (typeid(*layer) == typeid(ChatTokenizer)) {
    const auto& chat = static_cast<const ChatTokenizer&>(*layer);
    const TokenizerDescriptor descriptor = chat.descriptor();
    roleIds_.push_back(descriptor.userId);
    roleIds_.push_back(descriptor.assistantId);
    layer = chat.base().get();
  }
  if (typeid(*layer) == typeid(SubwordTokenizer)) {
    subword_ =
        std::make_shared<const SubwordTokenizer>(static_cast<const SubwordTokenizer&>(*layer));
    const TokenizerDescriptor descriptor = subword_->descriptor();
    bosId_ = descriptor.bosId;
    eosId_ = descriptor.eosId;
  } else if (typeid(*layer) != typeid(ByteTokenizer)) {
    throw std::invalid_argument("text stream needs a byte, BPE or chat tokenizer");
  }
  state_ = DecoderState(options);
}

bool TextStream::isRole(std::uint32_t id) const noexcept {
  return std::find(roleIds_.begin(), roleIds_.end(), id) != roleIds_.end();
}

void TextStream::expand(std::uint32_t id, std::vector<std::uint8_t>& bytes) const {
  if (id < kFirstBpeMergeId) {
    bytes.push_back(static_cast<std::uint8_t>(id));
    return;
  }
  if (id == bosId_ || id == eosId_) {
    if (!state_.skipSpecialTokens) throwSpecial();
    return;
  }
  if (!subword_) {
    throw TokenizerError(TokenizerErrorCode::TokenIdOutOfRange,
                         "token id is outside byte-tokenizer vocabulary");
  }
  // Merged ids lie below BOS; BOS and EOS were handled above.
  if (id >= bosId_) {
    throw TokenizerError(TokenizerErrorCode::TokenIdOutOfRange,
                         "token id is outside subword vocabulary");
  }
  const auto merged = asBytes(subword_->merges()[id - kFirstBpeMergeId].bytes);
  bytes.insert(bytes.end(), merged.begin(), merged.end());
}

std::string TextStream::decode(std::span<const std::uint32_t> ids, bool final) {
  // Everything happens on a copy of the pending bytes, committed at the end,
  // so a throw at any id leaves the stream as it was.
  std::vector<std::uint8_t> bytes = state_.pending;
  std::string text;
  for (const std::uint32_t id : ids) {
    if (isRole(id)) {
      text += drainBytes(bytes, state_.policy, true);
      if (!state_.skipSpecialTokens) {
        throw TokenizerError(TokenizerErrorCode::SpecialTokenNotAllowed,
                             "chat role token requires skipSpecialTokens=true");
      }
      continue;
    }
    expand(id, bytes);
  }
  text += drainBytes(bytes, state_.policy, final);
  state_.pending.swap(bytes);
  return text;
}

std::string TextStream::finish() { return decode({}, true); }

ByteBuffer TextStream::serializeState() const { return serializeDecoderState(state_); }

void TextStream::parseState(std::span<const std::uint8_t> record) {
  parseDecoderState(state_, record);
}

}  // namespace Orvane::Core::Lumeth
