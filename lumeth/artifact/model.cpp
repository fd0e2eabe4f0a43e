#include "lumeth/artifact/model.hpp"

#include <array>
#include <span>
#include <utility>

#include "lumeth/artifact/container.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::uint64_t kFloat64Bytes = 8;

// The per-layer members in LayerWeights order, with their artifact names.
constexpr std::array<std::pair<const char*, Tensor LayerWeights::*>, 9> kLayerMembers{{
    {"attention_norm", &LayerWeights::attention_norm},
    {"query", &LayerWeights::query},
    {"key", &LayerWeights::key},
    {"value", &LayerWeights::value},
    {"attention_output", &LayerWeights::attention_output},
    {"ffn_norm", &LayerWeights::ffn_norm},
    {"ffn_gate", &LayerWeights::ffn_gate},
    {"ffn_up", &LayerWeights::ffn_up},
    {"ffn_down", &LayerWeights::ffn_down},
}};

// Values a tensor contributes to the artifact: exactly what its shape
// promises. Storage shorter than the shape is refused; a longer one is never
// read past the shape, so the row's byte count always matches its shape.
std::size_t stored_value_count(const Tensor& tensor) {
  check_storage(tensor);
  return element_count(tensor.shape);
}

// One sequence of length one holding token id 0: the smallest batch that
// drives every weight through the forward pass.
void probe(const TransformerSpec& spec, const TransformerWeights& weights) {
  const TokenBatch batch{
      .batch_size = 1, .width = 1, .tokens = {0}, .lengths = {}, .target_mask = {}};
  const ForwardOptions options{.full_precision = true, .observer = {}, .compute_logits = true};
  (void)forward(spec, weights, batch, options);
}

}  // namespace

TransformerModel::TransformerModel(ConstructionKey, const TransformerSpec& spec,
                                   TransformerWeights weights,
                                   std::optional<std::string> tokenizerHash)
    : spec_(spec), weights_(std::move(weights)), tokenizerHash_(std::move(tokenizerHash)) {
  probe(spec_, weights_);
  artifact_ = serialize_model_artifact(spec_, weights_, tokenizerHash_);
  // The writer stored artifact_checksum of the artifact in its header; the
  // identity is that field, not a second pass over the whole artifact.
  identity_ = readU64(artifact_, kContainerChecksumOffset);
}

std::shared_ptr<const TransformerModel> make_model(const TransformerSpec& spec,
                                                   TransformerWeights weights) {
  return std::make_shared<const TransformerModel>(TransformerModel::ConstructionKey{}, spec,
                                                  std::move(weights), std::nullopt);
}

std::shared_ptr<const TransformerModel> make_model(const TransformerSpec& spec,
                                                   TransformerWeights weights,
                                                   std::string tokenizerHash) {
  return std::make_shared<const TransformerModel>(TransformerModel::ConstructionKey{}, spec,
                                                  std::move(weights), std::move(tokenizerHash));
}

std::vector<NamedWeightTensor> named_weight_tensors(const TransformerWeights& weights) {
  std::vector<NamedWeightTensor> named;
  named.reserve(2 + kLayerMembers.size() * weights.layers.size() + 1);
  named.push_back({"token_embedding", std::cref(weights.token_embedding)});
  for (std::size_t i = 0; i < weights.layers.size(); ++i) {
    const std::string prefix = "layers." + std::to_string(i) + ".";
    for (const auto& [member, field] : kLayerMembers) {
      named.push_back({prefix + member, std::cref(weights.layers[i].*field)});
    }
  }
  named.push_back({"final_norm", std::cref(weights.final_norm)});
  if (!weights.output_embedding.data.empty()) {
    named.push_back({"output_embedding", std::cref(weights.output_embedding)});
  }
  return named;
}

// Model artifact: a container with magic "LUMECTM1" whose manifest is exactly
// the shared prefix (nothing follows the rows) and whose payload is
//
//   row k    dtype Float64, shape = tensor shape
//            bytes: each value in row-major order as the little-endian u64 of
//            its binary64 bits; offset = bytes of the rows before it
//
// for the named tensors in named_weight_tensors order, back to back, without
// padding or alignment.
ByteBuffer serialize_model_artifact(const TransformerSpec& spec, const TransformerWeights& weights,
                                    std::optional<std::string_view> tokenizerHash) {
  const std::vector<NamedWeightTensor> named = named_weight_tensors(weights);

  // The table first, with every offset and size; each count fits, since a
  // vector of doubles never holds more than SIZE_MAX / 8 values. The
  // checksums are filled in once the payload is written.
  std::vector<TensorEntry> rows;
  rows.reserve(named.size());
  std::uint64_t payloadBytes = 0;
  for (const NamedWeightTensor& entry : named) {
    const Tensor& tensor = entry.tensor;
    const std::uint64_t byteCount = kFloat64Bytes * stored_value_count(tensor);
    rows.push_back({entry.name, ArtifactDType::Float64,
                    std::vector<std::uint64_t>(tensor.shape.begin(), tensor.shape.end()),
                    payloadBytes, byteCount, 0});
    payloadBytes = checked_add(payloadBytes, byteCount);
  }

  // The manifest's size does not depend on the checksums, so the container
  // can be laid out before they are known and the values encoded straight
  // into it: no payload buffer, no copy.
  const std::uint64_t specHash = spec_hash(spec);
  ByteBuffer manifest;
  write_manifest(manifest, rows, specHash, tokenizerHash);
  ByteBuffer artifact = begin_container(kModelArtifactMagic, manifest.size(), payloadBytes);
  const std::size_t payloadOffset = artifact.size();
  for (const NamedWeightTensor& entry : named) {
    const Tensor& tensor = entry.tensor;
    appendF64Array(artifact, std::span(tensor.data).first(stored_value_count(tensor)));
  }
  checksum_rows(rows, std::span(artifact).subspan(payloadOffset));

  manifest.clear();
  write_manifest(manifest, rows, specHash, tokenizerHash);
  (void)finish_container(artifact, manifest);
  return artifact;
}

}  // namespace Orvane::Core::Lumeth
