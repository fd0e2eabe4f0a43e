// loadSubwordTokenizerArtifact over any bytes. Refusals are InvalidFormat and
// change nothing; a load that succeeds returns a tokenizer whose artifact is
// exactly the input (the format is canonical), whose descriptor follows from
// the merge count and the input's hash, and which encodes like the reference
// BPE encoder and decodes its own ids back to the text; load_tokenizer_artifact
// agrees with it on every input with the BPE magic. Each input is also
// tried with its payload length and checksum made consistent, so that
// mutations reach the merge records.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

constexpr std::uint64_t kLimit = 0x1000000;  // 16 MiB, as the suite uses
constexpr std::size_t kHeaderSize = 28;
// Encoding is quadratic in the run length: the text encoded per input is kept
// short.
constexpr std::size_t kMaxProbeText = 256;

// A text that the merges apply to: the tokens' bytes one after another, then
// the bytes of the input itself, cut to kMaxProbeText.
std::string probeText(const SubwordTokenizer& tokenizer, std::span<const std::uint8_t> input) {
  std::string text;
  for (const BpeMerge& merge : tokenizer.merges()) {
    if (text.size() >= kMaxProbeText) break;
    text += merge.bytes;
  }
  const std::string_view tail = asText(input);
  text.append(tail.substr(0, kMaxProbeText));
  text.resize(std::min(text.size(), kMaxProbeText));
  return text;
}

void loadAndCheck(std::span<const std::uint8_t> bytes) {
  const ByteBuffer copy(bytes.begin(), bytes.end());
  std::optional<SubwordTokenizer> loaded;
  const auto error =
      tokenizerOutcome([&] { loaded.emplace(loadSubwordTokenizerArtifact(bytes, kLimit)); });
  LUMETH_FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), copy.begin(), copy.end()));
  checkDispatchAgrees(bytes, kLimit, kSubwordTokenizerArtifactMagic, loaded ? &*loaded : nullptr);
  if (error) {
    LUMETH_FUZZ_CHECK(*error == TokenizerErrorCode::InvalidFormat);
    return;
  }
  const SubwordTokenizer& tokenizer = *loaded;
  LUMETH_FUZZ_CHECK(tokenizer.artifact() == copy);
  const auto mergeCount = static_cast<std::uint32_t>(tokenizer.merges().size());
  LUMETH_FUZZ_CHECK(mergeCount == readU32(bytes, 12));
  const TokenizerDescriptor descriptor = tokenizer.descriptor();
  LUMETH_FUZZ_CHECK(descriptor.kind == "bpe" && descriptor.version == 2);
  LUMETH_FUZZ_CHECK(descriptor.vocabularySize == mergeCount + 258);
  LUMETH_FUZZ_CHECK(descriptor.bosId == mergeCount + 256 && descriptor.eosId == mergeCount + 257);
  LUMETH_FUZZ_CHECK(descriptor.hash == toHex16(fnv1a64(bytes)));
  for (std::size_t i = 0; i < tokenizer.merges().size(); ++i) {
    const BpeMerge& merge = tokenizer.merges()[i];
    LUMETH_FUZZ_CHECK(merge.left < 256 + i && merge.right < 256 + i);
    const std::uint32_t parts[] = {merge.left, merge.right};
    LUMETH_FUZZ_CHECK(merge.bytes == referenceBpeExpand(tokenizer.merges().first(i), parts));
  }

  // The limit is inclusive.
  LUMETH_FUZZ_CHECK(tokenizerOutcome([&] {
                      (void)loadSubwordTokenizerArtifact(bytes, bytes.size() - 1);
                    }) == TokenizerErrorCode::InvalidFormat);

  // Loading its own artifact again gives the same tokenizer.
  const SubwordTokenizer again = loadSubwordTokenizerArtifact(tokenizer.artifact(), kLimit);
  LUMETH_FUZZ_CHECK(again.descriptor() == descriptor);

  const std::string text = probeText(tokenizer, bytes);
  const EncodedText encoded = tokenizer.encode(text, EncodeOptions{});
  LUMETH_FUZZ_CHECK(encoded.ids == referenceBpeEncode(tokenizer.merges(), text));
  LUMETH_FUZZ_CHECK(encoded.tokenizerHash == descriptor.hash);
  LUMETH_FUZZ_CHECK(tokenizer.decode(encoded.ids, DecodeOptions{}) == text);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  const std::span<const std::uint8_t> bytes = bytesOf(data, size);
  loadAndCheck(bytes);

  if (bytes.size() >= kHeaderSize) {
    ByteBuffer repaired(bytes.begin(), bytes.end());
    const auto payload = std::span<const std::uint8_t>(repaired).subspan(kHeaderSize);
    ByteBuffer fields;
    appendU32(fields, static_cast<std::uint32_t>(payload.size()));
    appendU64(fields, fnv1a64(payload));
    std::copy(fields.begin(), fields.end(), repaired.begin() + 16);
    loadAndCheck(repaired);
  }
  return 0;
}
