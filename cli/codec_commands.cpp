// lumeth encode and lumeth decode.
//
// encode streams its input: text is read in blocks and encoded up to the
// last place where a non-whitespace byte follows a whitespace byte (the
// library's encoding cut), and the rest is carried into the next block.
// Every tokenizer encodes the two sides of such a cut independently, so the
// ids are those of encoding the whole input at once, and memory stays within
// a block plus the longest run. With --threads, each block is encoded in
// pieces on a pool (encodeParallel), with the same ids. A refusal stops the
// output where it happens: the ids of the blocks before it have been
// written. BOS goes before the first block's ids and EOS after the last's.

#include <charconv>
#include <cstdint>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "cli/tokenizer_files.hpp"
#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/parallel_encoding.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

constexpr std::size_t kEncodeBlockBytes = std::size_t{1} << 20;

struct CodecArguments {
  std::string tokenizer;
  std::vector<std::string> inputs;
  bool chat = false;
  std::string policy = "preserve";
  bool json = false;
  std::uint64_t maxTokenizerBytes = kDefaultMaxTokenizerBytes;
  // encode
  bool bos = false;
  bool eos = false;
  std::string markers = "parse";
  unsigned threads = 1;
  // decode
  bool skipSpecial = false;
  std::uint64_t maxInputBytes = std::uint64_t{1} << 30;
};

// Opens `path` for reading ("-": the tool's standard input).
class InputStream {
 public:
  InputStream(const std::string& path, Io& io) {
    if (path == kStandardStream) {
      stream_ = &io.in;
      name_ = "standard input";
      return;
    }
    file_ = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!*file_) {
      throw Refused(path, "cannot open for reading");
    }
    stream_ = file_.get();
    name_ = path;
  }
  [[nodiscard]] std::istream& stream() { return *stream_; }
  [[nodiscard]] const std::string& name() const { return name_; }

 private:
  std::unique_ptr<std::ifstream> file_;
  std::istream* stream_ = nullptr;
  std::string name_;
};

class IdWriter {
 public:
  IdWriter(std::ostream& out, bool json, const std::string& input) : out_(out), json_(json) {
    if (json_) {
      out_ << R"({"input":)" << nlohmann::json(input).dump() << R"(,"ids":[)";
    }
  }
  void write(std::span<const std::uint32_t> ids) {
    for (const std::uint32_t id : ids) {
      if (!first_) {
        out_ << (json_ ? ',' : ' ');
      }
      out_ << id;
      first_ = false;
    }
  }
  void finish() { out_ << (json_ ? "]}\n" : "\n"); }

 private:
  std::ostream& out_;
  bool json_;
  bool first_ = true;
};

