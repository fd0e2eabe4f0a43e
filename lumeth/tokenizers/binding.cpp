#include "lumeth/tokenizers/binding.hpp"

namespace Orvane::Core::Lumeth {

void validateTokenizerBinding(const TransformerModel& model,
                              const ITransformerTokenizer& tokenizer) {
  const TokenizerDescriptor descriptor = tokenizer.descriptor();
  if (descriptor.vocabularySize != model.spec().vocabulary) {
    throw TokenizerError(TokenizerErrorCode::BindingMismatch,
                         "tokenizer vocabulary does not match model");
  }
  const std::optional<std::string>& bound = model.tokenizerHash();
  if (!bound || *bound != descriptor.hash) {
    throw TokenizerError(TokenizerErrorCode::BindingMismatch,
                         "tokenizer hash does not match model binding");
  }
}

EncodedText encodeForModel(const TransformerModel& model, const ITransformerTokenizer& tokenizer,
                           std::string_view text, const EncodeOptions& options) {
  validateTokenizerBinding(model, tokenizer);
  return tokenizer.encode(text, options);
}

}  // namespace Orvane::Core::Lumeth
