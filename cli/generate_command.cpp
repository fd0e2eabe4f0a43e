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

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/generation_run.hpp"
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
  bool printIds = false;
  GenerationSettings settings;
  std::uint64_t maxSessionBytes = std::uint64_t{1} << 30;
};

void generateText(const GenerateArguments& arguments, Io& io) {
  if (arguments.prompt && arguments.promptIds) {
    throw UsageError("--prompt and --prompt-ids exclude each other");
  }
  const std::unique_ptr<ThreadPool> pool = make_generation_pool(arguments.settings.threads);
  const GenerationOptions options = generation_options(arguments.settings, pool.get());

  const LoadedModelDirectory loaded = refusing(arguments.directory, [&] {
    return load_model_directory(arguments.directory, arguments.settings.limits);
  });

  // A new session, or the saved one.
  const bool resuming = !arguments.session.empty() && std::filesystem::exists(arguments.session);
  InferenceSession session =
      refusing("seed", [&] { return make_generation_session(loaded.model, arguments.seed); });
  if (resuming) {
    const ByteBuffer file = read_input(arguments.session, arguments.maxSessionBytes, io);
    refusing(arguments.session, [&] { session.restore(file, arguments.settings.limits.model); });
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

  if (!loaded.tokenizer && arguments.prompt) {
    throw UsageError("the model has no tokenizer: give the prompt as --prompt-ids");
  }
  GenerationPrompt prompt;
  prompt.text = arguments.prompt;
  if (arguments.promptIds) {
    prompt.ids = parse_id_list(*arguments.promptIds, "--prompt-ids");
  }
  const GenerationResult result = refusing(arguments.directory, [&] {
    return generate_from_prompt(session, loaded, prompt, options, print);
  });
  if (!text) {
    io.out << '\n';
  }
  io.out.flush();
  if (!arguments.session.empty()) {
    write_output(arguments.session, session.save(), io);
  }
  if (io.progress) {
    io.err << "\n[" << stop_reason_name(result.stop_reason) << ", " << result.ids.size()
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
  command
      ->add_option("--seed", arguments->seed, "sampler seed, not 0 (a resumed run keeps its own)")
      ->capture_default_str();
  command->add_flag("--ids", arguments->printIds, "print the new ids instead of their text");
  command->add_option(
      "--session", arguments->session,
      "resume from this session file when it exists, and save the session to it afterwards; "
      "give the same sampler options and precision when resuming");
  add_generation_options(command, arguments->settings);
  command->callback([arguments, &io] { generateText(*arguments, io); });
}

}  // namespace Orvane::Core::Lumeth::Cli
