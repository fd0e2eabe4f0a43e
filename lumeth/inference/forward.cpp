#include "lumeth/inference/forward.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/inference/attention.hpp"
#include "lumeth/inference/feed_forward.hpp"
#include "lumeth/inference/internal/forward_support.hpp"
#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/operators.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// x[k] = guard(x[k] + delta[k]) over the flat storage; same shapes.
void add_residual(const kernels::KernelTable& kernels, Tensor& x, const Tensor& delta,
                  bool full_precision) {
  if (!kernels.add_guard(x.data.data(), delta.data.data(), x.data.size(),
                         kernels::guard_mode(full_precision))) {
    throw_non_finite(GuardLevel::forward);
  }
}

}  // namespace

void validate_forward_inputs(const TransformerSpec& spec, const TransformerWeights& weights,
                             const TokenBatch& batch) {
  if (!validate_spec(spec).empty()) {
    throw std::invalid_argument("transformer forward received invalid spec");
  }
  if (batch.batch_size == 0 || batch.width == 0 || batch.width > spec.context) {
    throw std::invalid_argument("token batch dimensions are invalid");
  }
  std::size_t token_count = 0;
  if (__builtin_mul_overflow(batch.batch_size, batch.width, &token_count) ||
      batch.tokens.size() != token_count) {
    throw std::invalid_argument("token batch storage does not match shape");
  }
  if (!batch.lengths.empty() && batch.lengths.size() != batch.batch_size) {
    throw std::invalid_argument("token batch lengths do not match batch size");
  }
  for (std::size_t b = 0; b < batch.batch_size; ++b) {
    const std::size_t length = sequence_length(batch, b);
    if (length > batch.width) {
      throw std::invalid_argument("sequence length exceeds batch width");
    }
    const std::uint32_t* const sequence = batch.tokens.data() + b * batch.width;
    for (std::size_t s = 0; s < length; ++s) {
      if (sequence[s] >= spec.vocabulary) {
        throw std::out_of_range("token id exceeds vocabulary");
      }
    }
  }
  check_shape(weights.token_embedding, {spec.vocabulary, spec.model_dim}, "token embedding");
  check_shape(weights.final_norm, {spec.model_dim}, "final norm");
  if (weights.layers.size() != spec.layers) {
    throw std::invalid_argument("weight layer count mismatch");
  }
  if (!spec.tied_embeddings) {
    check_shape(weights.output_embedding, {spec.vocabulary, spec.model_dim}, "output embedding");
  }
  check_storage(weights.token_embedding);
  check_storage(weights.final_norm);
  if (!spec.tied_embeddings) {
    check_storage(weights.output_embedding);
  }
}

