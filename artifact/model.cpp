#include "artifact/model.hpp"

#include <array>
#include <bit>
#include <span>
#include <utility>

#include "artifact/container.hpp"
#include "foundation/fnv1a.hpp"
#include "spec/spec_description.hpp"

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
  identity_ = artifact_checksum(artifact_);
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

  // Sized before the first byte is written, so the payload grows in place
  // without reallocating. Each count fits: a vector of doubles never holds
  // more than SIZE_MAX / 8 values.
  std::uint64_t payloadBytes = 0;
  for (const NamedWeightTensor& entry : named) {
    payloadBytes = checked_add(payloadBytes, kFloat64Bytes * stored_value_count(entry.tensor));
  }
  ByteBuffer payload;
  payload.reserve(static_cast<std::size_t>(payloadBytes));

  std::vector<TensorEntry> rows;
  rows.reserve(named.size());
  for (const NamedWeightTensor& entry : named) {
    const Tensor& tensor = entry.tensor;
    const std::size_t offset = payload.size();
    const std::span<const double> values(tensor.data.data(), stored_value_count(tensor));
    for (const double value : values) {
      appendU64(payload, std::bit_cast<std::uint64_t>(value));
    }
    const std::span<const std::uint8_t> bytes = std::span(payload).subspan(offset);
    rows.push_back({entry.name, ArtifactDType::Float64,
                    std::vector<std::uint64_t>(tensor.shape.begin(), tensor.shape.end()), offset,
                    bytes.size(), fnv1a64(bytes)});
  }

  ByteBuffer manifest;
  write_manifest(manifest, rows, spec_hash(spec), tokenizerHash);
  return write_container(kModelArtifactMagic, manifest, payload);
}

}  // namespace Orvane::Core::Lumeth
