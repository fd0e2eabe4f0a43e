#pragma once

// generate: the decoding loop over an InferenceSession. The prompt is fed as
// one step; then, one id per step, the sampler chooses the next id from the
// last logits, the id is fed to the session, its text is streamed, and a
// callback hears of it, until the end of sequence, a stop id, the token
// limit, the context limit or the callback stops the run.
//
// Reproducible and resumable. The sampler's seed is the session's setting
// and its draw count the session's counter; the text stream's state (a
// character split across ids) is the session's tokenizer_state. All three
// are in the session file, and every sampled id is fed to the session before
// the callback hears of it or generate returns. So a session saved at any
// point (from the callback, or after generate returns) and restored later,
// in another process, continues with generate and an empty prompt exactly
// as the run would have gone on without stopping: the same ids, the same
// text bytes, the same logits. Continuing recomputes the last position's
// logits by rewinding it and feeding its id again, which gives the bits of
// the first computation; no logits are stored.
//
// The session file has no room for the rest: a caller that resumes passes
// the same sampler options and the same full_precision again (the stream's
// decode options are in tokenizer_state and are checked against the
// caller's). Other options (limits, stop ids, callback) may change between
// calls.
//
// A typical loop, streaming text to standard output:
//
//   lm::InferenceSession session = lm::make_generation_session(model, seed);
//   lm::GenerationOptions options;
//   options.sampler = {.method = lm::SamplingMethod::temperature, .top_p = 0.9};
//   options.max_new_tokens = 200;
//   const lm::GenerationResult result = lm::generate(
//       session, tokenizer, "Once upon a time", options,
//       [](const lm::GeneratedToken& token) {
//         std::cout << token.text << std::flush;
//         return lm::GenerationControl::proceed;
//       });

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/artifact/model.hpp"
#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/generation/sampler.hpp"
#include "lumeth/session/inference_session.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

// Why a run ended.
enum class StopReason : std::uint8_t {
  end_of_sequence = 0,  // the tokenizer's end-of-sequence id was generated
  stop_id = 1,          // one of options.stop_ids was generated
  token_limit = 2,      // options.max_new_tokens ids were generated
  context_limit = 3,    // the session holds the model's whole context
  callback = 4,         // the callback returned GenerationControl::stop
};

struct GenerationOptions {
  SamplerOptions sampler{};
  // The precision of every step; a resumed session must use the one it was
  // filled with.
  bool full_precision = true;
  // New ids at most; 0 feeds the prompt and stops (token_limit).
  std::uint64_t max_new_tokens = 256;
  // Ids that end the run once generated; each below the model's vocabulary.
  std::vector<std::uint32_t> stop_ids{};
  // Whether the tokenizer's end-of-sequence id ends the run (only with a
  // tokenizer: without one there is no such id; put it in stop_ids).
  bool stop_at_end_of_sequence = true;
  // How a prompt text is encoded.
  EncodeOptions encode{};
  // How new ids become text. Special ids are skipped by default, so an
  // end-of-sequence id adds no text and is no error.
  DecodeOptions decode{.skipSpecialTokens = true};
  // Not owned; null: every step on the calling thread. Otherwise each step
  // runs on the pool as ForwardOptions::pool describes, with the same bits,
  // so the same ids and text; sampling, the text stream and the callback
  // stay on the calling thread. May change between calls.
  ThreadPool* pool = nullptr;
};

// What the callback hears after each new id. The views are valid during the
// call only.
struct GeneratedToken {
  std::uint32_t id;
  // The text this id completed (may be empty: a character can wait for the
  // ids that finish it, and special ids add none). Always empty without a
  // tokenizer.
  std::string_view text;
  // 0 for the first new id of this generate call.
  std::uint64_t index;
  // The logits row [vocabulary] the id was chosen from.
  std::span<const double> logits;
  // Already holds the id, with counter and tokenizer_state advanced: saving
  // it here gives a file that resumes right after this id.
  const InferenceSession& session;
};

enum class GenerationControl : std::uint8_t {
  proceed = 0,
  stop = 1,  // end the run after this id (StopReason::callback)
};

using GenerationCallback = std::function<GenerationControl(const GeneratedToken&)>;

