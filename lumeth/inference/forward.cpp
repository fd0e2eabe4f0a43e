#include "lumeth/inference/forward.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/inference/attention.hpp"
#include "lumeth/inference/feed_forward.hpp"
#include "lumeth/inference/internal/cached_step.hpp"
#include "lumeth/inference/internal/forward_support.hpp"
#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/internal/parallel_parts.hpp"
#include "lumeth/inference/operators.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// x[k] = guard(x[k] + delta[k]) over the flat storage; same shapes.
void add_residual(const kernels::KernelTable& kernels, Tensor& x, const Tensor& delta,
                  bool full_precision, ThreadPool* pool) {
  const kernels::GuardMode guard = kernels::guard_mode(full_precision);
  if (!parallel_elements(pool, x.data.size(), 1.0, [&](std::size_t first, std::size_t end) {
        return kernels.add_guard(x.data.data() + first, delta.data.data() + first, end - first,
                                 guard);
      })) {
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

namespace {

// What the layers of one pass share: the sizes, the options, where the rows
// sit and the rotation of their positions.
struct LayerPass {
  const kernels::KernelTable& kernels;
  const TransformerSpec& spec;
  const Dimensions& d;
  const ForwardOptions& options;
  std::size_t batch;                     // sequences
  std::size_t seq;                       // rows per sequence
  std::size_t offset;                    // position of each sequence's first row
  std::span<const std::size_t> lengths;  // empty or one per sequence (offset 0 only)
  std::optional<RopeTable> rope = {};    // positions offset .. offset + seq - 1
  std::string name = {};                 // observation names are built here
};

// One decoder layer over x [batch * seq, d], in place:
//   x += attention_output(attention(rope(q(h)), rope(k(h)), v(h))), h = rms_norm(x)
//   x += feed_forward(rms_norm(x))
// observing "layer.<index>.q" ... ".mlp". Without `history` the rows attend
// to each other (the whole sequence, forward); with it (one sequence, a
// cached step) the layer first writes its rotated keys and values into rows
// offset .. offset + seq - 1 of the history and attends over all of it.
// Every row's values depend on its own inputs and on the keys and values of
// the positions it sees, never on how the rows are batched, so both ways give
// the same bits for the same position.
void run_layer(LayerPass& pass, std::size_t index, const LayerWeights& w, Tensor& x,
               const LayerHistory* history) {
  const kernels::KernelTable& kernels = pass.kernels;
  const Dimensions& d = pass.d;
  const bool fp = pass.options.full_precision;
  const double epsilon = pass.spec.normalization.epsilon;
  const std::size_t rows = pass.batch * pass.seq;
  const ForwardObserver& observer = pass.options.observer;
  ThreadPool* const pool = pass.options.pool;
  const std::string prefix = "layer." + std::to_string(index) + ".";
  const auto observe_layer = [&](std::string_view suffix, const Tensor& tensor) {
    if (observer) {
      pass.name = prefix;
      pass.name += suffix;
      observer(pass.name, tensor);
    }
  };

  check_layer_shapes(w, d);
  const Tensor h =
      rms_norm_with(kernels, x, w.attention_norm, rows, d.model_dim, epsilon, fp, pool);
  Tensor q =
      linear_with(kernels, h, w.query, rows, d.model_dim, d.q, fp, GuardLevel::forward, pool);
  Tensor k = linear_with(kernels, h, w.key, rows, d.model_dim, d.kv, fp, GuardLevel::forward, pool);
  const Tensor v =
      linear_with(kernels, h, w.value, rows, d.model_dim, d.kv, fp, GuardLevel::forward, pool);
  // The rotation table depends only on the positions, the head width and the
  // rotary base: it is built once, when the first layer rotates, which is
  // where a per-layer build would first have run (and failed, if it could).
  if (!pass.rope) {
    pass.rope = build_rope_table(pass.seq, d.head_dim, pass.spec.position.rope_base, pass.offset);
  }
  apply_rope_with(kernels, q, k, pass.batch, pass.seq, d.query_heads, d.kv_heads, *pass.rope, fp,
                  false, pool);
  observe_layer("q", q);
  observe_layer("k", k);
  observe_layer("v", v);

  AttentionRows attend;
  attend.query = q.data.data();
  attend.key = k.data.data();
  attend.value = v.data.data();
  attend.batch = pass.batch;
  attend.queries = pass.seq;
  attend.offset = pass.offset;
  attend.query_heads = d.query_heads;
  attend.kv_heads = d.kv_heads;
  attend.head_dim = d.head_dim;
  attend.lengths = pass.lengths;
  if (history != nullptr) {
    const std::size_t first = pass.offset * d.kv;
    std::copy(k.data.begin(), k.data.end(), history->keys + first);
    std::copy(v.data.begin(), v.data.end(), history->values + first);
    attend.key = history->keys;
    attend.value = history->values;
  }
  // Without an observer nobody sees the score and probability matrices, so
  // they are not materialised; the attention output is the same.
  AttentionResult a = attend_rows_with(kernels, attend, fp, static_cast<bool>(observer), pool);
  if (observer) {
    observe_layer("scores", a.scores);
    observe_layer("probabilities", a.probabilities);
    observe_layer("attention", a.output);
  }

  const Tensor o = linear_with(kernels, a.output, w.attention_output, rows, d.q, d.model_dim, fp,
                               GuardLevel::forward, pool);
  add_residual(kernels, x, o, fp, pool);

  const Tensor h2 = rms_norm_with(kernels, x, w.ffn_norm, rows, d.model_dim, epsilon, fp, pool);
  const Tensor m = feed_forward_with(kernels, h2, w.ffn_gate, w.ffn_up, w.ffn_down, rows,
                                     d.model_dim, d.ffn_dim, pass.spec.feed_forward, fp, pool);
  observe_layer("mlp", m);
  add_residual(kernels, x, m, fp, pool);
}

// dst = guard(token_embedding row `id`), model_dim values; false when a value
// fails the guard.
bool copy_embedding(const kernels::KernelTable& kernels, const TransformerWeights& weights,
                    const Dimensions& d, std::uint32_t id, double* dst, kernels::GuardMode guard) {
  return kernels.guard_copy(dst, weights.token_embedding.data.data() + id * d.model_dim,
                            d.model_dim, guard);
}

// y_rows[r][t] = guard(sum over c ascending of E[t, c] * f_rows[r][c]) for
// every token t, E the logits embedding.
void project_logits(const kernels::KernelTable& kernels, const TransformerSpec& spec,
                    const TransformerWeights& weights, const Dimensions& d,
                    std::span<const double* const> f_rows, std::span<double* const> logit_rows,
                    kernels::GuardMode guard, ThreadPool* pool) {
  const Tensor& e = spec.tied_embeddings ? weights.token_embedding : weights.output_embedding;
  kernels::ProjectArgs args;
  args.rows = f_rows.size();
  args.in = d.model_dim;
  args.out = d.vocabulary;
  args.x_rows = f_rows.data();
  args.weight = e.data.data();
  args.weight_stride = d.model_dim;
  args.y_rows = logit_rows.data();
  args.guard = guard;
  if (!run_projection(kernels, args, pool)) {
    throw_non_finite(GuardLevel::forward);
  }
}

}  // namespace

Tensor forward_with(const kernels::KernelTable& kernels, const TransformerSpec& spec,
                    const TransformerWeights& weights, const TokenBatch& batch,
                    const ForwardOptions& options) {
  validate_forward_inputs(spec, weights, batch);
  const Dimensions d = dimensions_of(spec);
  const bool fp = options.full_precision;
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
      ok = copy_embedding(kernels, weights, d, batch.tokens[row], x.data.data() + row * d.model_dim,
                          guard) &&
           ok;
    }
  }
  if (!ok) {
    throw_non_finite(GuardLevel::forward);
  }
  observe("embedding", x);

  LayerPass pass{kernels, spec, d, options, batch.batch_size, batch.width, 0, batch.lengths};
  for (std::size_t i = 0; i < weights.layers.size(); ++i) {
    run_layer(pass, i, weights.layers[i], x, nullptr);
  }

  const Tensor f = rms_norm_with(kernels, x, weights.final_norm, rows, d.model_dim,
                                 spec.normalization.epsilon, fp, options.pool);
  observe("final_norm", f);
  if (!options.compute_logits) {
    return Tensor();
  }

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
  project_logits(kernels, spec, weights, d, f_rows, logit_rows, guard, options.pool);
  observe("logits", logits);
  return logits;
}

