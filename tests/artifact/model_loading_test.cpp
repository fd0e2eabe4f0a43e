#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "conformance/fixture.hpp"
#include "lumeth/artifact/container.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth {
namespace {

using Conformance::make_test_spec;
using Conformance::make_test_weights;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

using ModelPtr = std::shared_ptr<const TransformerModel>;

constexpr const char* kBinding = "0123456789abcdef";
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Two layers, grouped-query attention (2 query heads over 1 kv head), every
// weight different; values stay small so that the forward pass is finite.
TransformerSpec gqaSpec(bool tied, FeedForwardKind feedForward) {
  TransformerSpec spec = make_test_spec(11);
  spec.layers = 2;
  spec.model_dim = 4;
  spec.query_heads = 2;
  spec.kv_heads = 1;
  spec.head_dim = 2;
  spec.ffn_dim = 3;
  spec.context = 8;
  spec.tied_embeddings = tied;
  spec.feed_forward = feedForward;
  return spec;
}

// Fills `tensor` with distinct values in (-0.5, 0.5) from `seed`, and puts a
// negative zero and the smallest subnormal in, so that bit patterns, not
// only values, have to survive.
Tensor varied(std::vector<std::size_t> shape, std::uint64_t& seed, bool full_precision = true) {
  Tensor tensor(std::move(shape), 0.0, full_precision);
  for (double& value : tensor.data) {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    value = static_cast<double>(seed >> 11) / 9007199254740992.0 - 0.5;
  }
  tensor.data[0] = -0.0;
  if (tensor.data.size() > 1) tensor.data[1] = std::numeric_limits<double>::denorm_min();
  return tensor;
}

TransformerWeights gqaWeights(const TransformerSpec& spec, bool withOutput,
                              bool full_precision = true) {
  std::uint64_t seed = 7;
  const std::size_t v = spec.vocabulary, d = spec.model_dim, f = spec.ffn_dim;
  const std::size_t kv = std::size_t{spec.kv_heads} * spec.head_dim;
  TransformerWeights weights;
  weights.token_embedding = varied({v, d}, seed, full_precision);
  for (std::uint32_t i = 0; i < spec.layers; ++i) {
    LayerWeights layer;
    layer.attention_norm = varied({d}, seed, full_precision);
    layer.query = varied({d, d}, seed, full_precision);
    layer.key = varied({kv, d}, seed, full_precision);
    layer.value = varied({kv, d}, seed, full_precision);
    layer.attention_output = varied({d, d}, seed, full_precision);
    layer.ffn_norm = varied({d}, seed, full_precision);
    layer.ffn_gate = varied({f, d}, seed, full_precision);
    layer.ffn_up = varied({f, d}, seed, full_precision);
    layer.ffn_down = varied({d, f}, seed, full_precision);
    weights.layers.push_back(std::move(layer));
  }
  weights.final_norm = varied({d}, seed, full_precision);
  if (withOutput) weights.output_embedding = varied({v, d}, seed, full_precision);
  return weights;
}

std::vector<std::uint64_t> bitsOf(const std::vector<double>& values) {
  std::vector<std::uint64_t> bits;
  bits.reserve(values.size());
  for (const double value : values) bits.push_back(std::bit_cast<std::uint64_t>(value));
  return bits;
}

// Logits of two sequences of three tokens, the second one padded.
Tensor logitsOf(const TransformerModel& model, bool full_precision) {
  const std::uint32_t last = model.spec().vocabulary - 1;
  const TokenBatch batch{.batch_size = 2,
                         .width = 3,
                         .tokens = {0, 3, last, last, 1, 0},
                         .lengths = {3, 2},
                         .target_mask = {}};
  const ForwardOptions options{
      .full_precision = full_precision, .observer = {}, .compute_logits = true};
  return forward(model.spec(), model.weights(), batch, options);
}

struct NamedModel {
  std::string label;
  ModelPtr model;
};

std::vector<NamedModel> variedModels() {
  const TransformerSpec tiedSwiglu = gqaSpec(true, FeedForwardKind::swiglu);
  const TransformerSpec untiedGelu = gqaSpec(false, FeedForwardKind::gelu_mlp);
  return {
      {"fixture, unbound", make_model(make_test_spec(258), make_test_weights(258))},
      {"fixture, bound", make_model(make_test_spec(258), make_test_weights(258), kBinding)},
      {"bound to an empty hash", make_model(make_test_spec(258), make_test_weights(258), "")},
      {"tied, no output embedding", make_model(tiedSwiglu, gqaWeights(tiedSwiglu, false))},
      {"tied, output embedding stored anyway",
       make_model(tiedSwiglu, gqaWeights(tiedSwiglu, true), kBinding)},
      {"untied, gelu", make_model(untiedGelu, gqaWeights(untiedGelu, true))},
      {"single-precision flags",
       make_model(untiedGelu, gqaWeights(untiedGelu, true, /*full_precision=*/false))},
  };
}

TEST(LoadModel, GivesBackTheArtifactIdentityWeightsAndForwardPass) {
  for (const auto& [label, original] : variedModels()) {
    SCOPED_TRACE(label);
    const ModelPtr loaded = load_model(original->artifact(), original->spec(), ArtifactLimits{});
    EXPECT_EQ(loaded->artifact(), original->artifact());
    EXPECT_EQ(loaded->identity(), original->identity());
    EXPECT_EQ(loaded->tokenizerHash(), original->tokenizerHash());
    EXPECT_EQ(loaded->spec(), original->spec());

    const std::vector<NamedWeightTensor> want = named_weight_tensors(original->weights());
    const std::vector<NamedWeightTensor> got = named_weight_tensors(loaded->weights());
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(got[i].name, want[i].name);
      EXPECT_EQ(got[i].tensor.get().shape, want[i].tensor.get().shape) << want[i].name;
      EXPECT_EQ(bitsOf(got[i].tensor.get().data), bitsOf(want[i].tensor.get().data))
          << want[i].name;
      EXPECT_TRUE(got[i].tensor.get().full_precision) << want[i].name;
    }

    for (const bool full_precision : {true, false}) {
      EXPECT_EQ(bitsOf(logitsOf(*loaded, full_precision).data),
                bitsOf(logitsOf(*original, full_precision).data))
          << "full_precision " << full_precision;
    }
    // Loading again from the loaded model changes nothing.
    EXPECT_EQ(load_model(loaded->artifact(), loaded->spec(), ArtifactLimits{})->artifact(),
              original->artifact());
  }
}

