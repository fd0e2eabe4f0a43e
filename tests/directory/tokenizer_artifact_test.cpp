#include "lumeth/directory/tokenizer_artifact.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::uint64_t kLimit = 1 << 20;

SubwordTokenizer trained() {
  return trainBpe("ahoj světe ahoj světe český chatbot ahoj světe",
                  BpeTrainingLimits{.vocabularySize = 300, .minPairFrequency = 2});
}

TEST(LoadTokenizerArtifact, PicksTheKindFromTheMagic) {
  const ByteTokenizer byte;
  const auto loadedByte = load_tokenizer_artifact(byte.artifact(), kLimit);
  ASSERT_NE(dynamic_cast<const ByteTokenizer*>(loadedByte.get()), nullptr);
  EXPECT_EQ(loadedByte->descriptor(), byte.descriptor());
  EXPECT_EQ(dynamic_cast<const ByteTokenizer&>(*loadedByte).artifact(), byte.artifact());

  const SubwordTokenizer bpe = trained();
  const auto loadedBpe = load_tokenizer_artifact(bpe.artifact(), bpe.artifact().size());
  const auto* subword = dynamic_cast<const SubwordTokenizer*>(loadedBpe.get());
  ASSERT_NE(subword, nullptr);
  EXPECT_EQ(subword->artifact(), bpe.artifact());
  EXPECT_EQ(loadedBpe->descriptor(), bpe.descriptor());
  EXPECT_EQ(loadedBpe->encode("ahoj světe", {}).ids, bpe.encode("ahoj světe", {}).ids);
}

TEST(LoadTokenizerArtifact, RefusesWithTheFirstFailedCheck) {
  const ByteBuffer byte = ByteTokenizer().artifact();
  const ByteBuffer bpe = trained().artifact();
  ByteBuffer flippedByte = byte;
  flippedByte.back() ^= 0x01;
  ByteBuffer flippedBpe = bpe;
  flippedBpe.back() ^= 0x01;
  ByteBuffer modelMagic = byte;
  for (std::size_t i = 0; i < 8; ++i) modelMagic[i] = static_cast<std::uint8_t>("LUMECTM1"[i]);

  struct Case {
    std::string label;
    ByteBuffer bytes;
    std::uint64_t limit;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"one byte over the limit", byte, byte.size() - 1, "tokenizer artifact exceeds size limit"},
      {"a short input over a tiny limit", ByteBuffer(4, 0), 3,
       "tokenizer artifact exceeds size limit"},
      {"empty", {}, kLimit, "unknown tokenizer artifact magic"},
      {"seven bytes of a magic", ByteBuffer(byte.begin(), byte.begin() + 7), kLimit,
       "unknown tokenizer artifact magic"},
      {"a model artifact's magic", modelMagic, kLimit, "unknown tokenizer artifact magic"},
      {"a byte artifact with a changed payload", flippedByte, kLimit,
       "tokenizer artifact hash or semantics mismatch"},
      {"a byte artifact cut short", ByteBuffer(byte.begin(), byte.begin() + 10), kLimit,
       "tokenizer artifact magic mismatch"},
      {"a BPE artifact with a changed payload", flippedBpe, kLimit,
       "BPE tokenizer length or checksum mismatch"},
      {"a BPE artifact cut short", ByteBuffer(bpe.begin(), bpe.begin() + 20), kLimit,
       "invalid BPE tokenizer artifact"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    try {
      (void)load_tokenizer_artifact(c.bytes, c.limit);
      ADD_FAILURE() << "loaded";
    } catch (const TokenizerError& error) {
      EXPECT_EQ(error.code(), TokenizerErrorCode::InvalidFormat);
      EXPECT_EQ(std::string(error.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
