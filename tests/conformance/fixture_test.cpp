#include "conformance/fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "lumeth/inference/forward.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Conformance {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(TestModelFixture, SpecValidatesForBothVocabulariesTheGroupsUse) {
  for (const std::uint32_t vocabulary : {258u, 257u}) {
    const TransformerSpec spec = make_test_spec(vocabulary);
    EXPECT_THAT(validate_spec(spec), IsEmpty()) << vocabulary;
    ASSERT_EQ(spec.ports.size(), 2u);
    EXPECT_EQ(spec.ports[0].name, "tokens");
    EXPECT_EQ(spec.ports[1].name, "logits");
    EXPECT_EQ(spec.ports[1].direction, PortDirection::output);
    EXPECT_EQ(spec.ports[1].kind, PortKind::logits);
    EXPECT_EQ(spec.ports[1].width, vocabulary);
    EXPECT_EQ(spec.ports[1].schema, "logits/1");
  }
}

TEST(TestModelFixture, FilledTensorIsFullPrecisionAndConstant) {
  const Tensor tensor = make_filled_tensor({3, 2}, 0.25);
  EXPECT_THAT(tensor.shape, ElementsAre(3u, 2u));
  EXPECT_THAT(tensor.data, ElementsAre(0.25, 0.25, 0.25, 0.25, 0.25, 0.25));
  EXPECT_TRUE(tensor.full_precision);
}

TEST(TestModelFixture, BoundModelUsesVocabulary258WhateverTheTokenizer) {
  // Whatever vocabulary the tokenizer reports, the model keeps 258 and binds
  // to the tokenizer's hash.
  class OtherVocabulary : public ByteTokenizer {
   public:
    TokenizerDescriptor descriptor() const override {
      TokenizerDescriptor d = ByteTokenizer::descriptor();
      d.vocabularySize = 300;
      d.hash = "0000000000000300";
      return d;
    }
  };
  const ByteTokenizer tokenizer;
  const auto model = make_bound_test_model(tokenizer);
  EXPECT_EQ(model->spec(), make_test_spec(258));
  EXPECT_EQ(model->spec().context, 512u);
  EXPECT_EQ(model->tokenizerHash(), tokenizer.descriptor().hash);

  const auto other = make_bound_test_model(OtherVocabulary{});
  EXPECT_EQ(other->spec().vocabulary, 258u);
  EXPECT_EQ(other->tokenizerHash(), "0000000000000300");
}

TEST(TestModelFixture, EveryTokenYieldsTheSameFlatLogits) {
  const auto model = make_bound_test_model(ByteTokenizer{});
  const TokenBatch batch{
      .batch_size = 1, .width = 3, .tokens = {0, 65, 257}, .lengths = {}, .target_mask = {}};
  const Tensor logits = forward(model->spec(), model->weights(), batch, ForwardOptions{});
  ASSERT_THAT(logits.shape, ElementsAre(1u, 3u, 258u));
  EXPECT_THAT(logits.data, Each(logits.data.front()));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Conformance
