#pragma once

// The inference operators on an explicit kernel table. The public operators
// (operators.hpp, attention.hpp, feed_forward.hpp, forward.hpp) run these with
// kernels::active_kernels(); tests run them level by level to show that every
// level gives the same bits as the reference loops.
//
// Each function has exactly the contract of the public operator of the same
// name without the suffix: same results, same errors in the same order. The
// optional pool spreads the work over its threads (see parallel_parts.hpp);
// the results and errors do not depend on it.

#include <cstddef>
#include <span>

#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/inference/attention.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/internal/kernels/kernel_table.hpp"
#include "lumeth/inference/operators.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/spec/transformer_spec.hpp"

namespace Orvane::Core::Lumeth {

[[nodiscard]] Tensor linear_with(const kernels::KernelTable& kernels, const Tensor& input,
                                 const Tensor& weight, std::size_t rows, std::size_t in_features,
                                 std::size_t out_features, bool full_precision, GuardLevel level,
                                 ThreadPool* pool = nullptr);

[[nodiscard]] Tensor rms_norm_with(const kernels::KernelTable& kernels, const Tensor& input,
                                   const Tensor& weight, std::size_t rows, std::size_t cols,
                                   double epsilon, bool full_precision, ThreadPool* pool = nullptr);

void apply_rope_with(const kernels::KernelTable& kernels, Tensor& query, Tensor& key,
                     std::size_t batch, std::size_t seq, std::size_t query_heads,
                     std::size_t kv_heads, const RopeTable& table, bool full_precision,
                     bool inverse, ThreadPool* pool = nullptr);

[[nodiscard]] AttentionResult attention_with(const kernels::KernelTable& kernels,
                                             const Tensor& query, const Tensor& key,
                                             const Tensor& value, std::size_t batch,
                                             std::size_t seq, std::size_t query_heads,
                                             std::size_t kv_heads, std::size_t head_dim,
                                             std::span<const std::size_t> lengths,
                                             bool full_precision, ThreadPool* pool = nullptr);

// attention_with's output alone: the score and probability matrices are
// never materialised. Same output bits, same errors in the same order.
[[nodiscard]] Tensor attention_output_with(const kernels::KernelTable& kernels, const Tensor& query,
                                           const Tensor& key, const Tensor& value,
                                           std::size_t batch, std::size_t seq,
                                           std::size_t query_heads, std::size_t kv_heads,
                                           std::size_t head_dim,
                                           std::span<const std::size_t> lengths,
                                           bool full_precision, ThreadPool* pool = nullptr);

// Attention rows as raw row-major storage: `batch` sequences, each of
// `queries` query rows at positions offset .. offset + queries - 1, attending
// to the key and value rows of positions 0 .. offset + queries - 1 of the
// same sequence.
//   query  [batch * queries, query_heads * head_dim]
//   key    [batch * (offset + queries), kv_heads * head_dim], value alike
// Query row i of a sequence sees key positions 0 .. offset + i. `lengths`
// (offset 0 only) is empty or holds one length per sequence, as for
// attention.
struct AttentionRows {
  const double* query = nullptr;
  const double* key = nullptr;
  const double* value = nullptr;
  std::size_t batch = 0;
  std::size_t queries = 0;
  std::size_t offset = 0;
  std::size_t query_heads = 0;
  std::size_t kv_heads = 0;
  std::size_t head_dim = 0;
  std::span<const std::size_t> lengths;
};

// attention_with's computation without its argument checks: the caller
// guarantees valid heads, lengths and storage of the sizes above, and that
// every size product fits. The result's scores and probabilities are
// [batch, query_heads, queries, offset + queries] (empty with keep_matrices
// false) and its output [batch * queries, query_heads * head_dim]. A row's
// values do not depend on the rows computed with it: with offset p, row i
// gets exactly the bits that row p + i gets when the whole sequence is
// attended with offset 0. Throws std::invalid_argument "attention length
// exceeds sequence" and std::domain_error "transformer operator produced
// NaN/Inf".
[[nodiscard]] AttentionResult attend_rows_with(const kernels::KernelTable& kernels,
                                               const AttentionRows& rows, bool full_precision,
                                               bool keep_matrices, ThreadPool* pool = nullptr);

[[nodiscard]] Tensor feed_forward_with(const kernels::KernelTable& kernels, const Tensor& input,
                                       const Tensor& gate_weight, const Tensor& up_weight,
                                       const Tensor& down_weight, std::size_t rows,
                                       std::size_t model_dim, std::size_t ffn_dim,
                                       FeedForwardKind kind, bool full_precision,
                                       ThreadPool* pool = nullptr);

[[nodiscard]] Tensor forward_with(const kernels::KernelTable& kernels, const TransformerSpec& spec,
                                  const TransformerWeights& weights, const TokenBatch& batch,
                                  const ForwardOptions& options);

// Runs kernels.project over `args` with scratch it allocates; returns what
// the kernel returns. With a pool, the outputs are cut into parts (at
// multiples of the table's output_block) that run on its threads, each
// output's sum whole in one part: the same values whatever the pool.
[[nodiscard]] bool run_projection(const kernels::KernelTable& kernels, kernels::ProjectArgs args,
                                  ThreadPool* pool = nullptr);

}  // namespace Orvane::Core::Lumeth
