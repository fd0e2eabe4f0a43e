#pragma once

// Internal to the library: the decoder run over new positions of one
// sequence whose earlier positions are known only through their keys and
// values (the key/value cache an InferenceSession keeps). It shares every
// layer's code with forward_with, so each position gets exactly the bits a
// forward pass over the whole sequence gives it.
//
// Shapes: n = ids.size() new rows, p = position (rows already in the
// history), d = model_dim, kv = kv_heads * head_dim.

#include <cstddef>
#include <cstdint>
#include <span>

#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

// One layer's key/value history: two row-major arrays of [p + n, kv] values
// owned by the caller. Rows 0 .. p - 1 hold the rotated keys and the values
// of the earlier positions; the step writes rows p .. p + n - 1.
struct LayerHistory {
  double* keys = nullptr;
  double* values = nullptr;
};

// Runs the decoder over `ids` at positions position .. position + n - 1 and
// returns their logits, [n, vocabulary] (or [1, vocabulary], the last row's,
// with last_row_only; the empty tensor with compute_logits false). Observes
// what forward observes, for the new rows only: "embedding", per layer i
// "layer.<i>.q", ".k", ".v", ".attention", ".mlp" and then "final_norm" are
// [n, width] and equal rows position .. position + n - 1 of forward's;
// ".scores" and ".probabilities" are [1, query_heads, n, position + n] and
// equal forward's entries [0, h, position + r, j] for j < position + n (the
// columns beyond are 0.0 in forward's); "logits" is the returned tensor.
//
// The caller guarantees what forward's input checks would: `spec` and
// `weights` passed validate_forward_inputs (a TransformerModel's do), n >= 1,
// position + n <= spec.context, every id below the vocabulary, and one
// history per layer with room for position + n rows. Throws the forward
// pass's std::domain_error for a non-finite value and whatever the observer
// throws; the history rows p .. p + n - 1 may then be partly written.
[[nodiscard]] Tensor cached_step_with(const kernels::KernelTable& kernels,
                                      const TransformerSpec& spec,
                                      const TransformerWeights& weights,
                                      std::span<const std::uint32_t> ids, std::size_t position,
                                      std::span<const LayerHistory> history,
                                      const ForwardOptions& options, bool last_row_only);

}  // namespace Orvane::Core::Lumeth