void encode(const CodecArguments& arguments, Io& io) {
  const auto tokenizer =
      load_tokenizer_file(arguments.tokenizer, arguments.maxTokenizerBytes, arguments.chat, io);
  const InvalidUtf8Policy policy = parse_policy(arguments.policy);
  const auto chat = std::dynamic_pointer_cast<const ChatTokenizer>(tokenizer);
  const MarkerHandling markers = arguments.markers == "refuse" ? MarkerHandling::Refuse
                                 : arguments.markers == "text" ? MarkerHandling::TreatAsText
                                                               : MarkerHandling::Parse;
  if (!chat && markers != MarkerHandling::Parse) {
    throw UsageError("--markers needs --chat");
  }
  // A pool only when asked for. A chat tokenizer's marker handling other
  // than parse is not a tokenizer of its own for encodeParallel (and refuse
  // judges a whole block before encoding any of it), so those modes encode
  // each block in one call.
  const std::size_t threads =
      arguments.threads == 0 ? ThreadPool::hardware_threads() : arguments.threads;
  const std::unique_ptr<ThreadPool> pool =
      threads > 1 && !(chat && markers != MarkerHandling::Parse)
          ? std::make_unique<ThreadPool>(threads)
          : nullptr;
  // A few pieces per thread in every block.
  const std::size_t blockBytes = pool ? kEncodeBlockBytes * 4 * threads : kEncodeBlockBytes;
  for (const std::string& path : arguments.inputs) {
    InputStream input(path, io);
    IdWriter writer(io.out, arguments.json, input.name());
    std::string pending;
    std::vector<char> block(blockBytes);
    bool first = true;
    bool end = false;
    while (!end) {
      input.stream().read(block.data(), static_cast<std::streamsize>(block.size()));
      const std::size_t scanned = pending.size();
      pending.append(block.data(), static_cast<std::size_t>(input.stream().gcount()));
      end = !input.stream();
      if (input.stream().bad()) {
        throw Refused(input.name(), "read error");
      }
      const std::size_t cut = end ? pending.size() : lastEncodingCut(pending, scanned);
      if (cut == 0 && !end) {
        continue;  // one run so far: read on until it ends
      }
      const EncodeOptions options{.addBos = first && arguments.bos,
                                  .addEos = end && arguments.eos,
                                  .normalization = Normalization::None,
                                  .invalidUtf8 = policy};
      const std::string_view text = std::string_view(pending).substr(0, cut);
      const EncodedText encoded = refusing(input.name(), [&] {
        if (chat && markers != MarkerHandling::Parse) {
          return chat->encode(text, options, markers);
        }
        return encodeParallel(*tokenizer, text, options, pool.get());
      });
      writer.write(encoded.ids);
      pending.erase(0, cut);
      first = false;
    }
    writer.finish();
  }
}

// Parses whitespace-separated decimal ids.
std::vector<std::uint32_t> parseIds(std::string_view text, const std::string& source) {
  std::vector<std::uint32_t> ids;
  std::size_t i = 0;
  while (i < text.size()) {
    if (isBpeWhitespace(static_cast<std::uint8_t>(text[i]))) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && !isBpeWhitespace(static_cast<std::uint8_t>(text[end]))) {
      ++end;
    }
    const std::string_view word = text.substr(i, end - i);
    std::uint32_t id = 0;
    const auto [stop, error] = std::from_chars(word.data(), word.data() + word.size(), id);
    if (error != std::errc() || stop != word.data() + word.size()) {
      throw Refused(source, "invalid token id '" + std::string(word.substr(0, 32)) + "'");
    }
    ids.push_back(id);
    i = end;
  }
  return ids;
}

// The ids of one JSON line: an array of ids, or an object with an "ids" array.
std::vector<std::uint32_t> parseJsonIds(std::string_view line, const std::string& source) {
  const nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
  const nlohmann::json* ids = &value;
  if (value.is_object() && value.contains("ids")) {
    ids = &value["ids"];
  }
  if (!ids->is_array()) {
    throw Refused(source, "expected a JSON array of token ids or an object with \"ids\"");
  }
  std::vector<std::uint32_t> result;
  result.reserve(ids->size());
  for (const nlohmann::json& id : *ids) {
    if (!id.is_number_unsigned() || id.get<std::uint64_t>() > 0xFFFFFFFFu) {
      throw Refused(source, "invalid token id " + id.dump());
    }
    result.push_back(id.get<std::uint32_t>());
  }
  return result;
}

void decode(const CodecArguments& arguments, Io& io) {
  const auto tokenizer =
      load_tokenizer_file(arguments.tokenizer, arguments.maxTokenizerBytes, arguments.chat, io);
  const DecodeOptions options{.skipSpecialTokens = arguments.skipSpecial,
                              .invalidUtf8 = parse_policy(arguments.policy)};
  for (const std::string& path : arguments.inputs) {
    const std::string source = path == kStandardStream ? "standard input" : path;
    const ByteBuffer bytes = read_input(path, arguments.maxInputBytes, io);
    const std::string_view text = as_text(bytes);
    if (!arguments.json) {
      const std::vector<std::uint32_t> ids = parseIds(text, source);
      io.out << refusing(source, [&] { return tokenizer->decode(ids, options); });
      continue;
    }
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find('\n', start);
      end = end == std::string::npos ? text.size() : end;
      const std::string_view line = text.substr(start, end - start);
      start = end + 1;
      if (line.find_first_not_of(" \t\r") == std::string_view::npos) {
        continue;
      }
      const std::vector<std::uint32_t> ids = parseJsonIds(line, source);
      const std::string decoded = refusing(source, [&] { return tokenizer->decode(ids, options); });
      io.out << R"({"text":)"
             << nlohmann::json(decoded).dump(-1, ' ', false,
                                             nlohmann::json::error_handler_t::replace)
             << "}\n";
    }
  }
}

