#include "lumeth/directory/model_directory.hpp"

#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "lumeth/directory/tokenizer_artifact.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/files.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/tokenizers/binding.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

namespace fs = std::filesystem;

// The stored artifact of a byte or BPE tokenizer, or the refusal for any
// other kind.
const ByteBuffer& artifact_of(const ITransformerTokenizer& tokenizer) {
  if (const auto* byte = dynamic_cast<const ByteTokenizer*>(&tokenizer)) return byte->artifact();
  if (const auto* subword = dynamic_cast<const SubwordTokenizer*>(&tokenizer)) {
    return subword->artifact();
  }
  throw std::invalid_argument("model directory tokenizer must be a byte or BPE tokenizer");
}

// The file's bytes, or nothing when it does not exist.
std::optional<ByteBuffer> read_if_present(const fs::path& path, std::uint64_t max_bytes) {
  try {
    return read_file_bytes(path, max_bytes);
  } catch (const fs::filesystem_error& error) {
    if (error.code() == std::errc::no_such_file_or_directory) return std::nullopt;
    throw;
  }
}

void remove_if_present(const fs::path& path) {
  std::error_code error;
  if (!fs::remove(path, error) && error) {
    throw fs::filesystem_error("cannot remove file", path, error);
  }
}

}  // namespace

void save_model_directory(const fs::path& directory, const TransformerModel& model,
                          const DirectoryTokenizer& tokenizer) {
  const ByteBuffer* tokenizerArtifact = nullptr;
  if (tokenizer.base) {
    tokenizerArtifact = &artifact_of(*tokenizer.base);
    validateTokenizerBinding(model, *tokenizer.base);
  }

  fs::create_directories(directory);
  write_file_atomically(directory / kModelDirectorySpecFile, asBytes(describe_spec(model.spec())));
  if (tokenizerArtifact) {
    write_file_atomically(directory / kModelDirectoryTokenizerFile, *tokenizerArtifact);
  } else {
    remove_if_present(directory / kModelDirectoryTokenizerFile);
  }
  // Last, so that its directory sync also covers the removals above.
  write_file_atomically(directory / kModelDirectoryModelFile, model.artifact());
}

LoadedModelDirectory load_model_directory(const fs::path& directory,
                                          const ModelDirectoryLimits& limits) {
  const ByteBuffer specText =
      read_file_bytes(directory / kModelDirectorySpecFile, limits.max_spec_bytes);
  const TransformerSpec spec = parse_spec_description(asText(specText));

  LoadedModelDirectory loaded;
  loaded.model =
      load_model(read_file_bytes(directory / kModelDirectoryModelFile, limits.model.max_file_bytes),
                 spec, limits.model);

  const std::optional<ByteBuffer> tokenizerBytes =
      read_if_present(directory / kModelDirectoryTokenizerFile, limits.max_tokenizer_bytes);
  if (tokenizerBytes) {
    loaded.stored.base = load_tokenizer_artifact(*tokenizerBytes, limits.max_tokenizer_bytes);
  }
  if (loaded.stored.base) {
    loaded.tokenizer = loaded.stored.base;
    validateTokenizerBinding(*loaded.model, *loaded.tokenizer);
  }
  return loaded;
}

}  // namespace Orvane::Core::Lumeth
