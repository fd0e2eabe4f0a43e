#include "lumeth/inference/internal/reference/reference_ops.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumeth/inference/elementary.hpp"
#include "lumeth/inference/feed_forward.hpp"
#include "lumeth/inference/internal/forward_support.hpp"

namespace Orvane::Core::Lumeth::reference {
namespace {

// Rotates the `heads` heads of every row of t ([batch * seq, heads * dim]),
// whose shape and storage the caller has checked.
void rotate_heads(Tensor& t, std::size_t batch, std::size_t seq, std::size_t heads,
                  const RopeTable& table, bool full_precision, bool inverse) {
  const std::size_t dim = table.dim;
  const std::size_t half = dim / 2;
  const std::size_t width = heads * dim;
  double* const base = t.data.data();
  for (std::size_t b = 0; b < batch; ++b) {
    for (std::size_t s = 0; s < seq; ++s) {
      const double* const cos_row = table.cos.data() + s * half;
      const double* const sin_row = table.sin.data() + s * half;
      double* const row = base + (b * seq + s) * width;
      for (std::size_t h = 0; h < heads; ++h) {
        double* const head = row + h * dim;
        for (std::size_t i = 0; i < half; ++i) {
          const double c = cos_row[i];
          const double n = inverse ? -sin_row[i] : sin_row[i];
          const double x0 = head[2 * i];
          const double x1 = head[2 * i + 1];
          head[2 * i] = guard_value(x0 * c - x1 * n, full_precision, GuardLevel::operation);
          head[2 * i + 1] = guard_value(x1 * c + x0 * n, full_precision, GuardLevel::operation);
        }
      }
    }
  }
}

// x[k] = guard(x[k] + delta[k]) over the flat storage; same shapes.
void add_residual(Tensor& x, const Tensor& delta, bool full_precision) {
  double* const out = x.data.data();
  const double* const add = delta.data.data();
  const std::size_t count = x.data.size();
  for (std::size_t k = 0; k < count; ++k) {
    out[k] = guard_value(out[k] + add[k], full_precision, GuardLevel::forward);
  }
}

}  // namespace

Tensor linear(const Tensor& input, const Tensor& weight, std::size_t rows, std::size_t in_features,
              std::size_t out_features, bool full_precision, GuardLevel level) {
  check_shape(input, {rows, in_features}, "linear input");
  check_shape(weight, {out_features, in_features}, "linear weight");
  check_storage(input);
  check_storage(weight);
  Tensor output({rows, out_features}, 0.0, full_precision);
  const double* const x = input.data.data();
  const double* const w = weight.data.data();
  double* const y = output.data.data();
  for (std::size_t r = 0; r < rows; ++r) {
    const double* const x_row = x + r * in_features;
    double* const y_row = y + r * out_features;
    for (std::size_t o = 0; o < out_features; ++o) {
      const double* const w_row = w + o * in_features;
      double acc = 0.0;
      for (std::size_t i = 0; i < in_features; ++i) {
        acc = acc + x_row[i] * w_row[i];
      }
      y_row[o] = guard_value(acc, full_precision, level);
    }
  }
  return output;
}

Tensor rms_norm(const Tensor& input, const Tensor& weight, std::size_t rows, std::size_t cols,
                double epsilon, bool full_precision) {
  if (!is_finite_positive(epsilon)) {
    throw std::invalid_argument("RMSNorm epsilon must be finite and positive");
  }
  check_shape(input, {rows, cols}, "RMSNorm input");
  check_shape(weight, {cols}, "RMSNorm weight");
  check_storage(input);
  check_storage(weight);
  Tensor output({rows, cols}, 0.0, full_precision);
  const double count = static_cast<double>(cols);
  const double* const w = weight.data.data();
  for (std::size_t r = 0; r < rows; ++r) {
    const double* const x_row = input.data.data() + r * cols;
    double* const y_row = output.data.data() + r * cols;
    double s = 0.0;
    for (std::size_t c = 0; c < cols; ++c) {
      s = s + x_row[c] * x_row[c];
    }
    const double m = s / count + epsilon;
    const double k = 1.0 / std::sqrt(m);
    for (std::size_t c = 0; c < cols; ++c) {
      y_row[c] = guard_value(w[c] * (x_row[c] * k), full_precision, GuardLevel::operation);
    }
  }
  return output;
}

void apply_rope(Tensor& query, Tensor& key, std::size_t batch, std::size_t seq,
                std::size_t query_heads, std::size_t kv_heads, const RopeTable& table,
                bool full_precision, bool inverse) {
  check_rope_arguments(query, key, batch, seq, query_heads, kv_heads, table);
  rotate_heads(query, batch, seq, query_heads, table, full_precision, inverse);
  rotate_heads(key, batch, seq, kv_heads, table, full_precision, inverse);
}

void rotate_query_key(Tensor& query, Tensor& key, std::size_t batch, std::size_t seq,
                      std::size_t query_heads, std::size_t kv_heads, std::size_t head_dim,
                      double base, std::size_t position_offset, bool full_precision, bool inverse) {
  const RopeTable table = build_rope_table(seq, head_dim, base, position_offset);
  reference::apply_rope(query, key, batch, seq, query_heads, kv_heads, table, full_precision,
                        inverse);
}

AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::size_t batch, std::size_t seq, std::size_t query_heads,
                          std::size_t kv_heads, std::size_t head_dim,
                          std::span<const std::size_t> lengths, bool full_precision) {
  if (query_heads == 0 || kv_heads == 0 || query_heads % kv_heads != 0) {
    throw std::invalid_argument("GQA query heads must be divisible by KV heads");
  }
  if (!lengths.empty() && lengths.size() != batch) {
    throw std::invalid_argument("attention lengths do not match batch");
  }
  const std::size_t rows = checked_product(batch, seq);
  const std::size_t q_width = checked_product(query_heads, head_dim);
  check_shape(query, {rows, q_width}, "attention query");
  const std::size_t kv_width = checked_product(kv_heads, head_dim);
  check_shape(key, {rows, kv_width}, "attention key");
  check_shape(value, {rows, kv_width}, "attention value");
  check_storage(query);
  check_storage(key);
  check_storage(value);

  AttentionResult result{Tensor({batch, query_heads, seq, seq}, 0.0, full_precision),
                         Tensor({batch, query_heads, seq, seq}, 0.0, full_precision),
                         Tensor({rows, q_width}, 0.0, full_precision)};
  const double scale = 1.0 / std::sqrt(static_cast<double>(head_dim));
  const std::size_t group = query_heads / kv_heads;
  // exp(score - max) of the current row, computed once for the sum and reused
  // for the probabilities.
  std::vector<double> weights(seq);

  const double* const q = query.data.data();
  const double* const k = key.data.data();
  const double* const v = value.data.data();
  double* const scores = result.scores.data.data();
  double* const probabilities = result.probabilities.data.data();
  double* const out = result.output.data.data();

  for (std::size_t b = 0; b < batch; ++b) {
    const std::size_t length = lengths.empty() ? seq : lengths[b];
    if (length > seq) {
      throw std::invalid_argument("attention length exceeds sequence");
    }
    const std::size_t first_row = b * seq;
    for (std::size_t h = 0; h < query_heads; ++h) {
      const std::size_t g = h / group;
      for (std::size_t i = 0; i < length; ++i) {
        const std::size_t score_row = ((b * query_heads + h) * seq + i) * seq;
        double* const score = scores + score_row;
        double* const probability = probabilities + score_row;
        const double* const q_head = q + (first_row + i) * q_width + h * head_dim;
        double* const out_head = out + (first_row + i) * q_width + h * head_dim;

        double m = -std::numeric_limits<double>::infinity();
        for (std::size_t j = 0; j <= i; ++j) {
          const double* const k_head = k + (first_row + j) * kv_width + g * head_dim;
          double dot = 0.0;
          for (std::size_t d = 0; d < head_dim; ++d) {
            dot = dot + q_head[d] * k_head[d];
          }
          score[j] = guard_value(dot * scale, full_precision, GuardLevel::operation);
          if (score[j] > m) {
            m = score[j];
          }
        }

        double sum = 0.0;
        for (std::size_t j = 0; j <= i; ++j) {
          weights[j] = elementary::exp(score[j] - m);
          sum = sum + weights[j];
        }

        for (std::size_t j = 0; j <= i; ++j) {
          const double p = guard_value(weights[j] / sum, full_precision, GuardLevel::operation);
          probability[j] = p;
          const double* const v_head = v + (first_row + j) * kv_width + g * head_dim;
          for (std::size_t d = 0; d < head_dim; ++d) {
            out_head[d] = v_head[d] * p + out_head[d];
          }
        }
        for (std::size_t d = 0; d < head_dim; ++d) {
          out_head[d] = guard_value(out_head[d], full_precision, GuardLevel::operation);
        }
      }
    }
  }
  return result;
}

