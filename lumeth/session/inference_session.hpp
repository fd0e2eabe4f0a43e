#pragma once

// InferenceSession: the mutable companion of an immutable TransformerModel.
// It holds what a run over the model has accumulated (consumed token ids,
// key/value cache tensors, three counters and an opaque tokenizer state, in
// practice a serialized DecoderState) and saves it into a "LUMECTS1" session
// file that only a session over the very same model, binding and numeric
// policy can restore.
//
// append runs the model over new token ids, attending to the earlier ones
// through the key/value cache, so a new id costs one pass over the weights
// and over the cache instead of a forward pass over the whole sequence; the
// logits are bit for bit those of forward over the whole sequence. rewind
// drops positions from the end.
//
// Key/value cache layout, for a model of L layers and kv = kv_heads *
// head_dim:
//
//   cache()[2i]      layer i's keys, after rotation   [position, kv]
//   cache()[2i + 1]  layer i's values                 [position, kv]
//
// for i = 0 .. L - 1; row s belongs to position s (input_tokens()[s]), and
// head g occupies columns g * head_dim .. g * head_dim + head_dim - 1. At
// position 0 the cache is empty (a tensor has no zero extent). Values are
// stored exactly as the step computed them: a session stepped with
// full_precision false holds single-precision values widened to double. Every
// cache tensor's own full_precision flag is true, and the precision a session
// was stepped with is not part of its file: a restored session must be
// stepped with the full_precision it was filled with, or its results match
// no forward pass.
//
// A session owns its vectors and shares its model, which never changes and is
// never null. A session is not meant to be shared between threads; its model
// may be.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "lumeth/artifact/container.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/inference/forward.hpp"
#include "lumeth/inference/tensor.hpp"

namespace Orvane::Core::Lumeth {

inline constexpr std::string_view kSessionFileMagic = "LUMECTS1";

// The logits rows a step returns.
enum class LogitRows : std::uint8_t {
  all = 0,   // one row per new id: [n, vocabulary]
  last = 1,  // the last new id's row only: [1, vocabulary], what decoding needs
};

class InferenceSession {
 public:
  // An empty session over `model`: position and counter 0, no input tokens,
  // no tokenizer state, no cache; `setting` 0 is stored as 1. Throws
  // std::invalid_argument("session requires a model") for a null model.
  InferenceSession(std::shared_ptr<const TransformerModel> model, std::uint64_t setting);

  // Copies share the model. A moved-from session keeps the model (so it is
  // never null) and is left with empty vectors. There is no assignment: a
  // session belongs to its model for its whole life, and restore is the one
  // way to replace its contents.
  InferenceSession(const InferenceSession&) = default;
  InferenceSession(InferenceSession&& other) noexcept;
  InferenceSession& operator=(const InferenceSession&) = delete;
  InferenceSession& operator=(InferenceSession&&) = delete;
  ~InferenceSession() = default;

  // Replaces the tokenizer state. Empty bytes are always accepted and clear
  // it; non-empty bytes on a model without tokenizerHash throw
  // std::invalid_argument("tokenizer state requires a tokenizer-bound model")
  // and change nothing.
  void set_tokenizer_state(ByteBuffer state);

  // Replaces counter. The session stores, saves and restores it but gives it
  // no meaning of its own; generation keeps its sampler's draw count there.
  void set_counter(std::uint64_t counter) noexcept { counter_ = counter; }

  // The session file; the session is not changed.
  [[nodiscard]] ByteBuffer save() const;

