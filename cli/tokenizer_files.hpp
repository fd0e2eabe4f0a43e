#pragma once

// Tokenizer artifacts as the tool loads them: byte or BPE, told apart by the
// artifact's magic, optionally wrapped in a chat tokenizer.

#include <cstdint>
#include <memory>
#include <string>

#include "cli/cli_support.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth::Cli {

// The largest tokenizer artifact the tool reads unless told otherwise: a
// 1048576-id vocabulary of 256-byte tokens fits well within it.
inline constexpr std::uint64_t kDefaultMaxTokenizerBytes = std::uint64_t{512} << 20;

// Loads the artifact at `path` (refused with the path as source when it is
// neither kind or fails its checks) and, with `chat`, wraps it in a chat
// tokenizer.
[[nodiscard]] std::shared_ptr<const ITransformerTokenizer> load_tokenizer_file(
    const std::string& path, std::uint64_t maxBytes, bool chat, Io& io);

}  // namespace Orvane::Core::Lumeth::Cli
