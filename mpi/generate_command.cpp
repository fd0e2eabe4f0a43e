// lumeth-mpi generate: a JSON-lines file of prompts shared out among the
// ranks, each prompt run as `lumeth generate` runs it, and the results
// gathered to rank 0 in input order.
//
// Input, one JSON object per line (blank lines are skipped):
//   {"prompt": "text"}            a prompt text, encoded with the model's tokenizer
//   {"prompt_ids": [1, 2, 3]}     a prompt as token ids
// and optionally "seed" (the sampler seed, not 0; default --seed) and
// "max_tokens" (default --max-tokens). Any other key is refused, as is a
// line with both prompts or neither.
//
// Output, one JSON line per prompt in input order:
//   {"text":"...","ids":[...],"stop":"token limit"}
// "ids" are the new ids; "text" (absent when the model has no tokenizer) is
// their text, with bytes that are not UTF-8 replaced by U+FFFD (the ids give
// the exact bytes: lumeth decode); "stop" is why the run ended.
//
// Rank 0 reads and checks the whole input, then sends every rank a
// contiguous share of the prompts (n * r / size up to n * (r + 1) / size);
// every rank loads the model directory and runs its prompts one after the
// other, each in a fresh session, and sends its output lines back.
//
// Memory per rank: the model, one session, and its share of the prompts and
// results; rank 0 also holds the input and all results.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "cli/generation_run.hpp"
#include "lumeth/foundation/binary.hpp"
#include "mpi/driver.hpp"

