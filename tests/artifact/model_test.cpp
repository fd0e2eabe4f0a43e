#include "lumeth/artifact/model.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "conformance/fixture.hpp"
#include "lumeth/artifact/container.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Conformance::make_filled_tensor;
using Conformance::make_test_spec;
using Conformance::make_test_weights;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

// A 16-character hash text, the length of every tokenizer descriptor hash.
constexpr const char* kBinding = "0123456789abcdef";

std::shared_ptr<const TransformerModel> unboundModel(std::uint32_t vocabulary = 258) {
  return make_model(make_test_spec(vocabulary), make_test_weights(vocabulary));
}

// The artifact read back with the container readers, as a session restore
// would read its own container.
struct ReadBack {
  ContainerInfo info;
  std::uint64_t specHash = 0;
  std::optional<std::string> tokenizerHash;
  std::vector<TensorEntry> rows;
  std::size_t manifestTrailingBytes = 0;
};

ReadBack readBack(const ByteBuffer& artifact) {
  const ArtifactLimits limits;
  ReadBack result;
  result.info = read_container_header(artifact, "LUMECTM1", limits);
  ByteCursor cursor = manifest_cursor(artifact, result.info);
  result.rows = read_manifest(cursor, limits, result.specHash, result.tokenizerHash);
  result.manifestTrailingBytes = cursor.remaining();
  validate_tensor_table(result.rows, result.info.payload_length, limits);
  return result;
}

std::span<const std::uint8_t> rowBytes(const ByteBuffer& artifact, const ContainerInfo& info,
                                       const TensorEntry& row) {
  return std::span(artifact).subspan(static_cast<std::size_t>(info.payload_offset + row.offset),
                                     static_cast<std::size_t>(row.byte_count));
}

std::vector<double> decodeDoubles(std::span<const std::uint8_t> bytes) {
  std::vector<double> values;
  for (std::size_t at = 0; at < bytes.size(); at += 8) {
    values.push_back(std::bit_cast<double>(readU64(bytes, at)));
  }
  return values;
}

TEST(ModelArtifact, FixtureModelHasTheDocumentedLayout) {
  struct Row {
    const char* name;
    std::vector<std::uint64_t> shape;
    std::uint64_t offset;
    std::uint64_t byteCount;
  };
  const std::vector<Row> expected{
      {"token_embedding", {258, 2}, 0, 4128}, {"layers.0.attention_norm", {2}, 4128, 16},
      {"layers.0.query", {2, 2}, 4144, 32},   {"layers.0.key", {2, 2}, 4176, 32},
      {"layers.0.value", {2, 2}, 4208, 32},   {"layers.0.attention_output", {2, 2}, 4240, 32},
      {"layers.0.ffn_norm", {2}, 4272, 16},   {"layers.0.ffn_gate", {3, 2}, 4288, 48},
      {"layers.0.ffn_up", {3, 2}, 4336, 48},  {"layers.0.ffn_down", {2, 3}, 4384, 48},
      {"final_norm", {2}, 4432, 16},
  };
  const auto unbound = unboundModel();
  const auto bound = make_model(make_test_spec(258), make_test_weights(258), kBinding);

  for (const auto& [model, manifestBytes, containerBytes] :
       {std::tuple{unbound, 707u, 5195u}, std::tuple{bound, 727u, 5215u}}) {
    const ByteBuffer& artifact = model->artifact();
    ASSERT_EQ(artifact.size(), containerBytes);
    const ReadBack back = readBack(artifact);
    EXPECT_EQ(back.info.manifest_length, manifestBytes);
    EXPECT_EQ(back.info.payload_length, 4448u);
    EXPECT_EQ(back.manifestTrailingBytes, 0u) << "the manifest ends after the rows";
    EXPECT_EQ(back.specHash, spec_hash(make_test_spec(258)));
    EXPECT_EQ(back.tokenizerHash, model->tokenizerHash());

    ASSERT_EQ(back.rows.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      const TensorEntry& row = back.rows[i];
      SCOPED_TRACE(row.name);
      EXPECT_EQ(row.name, expected[i].name);
      EXPECT_EQ(row.dtype, ArtifactDType::Float64);
      EXPECT_EQ(row.shape, expected[i].shape);
      EXPECT_EQ(row.offset, expected[i].offset);
      EXPECT_EQ(row.byte_count, expected[i].byteCount);
      EXPECT_EQ(row.checksum, fnv1a64(rowBytes(artifact, back.info, row)));
    }

    // The payload holds the weight values themselves, row-major.
    const std::vector<NamedWeightTensor> named = named_weight_tensors(model->weights());
    ASSERT_EQ(named.size(), back.rows.size());
    for (std::size_t i = 0; i < named.size(); ++i) {
      EXPECT_EQ(decodeDoubles(rowBytes(artifact, back.info, back.rows[i])),
                named[i].tensor.get().data)
          << back.rows[i].name;
    }

    EXPECT_EQ(model->identity(), readU64(artifact, 32));
    EXPECT_EQ(model->identity(), artifact_checksum(artifact));
  }
}

