// lumeth generate: runs a model directory on a prompt and streams the new
// text to standard output as it forms.
//
// --session FILE makes a run resumable: when FILE exists the session is
// restored from it (every check of the session file, against this model)
// and the run continues where it stopped, or after a new prompt when one is
// given; after the run the session is saved back to FILE, atomically. The
// seed and the draw count travel in the file; the sampler options and the
// precision do not, so a resumed run must be given the same ones again to
// produce exactly what one uninterrupted run would have.

#include <charconv>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "lumeth/directory/model_directory.hpp"
#include "lumeth/foundation/files.hpp"
#include "lumeth/generation/generate.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

struct GenerateArguments {
  std::string directory;
  std::optional<std::string> prompt;
  std::optional<std::string> promptIds;
  std::string session;
  std::uint64_t seed = 1;
  std::uint64_t maxTokens = 64;
  bool greedy = false;
  std::optional<double> temperature;
  std::optional<std::uint32_t> topK;
  std::optional<double> topP;
  std::vector<std::uint32_t> stopIds;
  bool noEosStop = false;
  bool singlePrecision = false;
  bool printIds = false;
  ModelDirectoryLimits limits;
  std::uint64_t maxSessionBytes = std::uint64_t{1} << 30;
};

std::vector<std::uint32_t> parseIdList(const std::string& text) {
  std::vector<std::uint32_t> ids;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == ',' || text[i] == '\t' || text[i] == '\n') {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && text[end] != ' ' && text[end] != ',' && text[end] != '\t' &&
           text[end] != '\n') {
      ++end;
    }
    std::uint32_t id = 0;
    const auto [stop, error] = std::from_chars(text.data() + i, text.data() + end, id);
    if (error != std::errc() || stop != text.data() + end) {
      throw UsageError("invalid token id '" + text.substr(i, end - i) + "' in --prompt-ids");
    }
    ids.push_back(id);
    i = end;
  }
  return ids;
}

const char* reasonName(StopReason reason) {
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

void generateText(const GenerateArguments& arguments, Io& io) {
  if (arguments.prompt && arguments.promptIds) {
    throw UsageError("--prompt and --prompt-ids exclude each other");
  }
  if (arguments.greedy && (arguments.temperature || arguments.topK || arguments.topP)) {
    throw UsageError("--greedy excludes --temperature, --top-k and --top-p");
  }
  GenerationOptions options;
  if (!arguments.greedy) {
    options.sampler.method = SamplingMethod::temperature;
    options.sampler.temperature = arguments.temperature.value_or(1.0);
    options.sampler.top_k = arguments.topK;
    options.sampler.top_p = arguments.topP.value_or(1.0);
  }
  options.max_new_tokens = arguments.maxTokens;
  options.stop_ids = arguments.stopIds;
  options.stop_at_end_of_sequence = !arguments.noEosStop;
  options.full_precision = !arguments.singlePrecision;
  refusing("options", [&] { validate_sampler_options(options.sampler); });

  const LoadedModelDirectory loaded = refusing(arguments.directory, [&] {
    return load_model_directory(arguments.directory, arguments.limits);
  });

  // A new session, or the saved one.
  const bool resuming = !arguments.session.empty() && std::filesystem::exists(arguments.session);
  InferenceSession session =
      refusing("seed", [&] { return make_generation_session(loaded.model, arguments.seed); });
  if (resuming) {
    const ByteBuffer file = read_input(arguments.session, arguments.maxSessionBytes, io);
    refusing(arguments.session, [&] { session.restore(file, arguments.limits.model); });
  } else if (!arguments.prompt && !arguments.promptIds) {
    throw UsageError(
        "a prompt is needed (--prompt or --prompt-ids) unless --session names a "
        "saved session");
  }

  const bool text = loaded.tokenizer && !arguments.printIds;
  bool firstId = true;
  const GenerationCallback print = [&](const GeneratedToken& token) {
    if (text) {
      io.out << token.text;
    } else {
      io.out << (firstId ? "" : " ") << token.id;
      firstId = false;
    }
    io.out.flush();
    return GenerationControl::proceed;
  };

  const std::string source = arguments.directory;
  const GenerationResult result = refusing(source, [&] {
    if (loaded.tokenizer) {
      if (arguments.prompt) {
        return generate(session, *loaded.tokenizer, *arguments.prompt, options, print);
      }
      if (arguments.promptIds) {
        const std::vector<std::uint32_t> ids = parseIdList(*arguments.promptIds);
        return generate(session, *loaded.tokenizer, ids, options, print);
      }
      return continue_generation(session, *loaded.tokenizer, options, print);
    }
    if (arguments.prompt) {
      throw UsageError("the model has no tokenizer: give the prompt as --prompt-ids");
    }
    if (arguments.promptIds) {
      const std::vector<std::uint32_t> ids = parseIdList(*arguments.promptIds);
      return generate(session, ids, options, print);
    }
    return continue_generation(session, options, print);
  });
  if (!text) {
    io.out << '\n';
  }
  io.out.flush();
  if (!arguments.session.empty()) {
    write_output(arguments.session, session.save(), io);
  }
  if (io.progress) {
    io.err << "\n[" << reasonName(result.stop_reason) << ", " << result.ids.size()
           << " new tokens, position " << session.position() << "]\n";
  }
}

}  // namespace

