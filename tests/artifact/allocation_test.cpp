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
#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace {

bool tracking = false;
std::size_t largestRequest = 0;
std::size_t totalRequested = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (tracking) {
    largestRequest = std::max(largestRequest, size);
    totalRequested += size;
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) {
    return memory;
  }
  throw std::bad_alloc();
}

// The replaced operator new allocates with malloc, so free is the matching
// release; GCC cannot see that through inlined standard containers and
// warns at these lines.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

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

// A tied one-layer model with a 4096 x 64 embedding (2 MiB of weights).
TransformerSpec wideSpec(std::uint32_t layers) {
  TransformerSpec spec;
  spec.vocabulary = 4096;
  spec.context = 4;
  spec.layers = layers;
  spec.model_dim = 64;
  spec.ffn_dim = 8;
  spec.query_heads = 1;
  spec.kv_heads = 1;
  spec.head_dim = 64;
  spec.ports = {{"tokens", PortDirection::input, PortKind::token_ids, 1, "tokens/1"},
                {"logits", PortDirection::output, PortKind::logits, 4096, "logits/1"}};
  return spec;
}

std::shared_ptr<const TransformerModel> wideModel() {
  const TransformerSpec spec = wideSpec(1);
  TransformerWeights weights;
  weights.token_embedding = Tensor({4096, 64}, 0.01, true);
  LayerWeights layer;
  layer.attention_norm = Tensor({64}, 1.0, true);
  layer.query = Tensor({64, 64}, 0.001, true);
  layer.key = Tensor({64, 64}, 0.001, true);
  layer.value = Tensor({64, 64}, 0.001, true);
  layer.attention_output = Tensor({64, 64}, 0.001, true);
  layer.ffn_norm = Tensor({64}, 1.0, true);
  layer.ffn_gate = Tensor({8, 64}, 0.001, true);
  layer.ffn_up = Tensor({8, 64}, 0.001, true);
  layer.ffn_down = Tensor({64, 8}, 0.001, true);
  weights.layers.push_back(std::move(layer));
  weights.final_norm = Tensor({64}, 1.0, true);
  return make_model(spec, std::move(weights));
}

TEST(AllocationBounds, LoadingAModelHoldsItsBytesOnce) {
  const auto original = wideModel();
  const std::uint64_t payload = readU64(original->artifact(), 24);
  ByteBuffer bytes = original->artifact();
  largestRequest = 0;
  totalRequested = 0;
  tracking = true;
  const auto loaded = load_model(std::move(bytes), original->spec(), ArtifactLimits{});
  tracking = false;
  EXPECT_EQ(loaded->identity(), original->identity());
  // The weights once (the payload decoded), plus the probe's activations and
  // bookkeeping; a copy or a second serialization of the artifact would add
  // another payload.
  EXPECT_GT(totalRequested, payload);
  EXPECT_LT(totalRequested, payload + payload / 4);
}

TEST(AllocationBounds, ModelSpecWithManyLayersAgainstASmallTable) {
  // The artifact carries the hash of a spec with a million layers but the
  // rows of one: the loader compares counts before it allocates anything per
  // layer.
  const auto original = wideModel();
  ByteBuffer artifact = original->artifact();
  const ContainerInfo info = read_container_header(artifact, kModelArtifactMagic, ArtifactLimits{});
  ByteCursor cursor = manifest_cursor(artifact, info);
  std::uint64_t specHash = 0;
  std::optional<std::string> binding;
  const std::vector<TensorEntry> rows = read_manifest(cursor, ArtifactLimits{}, specHash, binding);
  const TransformerSpec deep = wideSpec(1000000);
  ByteBuffer manifest;
  write_manifest(manifest, rows, spec_hash(deep), binding);
  ByteBuffer forged = write_container(kModelArtifactMagic, manifest,
                                      std::span<const std::uint8_t>(artifact).subspan(
                                          static_cast<std::size_t>(info.payload_offset)));
  EXPECT_LT(largestAllocationOfFailing<std::invalid_argument>(
                [&] { (void)load_model(std::move(forged), deep, ArtifactLimits{}); },
                "model tensor table does not match spec"),
            kLargestJustified);
}

TEST(AllocationBounds, SpecDescriptionClaimingMorePortsThanItsTextHolds) {
  TransformerSpec spec = wideSpec(1);
  const std::string text = describe_spec(spec);
  const std::string claim = "10:port_count=1:2;";
  std::string forged = text.substr(0, text.find(claim));
  forged += "10:port_count=20:18446744073709551615;";
  forged += text.substr(text.find(claim) + claim.size());
  EXPECT_LT(largestAllocationOfFailing<std::invalid_argument>(
                [&] { (void)parse_spec_description(forged); }, "spec description is truncated"),
            kLargestJustified);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