TEST(LoadModel, TheBytesPassedByMoveBecomeTheArtifact) {
  const ModelPtr original = make_model(make_test_spec(258), make_test_weights(258), kBinding);
  ByteBuffer bytes = original->artifact();
  const std::uint8_t* const storage = bytes.data();
  const ModelPtr loaded = load_model(std::move(bytes), original->spec(), ArtifactLimits{});
  EXPECT_EQ(loaded->artifact().data(), storage) << "no copy, no second serialization";
  EXPECT_EQ(loaded->identity(), original->identity());
}

TEST(LoadModel, LimitsAreInclusiveAndCanBeRaised) {
  const ModelPtr original = make_model(make_test_spec(258), make_test_weights(258));
  const ByteBuffer& artifact = original->artifact();
  ArtifactLimits exact;
  exact.max_file_bytes = artifact.size();
  exact.max_tensor_bytes = 258 * 2 * 8;  // the embedding, the largest tensor
  exact.max_tensor_count = 11;
  exact.max_tensor_rank = 2;
  exact.max_manifest_bytes = readU64(artifact, 16);
  EXPECT_EQ(load_model(artifact, original->spec(), exact)->identity(), original->identity());

  const std::vector<std::pair<std::function<void(ArtifactLimits&)>, const char*>> tighter = {
      {[](ArtifactLimits& l) { --l.max_file_bytes; }, "artifact exceeds file size limit"},
      {[](ArtifactLimits& l) { --l.max_manifest_bytes; }, "artifact manifest exceeds limit"},
      {[](ArtifactLimits& l) { --l.max_tensor_count; }, "artifact tensor count exceeds limit"},
      {[](ArtifactLimits& l) { --l.max_tensor_rank; }, "artifact tensor rank exceeds limit"},
      {[](ArtifactLimits& l) { --l.max_tensor_bytes; }, "artifact tensor exceeds size limit"},
  };
  for (const auto& [edit, message] : tighter) {
    ArtifactLimits limits = exact;
    edit(limits);
    EXPECT_THAT([&] { (void)load_model(artifact, original->spec(), limits); },
                ThrowsMessage<std::invalid_argument>(StrEq(message)));
  }
}

// ---------------------------------------------------------------------------
// Corruptions