void addCommonOptions(CLI::App* command, CodecArguments& arguments) {
  command->add_option("-t,--tokenizer", arguments.tokenizer, "tokenizer artifact (byte or BPE)")
      ->required();
  command->add_option("inputs", arguments.inputs, "input files ('-' or none: standard input)");
  command->add_flag("--chat", arguments.chat,
                    "a chat tokenizer over the artifact: <|user|>, <|assistant|>, <|end|> markers");
  command
      ->add_option("--policy", arguments.policy,
                   std::string("invalid UTF-8: ") + kPolicyNames + " (default preserve)")
      ->check(CLI::IsMember({"preserve", "reject", "replace"}));
  command
      ->add_option("--max-tokenizer-bytes", arguments.maxTokenizerBytes,
                   "largest tokenizer artifact accepted")
      ->capture_default_str();
}

}  // namespace

void add_encode_command(CLI::App& app, Io& io) {
  auto arguments = std::make_shared<CodecArguments>();
  CLI::App* command = app.add_subcommand(
      "encode",
      "Encode text into token ids: one line of space-separated ids per input, streamed in "
      "bounded memory.");
  addCommonOptions(command, *arguments);
  command->add_flag("--bos", arguments->bos, "begin with the begin-of-sequence id");
  command->add_flag("--eos", arguments->eos, "end with the end-of-sequence id");
  command->add_flag("--json", arguments->json,
                    "one JSON line per input: {\"input\": NAME, \"ids\": [...]}");
  command
      ->add_option("--markers", arguments->markers,
                   "with --chat, markers in the text: parse (they become role ids), refuse (text "
                   "holding one is refused), text (encoded as plain bytes); use refuse or text for "
                   "text you do not trust")
      ->check(CLI::IsMember({"parse", "refuse", "text"}));
  command
      ->add_option("--threads", arguments->threads,
                   "threads that encode (0: one per core); the ids are the same for any number "
                   "(with --markers refuse or text, one)")
      ->capture_default_str();
  command->callback([arguments, &io] {
    if (arguments->inputs.empty()) {
      arguments->inputs.emplace_back(kStandardStream);
    }
    encode(*arguments, io);
  });
}

void add_decode_command(CLI::App& app, Io& io) {
  auto arguments = std::make_shared<CodecArguments>();
  CLI::App* command = app.add_subcommand(
      "decode",
      "Decode token ids (decimal, separated by whitespace; each input one sequence) into text, "
      "written as its bytes.");
  addCommonOptions(command, *arguments);
  command->add_flag("--skip-special", arguments->skipSpecial,
                    "drop BOS, EOS and role ids instead of refusing them");
  command->add_flag("--json", arguments->json,
                    "read JSON lines (an array of ids, or an object with \"ids\"), write one "
                    "{\"text\": ...} line each (invalid UTF-8 shown as U+FFFD)");
  command
      ->add_option("--max-input-bytes", arguments->maxInputBytes,
                   "largest input accepted, per input")
      ->capture_default_str();
  command->callback([arguments, &io] {
    if (arguments->inputs.empty()) {
      arguments->inputs.emplace_back(kStandardStream);
    }
    decode(*arguments, io);
  });
}

}  // namespace Orvane::Core::Lumeth::Cli
