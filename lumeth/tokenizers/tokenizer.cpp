#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

TokenizerError::TokenizerError(TokenizerErrorCode code, const std::string& message)
    : std::runtime_error(message), code_(code) {}

TokenizerError::TokenizerError(TokenizerErrorCode code, const char* message)
    : std::runtime_error(message), code_(code) {}

}  // namespace Orvane::Core::Lumeth