// A model artifact taken apart, so that a row, the binding or the payload can
// be edited and the container written again with consistent checksums.
struct Parts {
  std::uint64_t specHash = 0;
  std::optional<std::string> tokenizerHash;
  std::vector<TensorEntry> rows;
  ByteBuffer payload;
  ByteBuffer manifestTail;  // bytes after the table
  bool rechecksumRows = true;
};

Parts partsOf(const ByteBuffer& artifact) {
  Parts parts;
  const ContainerInfo info = read_container_header(artifact, kModelArtifactMagic, ArtifactLimits{});
  ByteCursor cursor = manifest_cursor(artifact, info);
  parts.rows = read_manifest(cursor, ArtifactLimits{}, parts.specHash, parts.tokenizerHash);
  parts.payload.assign(artifact.begin() + static_cast<std::ptrdiff_t>(info.payload_offset),
                       artifact.end());
  return parts;
}

ByteBuffer artifactOf(Parts parts) {
  if (parts.rechecksumRows) {
    for (TensorEntry& row : parts.rows) {
      if (row.offset <= parts.payload.size() &&
          row.byte_count <= parts.payload.size() - row.offset) {
        row.checksum = fnv1a64(std::span<const std::uint8_t>(parts.payload)
                                   .subspan(static_cast<std::size_t>(row.offset),
                                            static_cast<std::size_t>(row.byte_count)));
      }
    }
  }
  ByteBuffer manifest;
  write_manifest(manifest, parts.rows, parts.specHash, parts.tokenizerHash);
  appendBytes(manifest, parts.manifestTail);
  return write_container(kModelArtifactMagic, manifest, parts.payload);
}

void putF64(ByteBuffer& payload, std::uint64_t offset, double value) {
  ByteBuffer bytes;
  appendU64(bytes, std::bit_cast<std::uint64_t>(value));
  std::copy(bytes.begin(), bytes.end(), payload.begin() + static_cast<std::ptrdiff_t>(offset));
}

// Row indices of the fixture artifact (one layer).
constexpr std::size_t kEmbeddingRow = 0;
constexpr std::size_t kQueryRow = 2;
constexpr std::size_t kKeyRow = 3;
constexpr std::size_t kFinalNormRow = 10;

struct Corruption {
  std::string label;
  // Edits the parts of the bound fixture model (tied, no output embedding);
  // may also change the spec the artifact is loaded with.
  std::function<ByteBuffer(Parts&, TransformerSpec&)> make;
  std::string expected;
};

Corruption partsEdit(std::string label, std::function<void(Parts&)> edit, std::string expected) {
  return {std::move(label),
          [edit](Parts& parts, TransformerSpec&) {
            edit(parts);
            return artifactOf(parts);
          },
          std::move(expected)};
}

Corruption bytesEdit(std::string label, std::function<void(ByteBuffer&)> edit,
                     std::string expected) {
  return {std::move(label),
          [edit](Parts& parts, TransformerSpec&) {
            ByteBuffer artifact = artifactOf(parts);
            edit(artifact);
            return artifact;
          },
          std::move(expected)};
}

Corruption specEdit(std::string label, std::function<void(TransformerSpec&)> edit,
                    std::string expected) {
  return {std::move(label),
          [edit](Parts& parts, TransformerSpec& spec) {
            edit(spec);
            return artifactOf(parts);
          },
          std::move(expected)};
}

// The artifact written for `spec` instead, with the fixture's rows.
Corruption forSpec(std::string label, std::function<void(TransformerSpec&)> specChange,
                   std::function<void(Parts&)> edit, std::string expected) {
  return {std::move(label),
          [specChange, edit](Parts& parts, TransformerSpec& spec) {
            specChange(spec);
            parts.specHash = spec_hash(spec);
            edit(parts);
            return artifactOf(parts);
          },
          std::move(expected)};
}

// A whole row removed from the table and the payload, offsets kept
// back to back.
void dropRow(Parts& parts, std::size_t index) {
  const TensorEntry removed = parts.rows[index];
  parts.payload.erase(
      parts.payload.begin() + static_cast<std::ptrdiff_t>(removed.offset),
      parts.payload.begin() + static_cast<std::ptrdiff_t>(removed.offset + removed.byte_count));
  parts.rows.erase(parts.rows.begin() + static_cast<std::ptrdiff_t>(index));
  for (std::size_t i = index; i < parts.rows.size(); ++i)
    parts.rows[i].offset -= removed.byte_count;
}

