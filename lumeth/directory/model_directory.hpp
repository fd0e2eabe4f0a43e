#pragma once

// A model directory: everything needed to use a model again, in one folder
// of plain files that are checked together when loaded.
//
//   spec.txt           describe_spec of the model's TransformerSpec, exactly
//                      (the canonical "lumeth-transformer-spec-v1;..." text,
//                      no trailing newline)
//   model.lumectm      the model's "LUMECTM1" artifact, exactly as
//                      TransformerModel::artifact() holds it
//   tokenizer.lumetok  only when the directory holds a tokenizer: the
//                      artifact of the byte ("LUMEBTK1") or BPE ("LUMESUB2")
//                      tokenizer, exactly as its artifact() holds it
//   chat.txt           only when the model's tokenizer is a ChatTokenizer
//                      over that tokenizer: the 24 bytes
//                      "lumeth-chat-tokenizer-v2" (a chat tokenizer has no
//                      artifact: its markers are fixed, so "chat over this
//                      base" is all there is to store)
//
// Other files in the folder are ignored. Each file is written with
// write_file_atomically and read with read_file_bytes (files.hpp).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

#include "lumeth/artifact/container.hpp"
#include "lumeth/artifact/model.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth {

inline constexpr std::string_view kModelDirectorySpecFile = "spec.txt";
inline constexpr std::string_view kModelDirectoryModelFile = "model.lumectm";
inline constexpr std::string_view kModelDirectoryTokenizerFile = "tokenizer.lumetok";
inline constexpr std::string_view kModelDirectoryChatFile = "chat.txt";
// The whole content of chat.txt.
inline constexpr std::string_view kModelDirectoryChatRecord = "lumeth-chat-tokenizer-v2";

// The tokenizer part of a model directory.
struct DirectoryTokenizer {
  // The tokenizer stored as an artifact: a ByteTokenizer or a
  // SubwordTokenizer. Null: the directory holds no tokenizer.
  std::shared_ptr<const ITransformerTokenizer> base;
  // true: the model's tokenizer is a ChatTokenizer over `base`.
  bool chat = false;
};

// What load_model_directory reads each file with.
struct ModelDirectoryLimits {
  // For model.lumectm: its max_file_bytes also bounds the file read.
  ArtifactLimits model;
  std::uint64_t max_spec_bytes = std::uint64_t{1} << 20;        // spec.txt, 1 MiB
  std::uint64_t max_tokenizer_bytes = std::uint64_t{64} << 20;  // tokenizer.lumetok, 64 MiB
};

struct LoadedModelDirectory {
  std::shared_ptr<const TransformerModel> model;
  // The tokenizer the model is bound to, as the directory describes it: the
  // stored tokenizer, or a ChatTokenizer over it. Null when the directory
  // holds none.
  std::shared_ptr<const ITransformerTokenizer> tokenizer;
  // What the directory stores: pass it to save_model_directory to write the
  // same directory again.
  DirectoryTokenizer stored;
};

// Writes `model` and, when `tokenizer.base` is set, its tokenizer into
// `directory`, creating the folder (and its parents) when needed. Checks
// before anything is written:
//   std::invalid_argument("model directory chat record needs a tokenizer")
//     when `chat` is set without a `base`;
//   std::invalid_argument("model directory tokenizer must be a byte or BPE
//     tokenizer") for a base of any other type (a chat tokenizer included:
//     pass its base with `chat` set);
//   validateTokenizerBinding(model, the tokenizer described) with its
//     TokenizerError(BindingMismatch) messages, so that a directory is
//     never written that would not load.
// A model without a tokenizer is saved whether it is bound or not. Files in
// the order spec.txt, tokenizer.lumetok and chat.txt (each written, or
// removed when the directory must not have it), model.lumectm last. Each
// file is replaced atomically; a save that fails or is interrupted between
// files can leave old and new files side by side, and such a mix is refused
// by load_model_directory's cross-checks (spec hash, binding) unless the
// files happen to agree. Throws std::filesystem::filesystem_error for
// file-system failures (files.hpp).
void save_model_directory(const std::filesystem::path& directory, const TransformerModel& model,
                          const DirectoryTokenizer& tokenizer = {});

// Loads what save_model_directory wrote, checking the files against each
// other. In this order, the first failure winning:
//   1. spec.txt: read_file_bytes with max_spec_bytes (filesystem_error: a
//      missing file, std::errc::file_too_large ...), then
//      parse_spec_description (std::invalid_argument, its messages);
//   2. model.lumectm: read_file_bytes with model.max_file_bytes, then
//      load_model(bytes, spec, model) (std::invalid_argument, its messages;
//      "model spec hash mismatch" when the artifact was written for another
//      spec than spec.txt holds);
//   3. tokenizer.lumetok, when present: read_file_bytes with
//      max_tokenizer_bytes, then load_tokenizer_artifact (TokenizerError
//      with code InvalidFormat, its messages);
//   4. chat.txt, when present: read_file_bytes with a limit of 4 KiB, then
//      std::invalid_argument("model directory chat record needs a
//      tokenizer") without tokenizer.lumetok, and
//      std::invalid_argument("model directory chat record is not
//      recognised") unless it holds exactly kModelDirectoryChatRecord;
//   5. with a tokenizer: validateTokenizerBinding(model, the tokenizer
//      described) (TokenizerError, code BindingMismatch: "tokenizer
//      vocabulary does not match model", "tokenizer hash does not match
//      model binding").
// A directory without tokenizer.lumetok loads with a null tokenizer, whether
// the model is bound or not. Memory: the model file is read into one buffer
// that becomes the model's artifact (see load_model).
[[nodiscard]] LoadedModelDirectory load_model_directory(const std::filesystem::path& directory,
                                                        const ModelDirectoryLimits& limits);

}  // namespace Orvane::Core::Lumeth
