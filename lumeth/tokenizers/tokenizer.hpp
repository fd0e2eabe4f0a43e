#pragma once

// The tokenizer contract: the interface every tokenizer implements, the one
// error type tokenizers throw, and the option, result and descriptor records
// that cross the interface.
//
// Token id layout shared by all tokenizers: byte values 0..255 first, then any
// learned subword tokens in merge order, then begin- and end-of-sequence; a
// chat tokenizer appends its two role ids directly after its base's
// vocabulary.

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Orvane::Core::Lumeth {

enum class TokenizerErrorCode : std::uint8_t {
  InvalidUtf8 = 0,             // policy Reject met a bad or unfinished UTF-8 sequence
  TokenIdOutOfRange = 1,       // decode met an id outside the vocabulary
  SpecialTokenNotAllowed = 2,  // decode met a special id without skipSpecialTokens
  InvalidFormat = 3,           // a malformed artifact or decoder state
  BindingMismatch = 4,         // the tokenizer does not fit the model
  UnsupportedOption = 5,       // an option value the tokenizer does not support
  MarkerNotAllowed = 6,        // a chat marker in text whose markers are refused
};

// Every failure a tokenizer meets while encoding, decoding or loading stored
// bytes. Callers tell failures apart by code(), never by the text.
class TokenizerError : public std::runtime_error {
 public:
  TokenizerError(TokenizerErrorCode code, const std::string& message);
  TokenizerError(TokenizerErrorCode code, const char* message);

  [[nodiscard]] TokenizerErrorCode code() const noexcept { return code_; }

 private:
  TokenizerErrorCode code_;
};

// Text normalization applied before encoding. The byte and BPE tokenizers
// accept only None.
enum class Normalization : std::uint8_t { None = 0 };

// What happens to input that is not valid UTF-8.
enum class InvalidUtf8Policy : std::uint8_t {
  PreserveBytes = 0,  // keep the bytes as they are
  Reject = 1,         // fail with TokenizerErrorCode::InvalidUtf8
  Replace = 2,        // replace each bad sequence by U+FFFD (EF BF BD)
};

// "No such id", used by the role ids of tokenizers that have none.
inline constexpr std::uint32_t kNoTokenId = 0xFFFFFFFFu;

// Four one-byte fields; all zero by default.
struct EncodeOptions {
  bool addBos = false;
  bool addEos = false;
  Normalization normalization = Normalization::None;
  InvalidUtf8Policy invalidUtf8 = InvalidUtf8Policy::PreserveBytes;
};

// Two one-byte fields; all zero by default. A DecoderState opens with the same
// two bytes in the same order.
struct DecodeOptions {
  bool skipSpecialTokens = false;  // drop special ids instead of failing
  InvalidUtf8Policy invalidUtf8 = InvalidUtf8Policy::PreserveBytes;
};

struct EncodedText {
  std::vector<std::uint32_t> ids;
  std::string tokenizerHash;  // the encoding tokenizer's descriptor hash
};

struct TokenizerDescriptor {
  std::string kind;  // "byte", "bpe", "chat-v2/<base kind>"
  std::uint32_t version = 0;
  std::uint32_t vocabularySize = 0;  // valid ids are 0 .. vocabularySize - 1
  std::uint32_t bosId = 0;
  std::uint32_t eosId = 0;
  std::string hash;  // 16 lowercase hex digits naming the tokenizer's semantics
  std::uint32_t userId = kNoTokenId;
  std::uint32_t assistantId = kNoTokenId;

  friend bool operator==(const TokenizerDescriptor&, const TokenizerDescriptor&) = default;
};

// Implementations are immutable after construction: every operation is const
// and keeps its working state local, so one tokenizer may serve several
// threads at once.
class ITransformerTokenizer {
 public:
  virtual ~ITransformerTokenizer() = default;

  // `text` is any bytes, not necessarily UTF-8.
  [[nodiscard]] virtual EncodedText encode(std::string_view text,
                                           const EncodeOptions& options) const = 0;
  // Returns the decoded bytes.
  [[nodiscard]] virtual std::string decode(std::span<const std::uint32_t> ids,
                                           const DecodeOptions& options) const = 0;
  [[nodiscard]] virtual TokenizerDescriptor descriptor() const = 0;

 protected:
  ITransformerTokenizer() = default;
  ITransformerTokenizer(const ITransformerTokenizer&) = default;
  ITransformerTokenizer(ITransformerTokenizer&&) = default;
  ITransformerTokenizer& operator=(const ITransformerTokenizer&) = default;
  ITransformerTokenizer& operator=(ITransformerTokenizer&&) = default;
};

}  // namespace Orvane::Core::Lumeth
