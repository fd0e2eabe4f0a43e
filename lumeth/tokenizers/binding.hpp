#pragma once

// Tokenizer-model binding: text reaches a model's token ids only through the
// tokenizer the model was built for. A model records its vocabulary size (in
// its spec) and, when bound, its tokenizer's descriptor hash; the text
// interface refuses any tokenizer that differs in either, and every tokenizer
// when the model is unbound. The token-id interface (forward) ignores the
// binding.

#include <string_view>

#include "lumeth/artifact/model.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// Returns normally when `tokenizer` fits `model`. Throws
// TokenizerError(BindingMismatch, ...) with, checked in this order:
//   "tokenizer vocabulary does not match model" when the descriptor's
//     vocabularySize differs from the model's vocabulary;
//   "tokenizer hash does not match model binding" when the model is unbound
//     or bound to another hash text.
// A tokenizer wrong in both ways is reported as a vocabulary mismatch.
void validateTokenizerBinding(const TransformerModel& model,
                              const ITransformerTokenizer& tokenizer);

// validateTokenizerBinding, then tokenizer.encode(text, options). The result's
// tokenizerHash therefore equals the model's bound hash. Nothing is encoded
// when the binding fails; encode's own errors pass through.
[[nodiscard]] EncodedText encodeForModel(const TransformerModel& model,
                                         const ITransformerTokenizer& tokenizer,
                                         std::string_view text, const EncodeOptions& options);

}  // namespace Orvane::Core::Lumeth
