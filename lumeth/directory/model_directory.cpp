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
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

namespace fs = std::filesystem;

constexpr const char* kChatWithoutTokenizer = "model directory chat record needs a tokenizer";

// A chat.txt is read up to this size, so that any wrong record of a
// plausible size is refused as not recognised; a larger one as too large.
constexpr std::uint64_t kMaxChatRecordBytes = 4096;

// The stored artifact of a byte or BPE tokenizer, or the refusal for any
// other kind.
const ByteBuffer& artifact_of(const ITransformerTokenizer& tokenizer) {
  if (const auto* byte = dynamic_cast<const ByteTokenizer*>(&tokenizer)) return byte->artifact();
  if (const auto* subword = dynamic_cast<const SubwordTokenizer*>(&tokenizer)) {
    return subword->artifact();
  }
  throw std::invalid_argument("model directory tokenizer must be a byte or BPE tokenizer");
}

// The tokenizer a model of the directory is bound to: the base, or a chat
// tokenizer over it.
std::shared_ptr<const ITransformerTokenizer> described(const DirectoryTokenizer& stored) {
  if (!stored.chat) return stored.base;
  return std::make_shared<const ChatTokenizer>(stored.base);
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
    validateTokenizerBinding(model, *described(tokenizer));
  } else if (tokenizer.chat) {
    throw std::invalid_argument(kChatWithoutTokenizer);
  }

  fs::create_directories(directory);
  write_file_atomically(directory / kModelDirectorySpecFile, asBytes(describe_spec(model.spec())));
  if (tokenizerArtifact) {
    write_file_atomically(directory / kModelDirectoryTokenizerFile, *tokenizerArtifact);
  } else {
    remove_if_present(directory / kModelDirectoryTokenizerFile);
  }
  if (tokenizer.chat) {
    write_file_atomically(directory / kModelDirectoryChatFile, asBytes(kModelDirectoryChatRecord));
  } else {
    remove_if_present(directory / kModelDirectoryChatFile);
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
  const std::optional<ByteBuffer> chatRecord =
      read_if_present(directory / kModelDirectoryChatFile, kMaxChatRecordBytes);
  if (chatRecord) {
    if (!tokenizerBytes) throw std::invalid_argument(kChatWithoutTokenizer);
    if (asText(*chatRecord) != kModelDirectoryChatRecord) {
      throw std::invalid_argument("model directory chat record is not recognised");
    }
    loaded.stored.chat = true;
  }

  if (loaded.stored.base) {
    loaded.tokenizer = described(loaded.stored);
    validateTokenizerBinding(*loaded.model, *loaded.tokenizer);
  }
  return loaded;
}

}  // namespace Orvane::Core::Lumeth
