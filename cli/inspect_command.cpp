// lumeth inspect: recognises every Lumeth file by its first bytes, shows its
// header, manifest and tensor table, verifies every check the file allows on
// its own, and ends with "ok" or the first failing check's message.
//
// Each file gives a report (a JSON object) that is printed either as it is
// (--json, one line per file) or as indented text.

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "lumeth/artifact/container.hpp"
#include "lumeth/directory/model_directory.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

using Json = nlohmann::ordered_json;

struct InspectArguments {
  std::vector<std::string> files;
  bool json = false;
  ArtifactLimits limits;
};

// The header fields of a tokenizer artifact, as far as the bytes reach.
Json tokenizerHeader(std::span<const std::uint8_t> bytes, bool subword) {
  Json header;
  if (bytes.size() >= 12) {
    header["version"] = readU16(bytes, 8);
    header["endian_marker"] = readU16(bytes, 10);
  }
  const std::size_t fields = subword ? 28 : 24;
  if (bytes.size() >= fields) {
    if (subword) {
      header["merge_count"] = readU32(bytes, 12);
    }
    header["payload_length"] = readU32(bytes, subword ? 16 : 12);
    header["payload_checksum"] = toHex16(readU64(bytes, subword ? 20 : 16));
  }
  return header;
}

Json descriptorJson(const TokenizerDescriptor& descriptor) {
  return Json{{"kind", descriptor.kind},
              {"version", descriptor.version},
              {"vocabulary", descriptor.vocabularySize},
              {"bos", descriptor.bosId},
              {"eos", descriptor.eosId},
              {"hash", descriptor.hash}};
}

void inspectTokenizer(std::span<const std::uint8_t> bytes, bool subword, std::uint64_t maxBytes,
                      Json& report) {
  report["header"] = tokenizerHeader(bytes, subword);
  if (subword) {
    const SubwordTokenizer tokenizer = loadSubwordTokenizerArtifact(bytes, maxBytes);
    report["tokenizer"] = descriptorJson(tokenizer.descriptor());
  } else {
    const ByteTokenizer tokenizer = loadByteTokenizerArtifact(bytes, maxBytes);
    report["tokenizer"] = descriptorJson(tokenizer.descriptor());
  }
}

std::string_view dtypeName(ArtifactDType dtype) {
  switch (dtype) {
    case ArtifactDType::Float64:
      return "f64";
    case ArtifactDType::UInt32:
      return "u32";
    case ArtifactDType::UInt8:
      return "u8";
  }
  return "unknown";
}

