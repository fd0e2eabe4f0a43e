// lumeth model init: a model directory with deterministic random weights.

#include <memory>
#include <string>

#include "cli/commands.hpp"
#include "cli/random_weights.hpp"
#include "cli/spec_json.hpp"
#include "cli/tokenizer_files.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/directory/model_directory.hpp"
#include "lumeth/directory/tokenizer_artifact.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

struct InitArguments {
  std::string directory;
  std::string config;
  std::string tokenizer;
  bool chat = false;
  std::uint64_t seed = 1;
  std::uint64_t maxTokenizerBytes = kDefaultMaxTokenizerBytes;
};

void init(const InitArguments& arguments, Io& io) {
  DirectoryTokenizer stored;
  std::shared_ptr<const ITransformerTokenizer> tokenizer;
  if (!arguments.tokenizer.empty()) {
    const ByteBuffer bytes = read_input(arguments.tokenizer, arguments.maxTokenizerBytes, io);
    stored.base = refusing(arguments.tokenizer, [&] {
      return load_tokenizer_artifact(bytes, arguments.maxTokenizerBytes);
    });
    stored.chat = arguments.chat;
    tokenizer = arguments.chat ? std::make_shared<const ChatTokenizer>(stored.base) : stored.base;
  } else if (arguments.chat) {
    throw UsageError("--chat needs --tokenizer");
  }

  // A configuration may leave the vocabulary to the tokenizer.
  const ByteBuffer configBytes = read_input(arguments.config, std::uint64_t{16} << 20, io);
  const TransformerSpec spec = refusing(arguments.config, [&] {
    std::optional<std::uint32_t> vocabulary;
    if (tokenizer) vocabulary = tokenizer->descriptor().vocabularySize;
    return spec_from_json(nlohmann::json::parse(as_text(configBytes)), vocabulary);
  });
  const std::vector<SpecIssue> issues = validate_spec(spec);
  if (!issues.empty()) {
    throw Refused(arguments.config, issues.front().field + ": " + issues.front().message);
  }
  const std::optional<std::uint64_t> parameters = parameter_count(spec);
  const auto model = refusing(arguments.config, [&] {
    TransformerWeights weights = random_weights(spec, arguments.seed);
    return tokenizer ? make_model(spec, std::move(weights), tokenizer->descriptor().hash)
                     : make_model(spec, std::move(weights));
  });
  refusing(arguments.directory, [&] { save_model_directory(arguments.directory, *model, stored); });
  io.out << arguments.directory << ": model " << toHex16(model->identity()) << ", "
         << (parameters ? std::to_string(*parameters) : std::string("?")) << " parameters, "
         << (tokenizer ? "bound to " + tokenizer->descriptor().kind + " tokenizer " +
                             tokenizer->descriptor().hash
                       : std::string("no tokenizer"))
         << '\n';
}

}  // namespace

void add_model_command(CLI::App& app, Io& io) {
  CLI::App* model = app.add_subcommand("model", "Model directories.");
  model->require_subcommand(1);
  auto arguments = std::make_shared<InitArguments>();
  CLI::App* command = model->add_subcommand(
      "init",
      "Write a model directory with deterministic random weights (uniform in +-1/sqrt(fan-in), "
      "norms 1; the same seed gives the same model on every machine), bound to a tokenizer "
      "when one is given.");
  command->add_option("directory", arguments->directory, "model directory to write")->required();
  command
      ->add_option("-c,--config", arguments->config,
                   "JSON model configuration (see 'lumeth spec'); the vocabulary may be left to "
                   "the tokenizer")
      ->required();
  command->add_option("-t,--tokenizer", arguments->tokenizer, "tokenizer artifact (byte or BPE)");
  command->add_flag("--chat", arguments->chat, "bind to a chat tokenizer over that tokenizer");
  command->add_option("--seed", arguments->seed, "seed of the weights")->capture_default_str();
  command
      ->add_option("--max-tokenizer-bytes", arguments->maxTokenizerBytes,
                   "largest tokenizer artifact accepted")
      ->capture_default_str();
  command->callback([arguments, &io] { init(*arguments, io); });
}

}  // namespace Orvane::Core::Lumeth::Cli