// A row of `values` appended to the table and the payload.
void appendRow(Parts& parts, std::string name, std::vector<std::uint64_t> shape,
               const std::vector<double>& values) {
  const std::uint64_t offset = parts.payload.size();
  for (const double value : values) appendU64(parts.payload, std::bit_cast<std::uint64_t>(value));
  parts.rows.push_back(
      {std::move(name), ArtifactDType::Float64, std::move(shape), offset, 8 * values.size(), 0});
}

TEST(LoadModel, EachCorruptionFailsWithItsOwnMessage) {
  const std::vector<Corruption> cases = {
      specEdit(
          "invalid spec", [](TransformerSpec& s) { s.head_dim = 3; }, "model spec is invalid"),
      specEdit(
          "invalid spec before a bad header", [](TransformerSpec& s) { s.context = 0; },
          "model spec is invalid"),

      // The container header, the global checksum included.
      bytesEdit(
          "39 bytes", [](ByteBuffer& a) { a.resize(39); }, "truncated artifact header"),
      bytesEdit(
          "a session file's magic", [](ByteBuffer& a) { a[7] = 'S'; }, "artifact magic mismatch"),
      bytesEdit(
          "payload byte flipped", [](ByteBuffer& a) { a.back() ^= 0x01; },
          "artifact global checksum mismatch"),
      bytesEdit(
          "manifest byte flipped", [](ByteBuffer& a) { a[41] ^= 0x10; },
          "artifact global checksum mismatch"),
      {"global checksum before a trailing manifest byte",
       [](Parts& p, TransformerSpec&) {
         p.manifestTail = {0};
         ByteBuffer artifact = artifactOf(p);
         artifact.back() ^= 0x01;
         return artifact;
       },
       "artifact global checksum mismatch"},
      {"global checksum before a wrong spec",
       [](Parts& p, TransformerSpec& s) {
         s.context = 9;
         ByteBuffer artifact = artifactOf(p);
         artifact.back() ^= 0x01;
         return artifact;
       },
       "artifact global checksum mismatch"},

      // The manifest.
      bytesEdit(
          "binding flag 2",
          [](ByteBuffer& a) {
            a[40 + 8] = 2;
            const std::uint64_t checksum = artifact_checksum(a);
            for (std::size_t i = 0; i < 8; ++i) {
              a[32 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
            }
          },
          "invalid tokenizer binding flag"),
      partsEdit(
          "a byte after the last row", [](Parts& p) { p.manifestTail = {0}; },
          "model manifest has trailing bytes"),
      partsEdit(
          "a second manifest tail of eight bytes",
          [](Parts& p) { p.manifestTail = ByteBuffer(8, 0); }, "model manifest has trailing bytes"),
      specEdit(
          "loaded with another context", [](TransformerSpec& s) { s.context = 9; },
          "model spec hash mismatch"),
      specEdit(
          "loaded untied", [](TransformerSpec& s) { s.tied_embeddings = false; },
          "model spec hash mismatch"),
      specEdit(
          "loaded with a renamed port", [](TransformerSpec& s) { s.ports[0].name = "ids"; },
          "model spec hash mismatch"),
      partsEdit(
          "stored spec hash off by one", [](Parts& p) { ++p.specHash; },
          "model spec hash mismatch"),

      // The container's table checks come before the model's.
      partsEdit(
          "duplicate name", [](Parts& p) { p.rows[kKeyRow].name = p.rows[kQueryRow].name; },
          "artifact tensor name is duplicated"),
      partsEdit(
          "byte count one short", [](Parts& p) { p.rows[kFinalNormRow].byte_count -= 1; },
          "artifact tensor byte count mismatch"),
      partsEdit(
          "rows overlap", [](Parts& p) { p.rows[kKeyRow].offset -= 8; },
          "artifact tensor ranges overlap"),

      // The rows against the spec.
      partsEdit(
          "final norm missing", [](Parts& p) { dropRow(p, kFinalNormRow); },
          "model tensor table does not match spec"),
      partsEdit(
          "a layer member missing", [](Parts& p) { dropRow(p, kKeyRow); },
          "model tensor table does not match spec"),
      partsEdit(
          "a row after the output embedding",
          [](Parts& p) {
            appendRow(p, "output_embedding", {258, 2}, std::vector<double>(516, 0.5));
            appendRow(p, "extra", {1}, {0.0});
          },
          "model tensor table does not match spec"),
      forSpec(
          "untied spec without an output embedding",
          [](TransformerSpec& s) { s.tied_embeddings = false; }, [](Parts&) {},
          "model tensor table does not match spec"),
      forSpec(
          "a spec with two layers, the rows of one", [](TransformerSpec& s) { s.layers = 2; },
          [](Parts&) {}, "model tensor table does not match spec"),
      partsEdit(
          "query and key swapped in the table",
          [](Parts& p) { std::swap(p.rows[kQueryRow].name, p.rows[kKeyRow].name); },
          "model tensor table does not match spec"),
      partsEdit(
          "a name in another case", [](Parts& p) { p.rows[kQueryRow].name = "layers.0.Query"; },
          "model tensor table does not match spec"),
      partsEdit(
          "layer numbered 1", [](Parts& p) { p.rows[kQueryRow].name = "layers.1.query"; },
          "model tensor table does not match spec"),
      partsEdit(
          "output embedding under another name",
          [](Parts& p) {
            appendRow(p, "output", {258, 2}, std::vector<double>(516, 0.5));
          },
          "model tensor table does not match spec"),
      partsEdit(
          "final norm as UInt8",
          [](Parts& p) {
            dropRow(p, kFinalNormRow);
            p.rows.push_back({"final_norm", ArtifactDType::UInt8, {2}, p.payload.size(), 2, 0});
            p.payload.push_back(1);
            p.payload.push_back(1);
          },
          "model tensor dtype is not float64"),
      partsEdit(
          "final norm as UInt32",
          [](Parts& p) {
            p.rows[kFinalNormRow].dtype = ArtifactDType::UInt32;
            p.rows[kFinalNormRow].shape = {4};
          },
          "model tensor dtype is not float64"),
      partsEdit(
          "query flattened to [4]", [](Parts& p) { p.rows[kQueryRow].shape = {4}; },
          "model tensor shape does not match spec"),
      partsEdit(
          "query as [1, 4]",
          [](Parts& p) {
            p.rows[kQueryRow].shape = {1, 4};
          },
          "model tensor shape does not match spec"),
      partsEdit(
          "embedding as [2, 258]",
          [](Parts& p) {
            p.rows[kEmbeddingRow].shape = {2, 258};
          },
          "model tensor shape does not match spec"),
      partsEdit(
          "embedding as [258, 2, 1]",
          [](Parts& p) {
            p.rows[kEmbeddingRow].shape = {258, 2, 1};
          },
          "model tensor shape does not match spec"),
      partsEdit(
          "tied output embedding with a zero extent",
          [](Parts& p) {
            appendRow(p, "output_embedding", {258, 0}, {});
          },
          "model tensor shape does not match spec"),
      partsEdit(
          "a gap before the final norm",
          [](Parts& p) {
            p.payload.insert(
                p.payload.begin() + static_cast<std::ptrdiff_t>(p.rows[kFinalNormRow].offset), 0);
            p.rows[kFinalNormRow].offset += 1;
          },
          "model tensor layout is not canonical"),
      partsEdit(
          "a payload byte after the last row", [](Parts& p) { p.payload.push_back(0); },
          "model tensor layout is not canonical"),
      partsEdit(
          "query and key stored in the other order",
          [](Parts& p) { std::swap(p.rows[kQueryRow].offset, p.rows[kKeyRow].offset); },
          "model tensor layout is not canonical"),

      // The bytes.
      {"a row checksum off by one",
       [](Parts& p, TransformerSpec&) {
         p.rechecksumRows = false;
         p.rows[kFinalNormRow].checksum += 1;
         return artifactOf(p);
       },
       "model tensor checksum mismatch"},
      {"a value changed under its old checksum",
       [](Parts& p, TransformerSpec&) {
         p.rechecksumRows = false;
         putF64(p.payload, p.rows[kQueryRow].offset, 0.25);
         return artifactOf(p);
       },
       "model tensor checksum mismatch"},
      {"an earlier row checksum before a later NaN",
       [](Parts& p, TransformerSpec&) {
         p.rechecksumRows = false;
         p.rows[kEmbeddingRow].checksum ^= 1;
         putF64(p.payload, p.rows[kFinalNormRow].offset, kNaN);
         p.rows[kFinalNormRow].checksum = fnv1a64(std::span<const std::uint8_t>(p.payload).subspan(
             static_cast<std::size_t>(p.rows[kFinalNormRow].offset), 16));
         return artifactOf(p);
       },
       "model tensor checksum mismatch"},
      partsEdit(
          "NaN in a weight", [](Parts& p) { putF64(p.payload, p.rows[kKeyRow].offset, kNaN); },
          "model weights contain NaN/Inf"),
      partsEdit(
          "negative NaN", [](Parts& p) { putF64(p.payload, p.rows[kKeyRow].offset, -kNaN); },
          "model weights contain NaN/Inf"),
      partsEdit(
          "infinity in the last value",
          [](Parts& p) { putF64(p.payload, p.payload.size() - 8, -kInf); },
          "model weights contain NaN/Inf"),
      // Finite, but the tied logits projection overflows at token 5: the
      // probe's normalized state (1, 1) times (1e308, 1e308).
      partsEdit(
          "weights that overflow in the probe",
          [](Parts& p) {
            putF64(p.payload, 5 * 16, 1e308);
            putF64(p.payload, 5 * 16 + 8, 1e308);
          },
          "model weights fail the forward probe"),
  };
  for (const Corruption& c : cases) {
    SCOPED_TRACE(c.label);
    const ModelPtr model = make_model(make_test_spec(258), make_test_weights(258), kBinding);
    Parts parts = partsOf(model->artifact());
    TransformerSpec spec = model->spec();
    const ByteBuffer artifact = c.make(parts, spec);
    EXPECT_THAT([&] { (void)load_model(artifact, spec, ArtifactLimits{}); },
                ThrowsMessage<std::invalid_argument>(StrEq(c.expected)));
  }
}

TEST(LoadModel, AcceptsWhatTheWriterMayStore) {
  const ModelPtr model = make_model(make_test_spec(258), make_test_weights(258), kBinding);
  const TransformerSpec spec = model->spec();
  {
    SCOPED_TRACE("unedited parts");
    EXPECT_EQ(
        load_model(artifactOf(partsOf(model->artifact())), spec, ArtifactLimits{})->identity(),
        model->identity());
  }
  {
    SCOPED_TRACE("a tied model's output embedding, which the writer stores when it has values");
    Parts parts = partsOf(model->artifact());
    appendRow(parts, "output_embedding", {258, 2}, std::vector<double>(516, -0.125));
    const ModelPtr loaded = load_model(artifactOf(parts), spec, ArtifactLimits{});
    EXPECT_EQ(loaded->weights().output_embedding.data, std::vector<double>(516, -0.125));
    TransformerWeights weights = make_test_weights(258);
    weights.output_embedding = Tensor({258, 2}, -0.125, true);
    EXPECT_EQ(loaded->identity(), make_model(spec, std::move(weights), kBinding)->identity());
  }
  {
    // The pass never reads it, so make_model takes any shape and any values,
    // and what it wrote loads back.
    SCOPED_TRACE("a tied model's output embedding of another shape, holding an infinity");
    TransformerWeights weights = make_test_weights(258);
    weights.output_embedding = Tensor({3, 5, 7}, 0.5, true);
    weights.output_embedding.data[104] = kInf;
    const ModelPtr odd = make_model(spec, std::move(weights), kBinding);
    const ModelPtr loaded = load_model(odd->artifact(), spec, ArtifactLimits{});
    EXPECT_EQ(loaded->artifact(), odd->artifact());
    EXPECT_EQ(loaded->weights().output_embedding.shape, (std::vector<std::size_t>{3, 5, 7}));
  }
  {
    SCOPED_TRACE("unbound");
    Parts parts = partsOf(model->artifact());
    parts.tokenizerHash.reset();
    EXPECT_EQ(load_model(artifactOf(parts), spec, ArtifactLimits{})->tokenizerHash(), std::nullopt);
  }
}

// Every prefix of the artifact is refused; none escapes half-built.
TEST(LoadModel, EveryTruncatedArtifactIsRefused) {
  const ModelPtr model = make_model(make_test_spec(258), make_test_weights(258), kBinding);
  const ByteBuffer& artifact = model->artifact();
  for (std::size_t length = 0; length < artifact.size(); ++length) {
    const ByteBuffer prefix(artifact.begin(),
                            artifact.begin() + static_cast<std::ptrdiff_t>(length));
    EXPECT_THROW((void)load_model(prefix, model->spec(), ArtifactLimits{}), std::invalid_argument)
        << length;
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