struct GenerationResult {
  std::vector<std::uint32_t> ids{};  // the new ids in order, each fed to the session
  std::string text{};                // their text, the callback's chunks concatenated
  StopReason stop_reason = StopReason::token_limit;
};

// A session for generation with `seed` as its setting (the sampler's seed).
// Throws std::invalid_argument("generation seed must not be 0"): a session
// stores setting 0 as 1, so seed 0 would silently give the stream of seed 1.
// Otherwise as the InferenceSession constructor ("session requires a model").
[[nodiscard]] InferenceSession make_generation_session(
    std::shared_ptr<const TransformerModel> model, std::uint64_t seed);

// Generates text from a prompt text, encoded with `tokenizer` and
// options.encode. See the ids overload below for everything else.
GenerationResult generate(InferenceSession& session, const ITransformerTokenizer& tokenizer,
                          std::string_view prompt, const GenerationOptions& options,
                          const GenerationCallback& callback = {});

// Generates after `prompt` ids, streaming the new ids' text through
// `tokenizer` (a byte, BPE or chat tokenizer, see TextStream), which must be
// the one the session's model is bound to.
//
// A prompt with ids begins a new text: it is fed as one step and the text
// stream starts empty (pending bytes of an earlier run are dropped). An empty
// prompt (also a prompt text that encodes to no ids) continues the session:
// its last id is rewound and fed again for its logits, and the text stream
// continues from tokenizer_state (a fresh stream when that is empty).
//
// Each step: the sampler chooses an id from the last logits with seed
// setting() and draw counter(); its text is decoded (with `final` when the id
// ends the text: end of sequence, a stop id, or the context now full, so that
// pending bytes are judged and flushed); the id is fed to the session
// (logits of the last row only, none when the run is known to end with
// it); then counter (+1 when the sampler draws), tokenizer_state (the
// stream's "BTDS1" record) and the result are updated, and the callback is
// called. The run ends, checked in this order after each id: end of sequence
// (only with stop_at_end_of_sequence), stop id, the callback's stop, the
// token limit; and before each id: the context limit. The id that ends a run
// is part of the result, and so is its text.
//
// Throws, before anything changes, in this order: std::invalid_argument from
// validate_sampler_options, "generation stop id exceeds vocabulary";
// TokenizerError(BindingMismatch) from validateTokenizerBinding; the
// TextStream constructor's errors; encode's errors for a prompt text;
// std::invalid_argument "generation has no prompt and nothing to continue"
// (empty prompt, empty session); when continuing, TokenizerError from
// parsing tokenizer_state and std::invalid_argument "generation decode
// options differ from the session's text stream". Then each step may throw
// what append throws (for the prompt: "session step exceeds the context",
// std::out_of_range "token id exceeds vocabulary", ...), the stream's
// TokenizerError (a special id without skipSpecialTokens, bad UTF-8 under
// Reject), std::bad_alloc: the session is then as it was before that step
// (ids generated by earlier steps stay). When continuing, a failed re-feed
// of the last id (possible only with another precision than the session was
// filled with, or out of memory) feeds that id back without logits, and only
// if that fails too is the session left one position short. If the callback
// throws, its exception propagates and the session keeps the step the
// callback was told about.
GenerationResult generate(InferenceSession& session, const ITransformerTokenizer& tokenizer,
                          std::span<const std::uint32_t> prompt, const GenerationOptions& options,
                          const GenerationCallback& callback = {});

// generate with an empty prompt: continues the session's text.
GenerationResult continue_generation(InferenceSession& session,
                                     const ITransformerTokenizer& tokenizer,
                                     const GenerationOptions& options,
                                     const GenerationCallback& callback = {});

// Generates ids only, over any model (bound or not): no text, no end of
// sequence (use stop_ids), options.encode and options.decode unused. As the
// overload above otherwise; tokenizer_state is cleared by the first step
// that changes the session, since no text stream covers these ids.
GenerationResult generate(InferenceSession& session, std::span<const std::uint32_t> prompt,
                          const GenerationOptions& options,
                          const GenerationCallback& callback = {});

// generate with an empty prompt and no tokenizer: continues the session.
GenerationResult continue_generation(InferenceSession& session, const GenerationOptions& options,
                                     const GenerationCallback& callback = {});

}  // namespace Orvane::Core::Lumeth