Tensor feed_forward(const Tensor& input, const Tensor& gate_weight, const Tensor& up_weight,
                    const Tensor& down_weight, std::size_t rows, std::size_t model_dim,
                    std::size_t ffn_dim, FeedForwardKind kind, bool full_precision) {
  const Tensor up = reference::linear(input, up_weight, rows, model_dim, ffn_dim, full_precision,
                                      GuardLevel::operation);
  Tensor hidden({rows, ffn_dim}, 0.0, full_precision);
  const std::size_t count = hidden.data.size();
  switch (kind) {
    case FeedForwardKind::swiglu: {
      const Tensor gate = reference::linear(input, gate_weight, rows, model_dim, ffn_dim,
                                            full_precision, GuardLevel::operation);
      for (std::size_t k = 0; k < count; ++k) {
        hidden.data[k] = guard_value(swiglu_activation(gate.data[k], up.data[k]), full_precision,
                                     GuardLevel::operation);
      }
      break;
    }
    case FeedForwardKind::gelu_mlp:
      for (std::size_t k = 0; k < count; ++k) {
        hidden.data[k] =
            guard_value(gelu_activation(up.data[k]), full_precision, GuardLevel::operation);
      }
      break;
    default:
      throw std::invalid_argument("unknown feed-forward operator");
  }
  return reference::linear(hidden, down_weight, rows, ffn_dim, model_dim, full_precision,
                           GuardLevel::operation);
}

