#include "cli/tokenizer_files.hpp"

#include <span>
#include <string_view>

#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Cli {

std::shared_ptr<const ITransformerTokenizer> load_tokenizer_file(const std::string& path,
                                                                 std::uint64_t maxBytes, bool chat,
                                                                 Io& io) {
  const std::string text = read_input(path, maxBytes, io);
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size());
  return refusing(path, [&]() -> std::shared_ptr<const ITransformerTokenizer> {
    std::shared_ptr<ITransformerTokenizer> base;
    const std::string_view magic(text.data(), std::min<std::size_t>(text.size(), 8));
    if (magic == "LUMEBTK1") {
      base = std::make_shared<ByteTokenizer>(loadByteTokenizerArtifact(bytes, maxBytes));
    } else if (magic == "LUMESUB2") {
      base = std::make_shared<SubwordTokenizer>(loadSubwordTokenizerArtifact(bytes, maxBytes));
    } else {
      throw Refused(path, "not a tokenizer artifact (byte or BPE)");
    }
    if (chat) {
      return std::make_shared<ChatTokenizer>(std::move(base));
    }
    return base;
  });
}

}  // namespace Orvane::Core::Lumeth::Cli
