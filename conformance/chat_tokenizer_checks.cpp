#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "conformance/checks.hpp"
#include "conformance/groups.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Conformance {

void chat_tokenizer_checks() {
  const std::shared_ptr<ITransformerTokenizer> base = std::make_shared<ByteTokenizer>();
  const ChatTokenizer chat(base);
  const std::string transcript = "<|user|>\nAhoj\n<|assistant|>\nČau<|end|>";

  const TokenizerDescriptor descriptor = chat.descriptor();
  check(
      descriptor.vocabularySize == 260 && descriptor.userId == 258 && descriptor.assistantId == 259,
      "chat token ids are not reserved");

  const std::vector<std::uint32_t> ids = chat.encode(transcript, EncodeOptions{}).ids;
  const auto occurrences = [&](std::uint32_t id) { return std::count(ids.begin(), ids.end(), id); };
  check(occurrences(descriptor.userId) == 1 && occurrences(descriptor.assistantId) == 1 &&
            occurrences(descriptor.eosId) == 1,
        "chat markers were not atomic");

  const DecodeOptions skipping{.skipSpecialTokens = true};
  check(chat.decode(ids, skipping) == "\nAhoj\n\nČau", "chat special-token decode changed content");

  expectTokenizerError([&] { (void)chat.decode(ids, DecodeOptions{}); },
                       TokenizerErrorCode::SpecialTokenNotAllowed,
                       "chat special tokens decoded implicitly");
}

}  // namespace Orvane::Core::Lumeth::Conformance
