#include "lumeth/generation/generate.hpp"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/generation/internal/generation_internals.hpp"
#include "lumeth/generation/internal/sampler_internals.hpp"
#include "lumeth/inference/tensor.hpp"
#include "lumeth/session/internal/session_internals.hpp"
#include "lumeth/tokenizers/binding.hpp"
#include "lumeth/tokenizers/text_stream.hpp"

namespace Orvane::Core::Lumeth {
namespace {

void validate_options(const GenerationOptions& options, const TransformerSpec& spec) {
  validate_sampler_options(options.sampler);
  for (const std::uint32_t id : options.stop_ids) {
    if (id >= spec.vocabulary) {
      throw std::invalid_argument("generation stop id exceeds vocabulary");
    }
  }
}

// The text side of a run: the stream and the id that ends a text.
struct Text {
  TextStream stream;
  std::uint32_t end_of_sequence;
};

class Run {
 public:
  Run(const kernels::KernelTable& kernels, InferenceSession& session,
      const GenerationOptions& options, const GenerationCallback& callback)
      : kernels_(kernels), session_(session), options_(options), callback_(callback) {
    forward_.full_precision = options.full_precision;
    forward_.pool = options.pool;
  }

  // Feeds a prompt that begins a new text and returns its last logits row.
  Tensor feed_prompt(std::span<const std::uint32_t> prompt, std::optional<Text>& text) {
    ByteBuffer state = text ? text->stream.serializeState() : ByteBuffer{};
    Tensor logits = append(prompt, forward_);
    session_.set_tokenizer_state(std::move(state));
    return logits;
  }

  // Rewinds the last position and feeds its id again: the logits it had.
  Tensor refeed_last() {
    const std::vector<std::uint32_t>& tokens = session_.input_tokens();
    const std::uint32_t last = tokens.empty() ? 0 : tokens.back();
    // rewind checks the session's state first (a restored file whose
    // position disagrees with its tokens is refused there, unchanged).
    session_.rewind(1);
    try {
      return append(std::span(&last, 1), forward_);
    } catch (...) {
      // Put the id back as it was; the cache rows come out with the same
      // bits. Only when this fails too is the session one position short.
      ForwardOptions quiet = forward_;
      quiet.compute_logits = false;
      try {
        (void)append(std::span(&last, 1), quiet);
      } catch (...) {
      }
      throw;
    }
  }

  GenerationResult loop(Tensor logits, std::optional<Text>& text) {
    GenerationResult result;
    const std::uint64_t context = session_.model()->spec().context;
    const std::uint64_t draws = sampler_draws(options_.sampler) ? 1 : 0;
    for (std::uint64_t index = 0;; ++index) {
      if (index == options_.max_new_tokens) {
        result.stop_reason = StopReason::token_limit;
        return result;
      }
      if (session_.position() >= context) {
        result.stop_reason = StopReason::context_limit;
        return result;
      }
      const std::uint32_t id = sample_token_with(kernels_, logits.data, options_.sampler,
                                                 session_.setting(), session_.counter());
      const bool eos = text && options_.stop_at_end_of_sequence && id == text->end_of_sequence;
      const bool stop_id = !eos && std::find(options_.stop_ids.begin(), options_.stop_ids.end(),
                                             id) != options_.stop_ids.end();
      const bool fills_context = session_.position() + 1 == context;

      // Everything that can fail runs on copies before the step; the step
      // itself changes the session only when it succeeds, and what follows
      // it cannot fail.
      std::optional<TextStream> next;
      std::string chunk;
      ByteBuffer state;
      if (text) {
        next.emplace(text->stream);
        chunk = next->decode(std::span(&id, 1), eos || stop_id || fills_context);
        state = next->serializeState();
      }
      // Room for the id and its text first, so that recording them after
      // the step cannot fail.
      if (result.ids.size() == result.ids.capacity()) {
        result.ids.reserve(2 * result.ids.capacity() + 16);
      }
      if (result.text.capacity() - result.text.size() < chunk.size()) {
        result.text.reserve(2 * result.text.capacity() + chunk.size());
      }
      ForwardOptions step = forward_;
      // No logits when the run is known to end with this id.
      step.compute_logits =
          !(eos || stop_id || fills_context || index + 1 == options_.max_new_tokens);
      Tensor following = append(std::span(&id, 1), step);

      session_.set_counter(session_.counter() + draws);
      session_.set_tokenizer_state(std::move(state));
      if (text) text->stream = std::move(*next);
      result.ids.push_back(id);
      result.text += chunk;

      GenerationControl control = GenerationControl::proceed;
      if (callback_) {
        control = callback_(GeneratedToken{id, chunk, index, logits.data, session_});
      }
      if (eos) {
        result.stop_reason = StopReason::end_of_sequence;
        return result;
      }
      if (stop_id) {
        result.stop_reason = StopReason::stop_id;
        return result;
      }
      if (control == GenerationControl::stop) {
        result.stop_reason = StopReason::callback;
        return result;
      }
      logits = std::move(following);
    }
  }