TEST(ModelArtifact, SerializationIsDeterministicAndMatchesTheModel) {
  const auto first = unboundModel();
  const auto second = unboundModel();
  EXPECT_EQ(first->artifact(), second->artifact());
  EXPECT_EQ(first->identity(), second->identity());
  EXPECT_EQ(serialize_model_artifact(first->spec(), first->weights(), std::nullopt),
            first->artifact());
}

TEST(ModelIdentity, CoversTheBindingTheWeightsAndTheTransformerSpec) {
  const auto unbound = unboundModel();
  const auto bound = make_model(make_test_spec(258), make_test_weights(258), kBinding);
  EXPECT_NE(bound->artifact(), unbound->artifact());
  EXPECT_NE(bound->identity(), unbound->identity());

  const auto otherBinding =
      make_model(make_test_spec(258), make_test_weights(258), "fedcba9876543210");
  EXPECT_NE(otherBinding->identity(), bound->identity());

  TransformerWeights changed = make_test_weights(258);
  changed.layers[0].ffn_down.data[5] = 0.5;
  const auto oneWeight = make_model(make_test_spec(258), std::move(changed));
  EXPECT_NE(oneWeight->identity(), unbound->identity());
  EXPECT_EQ(oneWeight->artifact().size(), unbound->artifact().size());

  // Declared precisions change no computed value, only spec_hash.
  TransformerSpec otherPrecision = make_test_spec(258);
  otherPrecision.precision.kv_cache = DType::float32;
  const auto precisionModel = make_model(otherPrecision, make_test_weights(258));
  EXPECT_NE(precisionModel->identity(), unbound->identity());
}

TEST(Model, KeepsWhatItWasBuiltFrom) {
  TransformerWeights weights = make_test_weights(258);
  const double* const embeddingStorage = weights.token_embedding.data.data();
  const auto model = make_model(make_test_spec(258), std::move(weights), kBinding);
  EXPECT_EQ(model->spec(), make_test_spec(258));
  EXPECT_EQ(model->tokenizerHash(), std::optional<std::string>(kBinding));
  EXPECT_EQ(model->weights().token_embedding.data.data(), embeddingStorage)
      << "the weights are moved in, not copied";
  EXPECT_EQ(unboundModel()->tokenizerHash(), std::nullopt);
}

TEST(MakeModel, WeightsThatDoNotFitFailWithTheForwardPassError) {
  struct Case {
    const char* name;
    std::function<void(TransformerSpec&, TransformerWeights&)> edit;
    const char* message;
  };
  const std::vector<Case> cases{
      {"invalid spec", [](TransformerSpec& s, TransformerWeights&) { s.head_dim = 3; },
       "transformer forward received invalid spec"},
      {"embedding rows",
       [](TransformerSpec&, TransformerWeights& w) {
         w.token_embedding = make_filled_tensor({257, 2}, 0.01);
       },
       "token embedding has an invalid shape"},
      {"final norm",
       [](TransformerSpec&, TransformerWeights& w) { w.final_norm = make_filled_tensor({3}, 1.0); },
       "final norm has an invalid shape"},
      {"layer count", [](TransformerSpec&, TransformerWeights& w) { w.layers.clear(); },
       "weight layer count mismatch"},
      {"query",
       [](TransformerSpec&, TransformerWeights& w) {
         w.layers[0].query = make_filled_tensor({2, 3}, 0.0);
       },
       "query weight has an invalid shape"},
      {"ffn down",
       [](TransformerSpec&, TransformerWeights& w) {
         w.layers[0].ffn_down = make_filled_tensor({3, 2}, 0.0);
       },
       "feed-forward down weight has an invalid shape"},
      {"untied without output embedding",
       [](TransformerSpec& s, TransformerWeights&) { s.tied_embeddings = false; },
       "output embedding has an invalid shape"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransformerSpec spec = make_test_spec(258);
    TransformerWeights weights = make_test_weights(258);
    c.edit(spec, weights);
    EXPECT_THAT([&] { (void)make_model(spec, std::move(weights)); },
                ThrowsMessage<std::invalid_argument>(StrEq(c.message)));
  }
}

TEST(MakeModel, NonFiniteWeightsFailTheProbe) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  {
    SCOPED_TRACE("embedding of the probe token");
    TransformerWeights weights = make_test_weights(258);
    weights.token_embedding.data[1] = nan;
    EXPECT_THAT([&] { (void)make_model(make_test_spec(258), std::move(weights), kBinding); },
                ThrowsMessage<std::domain_error>(StrEq("transformer forward produced NaN/Inf")));
  }
  {
    // Token 0 never reads row 100, but the tied logits projection does.
    SCOPED_TRACE("embedding row only the logits read");
    TransformerWeights weights = make_test_weights(258);
    weights.token_embedding.data[200] = inf;
    EXPECT_THAT([&] { (void)make_model(make_test_spec(258), std::move(weights)); },
                ThrowsMessage<std::domain_error>(StrEq("transformer forward produced NaN/Inf")));
  }
  {
    SCOPED_TRACE("normalization weight");
    TransformerWeights weights = make_test_weights(258);
    weights.final_norm.data[0] = nan;
    EXPECT_THAT([&] { (void)make_model(make_test_spec(258), std::move(weights)); },
                ThrowsMessage<std::domain_error>(StrEq("transformer operator produced NaN/Inf")));
  }
}

