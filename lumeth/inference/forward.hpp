#pragma once

// The forward pass of a decoder-only transformer over a batch of token
// sequences: embedding, then per layer RMS norm, Q/K/V projections, rotary
// encoding, causal grouped-query attention, output projection and residual,
// RMS norm, feed-forward and residual; a final RMS norm and the logits
// projection. Stateless and deterministic: the same spec, weights, batch and
// options give bit-identical results.
//
// Shapes: rows = batch_size * width, d = model_dim, q = query_heads * head_dim,
// kv = kv_heads * head_dim, f = ffn_dim.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

// batch_size right-padded sequences of `width` positions each.
struct TokenBatch {
  std::size_t batch_size = 0;
  std::size_t width = 0;
  // batch_size * width ids; position s of sequence b at b * width + s.
  std::vector<std::uint32_t> tokens;
  // Empty (every sequence uses all width positions) or one length per
  // sequence; positions at or after a sequence's length are filler and their
  // ids are ignored.
  std::vector<std::size_t> lengths;
  // Per-position training mask, filled only by dialogue windows; the forward
  // pass never reads it.
  std::vector<std::uint8_t> target_mask;
};

// One layer's weights; the label in each comment is the one its shape error
// names.
struct LayerWeights {
  Tensor attention_norm;    // [d]     "attention norm"
  Tensor query;             // [q, d]  "query weight"
  Tensor key;               // [kv, d] "key weight"
  Tensor value;             // [kv, d] "value weight"
  Tensor attention_output;  // [d, q]  "attention output weight"
  Tensor ffn_norm;          // [d]     "feed-forward norm"
  Tensor ffn_gate;          // [f, d]  "feed-forward gate weight"; shape required even for gelu_mlp
  Tensor ffn_up;            // [f, d]  "feed-forward up weight"
  Tensor ffn_down;          // [d, f]  "feed-forward down weight"
};

struct TransformerWeights {
  Tensor token_embedding;  // [vocabulary, d]
  std::vector<LayerWeights> layers;
  Tensor final_norm;  // [d]
  // [vocabulary, d]; read only when spec.tied_embeddings is false,
  // otherwise ignored (it may be empty).
  Tensor output_embedding;
};

// Receives an intermediate tensor by name. The name and the tensor are valid
// only during the call.
using ForwardObserver = std::function<void(std::string_view name, const Tensor& tensor)>;

struct ForwardOptions {
  // false: every stored value is rounded to single precision.
  bool full_precision = true;
  // Called synchronously, in computation order, with "embedding"; per layer i
  // "layer.<i>.q", ".k" (both after rotation), ".v", ".scores",
  // ".probabilities", ".attention" (before the output projection), ".mlp"
  // (before the residual); then "final_norm" and "logits". Empty: no calls.
  // An exception it throws propagates out of forward.
  ForwardObserver observer;
  // false: skip the logits projection and return an empty tensor.
  bool compute_logits = true;
  // Not owned; null: the calling thread does all the work. Otherwise the
  // projections (split by outputs), the attention (by key/value head and by
  // chunks of rows), the normalizations, rotations and activations (by rows
  // or elements) and the logits (by token) run on the pool's threads and the
  // calling thread. No output's sum is ever split, so the results are the
  // same bits whatever the pool and its size. The observer is still called
  // on the calling thread, in the same order. The pool must outlive the call.
  ThreadPool* pool = nullptr;
};

// Checks, in this order, throwing on the first problem:
//   std::invalid_argument "transformer forward received invalid spec"
//     (validate_spec reported anything);
//   "token batch dimensions are invalid" (zero batch_size or width, or width
//     above spec.context);
//   "token batch storage does not match shape" (tokens count is not
//     batch_size * width; a product that overflows never matches);
//   "token batch lengths do not match batch size";
//   per sequence: "sequence length exceeds batch width", then
//     std::out_of_range "token id exceeds vocabulary" for an id within the
//     sequence's length (filler ids are not examined);
//   "token embedding has an invalid shape", "final norm has an invalid shape",
//   "weight layer count mismatch", and when embeddings are untied
//   "output embedding has an invalid shape";
//   std::out_of_range "tensor index out of bounds" for a global weight whose
//     storage is shorter than its shape.
// Layer weights are checked by forward when their layer is reached.
void validate_forward_inputs(const TransformerSpec& spec, const TransformerWeights& weights,
                             const TokenBatch& batch);

// Returns the logits, [batch_size, width, vocabulary] with the requested
// full_precision; filler positions hold 0.0. With compute_logits false
// returns an empty tensor. Throws what validate_forward_inputs throws; per
// layer "<label> has an invalid shape" for the first of its nine tensors with
// a wrong shape; std::domain_error "transformer forward produced NaN/Inf" for
// a non-finite value stored by the pass itself (embedding copy, projections,
// residuals, logits); and the operators' errors unchanged. Nothing partial is
// returned; observer calls made before an error have happened.
[[nodiscard]] Tensor forward(const TransformerSpec& spec, const TransformerWeights& weights,
                             const TokenBatch& batch, const ForwardOptions& options);

}  // namespace Orvane::Core::Lumeth
