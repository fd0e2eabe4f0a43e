// lumeth import: a checkpoint trained elsewhere (config.json and safetensors
// weights, the common decoder-only layout) becomes a model directory.

#include <memory>
#include <string>

#include "cli/commands.hpp"
#include "cli/tokenizer_files.hpp"
#include "lumeth/directory/model_directory.hpp"
#include "lumeth/directory/tokenizer_artifact.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/import/checkpoint.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

struct ImportArguments {
  std::string checkpoint;
  std::string output;
  std::string rotary = "half-split";
  std::string tokenizer;
  bool chat = false;
  bool list = false;
  ImportOptions options;
  std::uint64_t maxTokenizerBytes = kDefaultMaxTokenizerBytes;
};

std::string_view dtypeName(SafetensorsDType dtype) {
  switch (dtype) {
    case SafetensorsDType::f64:
      return "F64";
    case SafetensorsDType::f32:
      return "F32";
    case SafetensorsDType::bf16:
      return "BF16";
    case SafetensorsDType::f16:
      return "F16";
  }
  return "?";
}

void importCheckpoint(ImportArguments& arguments, Io& io) {
  arguments.options.rotary_layout = arguments.rotary == "adjacent-pairs"
                                        ? RotaryLayout::adjacent_pairs
                                        : RotaryLayout::half_split;
  DirectoryTokenizer stored;
  std::string binding;
  if (!arguments.tokenizer.empty()) {
    const ByteBuffer bytes = read_input(arguments.tokenizer, arguments.maxTokenizerBytes, io);
    stored.base = refusing(arguments.tokenizer, [&] {
      return load_tokenizer_artifact(bytes, arguments.maxTokenizerBytes);
    });
    stored.chat = arguments.chat;
    binding = arguments.chat ? ChatTokenizer(stored.base).descriptor().hash
                             : stored.base->descriptor().hash;
  } else if (arguments.chat) {
    throw UsageError("--chat needs --tokenizer");
  }

  ImportedCheckpoint imported;
  try {
    imported =
        refusing_files([&] { return import_checkpoint(arguments.checkpoint, arguments.options); });
  } catch (const ImportError& error) {
    const std::string subject = error.subject().empty() ? "" : ": " + error.subject();
    throw Refused(arguments.checkpoint, error.what() + subject);
  }
  if (arguments.list) {
    for (const ImportedTensor& tensor : imported.tensors) {
      io.out << tensor.name << " <- "
             << (tensor.source.empty()
                     ? std::string("zeros (a gelu model's unused gate)")
                     : tensor.source + " (" + std::string(dtypeName(tensor.dtype)) + ", " +
                           tensor.file + ")")
             << '\n';
    }
  }
  const std::optional<std::uint64_t> parameters = parameter_count(imported.spec);
  const std::size_t tensors = imported.tensors.size();
  const auto model = refusing(arguments.checkpoint, [&] {
    return binding.empty() ? make_model(imported.spec, std::move(imported.weights))
                           : make_model(imported.spec, std::move(imported.weights), binding);
  });
  refusing(arguments.output, [&] { save_model_directory(arguments.output, *model, stored); });
  io.out << arguments.output << ": imported " << tensors << " tensors, model "
         << toHex16(model->identity()) << ", "
         << (parameters ? std::to_string(*parameters) : std::string("?")) << " parameters"
         << (binding.empty() ? ", runs on token ids" : ", bound to tokenizer " + binding) << '\n';
}

}  // namespace

void add_import_command(CLI::App& app, Io& io) {
  auto arguments = std::make_shared<ImportArguments>();
  CLI::App* command = app.add_subcommand(
      "import",
      "Import a checkpoint (config.json with model.safetensors, or a sharded index) of the "
      "common decoder-only layout into a model directory. Its own tokenizer is not imported: "
      "the model runs on token ids unless it was trained with a Lumeth tokenizer given here.");
  command->add_option("checkpoint", arguments->checkpoint, "checkpoint directory")->required();
  command->add_option("-o,--output", arguments->output, "model directory to write")->required();
  command
      ->add_option("--rotary", arguments->rotary,
                   "which elements the checkpoint rotates together: half-split (i, i + head_dim/2; "
                   "published checkpoints) or adjacent-pairs (2i, 2i + 1)")
      ->capture_default_str()
      ->check(CLI::IsMember({"half-split", "adjacent-pairs"}));
  command->add_option("-t,--tokenizer", arguments->tokenizer,
                      "bind to this Lumeth tokenizer (only when the model was trained with it)");
  command->add_flag("--chat", arguments->chat, "bind to a chat tokenizer over that tokenizer");
  command->add_flag("--list", arguments->list, "print where each tensor came from");
  command
      ->add_option("--max-values", arguments->options.limits.max_weight_values,
                   "largest number of weight values accepted (held as doubles: 8 bytes each, "
                   "twice while the model is built)")
      ->capture_default_str();
  command
      ->add_option("--max-file-bytes", arguments->options.limits.safetensors.max_file_bytes,
                   "largest safetensors file accepted")
      ->capture_default_str();
  command->callback([arguments, &io] { importCheckpoint(*arguments, io); });
}

}  // namespace Orvane::Core::Lumeth::Cli