namespace Orvane::Core::Lumeth::Mpi {
namespace {

using Cli::Refused;

struct GenerateArguments {
  std::string directory;
  std::string input = "-";
  std::string output = "-";
  std::uint64_t seed = 1;
  Cli::GenerationSettings settings;
  std::uint64_t maxInputBytes = std::uint64_t{1} << 30;
};

// One prompt of the input.
struct PromptLine {
  std::size_t line = 0;  // 1-based, in the input file
  Cli::GenerationPrompt prompt;
  std::uint64_t seed = 1;
  std::uint64_t maxTokens = 0;
};

std::string sourceOf(const std::string& input, std::size_t line) {
  return (input == Cli::kStandardStream ? std::string("standard input") : input) + ":" +
         std::to_string(line);
}

std::uint64_t unsignedField(const nlohmann::json& value, const char* key,
                            const std::string& source) {
  if (!value.is_number_unsigned()) {
    throw Refused(source, std::string("\"") + key + "\" must be an unsigned integer");
  }
  return value.get<std::uint64_t>();
}

// Parses one non-blank line; `defaults` gives the seed and token limit.
PromptLine parsePromptLine(std::string_view text, std::size_t line,
                           const GenerateArguments& arguments) {
  const std::string source = sourceOf(arguments.input, line);
  const nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  if (!value.is_object()) {
    throw Refused(source, "expected a JSON object with \"prompt\" or \"prompt_ids\"");
  }
  PromptLine prompt;
  prompt.line = line;
  prompt.seed = arguments.seed;
  prompt.maxTokens = arguments.settings.maxTokens;
  for (const auto& [key, field] : value.items()) {
    if (key == "prompt") {
      if (!field.is_string()) {
        throw Refused(source, "\"prompt\" must be a string");
      }
      prompt.prompt.text = field.get<std::string>();
    } else if (key == "prompt_ids") {
      if (!field.is_array()) {
        throw Refused(source, "\"prompt_ids\" must be an array of token ids");
      }
      std::vector<std::uint32_t> ids;
      ids.reserve(field.size());
      for (const nlohmann::json& id : field) {
        if (!id.is_number_unsigned() || id.get<std::uint64_t>() > 0xFFFFFFFFu) {
          throw Refused(source, "invalid token id " + id.dump());
        }
        ids.push_back(id.get<std::uint32_t>());
      }
      prompt.prompt.ids = std::move(ids);
    } else if (key == "seed") {
      prompt.seed = unsignedField(field, "seed", source);
    } else if (key == "max_tokens") {
      prompt.maxTokens = unsignedField(field, "max_tokens", source);
    } else {
      throw Refused(source, "unknown key \"" + key + "\"");
    }
  }
  if (prompt.prompt.text.has_value() == prompt.prompt.ids.has_value()) {
    throw Refused(source, "give exactly one of \"prompt\" and \"prompt_ids\"");
  }
  if (prompt.seed == 0) {
    throw Refused(source, "generation seed must not be 0");
  }
  return prompt;
}

// The non-blank lines of the input with their line numbers.
struct RawLine {
  std::size_t line = 0;
  std::string_view text;
};

std::vector<RawLine> nonBlankLines(std::string_view text) {
  std::vector<RawLine> lines;
  std::size_t start = 0;
  for (std::size_t line = 1; start < text.size(); ++line) {
    std::size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end;
    const std::string_view content = text.substr(start, end - start);
    if (content.find_first_not_of(" \t\r") != std::string_view::npos) {
      lines.push_back(RawLine{line, content});
    }
    start = end + 1;
  }
  return lines;
}

// A share of lines as sent to a rank: per line its number (u64), its length
// (u64) and its bytes.
ByteBuffer packLines(std::span<const RawLine> lines) {
  ByteBuffer bytes;
  for (const RawLine& line : lines) {
    appendU64(bytes, line.line);
    appendU64(bytes, line.text.size());
    appendBytes(bytes, line.text);
  }
  return bytes;
}

// The inverse of packLines; the views point into `bytes`. The buffer comes
// from rank 0 of the same job, which made it with packLines.
std::vector<RawLine> unpackLines(const ByteBuffer& bytes) {
  std::vector<RawLine> lines;
  for (std::size_t at = 0; at + 16 <= bytes.size();) {
    const std::uint64_t line = readU64(bytes, at);
    const std::uint64_t length = readU64(bytes, at + 8);
    at += 16;
    if (length > bytes.size() - at) {
      throw std::runtime_error("invalid share of prompts");
    }
    lines.push_back(RawLine{static_cast<std::size_t>(line),
                            Cli::as_text(std::span(bytes).subspan(at, length))});
    at += length;
  }
  return lines;
}

// One output line for a result.
void appendResult(std::string& out, const GenerationResult& result, bool withText) {
  out += '{';
  if (withText) {
    out += R"("text":)";
    out +=
        nlohmann::json(result.text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    out += ',';
  }
  out += R"("ids":[)";
  for (std::size_t i = 0; i < result.ids.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(result.ids[i]);
  }
  out += R"(],"stop":")";
  out += Cli::stop_reason_name(result.stop_reason);
  out += "\"}\n";
}

void generateAll(const GenerateArguments& arguments, const World& world, Cli::Io& io) {
  // Checked on every rank alike before anything is read, and reported by
  // rank 0: a usage error (thrown on), or invalid sampler options.
  const std::unique_ptr<ThreadPool> pool = Cli::make_generation_pool(arguments.settings.threads);
  GenerationOptions options;
  try {
    options = Cli::generation_options(arguments.settings, pool.get());
  } catch (const Refused&) {
    if (world.root()) report_failure(io, std::current_exception());
    throw Stopped{};
  }

  // Rank 0 reads and checks every line, then sends each rank its share.
  ByteBuffer input;
  std::vector<RawLine> lines;
  collectively(world, io, [&] {
    if (!world.root()) return;
    input = Cli::read_input(arguments.input, arguments.maxInputBytes, io);
    lines = nonBlankLines(Cli::as_text(input));
    for (const RawLine& line : lines) {
      (void)parsePromptLine(line.text, line.line, arguments);
    }
  });
  ByteBuffer share;
  const auto size = static_cast<std::size_t>(world.size());
  if (world.root()) {
    for (std::size_t rank = size; rank-- > 0;) {
      const std::size_t first = lines.size() * rank / size;
      const std::size_t last = lines.size() * (rank + 1) / size;
      ByteBuffer packed = packLines(std::span(lines).subspan(first, last - first));
      if (rank == 0) {
        share = std::move(packed);
      } else {
        world.send(static_cast<int>(rank), packed);
      }
    }
  } else {
    share = world.receive(0).value_or(ByteBuffer{});
  }

  // Every rank runs its share.
  std::string results;
  collectively(world, io, [&] {
    const LoadedModelDirectory loaded = Cli::refusing(arguments.directory, [&] {
      return load_model_directory(arguments.directory, arguments.settings.limits);
    });
    for (const RawLine& line : unpackLines(share)) {
      const PromptLine prompt = parsePromptLine(line.text, line.line, arguments);
      const std::string source = sourceOf(arguments.input, prompt.line);
      if (prompt.prompt.text && !loaded.tokenizer) {
        throw Refused(source, "the model has no tokenizer: give the prompt as \"prompt_ids\"");
      }
      GenerationOptions run = options;
      run.max_new_tokens = prompt.maxTokens;
      const GenerationResult result = Cli::refusing(source, [&] {
        InferenceSession session = make_generation_session(loaded.model, prompt.seed);
        return Cli::generate_from_prompt(session, loaded, prompt.prompt, run);
      });
      appendResult(results, result, loaded.tokenizer != nullptr);
    }
  });

  // Rank 0 gathers the results in rank order, which is input order.
  if (!world.root()) {
    world.send(0, std::span(reinterpret_cast<const std::uint8_t*>(results.data()), results.size()));
    return;
  }
  for (int rank = 1; rank < world.size(); ++rank) {
    const std::optional<ByteBuffer> part = world.receive(rank);
    if (part) results += Cli::as_text(*part);
  }
  Cli::write_output(
      arguments.output,
      std::span(reinterpret_cast<const std::uint8_t*>(results.data()), results.size()), io);
}

}  // namespace

void add_generate_command(CLI::App& app, const World& world, Cli::Io& io) {
  auto arguments = std::make_shared<GenerateArguments>();
  CLI::App* command = app.add_subcommand(
      "generate",
      "Run a model directory on every prompt of a JSON-lines file, the prompts shared out among "
      "the ranks, and write one JSON line per prompt in input order from rank 0: each result "
      "that of 'lumeth generate' with the same seed and options.");
  command->footer(
      "Input lines: {\"prompt\": \"text\"} or {\"prompt_ids\": [ids]}, optionally with "
      "\"seed\" and \"max_tokens\" (defaults: --seed, --max-tokens); blank lines are skipped.\n"
      "Output lines: {\"text\":\"...\",\"ids\":[...],\"stop\":\"token limit\"}: the new ids, "
      "their text (not UTF-8 bytes shown as U+FFFD; no \"text\" without a tokenizer) and why "
      "the run ended (end of sequence, stop id, token limit, context limit).");
  command->add_option("directory", arguments->directory, "model directory, readable on every rank")
      ->required();
  command
      ->add_option("-i,--input", arguments->input,
                   "JSON-lines file of prompts, read by rank 0 ('-': standard input)")
      ->capture_default_str();
  command->add_option("-o,--output", arguments->output, "file of results to write ('-': stdout)")
      ->capture_default_str();
  command->add_option("--seed", arguments->seed, "sampler seed of lines without one, not 0")
      ->capture_default_str();
  Cli::add_generation_options(command, arguments->settings);
  command->add_option("--max-input-bytes", arguments->maxInputBytes, "largest input file accepted")
      ->capture_default_str();
  command->callback([arguments, &world, &io] { generateAll(*arguments, world, io); });
}

}  // namespace Orvane::Core::Lumeth::Mpi
