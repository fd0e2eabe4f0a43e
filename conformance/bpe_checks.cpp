#include <cstdint>
#include <string_view>

#include "conformance/checks.hpp"
#include "conformance/groups.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Conformance {
namespace {

// Three learned words repeated often enough to be merged; every other pair of
// the corpus occurs once.
constexpr std::string_view kCorpus = " ahoj světe ahoj světe český chatbot ahoj světe";
// Known words, letters outside the corpus and a four-byte emoji no merge covers.
constexpr std::string_view kText = "ahoj, příliš žluťoučký 🧠";
constexpr std::uint64_t kArtifactLimit = 0x1000000;  // 16 MiB

}  // namespace

void bpe_checks() {
  BpeTrainingLimits limits;
  limits.vocabularySize = 300;
  limits.minPairFrequency = 2;
  limits.maxTokenBytes = 12;
  const SubwordTokenizer trained = trainBpe(kCorpus, limits);

  const TokenizerDescriptor descriptor = trained.descriptor();
  check(descriptor.kind == "bpe" && descriptor.version == 2 && descriptor.vocabularySize > 258,
        "ranked BPE vocabulary was not learned");

  const EncodedText encoded = trained.encode(kText, EncodeOptions{});
  check(trained.decode(encoded.ids, DecodeOptions{}) == kText, "BPE UTF-8 round trip failed");
  check(encoded.ids.size() < kText.size(), "BPE tokenizer did not compress known Czech text");

  const SubwordTokenizer reloaded =
      loadSubwordTokenizerArtifact(trained.artifact(), kArtifactLimit);
  check(reloaded.descriptor().hash == descriptor.hash &&
            reloaded.encode(kText, EncodeOptions{}).ids == encoded.ids,
        "BPE artifact round trip diverged");

  ByteBuffer corrupt = trained.artifact();
  corrupt.back() ^= 0x01;
  expectTokenizerError([&] { (void)loadSubwordTokenizerArtifact(corrupt, kArtifactLimit); },
                       TokenizerErrorCode::InvalidFormat, "corrupt BPE artifact accepted");

  const EncodedText framed = reloaded.encode("ahoj", EncodeOptions{.addBos = true, .addEos = true});
  const DecodeOptions skipping{.skipSpecialTokens = true,
                               .invalidUtf8 = InvalidUtf8Policy::PreserveBytes};
  check(reloaded.decode(framed.ids, skipping) == "ahoj", "BPE special token handling failed");
}

}  // namespace Orvane::Core::Lumeth::Conformance