Tensor forward_with(const kernels::KernelTable& kernels, const TransformerSpec& spec,
                    const TransformerWeights& weights, const TokenBatch& batch,
                    const ForwardOptions& options) {
  validate_forward_inputs(spec, weights, batch);
  const Dimensions d = dimensions_of(spec);
  const bool fp = options.full_precision;
  const double epsilon = spec.normalization.epsilon;
  const std::size_t rows = batch.batch_size * batch.width;  // equals tokens.size()
  const auto observe = [&options](std::string_view name, const Tensor& tensor) {
    if (options.observer) {
      options.observer(name, tensor);
    }
  };

  const kernels::GuardMode guard = kernels::guard_mode(fp);

  // Embedding: valid positions copy their token's row; filler rows stay 0.0.
  Tensor x({rows, d.model_dim}, 0.0, fp);
  bool ok = true;
  for (std::size_t b = 0; b < batch.batch_size; ++b) {
    const std::size_t length = sequence_length(batch, b);
    for (std::size_t s = 0; s < length; ++s) {
      const std::size_t row = b * batch.width + s;
      const double* const source =
          weights.token_embedding.data.data() + batch.tokens[row] * d.model_dim;
      ok = kernels.guard_copy(x.data.data() + row * d.model_dim, source, d.model_dim, guard) && ok;
    }
  }
  if (!ok) {
    throw_non_finite(GuardLevel::forward);
  }
  observe("embedding", x);

  // The rotation table depends only on the width, the head width and the
  // rotary base: it is built once, when the first layer rotates, which is
  // where a per-layer build would first have run (and failed, if it could).
  std::optional<RopeTable> rope;

  std::string name;
  for (std::size_t i = 0; i < weights.layers.size(); ++i) {
    const LayerWeights& w = weights.layers[i];
    check_layer_shapes(w, d);
    const std::string prefix = "layer." + std::to_string(i) + ".";
    const auto observe_layer = [&](std::string_view suffix, const Tensor& tensor) {
      if (options.observer) {
        name = prefix;
        name += suffix;
        options.observer(name, tensor);
      }
    };

    const Tensor h = rms_norm_with(kernels, x, w.attention_norm, rows, d.model_dim, epsilon, fp);
    Tensor q = linear_with(kernels, h, w.query, rows, d.model_dim, d.q, fp, GuardLevel::forward);
    Tensor k = linear_with(kernels, h, w.key, rows, d.model_dim, d.kv, fp, GuardLevel::forward);
    const Tensor v =
        linear_with(kernels, h, w.value, rows, d.model_dim, d.kv, fp, GuardLevel::forward);
    if (!rope) {
      rope = build_rope_table(batch.width, d.head_dim, spec.position.rope_base, 0);
    }
    apply_rope_with(kernels, q, k, batch.batch_size, batch.width, d.query_heads, d.kv_heads, *rope,
                    fp, false);
    observe_layer("q", q);
    observe_layer("k", k);
    observe_layer("v", v);

    // Without an observer nobody sees the score and probability matrices, so
    // they are not materialised; the attention output is the same.
    Tensor attended;
    if (options.observer) {
      AttentionResult a = attention_with(kernels, q, k, v, batch.batch_size, batch.width,
                                         d.query_heads, d.kv_heads, d.head_dim, batch.lengths, fp);
      observe_layer("scores", a.scores);
      observe_layer("probabilities", a.probabilities);
      observe_layer("attention", a.output);
      attended = std::move(a.output);
    } else {
      attended = attention_output_with(kernels, q, k, v, batch.batch_size, batch.width,
                                       d.query_heads, d.kv_heads, d.head_dim, batch.lengths, fp);
    }

    const Tensor o = linear_with(kernels, attended, w.attention_output, rows, d.q, d.model_dim, fp,
                                 GuardLevel::forward);
    add_residual(kernels, x, o, fp);

    const Tensor h2 = rms_norm_with(kernels, x, w.ffn_norm, rows, d.model_dim, epsilon, fp);
    const Tensor m = feed_forward_with(kernels, h2, w.ffn_gate, w.ffn_up, w.ffn_down, rows,
                                       d.model_dim, d.ffn_dim, spec.feed_forward, fp);
    observe_layer("mlp", m);
    add_residual(kernels, x, m, fp);
  }

  const Tensor f = rms_norm_with(kernels, x, weights.final_norm, rows, d.model_dim, epsilon, fp);
  observe("final_norm", f);
  if (!options.compute_logits) {
    return Tensor();
  }

  const Tensor& e = spec.tied_embeddings ? weights.token_embedding : weights.output_embedding;
  Tensor logits({batch.batch_size, batch.width, d.vocabulary}, 0.0, fp);
  // Only valid positions are projected; filler rows keep 0.0.
  std::vector<const double*> f_rows;
  std::vector<double*> logit_rows;
  f_rows.reserve(rows);
  logit_rows.reserve(rows);
  for (std::size_t b = 0; b < batch.batch_size; ++b) {
    const std::size_t length = sequence_length(batch, b);
    for (std::size_t s = 0; s < length; ++s) {
      const std::size_t row = b * batch.width + s;
      f_rows.push_back(f.data.data() + row * d.model_dim);
      logit_rows.push_back(logits.data.data() + row * d.vocabulary);
    }
  }
  kernels::ProjectArgs args;
  args.rows = f_rows.size();
  args.in = d.model_dim;
  args.out = d.vocabulary;
  args.x_rows = f_rows.data();
  args.weight = e.data.data();
  args.weight_stride = d.model_dim;
  args.y_rows = logit_rows.data();
  args.guard = guard;
  if (!run_projection(kernels, args)) {
    throw_non_finite(GuardLevel::forward);
  }
  observe("logits", logits);
  return logits;
}

Tensor forward(const TransformerSpec& spec, const TransformerWeights& weights,
               const TokenBatch& batch, const ForwardOptions& options) {
  return forward_with(kernels::active_kernels(), spec, weights, batch, options);
}

}  // namespace Orvane::Core::Lumeth
