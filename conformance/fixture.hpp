#pragma once

// The tiny, fully determined transformer that the conformance groups share:
// one layer, residual width 2, feed-forward width 3, one attention head of
// width 2, tied embeddings, a caller-chosen vocabulary (258 for the byte
// tokenizer) and constant weights. The TransformerSpec validates and the probe forward
// pass of make_model succeeds on it. The helpers add no checks of their own:
// failures of make_model propagate.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "lumeth/artifact/model.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth::Conformance {

// A default TransformerSpec (rope base 10000, rms_norm epsilon 1e-5, swiglu,
// float64 precisions) with vocabulary = `vocabulary`, context 512, 1 layer,
// model_dim 2, ffn_dim 3, 1 query head, 1 kv head, head_dim 2, tied
// embeddings, and the ports "tokens" (input, token_ids, width 1, "tokens/1")
// and "logits" (output, logits, width `vocabulary`, "logits/1").
[[nodiscard]] TransformerSpec make_test_spec(std::uint32_t vocabulary);

// token_embedding [vocabulary, 2] of 0.01; one layer whose norms [2] hold 1.0
// and whose projections (query, key, value, attention_output [2, 2];
// ffn_gate, ffn_up [3, 2]; ffn_down [2, 3]) hold 0.0; final_norm [2] of 1.0;
// output_embedding left empty.
[[nodiscard]] TransformerWeights make_test_weights(std::uint32_t vocabulary);

// A full-precision tensor of `shape` with every element `value`. Throws as the
// Tensor constructor does.
[[nodiscard]] Tensor make_filled_tensor(std::vector<std::size_t> shape, double value);

// The test model with vocabulary 258, whatever `tokenizer` reports, bound to
// the tokenizer's descriptor hash.
[[nodiscard]] std::shared_ptr<const TransformerModel> make_bound_test_model(
    const ITransformerTokenizer& tokenizer);

}  // namespace Orvane::Core::Lumeth::Conformance