void add_generate_command(CLI::App& app, Io& io) {
  auto arguments = std::make_shared<GenerateArguments>();
  CLI::App* command = app.add_subcommand(
      "generate",
      "Run a model directory on a prompt and stream the new text to standard output (ids, when "
      "the model has no tokenizer). The same seed gives the same output on every machine.");
  command->add_option("directory", arguments->directory, "model directory")->required();
  command->add_option("-p,--prompt", arguments->prompt, "prompt text");
  command->add_option("--prompt-ids", arguments->promptIds,
                      "prompt as token ids, separated by spaces or commas");
  command->add_option("-n,--max-tokens", arguments->maxTokens, "new tokens at most")
      ->capture_default_str();
  command->add_flag("--greedy", arguments->greedy, "always the most likely token (no sampling)");
  command->add_option("--temperature", arguments->temperature,
                      "sampling temperature, > 0 (default 1)");
  command->add_option("--top-k", arguments->topK, "sample among the k most likely tokens")
      ->check(CLI::Range(1u, 0xFFFFFFFFu));
  command->add_option("--top-p", arguments->topP,
                      "sample among the most likely tokens holding this probability mass, in "
                      "(0, 1] (default 1)");
  command
      ->add_option("--seed", arguments->seed, "sampler seed, not 0 (a resumed run keeps its own)")
      ->capture_default_str();
  command->add_option("--stop-id", arguments->stopIds, "ids that end the run (repeatable)");
  command->add_flag("--no-eos-stop", arguments->noEosStop,
                    "go on past the tokenizer's end-of-sequence id");
  command->add_flag("--single-precision", arguments->singlePrecision,
                    "round stored values to single precision");
  command->add_flag("--ids", arguments->printIds, "print the new ids instead of their text");
  command->add_option(
      "--session", arguments->session,
      "resume from this session file when it exists, and save the session to it afterwards; "
      "give the same sampler options and precision when resuming");
  command
      ->add_option("--max-model-bytes", arguments->limits.model.max_file_bytes,
                   "largest model artifact accepted (raise the tensor limit with it)")
      ->capture_default_str();
  command
      ->add_option("--max-tensor-bytes", arguments->limits.model.max_tensor_bytes,
                   "largest single weight tensor accepted")
      ->capture_default_str();
  command->callback([arguments, &io] { generateText(*arguments, io); });
}

}  // namespace Orvane::Core::Lumeth::Cli