TEST(ModelArtifact, OutputEmbeddingWithValuesIsTheLastRow) {
  TransformerSpec spec = make_test_spec(258);
  spec.tied_embeddings = false;
  TransformerWeights weights = make_test_weights(258);
  weights.output_embedding = make_filled_tensor({258, 2}, -0.25);
  const auto model = make_model(spec, std::move(weights));

  const ReadBack back = readBack(model->artifact());
  ASSERT_EQ(back.rows.size(), 12u);
  const TensorEntry& last = back.rows.back();
  EXPECT_EQ(last.name, "output_embedding");
  EXPECT_THAT(last.shape, ElementsAre(258u, 2u));
  EXPECT_EQ(last.offset, 4448u);
  EXPECT_EQ(last.byte_count, 4128u);
  EXPECT_EQ(back.info.payload_length, 4448u + 4128u);
  EXPECT_EQ(decodeDoubles(rowBytes(model->artifact(), back.info, last)),
            std::vector<double>(516, -0.25));
}

TEST(NamedWeightTensors, ListsEveryLayerInOrderByReference) {
  TransformerWeights weights = make_test_weights(258);
  weights.layers.push_back(weights.layers[0]);
  const std::vector<NamedWeightTensor> named = named_weight_tensors(weights);

  std::vector<std::string> names;
  for (const NamedWeightTensor& entry : named) names.push_back(entry.name);
  EXPECT_THAT(names, ElementsAreArray({"token_embedding",
                                       "layers.0.attention_norm",
                                       "layers.0.query",
                                       "layers.0.key",
                                       "layers.0.value",
                                       "layers.0.attention_output",
                                       "layers.0.ffn_norm",
                                       "layers.0.ffn_gate",
                                       "layers.0.ffn_up",
                                       "layers.0.ffn_down",
                                       "layers.1.attention_norm",
                                       "layers.1.query",
                                       "layers.1.key",
                                       "layers.1.value",
                                       "layers.1.attention_output",
                                       "layers.1.ffn_norm",
                                       "layers.1.ffn_gate",
                                       "layers.1.ffn_up",
                                       "layers.1.ffn_down",
                                       "final_norm"}));
  EXPECT_EQ(&named[0].tensor.get(), &weights.token_embedding);
  EXPECT_EQ(&named[11].tensor.get(), &weights.layers[1].query);
  EXPECT_EQ(&named[18].tensor.get(), &weights.layers[1].ffn_down);
  EXPECT_EQ(&named[19].tensor.get(), &weights.final_norm);
}

TEST(ModelArtifact, WritesOnlyTheValuesTheShapeHolds) {
  TransformerWeights weights = make_test_weights(258);
  weights.final_norm.data.push_back(7.0);  // storage beyond the shape is not part of the tensor
  const ByteBuffer artifact = serialize_model_artifact(make_test_spec(258), weights, std::nullopt);
  EXPECT_EQ(artifact, unboundModel()->artifact());

  weights.final_norm.data.resize(1);
  EXPECT_THROW((void)serialize_model_artifact(make_test_spec(258), weights, std::nullopt),
               std::out_of_range);
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
