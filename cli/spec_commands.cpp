// lumeth spec: convert a model configuration to its canonical description and
// back, validate it, name it by its hash, count its parameters.
//
// Each subcommand reads one FILE ("-": standard input): a JSON configuration
// (spec_json.hpp), a canonical description ("lumeth-transformer-spec-v1;..."),
// or a model directory (its spec.txt).

#include <filesystem>
#include <string>

#include "cli/commands.hpp"
#include "cli/spec_json.hpp"
#include "lumeth/directory/model_directory.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/spec/spec_description.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

constexpr std::string_view kDescriptionPrefix = "lumeth-transformer-spec-v1;";
constexpr std::uint64_t kMaxSpecFileBytes = std::uint64_t{16} << 20;

struct SpecArguments {
  std::string file;
  std::string output = std::string(kStandardStream);
};

}  // namespace

TransformerSpec read_spec_file(const std::string& file, Io& io) {
  std::string path = file;
  if (file != kStandardStream && std::filesystem::is_directory(file)) {
    path = (std::filesystem::path(file) / kModelDirectorySpecFile).string();
  }
  const ByteBuffer bytes = read_input(path, kMaxSpecFileBytes, io);
  const std::string_view text = as_text(bytes);
  return refusing(path == kStandardStream ? "standard input" : path, [&] {
    if (text.starts_with(kDescriptionPrefix)) {
      return parse_spec_description(text);
    }
    nlohmann::json config;
    try {
      config = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& error) {
      throw std::invalid_argument(std::string("not a spec description or JSON configuration: ") +
                                  error.what());
    }
    return spec_from_json(config);
  });
}

void add_spec_command(CLI::App& app, Io& io) {
  CLI::App* spec = app.add_subcommand(
      "spec",
      "Model configurations (JSON) and canonical spec descriptions: convert, validate, hash, "
      "count parameters.");
  spec->require_subcommand(1);

  const auto addFile = [](CLI::App* command, SpecArguments& arguments) {
    command
        ->add_option("file", arguments.file,
                     "JSON configuration, spec description or model directory ('-': stdin)")
        ->required();
  };

  auto describe = std::make_shared<SpecArguments>();
  CLI::App* describeCommand = spec->add_subcommand(
      "describe", "Print the canonical description (what spec.txt of a model directory holds).");
  addFile(describeCommand, *describe);
  describeCommand->add_option("-o,--output", describe->output,
                              "write the description, exactly and without a newline, to a file");
  describeCommand->callback([describe, &io] {
    const std::string text = describe_spec(read_spec_file(describe->file, io));
    if (describe->output == kStandardStream) {
      io.out << text << '\n';
    } else {
      write_output(describe->output,
                   {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, io);
    }
  });

  auto json = std::make_shared<SpecArguments>();
  CLI::App* jsonCommand =
      spec->add_subcommand("json", "Print the JSON configuration, every field written out.");
  addFile(jsonCommand, *json);
  jsonCommand->callback([json, &io] {
    io.out << spec_to_json(read_spec_file(json->file, io))
                  .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
           << '\n';
  });

  auto validate = std::make_shared<SpecArguments>();
  CLI::App* validateCommand = spec->add_subcommand(
      "validate", "Print every problem with its field path; exit status 1 when there is any.");
  addFile(validateCommand, *validate);
  validateCommand->callback([validate, &io] {
    const std::vector<SpecIssue> issues = validate_spec(read_spec_file(validate->file, io));
    for (const SpecIssue& issue : issues) {
      io.out << issue.field << ": " << issue.message << '\n';
    }
    if (!issues.empty()) {
      throw Refused(validate->file, std::to_string(issues.size()) +
                                        (issues.size() == 1 ? " problem" : " problems"));
    }
    io.out << "valid\n";
  });

  auto hash = std::make_shared<SpecArguments>();
  CLI::App* hashCommand =
      spec->add_subcommand("hash", "Print spec_hash: fnv1a64 of the canonical description.");
  addFile(hashCommand, *hash);
  hashCommand->callback(
      [hash, &io] { io.out << toHex16(spec_hash(read_spec_file(hash->file, io))) << '\n'; });

  auto params = std::make_shared<SpecArguments>();
  CLI::App* paramsCommand =
      spec->add_subcommand("params", "Print the number of weights the model holds.");
  addFile(paramsCommand, *params);
  paramsCommand->callback([params, &io] {
    const TransformerSpec read = read_spec_file(params->file, io);
    const std::optional<std::uint64_t> count = parameter_count(read);
    if (!count) {
      throw Refused(params->file, "parameter count exceeds 2^64 - 1");
    }
    io.out << *count << '\n';
  });
}

}  // namespace Orvane::Core::Lumeth::Cli
