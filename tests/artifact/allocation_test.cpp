// Readers size what they allocate from the bytes they were given, never from
// a count stored in those bytes: a tiny input that claims a huge count must
// fail without a large allocation. This executable replaces the global
// operator new to record the largest single request made while a reader
// runs, so it is a test program of its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "lumeth/artifact/container.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace {

bool tracking = false;
std::size_t largestRequest = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (tracking && size > largestRequest) {
    largestRequest = size;
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}

void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace Orvane::Core::Lumeth {
namespace {

// Far above what any of the inputs below can justify (they are under a
// hundred bytes), far below what trusting their counts would allocate.
constexpr std::size_t kLargestJustified = 64 * 1024;

// Runs `read`, which must throw an exception whose what() is `message`, and
// returns the largest allocation it made.
template <typename Exception>
std::size_t largestAllocationOfFailing(const std::function<void()>& read,
                                       const std::string& message) {
  largestRequest = 0;
  tracking = true;
  std::string caught = "no error";
  try {
    read();
  } catch (const Exception& error) {
    caught = error.what();
  }
  tracking = false;
  EXPECT_EQ(caught, message);
  return largestRequest;
}

TEST(AllocationBounds, BpeArtifactClaimingMoreMergesThanItsBytesHold) {
  for (const std::uint32_t claimed : {std::uint32_t{1000000}, kMaxBpeMerges}) {
    ByteBuffer artifact = SubwordTokenizer({}).artifact();  // 28 bytes, no records
    const ByteBuffer count = [&] {
      ByteBuffer bytes;
      appendU32(bytes, claimed);
      return bytes;
    }();
    std::copy(count.begin(), count.end(), artifact.begin() + 12);  // merge count
    EXPECT_LT(
        largestAllocationOfFailing<TokenizerError>(
            [&] { (void)loadSubwordTokenizerArtifact(artifact, 1 << 24); }, "truncated BPE merge"),
        kLargestJustified)
        << claimed;
  }
}

// A manifest without binding (flag at 8, row count at 9) holding one row
// named "x" (name length at 13).
ByteBuffer oneRowManifest() {
  ByteBuffer manifest;
  const TensorEntry row{"x", ArtifactDType::UInt8, {1}, 0, 1, 0};
  write_manifest(manifest, std::span<const TensorEntry>(&row, 1), 0, std::nullopt);
  return manifest;
}

void putU32At(ByteBuffer& bytes, std::size_t offset, std::uint32_t value) {
  ByteBuffer encoded;
  appendU32(encoded, value);
  std::copy(encoded.begin(), encoded.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

TEST(AllocationBounds, ManifestClaimingMoreThanItsBytesHold) {
  struct Case {
    const char* name;
    std::size_t offset;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"row count at the default limit", 9, 100000},
      {"name length 2^32 - 1", 13, 0xFFFFFFFF},
      {"rank 2^32 - 1 under a limit that allows it", 13 + 4 + 1 + 1, 0xFFFFFFFF},
  };
  ArtifactLimits limits;
  limits.max_tensor_rank = 0xFFFFFFFF;
  for (const Case& test : cases) {
    ByteBuffer manifest = oneRowManifest();
    putU32At(manifest, test.offset, test.value);
    EXPECT_LT(largestAllocationOfFailing<std::invalid_argument>(
                  [&] {
                    ByteCursor cursor(manifest);
                    std::uint64_t specHash = 0;
                    std::optional<std::string> tokenizerHash;
                    (void)read_manifest(cursor, limits, specHash, tokenizerHash);
                  },
                  "truncated transformer artifact"),
              kLargestJustified)
        << test.name;
  }
}

TEST(AllocationBounds, TrainingReservesForWhatTheCorpusCanProduce) {
  // At most one merge per corpus byte, whatever the vocabulary asks for:
  // room for the 1048318 merges asked for here would be 40 MiB. The pair
  // index starts at a fixed 2 MiB whatever the corpus.
  constexpr std::size_t kFixedPairIndex = std::size_t{2} << 20;
  const BpeTrainingLimits limits{.vocabularySize = 1048576, .minPairFrequency = 1};
  largestRequest = 0;
  tracking = true;
  const SubwordTokenizer tokenizer = trainBpe("abab abab", limits);
  tracking = false;
  EXPECT_LE(largestRequest, kFixedPairIndex);
  EXPECT_FALSE(tokenizer.merges().empty());
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
