#pragma once

// InferenceSession: the mutable companion of an immutable TransformerModel.
// It holds what a run over the model has accumulated (consumed token ids,
// key/value cache tensors, three counters and an opaque tokenizer state, in
// practice a serialized DecoderState) and saves it into a "LUMECTS1" session
// file that only a session over the very same model, binding and numeric
// policy can restore.
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
#include "lumeth/inference/tensor.hpp"

namespace Orvane::Core::Lumeth {

inline constexpr std::string_view kSessionFileMagic = "LUMECTS1";

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

  // The session file; the session is not changed.
  [[nodiscard]] ByteBuffer save() const;

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
  // Key/value cache tensors in order, full precision, every value finite.
  [[nodiscard]] const std::vector<Tensor>& cache() const noexcept { return cache_; }

 private:
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
