#pragma once

// What `lumeth generate` and `lumeth-mpi generate` share, so that a prompt
// run by either gives the same ids and text: the sampler and run options
// with their command-line flags, the GenerationOptions made from them, the
// pool of --threads, and one run of a prompt on a model directory.

#include <CLI/CLI.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_support.hpp"
#include "lumeth/directory/model_directory.hpp"
#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/generation/generate.hpp"

namespace Orvane::Core::Lumeth::Cli {

// The options of a run, as given on the command line.
struct GenerationSettings {
  std::uint64_t maxTokens = 64;
  bool greedy = false;
  std::optional<double> temperature;
  std::optional<std::uint32_t> topK;
  std::optional<double> topP;
  std::vector<std::uint32_t> stopIds;
  bool noEosStop = false;
  bool singlePrecision = false;
  // Threads of each step; 0: one per core. The ids are the same for any.
  unsigned threads = 1;
  ModelDirectoryLimits limits;
};

// Registers -n/--max-tokens, --greedy, --temperature, --top-k, --top-p,
// --stop-id, --no-eos-stop, --single-precision, --threads, --max-model-bytes
// and --max-tensor-bytes on `command`, writing into `settings` (which must
// outlive the command).
void add_generation_options(CLI::App* command, GenerationSettings& settings);

// The library's options for `settings`, with `pool` (may be null). Throws
// UsageError when --greedy is given with a sampling option, and Refused
// (source "options") when the sampler options are invalid.
[[nodiscard]] GenerationOptions generation_options(const GenerationSettings& settings,
                                                   ThreadPool* pool);

// The pool for `threads` (0: one per core): none for one thread.
[[nodiscard]] std::unique_ptr<ThreadPool> make_generation_pool(unsigned threads);

// Token ids separated by spaces, commas, tabs or newlines. Throws UsageError
// "invalid token id '<word>' in <what>" for a word that is not a u32.
[[nodiscard]] std::vector<std::uint32_t> parse_id_list(std::string_view text,
                                                       std::string_view what);

// A prompt: text (encoded with the model's tokenizer) or ids.
struct GenerationPrompt {
  std::optional<std::string> text;
  std::optional<std::vector<std::uint32_t>> ids;
};

// Generates after `prompt` in `session` (a session of `loaded.model`), or
// continues the session when the prompt has neither text nor ids. Throws
// UsageError "the model has no tokenizer: give the prompt as ids" for a text
// prompt to a model without a tokenizer; the library's exceptions pass
// through.
GenerationResult generate_from_prompt(InferenceSession& session, const LoadedModelDirectory& loaded,
                                      const GenerationPrompt& prompt,
                                      const GenerationOptions& options,
                                      const GenerationCallback& callback = {});

// "end of sequence", "stop id", "token limit", "context limit" or "stopped".
[[nodiscard]] const char* stop_reason_name(StopReason reason) noexcept;

}  // namespace Orvane::Core::Lumeth::Cli