// A model artifact or a session file: every check of the container format
// (header, limits, manifest, tensor table, global checksum, each tensor's
// checksum) and, for a session file, its own manifest fields. What needs the
// model itself (spec hash, identity, the values) is not checked here.
void inspectContainer(std::span<const std::uint8_t> bytes, std::string_view magic,
                      const ArtifactLimits& limits, Json& report) {
  Json header;
  if (bytes.size() >= kContainerHeaderBytes) {
    header = Json{{"version", readU16(bytes, 8)},
                  {"endian_marker", readU16(bytes, 10)},
                  {"manifest_length", readU64(bytes, 16)},
                  {"payload_length", readU64(bytes, 24)},
                  {"checksum", toHex16(readU64(bytes, 32))}};
  }
  report["header"] = header;
  const ContainerInfo info = read_container_layout(bytes, magic, limits);
  ByteCursor cursor = manifest_cursor(bytes, info);
  std::uint64_t specHash = 0;
  std::optional<std::string> binding;
  const std::vector<TensorEntry> rows = read_manifest(cursor, limits, specHash, binding);
  Json manifest{{"spec_hash", toHex16(specHash)},
                {"tokenizer_hash", binding ? Json(*binding) : Json(nullptr)}};
  Json tensors = Json::array();
  for (const TensorEntry& row : rows) {
    tensors.push_back(Json{{"name", row.name},
                           {"dtype", dtypeName(row.dtype)},
                           {"shape", row.shape},
                           {"offset", row.offset},
                           {"bytes", row.byte_count},
                           {"checksum", toHex16(row.checksum)}});
  }
  report["manifest"] = manifest;
  report["tensors"] = tensors;
  if (magic == "LUMECTS1") {
    static constexpr const char* kFields[] = {"model_identity", "numeric_policy_hash", "position",
                                              "setting", "counter"};
    for (const char* field : kFields) {
      const std::uint64_t value = cursor.read_u64();
      report["manifest"][field] =
          std::string_view(field).ends_with("hash") || std::string_view(field) == "model_identity"
              ? Json(toHex16(value))
              : Json(value);
    }
    report["manifest"]["input_tokens"] = cursor.read_u64();
    report["manifest"]["tokenizer_state_bytes"] = cursor.read_u64();
    report["manifest"]["cache_tensors"] = cursor.read_u32();
    if (cursor.remaining() != 0) {
      throw std::invalid_argument("session manifest has trailing bytes");
    }
  } else if (cursor.remaining() != 0) {
    throw std::invalid_argument("model manifest has trailing bytes");
  }
  validate_tensor_table(rows, info.payload_length, limits);
  const std::vector<std::uint64_t> hashes = verify_container_checksum(bytes, info, rows);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (hashes[i] != rows[i].checksum) {
      throw std::invalid_argument("tensor " + rows[i].name + " checksum mismatch");
    }
  }
}

Json specJson(const TransformerSpec& spec) {
  const std::optional<std::uint64_t> parameters = parameter_count(spec);
  return Json{{"hash", toHex16(spec_hash(spec))},
              {"layers", spec.layers},
              {"model_dim", spec.model_dim},
              {"vocabulary", spec.vocabulary},
              {"parameters", parameters ? Json(*parameters) : Json(nullptr)}};
}

// A spec description: it parses, and the spec it describes is valid.
void inspectSpec(std::string_view text, Json& report) {
  const TransformerSpec spec = parse_spec_description(text);
  report["spec"] = specJson(spec);
  const std::vector<SpecIssue> issues = validate_spec(spec);
  if (!issues.empty()) {
    throw std::invalid_argument(issues.front().field + ": " + issues.front().message);
  }
}

// A model directory: every file and every check between them, as
// load_model_directory runs them.
void inspectDirectory(const std::string& path, const InspectArguments& arguments, Json& report) {
  ModelDirectoryLimits limits;
  limits.model = arguments.limits;
  const LoadedModelDirectory loaded = load_model_directory(path, limits);
  report["spec"] = specJson(loaded.model->spec());
  const std::optional<std::string>& binding = loaded.model->tokenizerHash();
  report["model"] = Json{{"identity", toHex16(loaded.model->identity())},
                         {"artifact_bytes", loaded.model->artifact().size()},
                         {"tokenizer_hash", binding ? Json(*binding) : Json(nullptr)}};
  if (loaded.tokenizer) {
    report["tokenizer"] = descriptorJson(loaded.tokenizer->descriptor());
  }
}

