#pragma once

// The check primitives of the conformance groups. A failed expectation throws
// std::runtime_error whose text is the literal message of the step; the
// driver prints that text and stops the run.

#include <stdexcept>

#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth::Conformance {

// Throws std::runtime_error(message) when `condition` is false.
inline void check(bool condition, const char* message) {
  if (!condition) {
    throw std::runtime_error(message);
  }
}

// Runs `action` and expects it to throw a TokenizerError with `expected` as
// its code; that error is swallowed. Returning normally, or a TokenizerError
// with another code, throws std::runtime_error(message). Exceptions of any
// other type travel on unchanged.
template <typename Action>
void expectTokenizerError(Action&& action, TokenizerErrorCode expected, const char* message) {
  try {
    static_cast<Action&&>(action)();
  } catch (const TokenizerError& error) {
    if (error.code() == expected) {
      return;
    }
  }
  throw std::runtime_error(message);
}

}  // namespace Orvane::Core::Lumeth::Conformance
