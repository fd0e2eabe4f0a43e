#include "cli/tokenizer_files.hpp"

#include "lumeth/directory/tokenizer_artifact.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Cli {

std::shared_ptr<const ITransformerTokenizer> load_tokenizer_file(const std::string& path,
                                                                 std::uint64_t maxBytes, bool chat,
                                                                 Io& io) {
  const ByteBuffer bytes = read_input(path, maxBytes, io);
  return refusing(path, [&]() -> std::shared_ptr<const ITransformerTokenizer> {
    std::shared_ptr<const ITransformerTokenizer> base = load_tokenizer_artifact(bytes, maxBytes);
    if (chat) {
      return std::make_shared<const ChatTokenizer>(std::move(base));
    }
    return base;
  });
}

}  // namespace Orvane::Core::Lumeth::Cli
