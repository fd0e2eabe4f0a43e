// loadByteTokenizerArtifact over any bytes: the format is fixed, so exactly
// the canonical 134 bytes load and everything else is refused with
// InvalidFormat; the size limit is exact. load_tokenizer_artifact agrees
// with it on every input with the byte magic and refuses inputs with no
// known magic. Each input is also tried with its
// payload length and checksum made consistent, so that mutations get past
// those two checks and reach the payload comparison.

#include <algorithm>
#include <cstdint>
#include <optional>

#include "fuzz/fuzz_support.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

constexpr std::uint64_t kLimit = 0x100000;  // 1 MiB, as the suite uses
constexpr std::size_t kHeaderSize = 24;

void loadAndCheck(std::span<const std::uint8_t> bytes) {
  const ByteBuffer canonical = serializeByteTokenizerArtifact();
  const ByteBuffer copy(bytes.begin(), bytes.end());
  std::optional<ByteTokenizer> loaded;
  const auto error =
      tokenizerOutcome([&] { loaded.emplace(loadByteTokenizerArtifact(bytes, kLimit)); });
  // The input is never modified.
  LUMETH_FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), copy.begin(), copy.end()));
  checkDispatchAgrees(bytes, kLimit, kByteTokenizerArtifactMagic, loaded ? &*loaded : nullptr);
  const bool isCanonical =
      std::equal(bytes.begin(), bytes.end(), canonical.begin(), canonical.end());
  if (error) {
    LUMETH_FUZZ_CHECK(*error == TokenizerErrorCode::InvalidFormat);
    LUMETH_FUZZ_CHECK(!isCanonical);
    return;
  }
  LUMETH_FUZZ_CHECK(isCanonical);
  LUMETH_FUZZ_CHECK(loaded->artifact() == copy);
  LUMETH_FUZZ_CHECK(loaded->descriptor() == ByteTokenizer().descriptor());

  // The limit is inclusive: one byte less refuses, exactly the size loads.
  LUMETH_FUZZ_CHECK(tokenizerOutcome([&] {
                      (void)loadByteTokenizerArtifact(bytes, bytes.size() - 1);
                    }) == TokenizerErrorCode::InvalidFormat);
  LUMETH_FUZZ_CHECK(
      !tokenizerOutcome([&] { (void)loadByteTokenizerArtifact(bytes, bytes.size()); }));
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
    std::copy(fields.begin(), fields.end(), repaired.begin() + 12);
    loadAndCheck(repaired);
  }
  return 0;
}
