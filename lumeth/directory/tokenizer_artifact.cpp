#include "lumeth/directory/tokenizer_artifact.hpp"

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::size_t kMagicBytes = 8;

[[noreturn]] void fail(const char* message) {
  throw TokenizerError(TokenizerErrorCode::InvalidFormat, message);
}

}  // namespace

std::shared_ptr<const ITransformerTokenizer> load_tokenizer_artifact(
    std::span<const std::uint8_t> bytes, std::uint64_t maxBytes) {
  if (bytes.size() > maxBytes) fail("tokenizer artifact exceeds size limit");
  if (bytes.size() < kMagicBytes) fail("unknown tokenizer artifact magic");
  const std::string_view magic = asText(bytes.first(kMagicBytes));
  if (magic == kByteTokenizerArtifactMagic) {
    return std::make_shared<const ByteTokenizer>(loadByteTokenizerArtifact(bytes, maxBytes));
  }
  if (magic == kSubwordTokenizerArtifactMagic) {
    return std::make_shared<const SubwordTokenizer>(loadSubwordTokenizerArtifact(bytes, maxBytes));
  }
  fail("unknown tokenizer artifact magic");
}

}  // namespace Orvane::Core::Lumeth
