#pragma once

// TransformerModel: the immutable unit the rest of the library shares, a
// spec, its weights and an optional tokenizer binding, together with the
// model's own "LUMECTM1" artifact and the identity derived from it.
//
// A model is created only through make_model and handed out as
// std::shared_ptr<const TransformerModel>; it lives in the shared pointer's
// control block and never changes, so any number of threads and sessions may
// read it at once.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

inline constexpr std::string_view kModelArtifactMagic = "LUMECTM1";

class TransformerModel;

// Builds an unbound model (first form) or a model bound to the tokenizer
// whose descriptor hash is `tokenizerHash` (second form; the text is stored
// as given and not checked against any tokenizer). In order: copies `spec`
// and takes over `weights` and `tokenizerHash`; probes the weights with one
// forward pass over the single token id 0 (full precision, no observer,
// logits computed; the result is discarded); serializes the model artifact;
// sets identity to artifact_checksum of the artifact.
//
// Throws whatever the probe throws, unchanged (an invalid spec, weights of the
// wrong shapes or layer count, a non-finite value: the forward pass's types
// and messages), and std::invalid_argument("artifact string exceeds uint32
// length") for a tokenizerHash or tensor name longer than 4294967295 bytes.
// On failure no model exists and the moved-in inputs are gone.
[[nodiscard]] std::shared_ptr<const TransformerModel> make_model(const TransformerSpec& spec,
                                                                 TransformerWeights weights);
[[nodiscard]] std::shared_ptr<const TransformerModel> make_model(const TransformerSpec& spec,
                                                                 TransformerWeights weights,
                                                                 std::string tokenizerHash);

class TransformerModel {
  // Only make_model can name this, so only make_model can construct a model,
  // while std::make_shared still places it in the control block.
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

 public:
  // Reserved for make_model; see there.
  TransformerModel(ConstructionKey, const TransformerSpec& spec, TransformerWeights weights,
                   std::optional<std::string> tokenizerHash);

  TransformerModel(const TransformerModel&) = delete;
  TransformerModel& operator=(const TransformerModel&) = delete;
  TransformerModel(TransformerModel&&) = delete;
  TransformerModel& operator=(TransformerModel&&) = delete;
  ~TransformerModel() = default;

  [[nodiscard]] const TransformerSpec& spec() const noexcept { return spec_; }
  [[nodiscard]] const TransformerWeights& weights() const noexcept { return weights_; }
  // Absent: unbound. Present: the descriptor hash of the one tokenizer the
  // text interface accepts for this model.
  [[nodiscard]] const std::optional<std::string>& tokenizerHash() const noexcept {
    return tokenizerHash_;
  }
  // artifact_checksum of artifact(), which is also the checksum stored at
  // bytes 32..39 of it. Changes with any weight value or shape, the TransformerSpec (via
  // its hash) and the binding.
  [[nodiscard]] std::uint64_t identity() const noexcept { return identity_; }
  // The model's "LUMECTM1" container, built once at construction.
  [[nodiscard]] const ByteBuffer& artifact() const noexcept { return artifact_; }

 private:
  friend std::shared_ptr<const TransformerModel> make_model(const TransformerSpec&,
                                                            TransformerWeights);
  friend std::shared_ptr<const TransformerModel> make_model(const TransformerSpec&,
                                                            TransformerWeights, std::string);

  TransformerSpec spec_;
  TransformerWeights weights_;
  std::optional<std::string> tokenizerHash_;
  std::uint64_t identity_ = 0;
  ByteBuffer artifact_;
};

// A weight tensor under its artifact name. `tensor` refers into the
// TransformerWeights it was listed from.
struct NamedWeightTensor {
  std::string name;
  std::reference_wrapper<const Tensor> tensor;
};

// The weights in artifact order: "token_embedding"; per layer i (decimal)
// "layers.<i>.attention_norm", ".query", ".key", ".value",
// ".attention_output", ".ffn_norm", ".ffn_gate", ".ffn_up", ".ffn_down";
// "final_norm"; and "output_embedding" last, only when it holds at least one
// value. The references stay valid as long as `weights` does.
[[nodiscard]] std::vector<NamedWeightTensor> named_weight_tensors(
    const TransformerWeights& weights);
std::vector<NamedWeightTensor> named_weight_tensors(const TransformerWeights&&) = delete;

// The "LUMECTM1" container of a model with these parts: the manifest prefix
// (spec_hash of `spec`, the binding, one Float64 row per named tensor and
// nothing after the rows) and the tensors' values back to back in row order,
// each as the little-endian u64 of its binary64 bits. Equal inputs give
// identical bytes. Neither the TransformerSpec nor the tensors' full_precision flags are
// stored. Throws std::invalid_argument("artifact string exceeds uint32
// length") for an over-long name or tokenizerHash, and std::out_of_range
// "tensor index out of bounds" when a tensor holds fewer values than its
// shape promises.
[[nodiscard]] ByteBuffer serialize_model_artifact(const TransformerSpec& spec,
                                                  const TransformerWeights& weights,
                                                  std::optional<std::string_view> tokenizerHash);

}  // namespace Orvane::Core::Lumeth
