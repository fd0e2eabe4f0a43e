// trainBpe on a small fuzzer-chosen corpus with fuzzer-chosen limits (also
// invalid ones). The corpus is at most kMaxCorpus bytes, optionally folded
// onto a six-symbol alphabet so that pairs repeat and many merges are learned.
//
// Properties: invalid limits fail with std::invalid_argument and the message
// of the first failed check; valid limits give exactly the merges of the
// reference trainer, a tokenizer whose artifact loads back to the same
// descriptor, and encode/decode that round-trip the corpus.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "fuzz/fuzz_support.hpp"
#include "fuzz/reference.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Fuzz {
namespace {

constexpr std::size_t kMaxCorpus = 512;
constexpr std::string_view kSmallAlphabet = "ab \n\xC4\x9B";

BpeTrainingLimits consumeLimits(FuzzedDataProvider& input, std::size_t corpusSize) {
  BpeTrainingLimits limits;
  switch (input.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      limits.vocabularySize = input.ConsumeIntegral<std::uint32_t>();
      break;
    case 1:
      limits.vocabularySize = input.PickValueInArray<std::uint32_t>({257, 258, 1048576, 1048577});
      break;
    default:
      limits.vocabularySize = 258 + input.ConsumeIntegralInRange<std::uint32_t>(0, 600);
      break;
  }
  limits.minPairFrequency = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(0, 4)
                                                : input.ConsumeIntegral<std::uint32_t>();
  limits.maxTokenBytes = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(0, 20)
                                             : input.ConsumeIntegralInRange<std::uint32_t>(0, 300);
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      limits.maxCorpusBytes = corpusSize;  // exactly at the limit
      break;
    case 1:
      limits.maxCorpusBytes = corpusSize == 0 ? 0 : corpusSize - 1;
      break;
    case 2:
      limits.maxCorpusBytes = input.ConsumeIntegral<std::uint64_t>();
      break;
    default:
      break;  // the default, far above any corpus here
  }
  return limits;
}

std::optional<std::string> expectedError(std::string_view corpus, const BpeTrainingLimits& limits) {
  if (limits.vocabularySize < 258 || limits.vocabularySize > 1048576) {
    return "BPE vocabulary must be in [258, 1048576]";
  }
  if (limits.maxTokenBytes < 2 || limits.maxTokenBytes > 256 || limits.minPairFrequency == 0) {
    return "invalid BPE training limits";
  }
  if (corpus.size() > limits.maxCorpusBytes) {
    return "BPE training corpus exceeds configured size limit";
  }
  return std::nullopt;
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Orvane::Core::Lumeth;
  using namespace Orvane::Core::Lumeth::Fuzz;
  FuzzedDataProvider input(data, size);
  const bool fold = input.ConsumeBool();
  std::string corpus = input.ConsumeRandomLengthString(kMaxCorpus);
  if (fold) {
    for (char& c : corpus)
      c = kSmallAlphabet[static_cast<unsigned char>(c) % kSmallAlphabet.size()];
  }
  const BpeTrainingLimits limits = consumeLimits(input, corpus.size());

  std::optional<SubwordTokenizer> trained;
  const auto error = invalidArgumentOutcome([&] { trained.emplace(trainBpe(corpus, limits)); });
  const auto expected = expectedError(corpus, limits);
  LUMETH_FUZZ_CHECK(error == expected);
  if (error) return 0;

  const std::span<const BpeMerge> merges = trained->merges();
  LUMETH_FUZZ_CHECK(merges.size() <= limits.vocabularySize - 258);
  // At most one merge per corpus byte: every merge shortens some word.
  LUMETH_FUZZ_CHECK(merges.size() <= corpus.size());
  const std::vector<BpeMerge> reference = referenceTrainBpe(
      corpus, limits.vocabularySize, limits.minPairFrequency, limits.maxTokenBytes);
  LUMETH_FUZZ_CHECK(std::equal(merges.begin(), merges.end(), reference.begin(), reference.end()));

  std::set<std::pair<std::uint32_t, std::uint32_t>> pairs;
  for (const BpeMerge& merge : merges) {
    LUMETH_FUZZ_CHECK(merge.bytes.size() <= limits.maxTokenBytes);
    LUMETH_FUZZ_CHECK(pairs.emplace(merge.left, merge.right).second);
  }
  const TokenizerDescriptor descriptor = trained->descriptor();
  const auto mergeCount = static_cast<std::uint32_t>(merges.size());
  LUMETH_FUZZ_CHECK(descriptor.vocabularySize == 258 + mergeCount);
  LUMETH_FUZZ_CHECK(descriptor.bosId == 256 + mergeCount && descriptor.eosId == 257 + mergeCount);

  const SubwordTokenizer loaded = loadSubwordTokenizerArtifact(trained->artifact(), 0x1000000);
  LUMETH_FUZZ_CHECK(loaded.descriptor() == descriptor);

  const EncodedText encoded = trained->encode(corpus, EncodeOptions{});
  LUMETH_FUZZ_CHECK(encoded.ids == referenceBpeEncode(merges, corpus));
  LUMETH_FUZZ_CHECK(trained->decode(encoded.ids, DecodeOptions{}) == corpus);
  return 0;
}
