#include "lumeth/inference/attention.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "lumeth/inference/internal/kernel_operators.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/internal/parallel_parts.hpp"
#include "lumeth/inference/operators.hpp"

namespace Orvane::Core::Lumeth {

namespace {

// Rows of one block handled at a time: small enough for the cache, large
// enough for the blocked kernels. Each chunk is one piece of work, which may
// run on any thread of a pool.
constexpr std::size_t kChunkRows = 32;

// One chunk: rows [start, start + n) of the block of sequence b and
// key/value head g.
struct AttentionChunk {
  std::size_t b = 0;
  std::size_t g = 0;
  std::size_t start = 0;
  std::size_t n = 0;
};

// Works sequence by sequence and, inside a sequence, key/value head by
// key/value head: the query heads that share a key/value head form one block
// of rows (head by head, position by position), taken in chunks of
// kChunkRows rows for two projections,
//   scores  = guard(query rows . key rows * scale), key positions j <= i only;
//   output  = guard(sum over j ascending of value[j] * p[i, j]),
// with the softmax row by row in between.
//
// Every number of one query row (its scores, softmax and weighted sum) is
// computed from that row's query, the keys and values it sees and nothing
// else, in the same order whatever rows share its chunk: a row gives the same
// bits whether it is attended with its whole sequence or alone over a cache
// (offset > 0), and whichever thread computes its chunk.
//
// Errors come as a position-by-position walk raises them: sequences are
// judged in order, a sequence's length before any of its work, and a
// non-finite value in a sequence is reported before a later sequence's
// length (every error inside one sequence carries the same message). So only
// the sequences before the first one whose length is refused are computed.
//
// With keep_matrices false the scores and probabilities live only in small
// working rows and the result's scores and probabilities stay empty; the
// output and the errors are the same.
AttentionResult attend(const kernels::KernelTable& kernels, const AttentionRows& rows,
                       bool full_precision, bool keep_matrices, ThreadPool* pool) {
  const std::size_t batch = rows.batch;
  const std::size_t seq = rows.queries;
  const std::size_t offset = rows.offset;
  const std::size_t keys = offset + seq;  // key rows per sequence
  const std::size_t query_heads = rows.query_heads;
  const std::size_t kv_heads = rows.kv_heads;
  const std::size_t head_dim = rows.head_dim;
  const std::span<const std::size_t> lengths = rows.lengths;
  const std::size_t q_width = query_heads * head_dim;
  const std::size_t kv_width = kv_heads * head_dim;

  AttentionResult result;
  if (keep_matrices) {
    result.scores = Tensor({batch, query_heads, seq, keys}, 0.0, full_precision);
    result.probabilities = Tensor({batch, query_heads, seq, keys}, 0.0, full_precision);
  }
  result.output = Tensor({batch * seq, q_width}, 0.0, full_precision);
  const double scale = 1.0 / std::sqrt(static_cast<double>(head_dim));
  const std::size_t group = query_heads / kv_heads;
  const kernels::GuardMode guard = kernels::guard_mode(full_precision);

  const double* const q = rows.query;
  const double* const k = rows.key;
  const double* const v = rows.value;
  double* const out = result.output.data.data();

  const std::size_t block_rows = checked_product(group, seq);
  const std::size_t chunk_rows = std::min(block_rows, kChunkRows);

  // The sequences a walk would compute before a refused length, cut into
  // chunks in walk order.
  std::size_t computed = batch;
  std::vector<AttentionChunk> chunks;
  for (std::size_t b = 0; b < batch; ++b) {
    const std::size_t length = lengths.empty() ? seq : lengths[b];
    if (length > seq) {
      computed = b;
      break;
    }
    const std::size_t count = group * length;
    for (std::size_t g = 0; g < kv_heads; ++g) {
      for (std::size_t start = 0; start < count; start += chunk_rows) {
        chunks.push_back(AttentionChunk{b, g, start, std::min(chunk_rows, count - start)});
      }
    }
  }

  // One flag per chunk, written by the chunk's own task only.
  std::vector<unsigned char> chunk_ok(chunks.size(), 1);
  const auto run_chunk = [&](std::size_t index) {
    const AttentionChunk& chunk = chunks[index];
    const std::size_t b = chunk.b;
    const std::size_t g = chunk.g;
    const std::size_t n = chunk.n;
    const std::size_t length = lengths.empty() ? seq : lengths[b];
    const std::size_t first_row = b * seq;
    const std::size_t first_key = b * keys;
    // Working memory of this chunk only: every value is written before it
    // is read.
    std::vector<double> compact_scores;
    std::vector<double> compact_probabilities;
    if (!keep_matrices) {
      compact_scores.resize(checked_product(n, keys));
      compact_probabilities.resize(compact_scores.size());
    }
    std::vector<const double*> x_rows(n);
    std::vector<double*> y_rows(n);
    std::vector<double*> probability_rows(n);
    std::vector<std::size_t> visible(n);
    // Both projections fit in scratch sized for the larger one.
    const auto scratch = std::make_unique_for_overwrite<double[]>(std::max(
        kernels.project_scratch(n, head_dim, keys), kernels.project_scratch(n, keys, head_dim)));
    // exp(score - max) of the current row (the library's own exp, the same
    // bits at every kernel level), computed once for the sum and reused for
    // the probabilities.
    std::vector<double> weights(keys);

    // Block row r is position r % length of query head g * group + r / length.
    for (std::size_t c = 0; c < n; ++c) {
      const std::size_t h = g * group + (chunk.start + c) / length;
      const std::size_t i = (chunk.start + c) % length;
      x_rows[c] = q + (first_row + i) * q_width + h * head_dim;
      visible[c] = offset + i + 1;
      if (keep_matrices) {
        const std::size_t at = ((b * query_heads + h) * seq + i) * keys;
        y_rows[c] = result.scores.data.data() + at;
        probability_rows[c] = result.probabilities.data.data() + at;
      } else {
        y_rows[c] = compact_scores.data() + c * keys;
        probability_rows[c] = compact_probabilities.data() + c * keys;
      }
    }
    kernels::ProjectArgs dots;
    dots.rows = n;
    dots.in = head_dim;
    dots.out = offset + length;
    dots.x_rows = x_rows.data();
    dots.weight = k + first_key * kv_width + g * head_dim;
    dots.weight_stride = kv_width;
    dots.y_rows = y_rows.data();
    dots.out_limits = visible.data();
    dots.scale = scale;
    dots.guard = guard;
    dots.scratch = scratch.get();
    if (!kernels.project(dots)) {
      chunk_ok[index] = 0;
      return;
    }

    bool ok = true;
    for (std::size_t c = 0; c < n; ++c) {
      const double* const score = y_rows[c];
      const std::size_t visible_keys = visible[c];
      double m = -std::numeric_limits<double>::infinity();
      for (std::size_t j = 0; j < visible_keys; ++j) {
        if (score[j] > m) {
          m = score[j];
        }
      }
      kernels.exp_shifted(weights.data(), score, m, visible_keys);
      double sum = 0.0;
      for (std::size_t j = 0; j < visible_keys; ++j) {
        sum = sum + weights[j];
      }
      ok =
          kernels.divide_guard(probability_rows[c], weights.data(), sum, visible_keys, guard) && ok;
    }
    if (!ok) {
      chunk_ok[index] = 0;
      return;
    }

    // Terms past a row's visible keys (j > offset + i, within the
    // sequence) may be taken as 0.0 times value row j, which adds nothing
    // when that row is finite. A direct caller may pass non-finite
    // values: the sum can then turn NaN and this row fail before the
    // position-by-position walk would, but that walk fails in the same
    // sequence with the same message, since the sequence's last row reads
    // every value row. Rows at or past the length (filler) are never read.
    for (std::size_t c = 0; c < n; ++c) {
      const std::size_t h = g * group + (chunk.start + c) / length;
      const std::size_t i = (chunk.start + c) % length;
      x_rows[c] = probability_rows[c];
      y_rows[c] = out + (first_row + i) * q_width + h * head_dim;
    }
    kernels::ProjectArgs sums;
    sums.rows = n;
    sums.in = offset + length;
    sums.out = head_dim;
    sums.x_rows = x_rows.data();
    sums.in_limits = visible.data();
    sums.weight = v + first_key * kv_width + g * head_dim;
    sums.weight_stride = kv_width;
    sums.weight_input_major = true;
    sums.y_rows = y_rows.data();
    sums.guard = guard;
    sums.scratch = scratch.get();
    chunk_ok[index] = kernels.project(sums) ? 1 : 0;
  };
  parallel_for(pool, chunks.size(), run_chunk);

  for (std::size_t index = 0; index < chunks.size(); ++index) {
    if (chunk_ok[index] == 0) {
      throw_non_finite(GuardLevel::operation);
    }
  }
  if (computed < batch) {
    throw std::invalid_argument("attention length exceeds sequence");
  }
  return result;
}

// The argument checks of attention, in its documented order, then the rows
// of the whole batch (offset 0).
AttentionResult checked_attend(const kernels::KernelTable& kernels, const Tensor& query,
                               const Tensor& key, const Tensor& value, std::size_t batch,
                               std::size_t seq, std::size_t query_heads, std::size_t kv_heads,
                               std::size_t head_dim, std::span<const std::size_t> lengths,
                               bool full_precision, bool keep_matrices, ThreadPool* pool) {
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
  AttentionRows shape;
  shape.query = query.data.data();
  shape.key = key.data.data();
  shape.value = value.data.data();
  shape.batch = batch;
  shape.queries = seq;
  shape.offset = 0;
  shape.query_heads = query_heads;
  shape.kv_heads = kv_heads;
  shape.head_dim = head_dim;
  shape.lengths = lengths;
  return attend(kernels, shape, full_precision, keep_matrices, pool);
}

}  // namespace

AttentionResult attend_rows_with(const kernels::KernelTable& kernels, const AttentionRows& rows,
                                 bool full_precision, bool keep_matrices, ThreadPool* pool) {
  return attend(kernels, rows, full_precision, keep_matrices, pool);
}

AttentionResult attention_with(const kernels::KernelTable& kernels, const Tensor& query,
                               const Tensor& key, const Tensor& value, std::size_t batch,
                               std::size_t seq, std::size_t query_heads, std::size_t kv_heads,
                               std::size_t head_dim, std::span<const std::size_t> lengths,
                               bool full_precision, ThreadPool* pool) {
  return checked_attend(kernels, query, key, value, batch, seq, query_heads, kv_heads, head_dim,
                        lengths, full_precision, true, pool);
}

Tensor attention_output_with(const kernels::KernelTable& kernels, const Tensor& query,
                             const Tensor& key, const Tensor& value, std::size_t batch,
                             std::size_t seq, std::size_t query_heads, std::size_t kv_heads,
                             std::size_t head_dim, std::span<const std::size_t> lengths,
                             bool full_precision, ThreadPool* pool) {
  return checked_attend(kernels, query, key, value, batch, seq, query_heads, kv_heads, head_dim,
                        lengths, full_precision, false, pool)
      .output;
}

AttentionResult attention(const Tensor& query, const Tensor& key, const Tensor& value,
                          std::size_t batch, std::size_t seq, std::size_t query_heads,
                          std::size_t kv_heads, std::size_t head_dim,
                          std::span<const std::size_t> lengths, bool full_precision) {
  return attention_with(kernels::active_kernels(), query, key, value, batch, seq, query_heads,
                        kv_heads, head_dim, lengths, full_precision);
}

}  // namespace Orvane::Core::Lumeth
