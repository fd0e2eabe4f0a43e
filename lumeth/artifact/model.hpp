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

#include "lumeth/artifact/container.hpp"
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

// Loads a model from its "LUMECTM1" artifact, the exact inverse of
// serialize_model_artifact: for every model m,
//   load_model(m->artifact(), m->spec(), limits)
// has m's artifact byte for byte, m's identity and binding, m's weight values
// bit for bit, and so a bit-identical forward pass. `artifact` is taken by
// value: pass it by move and the checked bytes become the model's artifact
// without a copy and without serializing again. `spec` is the TransformerSpec the
// artifact was written for (it stores only the spec's hash); `limits` are the
// caller's bounds (ArtifactLimits, container.hpp; the session-only fields are
// not used).
//
// Checks, in this order, each failing with std::invalid_argument and the
// message shown; the weights are decoded into temporaries, and no model
// exists unless every check passed:
//   "model spec is invalid"                 validate_spec(spec) reports anything
//   the container header against "LUMECTM1" and `limits`, the global checksum
//   included (container.hpp: "artifact exceeds file size limit" ...
//   "artifact global checksum mismatch")
//   the manifest prefix ("truncated transformer artifact", "invalid tokenizer
//   binding flag", "artifact tensor count exceeds limit", "artifact tensor
//   rank exceeds limit")
//   "model manifest has trailing bytes"     bytes follow the last table row
//   "model spec hash mismatch"              the stored spec hash is not
//                                           spec_hash(spec)
//   validate_tensor_table against the payload and `limits` (its messages,
//   from "artifact tensor has empty name" to "artifact tensor ranges overlap")
//   "model tensor table does not match spec"  the row count differs from that
//                                           of named_weight_tensors for
//                                           `spec` ("output_embedding" last,
//                                           required when the embeddings are
//                                           untied, optional when tied;
//                                           see the note below)
//   then row by row, in table order, each row fully before the next:
//   "model tensor table does not match spec"  the name is not the one
//                                           named_weight_tensors gives there
//   "model tensor dtype is not float64"
//   "model tensor shape does not match spec"  shapes as the forward pass
//                                           checks them: token and output
//                                           embedding [vocabulary, d], norms
//                                           [d], query [q, d], key and value
//                                           [kv, d], attention output [d, q],
//                                           gate and up [f, d], down [d, f];
//                                           a tied model's output_embedding
//                                           may have any shape with positive
//                                           extents (see the note below)
//   "model tensor layout is not canonical"  the row does not start where the
//                                           previous one ends (the first at
//                                           0); after the last row, the
//                                           payload does not end there
//   then:
//   "model tensor checksum mismatch"        the first row whose bytes do not
//                                           hash to its checksum
//   "model weights contain NaN/Inf"         the first non-finite value, in
//                                           row order (a tied model's
//                                           output_embedding is not looked at)
//   "model weights fail the forward probe"  the one-token forward pass that
//                                           make_model runs fails on the
//                                           decoded weights
// The global checksum is reported before any manifest or table failure, as
// the container's order demands, although one pass over the bytes computes
// it together with every row's checksum.
//
// Note: for a spec with tied embeddings the forward pass never reads
// output_embedding, so make_model stores whatever it holds, and the loader
// takes it back as stored: any shape with positive extents, any values. So
// every artifact make_model writes loads back to the same artifact.
//
// The loaded model is bound as stored (flag 1: its tokenizerHash; flag 0:
// unbound). Every loaded tensor has full_precision true: the flag is not
// stored, a stored value is an exact binary64 either way, and the forward
// pass never reads it from weights (ForwardOptions chooses the precision).
// So a model built from tensors flagged false loads with other flags but the
// same values, artifact, identity and results.
//
// Memory: a model holds its artifact (8 bytes per parameter, plus under 100
// bytes of manifest per tensor) and its weights as doubles (8 bytes per
// parameter): 16 bytes per parameter, the same for a loaded model as for one
// from make_model. Loading from a moved-in buffer peaks there too (plus the
// probe's activations for one token); from a copied one, 8 bytes per
// parameter more until the call returns. No allocation is sized from a
// stored count beyond what the bytes present can hold.
//
// The default ArtifactLimits admit a container of up to 1 GiB, which is at
// most about 134 million parameters (2^30 / 8), with no tensor above 512 MiB
// (67,108,864 values, a 32768 x 2048 embedding exactly) and at most 100000
// table rows (11110 layers). For larger models raise
// max_file_bytes and max_tensor_bytes (and max_tensor_count,
// max_manifest_bytes for very deep ones).
[[nodiscard]] std::shared_ptr<const TransformerModel> load_model(ByteBuffer artifact,
                                                                 const TransformerSpec& spec,
                                                                 const ArtifactLimits& limits);

class TransformerModel {
  // Only make_model and load_model can name this, so only they can construct
  // a model, while std::make_shared still places it in the control block.
  struct ConstructionKey {
    explicit ConstructionKey() = default;
  };

 public:
  // Reserved for make_model; see there.
  TransformerModel(ConstructionKey, const TransformerSpec& spec, TransformerWeights weights,
                   std::optional<std::string> tokenizerHash);
  // Reserved for load_model: parts that passed every check of the loader,
  // `artifact` being exactly their serialization and `identity` its
  // checksum. Neither probes nor serializes.
  TransformerModel(ConstructionKey, const TransformerSpec& spec, TransformerWeights weights,
                   std::optional<std::string> tokenizerHash, ByteBuffer artifact,
                   std::uint64_t identity);

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
  friend std::shared_ptr<const TransformerModel> load_model(ByteBuffer, const TransformerSpec&,
                                                            const ArtifactLimits&);

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