Tensor cached_step_with(const kernels::KernelTable& kernels, const TransformerSpec& spec,
                        const TransformerWeights& weights, std::span<const std::uint32_t> ids,
                        std::size_t position, std::span<const LayerHistory> history,
                        const ForwardOptions& options, bool last_row_only) {
  const Dimensions d = dimensions_of(spec);
  const bool fp = options.full_precision;
  const std::size_t rows = ids.size();
  const auto observe = [&options](std::string_view name, const Tensor& tensor) {
    if (options.observer) {
      options.observer(name, tensor);
    }
  };
  const kernels::GuardMode guard = kernels::guard_mode(fp);

  Tensor x({rows, d.model_dim}, 0.0, fp);
  bool ok = true;
  for (std::size_t r = 0; r < rows; ++r) {
    ok = copy_embedding(kernels, weights, d, ids[r], x.data.data() + r * d.model_dim, guard) && ok;
  }
  if (!ok) {
    throw_non_finite(GuardLevel::forward);
  }
  observe("embedding", x);

  LayerPass pass{kernels, spec, d, options, 1, rows, position, {}};
  for (std::size_t i = 0; i < weights.layers.size(); ++i) {
    run_layer(pass, i, weights.layers[i], x, &history[i]);
  }

  const Tensor f = rms_norm_with(kernels, x, weights.final_norm, rows, d.model_dim,
                                 spec.normalization.epsilon, fp, options.pool);
  observe("final_norm", f);
  if (!options.compute_logits) {
    return Tensor();
  }

  const std::size_t first = last_row_only ? rows - 1 : 0;
  const std::size_t kept = rows - first;
  Tensor logits({kept, d.vocabulary}, 0.0, fp);
  std::vector<const double*> f_rows(kept);
  std::vector<double*> logit_rows(kept);
  for (std::size_t r = 0; r < kept; ++r) {
    f_rows[r] = f.data.data() + (first + r) * d.model_dim;
    logit_rows[r] = logits.data.data() + r * d.vocabulary;
  }
  project_logits(kernels, spec, weights, d, f_rows, logit_rows, guard, options.pool);
  observe("logits", logits);
  return logits;
}

Tensor forward(const TransformerSpec& spec, const TransformerWeights& weights,
               const TokenBatch& batch, const ForwardOptions& options) {
  return forward_with(kernels::active_kernels(), spec, weights, batch, options);
}

}  // namespace Orvane::Core::Lumeth