Tensor forward(const TransformerSpec& spec, const TransformerWeights& weights,
               const TokenBatch& batch, const ForwardOptions& options) {
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

  // Embedding: valid positions copy their token's row; filler rows stay 0.0.
  Tensor x({rows, d.model_dim}, 0.0, fp);
  for (std::size_t b = 0; b < batch.batch_size; ++b) {
    const std::size_t length = sequence_length(batch, b);
    for (std::size_t s = 0; s < length; ++s) {
      const std::size_t row = b * batch.width + s;
      const double* const source =
          weights.token_embedding.data.data() + batch.tokens[row] * d.model_dim;
      double* const target = x.data.data() + row * d.model_dim;
      for (std::size_t c = 0; c < d.model_dim; ++c) {
        target[c] = guard_value(source[c], fp, GuardLevel::forward);
      }
    }
  }
  observe("embedding", x);

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

    const Tensor h = reference::rms_norm(x, w.attention_norm, rows, d.model_dim, epsilon, fp);
    Tensor q = reference::linear(h, w.query, rows, d.model_dim, d.q, fp, GuardLevel::forward);
    Tensor k = reference::linear(h, w.key, rows, d.model_dim, d.kv, fp, GuardLevel::forward);
    const Tensor v =
        reference::linear(h, w.value, rows, d.model_dim, d.kv, fp, GuardLevel::forward);
    reference::rotate_query_key(q, k, batch.batch_size, batch.width, d.query_heads, d.kv_heads,
                                d.head_dim, spec.position.rope_base, 0, fp, false);
    observe_layer("q", q);
    observe_layer("k", k);
    observe_layer("v", v);

    const AttentionResult a =
        reference::attention(q, k, v, batch.batch_size, batch.width, d.query_heads, d.kv_heads,
                             d.head_dim, batch.lengths, fp);
    observe_layer("scores", a.scores);
    observe_layer("probabilities", a.probabilities);
    observe_layer("attention", a.output);

    const Tensor o = reference::linear(a.output, w.attention_output, rows, d.q, d.model_dim, fp,
                                       GuardLevel::forward);
    add_residual(x, o, fp);

    const Tensor h2 = reference::rms_norm(x, w.ffn_norm, rows, d.model_dim, epsilon, fp);
    const Tensor m = reference::feed_forward(h2, w.ffn_gate, w.ffn_up, w.ffn_down, rows,
                                             d.model_dim, d.ffn_dim, spec.feed_forward, fp);
    observe_layer("mlp", m);
    add_residual(x, m, fp);
  }

  const Tensor f = reference::rms_norm(x, weights.final_norm, rows, d.model_dim, epsilon, fp);
  observe("final_norm", f);
  if (!options.compute_logits) {
    return Tensor();
  }

  const Tensor& e = spec.tied_embeddings ? weights.token_embedding : weights.output_embedding;
  Tensor logits({batch.batch_size, batch.width, d.vocabulary}, 0.0, fp);
  for (std::size_t b = 0; b < batch.batch_size; ++b) {
    const std::size_t length = sequence_length(batch, b);
    for (std::size_t s = 0; s < length; ++s) {
      const std::size_t row = b * batch.width + s;
      const double* const features = f.data.data() + row * d.model_dim;
      double* const out = logits.data.data() + row * d.vocabulary;
      for (std::size_t t = 0; t < d.vocabulary; ++t) {
        const double* const embedding = e.data.data() + t * d.model_dim;
        double acc = 0.0;
        for (std::size_t c = 0; c < d.model_dim; ++c) {
          acc = acc + embedding[c] * features[c];
        }
        out[t] = guard_value(acc, fp, GuardLevel::forward);
      }
    }
  }
  observe("logits", logits);
  return logits;
}

}  // namespace Orvane::Core::Lumeth::reference