 private:
  Tensor append(std::span<const std::uint32_t> ids, const ForwardOptions& options) {
    return SessionInternals::append_with(session_, kernels_, ids, options, LogitRows::last);
  }

  const kernels::KernelTable& kernels_;
  InferenceSession& session_;
  const GenerationOptions& options_;
  const GenerationCallback& callback_;
  ForwardOptions forward_;
};

}  // namespace

GenerationResult generate_with(const kernels::KernelTable& kernels, InferenceSession& session,
                               const ITransformerTokenizer* tokenizer,
                               const GenerationPrompt& prompt, const GenerationOptions& options,
                               const GenerationCallback& callback) {
  const TransformerModel& model = *session.model();
  validate_options(options, model.spec());
  std::optional<Text> text;
  if (tokenizer) {
    validateTokenizerBinding(model, *tokenizer);
    text.emplace(Text{TextStream(*tokenizer, options.decode), tokenizer->descriptor().eosId});
  }
  EncodedText encoded;
  std::span<const std::uint32_t> ids = prompt.ids;
  if (tokenizer && prompt.text) {
    encoded = tokenizer->encode(*prompt.text, options.encode);
    ids = encoded.ids;
  }

  Run run(kernels, session, options, callback);
  if (!ids.empty()) {
    return run.loop(run.feed_prompt(ids, text), text);
  }
  if (session.position() == 0 && session.input_tokens().empty()) {
    throw std::invalid_argument("generation has no prompt and nothing to continue");
  }
  if (text && !session.tokenizer_state().empty()) {
    TextStream restored = text->stream;
    restored.parseState(session.tokenizer_state());
    const DecodeOptions stored = restored.options();
    if (stored.skipSpecialTokens != options.decode.skipSpecialTokens ||
        stored.invalidUtf8 != options.decode.invalidUtf8) {
      throw std::invalid_argument(
          "generation decode options differ from the session's text stream");
    }
    text->stream = std::move(restored);
  }
  if (options.max_new_tokens == 0) {
    return {.ids = {}, .text = {}, .stop_reason = StopReason::token_limit};
  }
  if (session.position() >= model.spec().context) {
    return {.ids = {}, .text = {}, .stop_reason = StopReason::context_limit};
  }
  return run.loop(run.refeed_last(), text);
}

InferenceSession make_generation_session(std::shared_ptr<const TransformerModel> model,
                                         std::uint64_t seed) {
  if (seed == 0) {
    throw std::invalid_argument("generation seed must not be 0");
  }
  return InferenceSession(std::move(model), seed);
}

GenerationResult generate(InferenceSession& session, const ITransformerTokenizer& tokenizer,
                          std::string_view prompt, const GenerationOptions& options,
                          const GenerationCallback& callback) {
  return generate_with(kernels::active_kernels(), session, &tokenizer, {.ids = {}, .text = prompt},
                       options, callback);
}

GenerationResult generate(InferenceSession& session, const ITransformerTokenizer& tokenizer,
                          std::span<const std::uint32_t> prompt, const GenerationOptions& options,
                          const GenerationCallback& callback) {
  return generate_with(kernels::active_kernels(), session, &tokenizer, {.ids = prompt, .text = {}},
                       options, callback);
}

GenerationResult continue_generation(InferenceSession& session,
                                     const ITransformerTokenizer& tokenizer,
                                     const GenerationOptions& options,
                                     const GenerationCallback& callback) {
  return generate_with(kernels::active_kernels(), session, &tokenizer, {}, options, callback);
}

GenerationResult generate(InferenceSession& session, std::span<const std::uint32_t> prompt,
                          const GenerationOptions& options, const GenerationCallback& callback) {
  return generate_with(kernels::active_kernels(), session, nullptr, {.ids = prompt, .text = {}},
                       options, callback);
}

GenerationResult continue_generation(InferenceSession& session, const GenerationOptions& options,
                                     const GenerationCallback& callback) {
  return generate_with(kernels::active_kernels(), session, nullptr, {}, options, callback);
}

}  // namespace Orvane::Core::Lumeth