  // Runs the model over `ids` at positions position() .. position() + n - 1
  // (n = ids.size()), each attending to every earlier position through the
  // cache, and returns their logits with options.full_precision: [n,
  // vocabulary] (row r for ids[r]), or [1, vocabulary] with LogitRows::last,
  // or the empty tensor with options.compute_logits false. Then ids are
  // appended to input_tokens, position advances by n and the cache holds the
  // new rows (see the layout above); counter and tokenizer_state do not
  // change. Any split of a sequence into steps gives every position the bits
  // forward gives it over the whole sequence as one batch row.
  //
  // The observer sees forward's names in forward's order, for the new rows:
  // "embedding", per layer i "layer.<i>.q", ".k", ".v", ".attention", ".mlp",
  // and "final_norm" are [n, width], rows position() .. position() + n - 1 of
  // forward's; ".scores" and ".probabilities" are [1, query_heads, n,
  // position() + n], forward's entries [0, h, position() + r, j] for every
  // key position j up to the last new one (forward's further columns are
  // 0.0); "logits" is the result. The observer must not use this session.
  //
  // Throws, in this order, before anything changes:
  //   std::invalid_argument "session position does not match its input
  //     tokens", "session cache tensor count does not match the model" (not
  //     2 * layers tensors, or any at position 0), "session cache shape does
  //     not match the model" (a tensor not [position, kv]): a restored file
  //     may carry anything;
  //   std::invalid_argument "session step has no tokens", "session step
  //     exceeds the context" (position + n above the model's context);
  //   std::out_of_range "token id exceeds vocabulary".
  // While computing: std::domain_error "transformer forward produced NaN/Inf"
  // or "transformer operator produced NaN/Inf", std::bad_alloc, and whatever
  // the observer throws. On any failure the session is exactly as it was.
  Tensor append(std::span<const std::uint32_t> ids, const ForwardOptions& options,
                LogitRows rows = LogitRows::all);

  // Drops the last `count` positions: their ids, their cache rows (the whole
  // cache when none is left) and position() -= count, leaving the session as
  // it was before those ids were appended, ready to take others. counter and
  // tokenizer_state do not change. Throws, before anything changes, the
  // three state checks of append, then std::invalid_argument "session rewind
  // exceeds position" when count > position().
  void rewind(std::uint64_t count);

  // Replaces position, setting (0 read as 1), counter, input_tokens,
  // tokenizer_state and cache with the content of `file`, which must belong
  // to this session's model. Every check runs before anything changes: on
  // failure the session is exactly as it was. Failures are
  // std::invalid_argument carrying the first failing check's message (the
  // container's, "session ..." ones, or "tensor extent must be positive" for
  // a cache shape with a zero extent).
  void restore(std::span<const std::uint8_t> file, const ArtifactLimits& limits);

  [[nodiscard]] const std::shared_ptr<const TransformerModel>& model() const noexcept {
    return model_;
  }
  // Not above the model's context after a restore.
  [[nodiscard]] std::uint64_t position() const noexcept { return position_; }
  // Never 0.
  [[nodiscard]] std::uint64_t setting() const noexcept { return setting_; }
  [[nodiscard]] std::uint64_t counter() const noexcept { return counter_; }
  // Each id below the model's vocabulary.
  [[nodiscard]] const std::vector<std::uint32_t>& input_tokens() const noexcept {
    return input_tokens_;
  }
  // Non-empty only when the model is bound to a tokenizer.
  [[nodiscard]] const ByteBuffer& tokenizer_state() const noexcept { return tokenizer_state_; }
  // Key/value cache tensors in order (layout above), full precision, every
  // value finite. After a restore they are as stored, whatever their shapes;
  // append and rewind check them first.
  [[nodiscard]] const std::vector<Tensor>& cache() const noexcept { return cache_; }

 private:
  // The library's per-kernel-level entry points (internal).
  friend struct SessionInternals;

  // The state checks of append and rewind.
  void check_cache() const;

  std::shared_ptr<const TransformerModel> model_;
  std::uint64_t position_ = 0;
  std::uint64_t setting_ = 1;
  std::uint64_t counter_ = 0;
  std::vector<std::uint32_t> input_tokens_;
  ByteBuffer tokenizer_state_;
  std::vector<Tensor> cache_;
};

// The value a session file records as numeric_policy_hash for `spec`: fnv1a64
// of describe_spec(spec), the same computation as spec_hash, stored and
// checked as a field of its own.
[[nodiscard]] std::uint64_t numeric_policy_hash(const TransformerSpec& spec);

}  // namespace Orvane::Core::Lumeth