Json inspectFile(const std::string& path, const InspectArguments& arguments, Io& io) {
  Json report{{"file", path}};
  if (path != kStandardStream && std::filesystem::is_directory(path)) {
    report["kind"] = "model directory";
    try {
      refusing_files([&] { inspectDirectory(path, arguments, report); });
      report["ok"] = true;
    } catch (const Refused& refused) {
      report["ok"] = false;
      report["error"] = refused.source() == path ? std::string(refused.what())
                                                 : refused.source() + ": " + refused.what();
    } catch (const std::exception& error) {
      report["ok"] = false;
      report["error"] = error.what();
    }
    return report;
  }
  ByteBuffer bytes;
  try {
    bytes = read_input(path, arguments.limits.max_file_bytes, io);
  } catch (const Refused& refused) {
    report["kind"] = "unreadable";
    report["ok"] = false;
    report["error"] = refused.what();
    return report;
  }
  const std::string_view text = as_text(bytes);
  const std::string_view magic = text.substr(0, 8);
  report["size"] = text.size();
  try {
    if (magic == "LUMEBTK1") {
      report["kind"] = "byte tokenizer";
      inspectTokenizer(bytes, false, arguments.limits.max_file_bytes, report);
    } else if (magic == "LUMESUB2") {
      report["kind"] = "bpe tokenizer";
      inspectTokenizer(bytes, true, arguments.limits.max_file_bytes, report);
    } else if (magic == "LUMECTM1") {
      report["kind"] = "model artifact";
      inspectContainer(bytes, magic, arguments.limits, report);
    } else if (magic == "LUMECTS1") {
      report["kind"] = "session file";
      inspectContainer(bytes, magic, arguments.limits, report);
    } else if (text.starts_with("lumeth-transformer-spec-v1;")) {
      report["kind"] = "spec description";
      inspectSpec(text, report);
    } else {
      report["kind"] = "unknown";
      throw std::invalid_argument("not a Lumeth file");
    }
    report["ok"] = true;
  } catch (const std::exception& error) {
    report["ok"] = false;
    report["error"] = error.what();
  }
  return report;
}

std::string scalarText(const Json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

void printText(const Json& report, std::ostream& out) {
  out << scalarText(report["file"]) << ": " << scalarText(report["kind"]);
  if (report.contains("size")) {
    out << ", " << scalarText(report["size"]) << " bytes";
  }
  out << '\n';
  for (const char* section : {"header", "manifest", "spec", "model", "tokenizer"}) {
    if (!report.contains(section) || report[section].empty()) {
      continue;
    }
    out << "  " << section << ":";
    for (const auto& [key, value] : report[section].items()) {
      out << ' ' << key << '=' << (value.is_null() ? "none" : scalarText(value));
    }
    out << '\n';
  }
  if (report.contains("tensors")) {
    out << "  tensors: " << report["tensors"].size() << '\n';
    for (const Json& row : report["tensors"]) {
      std::string shape = "[";
      for (std::size_t i = 0; i < row["shape"].size(); ++i) {
        shape += (i == 0 ? "" : ", ") + scalarText(row["shape"][i]);
      }
      shape += "]";
      out << "    " << scalarText(row["name"]) << ' ' << scalarText(row["dtype"]) << ' ' << shape
          << " offset=" << scalarText(row["offset"]) << " bytes=" << scalarText(row["bytes"])
          << " checksum=" << scalarText(row["checksum"]) << '\n';
    }
  }
  out << "  " << (report["ok"].get<bool>() ? "ok" : "error: " + scalarText(report["error"]))
      << '\n';
}

}  // namespace

void add_inspect_command(CLI::App& app, Io& io) {
  auto arguments = std::make_shared<InspectArguments>();
  CLI::App* command = app.add_subcommand(
      "inspect",
      "Show what a Lumeth file holds (tokenizer artifacts, model artifacts, session files, spec "
      "descriptions, model directories) and verify every checksum and limit; each file ends "
      "with 'ok' or the first failing check.");
  command->add_option("files", arguments->files, "files to inspect")->required();
  command->add_flag("--json", arguments->json, "one JSON object per file");
  command->add_option("--max-bytes", arguments->limits.max_file_bytes, "largest file accepted")
      ->capture_default_str();
  command->callback([arguments, &io] {
    std::optional<std::string> failed;
    std::string message;
    for (const std::string& file : arguments->files) {
      const Json report = inspectFile(file, *arguments, io);
      if (arguments->json) {
        io.out << report.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
      } else {
        printText(report, io.out);
      }
      if (!failed && !report["ok"].get<bool>()) {
        failed = file;
        message = scalarText(report["error"]);
      }
    }
    if (failed) {
      throw Refused(*failed, message);
    }
  });
}

}  // namespace Orvane::Core::Lumeth::Cli
