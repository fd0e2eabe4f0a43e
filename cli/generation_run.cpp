#include "cli/generation_run.hpp"

#include <charconv>

namespace Orvane::Core::Lumeth::Cli {

void add_generation_options(CLI::App* command, GenerationSettings& settings) {
  command->add_option("-n,--max-tokens", settings.maxTokens, "new tokens at most")
      ->capture_default_str();
  command->add_flag("--greedy", settings.greedy, "always the most likely token (no sampling)");
  command->add_option("--temperature", settings.temperature,
                      "sampling temperature, > 0 (default 1)");
  command->add_option("--top-k", settings.topK, "sample among the k most likely tokens")
      ->check(CLI::Range(1u, 0xFFFFFFFFu));
  command->add_option("--top-p", settings.topP,
                      "sample among the most likely tokens holding this probability mass, in "
                      "(0, 1] (default 1)");
  command->add_option("--stop-id", settings.stopIds, "ids that end the run (repeatable)");
  command->add_flag("--no-eos-stop", settings.noEosStop,
                    "go on past the tokenizer's end-of-sequence id");
  command->add_flag("--single-precision", settings.singlePrecision,
                    "round stored values to single precision");
  command
      ->add_option("--threads", settings.threads,
                   "threads of each step (0: one per core); the output is the same for any "
                   "number")
      ->capture_default_str();
  command
      ->add_option("--max-model-bytes", settings.limits.model.max_file_bytes,
                   "largest model artifact accepted (raise the tensor limit with it)")
      ->capture_default_str();
  command
      ->add_option("--max-tensor-bytes", settings.limits.model.max_tensor_bytes,
                   "largest single weight tensor accepted")
      ->capture_default_str();
}

GenerationOptions generation_options(const GenerationSettings& settings, ThreadPool* pool) {
  if (settings.greedy && (settings.temperature || settings.topK || settings.topP)) {
    throw UsageError("--greedy excludes --temperature, --top-k and --top-p");
  }
  GenerationOptions options;
  if (!settings.greedy) {
    options.sampler.method = SamplingMethod::temperature;
    options.sampler.temperature = settings.temperature.value_or(1.0);
    options.sampler.top_k = settings.topK;
    options.sampler.top_p = settings.topP.value_or(1.0);
  }
  options.max_new_tokens = settings.maxTokens;
  options.stop_ids = settings.stopIds;
  options.stop_at_end_of_sequence = !settings.noEosStop;
  options.full_precision = !settings.singlePrecision;
  options.pool = pool;
  refusing("options", [&] { validate_sampler_options(options.sampler); });
  return options;
}

std::unique_ptr<ThreadPool> make_generation_pool(unsigned threads) {
  const std::size_t count = threads == 0 ? ThreadPool::hardware_threads() : threads;
  return count > 1 ? std::make_unique<ThreadPool>(count) : nullptr;
}

std::vector<std::uint32_t> parse_id_list(std::string_view text, std::string_view what) {
  const auto separator = [](char c) { return c == ' ' || c == ',' || c == '\t' || c == '\n'; };
  std::vector<std::uint32_t> ids;
  std::size_t i = 0;
  while (i < text.size()) {
    if (separator(text[i])) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !separator(text[end])) {
      ++end;
    }
    std::uint32_t id = 0;
    const auto [stop, error] = std::from_chars(text.data() + i, text.data() + end, id);
    if (error != std::errc() || stop != text.data() + end) {
      throw UsageError("invalid token id '" + std::string(text.substr(i, end - i)) + "' in " +
                       std::string(what));
    }
    ids.push_back(id);
    i = end;
  }
  return ids;
}

GenerationResult generate_from_prompt(InferenceSession& session, const LoadedModelDirectory& loaded,
                                      const GenerationPrompt& prompt,
                                      const GenerationOptions& options,
                                      const GenerationCallback& callback) {
  if (loaded.tokenizer) {
    if (prompt.text) {
      return generate(session, *loaded.tokenizer, *prompt.text, options, callback);
    }
    if (prompt.ids) {
      return generate(session, *loaded.tokenizer, *prompt.ids, options, callback);
    }
    return continue_generation(session, *loaded.tokenizer, options, callback);
  }
  if (prompt.text) {
    throw UsageError("the model has no tokenizer: give the prompt as ids");
  }
  if (prompt.ids) {
    return generate(session, *prompt.ids, options, callback);
  }
  return continue_generation(session, options, callback);
}

const char* stop_reason_name(StopReason reason) noexcept {
  switch (reason) {
    case StopReason::end_of_sequence:
      return "end of sequence";
    case StopReason::stop_id:
      return "stop id";
    case StopReason::token_limit:
      return "token limit";
    case StopReason::context_limit:
      return "context limit";
    case StopReason::callback:
      return "stopped";
  }
  return "?";
}

}  // namespace Orvane::Core::Lumeth::Cli
