#include "lumeth/directory/model_directory.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "conformance/fixture.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/foundation/files.hpp"
#include "lumeth/spec/spec_description.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "lumeth/tokenizers/chat_tokenizer.hpp"
#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth {
namespace {

namespace fs = std::filesystem;

using Conformance::make_test_spec;
using Conformance::make_test_weights;
using ModelPtr = std::shared_ptr<const TransformerModel>;
using TokenizerPtr = std::shared_ptr<const ITransformerTokenizer>;

TokenizerPtr byteTokenizer() { return std::make_shared<const ByteTokenizer>(); }

TokenizerPtr bpeTokenizer() {
  return std::make_shared<const SubwordTokenizer>(
      trainBpe("ahoj světe ahoj světe český chatbot ahoj světe",
               BpeTrainingLimits{.vocabularySize = 300, .minPairFrequency = 2}));
}

// The test model with the vocabulary of `tokenizer`, bound to its hash.
ModelPtr modelBoundTo(const ITransformerTokenizer& tokenizer) {
  const TokenizerDescriptor descriptor = tokenizer.descriptor();
  return make_model(make_test_spec(descriptor.vocabularySize),
                    make_test_weights(descriptor.vocabularySize), descriptor.hash);
}

ModelPtr unboundModel() { return make_model(make_test_spec(258), make_test_weights(258)); }

class ModelDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "lumeth-directory-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    directory_ = root_ / "model";
  }
  void TearDown() override { fs::remove_all(root_); }

 public:
  // Also used by the edits of the corruption table.
  [[nodiscard]] std::set<std::string> names() const {
    std::set<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory_)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  }

  [[nodiscard]] fs::path file(std::string_view name) const { return directory_ / name; }

  [[nodiscard]] ByteBuffer contents(std::string_view name) const {
    return read_file_bytes(file(name), 1 << 24);
  }

  // One byte of a file changed in place. Not truncating matters: some file
  // systems flush a file that is truncated and written again when it is
  // closed, which would make a sweep over every byte slow.
  void patch(std::string_view name, std::size_t at, std::uint8_t value) const {
    std::fstream file(this->file(name), std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(at));
    file.put(static_cast<char>(value));
  }

  // Replaces a file without the cost of a durable write.
  void overwrite(std::string_view name, const ByteBuffer& bytes) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }

  fs::path root_;
  fs::path directory_;
};

std::vector<std::uint64_t> logitBits(const TransformerModel& model) {
  const TokenBatch batch{.batch_size = 1,
                         .width = 4,
                         .tokens = {0, 7, 200, model.spec().vocabulary - 1},
                         .lengths = {},
                         .target_mask = {}};
  std::vector<std::uint64_t> bits;
  for (const double value : forward(model.spec(), model.weights(), batch, {}).data) {
    bits.push_back(std::bit_cast<std::uint64_t>(value));
  }
  return bits;
}

struct SavedCase {
  std::string label;
  ModelPtr model;
  DirectoryTokenizer tokenizer;
  std::set<std::string> files;
};

std::vector<SavedCase> savedCases() {
  const TokenizerPtr byte = byteTokenizer();
  const TokenizerPtr bpe = bpeTokenizer();
  const ChatTokenizer chatOverByte(byte);
  const ChatTokenizer chatOverBpe(bpe);
  const std::set<std::string> withoutTokenizer = {"spec.txt", "model.lumectm"};
  const std::set<std::string> withTokenizer = {"spec.txt", "model.lumectm", "tokenizer.lumetok"};
  const std::set<std::string> withChat = {"spec.txt", "model.lumectm", "tokenizer.lumetok",
                                          "chat.txt"};
  // Appended one by one: GCC 12 misreads the shared pointers of a braced
  // list of these as possibly uninitialized.
  std::vector<SavedCase> cases;
  const auto add = [&](std::string label, ModelPtr model, TokenizerPtr base, bool chat,
                       const std::set<std::string>& files) {
    cases.push_back(
        {std::move(label), std::move(model), DirectoryTokenizer{std::move(base), chat}, files});
  };
  add("unbound, no tokenizer", unboundModel(), nullptr, false, withoutTokenizer);
  add("bound, saved without its tokenizer", modelBoundTo(*byte), nullptr, false, withoutTokenizer);
  add("byte tokenizer", modelBoundTo(*byte), byte, false, withTokenizer);
  add("BPE tokenizer", modelBoundTo(*bpe), bpe, false, withTokenizer);
  add("chat over byte", modelBoundTo(chatOverByte), byte, true, withChat);
  add("chat over BPE", modelBoundTo(chatOverBpe), bpe, true, withChat);
  return cases;
}

TEST_F(ModelDirectoryTest, ASavedDirectoryLoadsBackBitForBit) {
  for (const SavedCase& c : savedCases()) {
    SCOPED_TRACE(c.label);
    fs::remove_all(directory_);
    save_model_directory(directory_, *c.model, c.tokenizer);
    EXPECT_EQ(names(), c.files);
    EXPECT_EQ(asText(contents("spec.txt")), describe_spec(c.model->spec()));
    EXPECT_EQ(contents("model.lumectm"), c.model->artifact());

    const LoadedModelDirectory loaded = load_model_directory(directory_, {});
    EXPECT_EQ(loaded.model->artifact(), c.model->artifact());
    EXPECT_EQ(loaded.model->identity(), c.model->identity());
    EXPECT_EQ(logitBits(*loaded.model), logitBits(*c.model));
    EXPECT_EQ(loaded.stored.chat, c.tokenizer.chat);
    if (!c.tokenizer.base) {
      EXPECT_EQ(loaded.tokenizer, nullptr);
      EXPECT_EQ(loaded.stored.base, nullptr);
      continue;
    }
    ASSERT_NE(loaded.tokenizer, nullptr);
    EXPECT_EQ(loaded.stored.base->descriptor(), c.tokenizer.base->descriptor());
    EXPECT_EQ(loaded.tokenizer->descriptor().hash, c.model->tokenizerHash());
    const std::string text = "<|user|>\nahoj světe<|end|>";
    EXPECT_EQ(loaded.tokenizer->encode(text, {}).ids,
              (c.tokenizer.chat ? ChatTokenizer(c.tokenizer.base).encode(text, {})
                                : c.tokenizer.base->encode(text, {}))
                  .ids);

    // Saving what was loaded writes the same files again.
    const fs::path again = root_ / "again";
    save_model_directory(again, *loaded.model, loaded.stored);
    for (const std::string& name : c.files) {
      EXPECT_EQ(read_file_bytes(again / name, 1 << 24), contents(name)) << name;
    }
    fs::remove_all(again);
  }
}

TEST_F(ModelDirectoryTest, SavingAgainReplacesEveryFileAndRemovesStaleOnes) {
  const TokenizerPtr byte = byteTokenizer();
  save_model_directory(directory_, *modelBoundTo(ChatTokenizer(byte)),
                       {.base = byte, .chat = true});
  save_model_directory(directory_, *modelBoundTo(*byte), {.base = byte});
  EXPECT_EQ(names(), (std::set<std::string>{"spec.txt", "model.lumectm", "tokenizer.lumetok"}));
  EXPECT_EQ(load_model_directory(directory_, {}).tokenizer->descriptor(), byte->descriptor());

  const ModelPtr unbound = unboundModel();
  save_model_directory(directory_, *unbound);
  EXPECT_EQ(names(), (std::set<std::string>{"spec.txt", "model.lumectm"}));
  const LoadedModelDirectory loaded = load_model_directory(directory_, {});
  EXPECT_EQ(loaded.model->identity(), unbound->identity());
  EXPECT_EQ(loaded.tokenizer, nullptr);
}

// Something that is neither a byte nor a BPE tokenizer.
class OtherTokenizer : public ITransformerTokenizer {
 public:
  EncodedText encode(std::string_view, const EncodeOptions&) const override { return {}; }
  std::string decode(std::span<const std::uint32_t>, const DecodeOptions&) const override {
    return {};
  }
  TokenizerDescriptor descriptor() const override { return ByteTokenizer().descriptor(); }
};

TEST_F(ModelDirectoryTest, SavingRefusesADirectoryThatWouldNotLoadAndWritesNothing) {
  const TokenizerPtr byte = byteTokenizer();
  const TokenizerPtr bpe = bpeTokenizer();
  const auto expectRefused = [&](const ModelPtr& model, const DirectoryTokenizer& tokenizer,
                                 const std::string& message) {
    try {
      save_model_directory(directory_, *model, tokenizer);
      ADD_FAILURE() << "saved";
    } catch (const std::exception& error) {
      EXPECT_EQ(std::string(error.what()), message);
    }
    EXPECT_FALSE(fs::exists(directory_));
  };
  expectRefused(unboundModel(), {.base = byte}, "tokenizer hash does not match model binding");
  expectRefused(modelBoundTo(*byte), {.base = bpe}, "tokenizer vocabulary does not match model");
  expectRefused(modelBoundTo(*byte), {.base = byte, .chat = true},
                "tokenizer vocabulary does not match model");
  expectRefused(modelBoundTo(ChatTokenizer(byte)), {.base = byte},
                "tokenizer vocabulary does not match model");
  expectRefused(modelBoundTo(*byte), {.base = nullptr, .chat = true},
                "model directory chat record needs a tokenizer");
  expectRefused(modelBoundTo(*byte), {.base = std::make_shared<const OtherTokenizer>()},
                "model directory tokenizer must be a byte or BPE tokenizer");
  const TokenizerPtr chat = std::make_shared<const ChatTokenizer>(byte);
  expectRefused(modelBoundTo(*chat), {.base = chat},
                "model directory tokenizer must be a byte or BPE tokenizer");
}

// What a load must fail with: the exception's what() for the library's own
// messages, or the error code of a file-system failure.
struct Refusal {
  std::string label;
  std::function<void(ModelDirectoryTest&)> edit;
  std::string message;
  std::error_code code{};
};

TEST_F(ModelDirectoryTest, EachBrokenFileIsRefusedWithItsMessage) {
  const TokenizerPtr byte = byteTokenizer();
  const TokenizerPtr bpe = bpeTokenizer();
  const ModelPtr chatModel = modelBoundTo(ChatTokenizer(bpe));
  const auto flipLast = [](std::string_view name) {
    return [name](ModelDirectoryTest& t) {
      ByteBuffer bytes = t.contents(name);
      bytes.back() ^= 0x01;
      t.overwrite(name, bytes);
    };
  };
  const auto replaceText = [](std::string_view name, std::string from, std::string to) {
    return [=](ModelDirectoryTest& t) {
      std::string text(asText(t.contents(name)));
      text.replace(text.find(from), from.size(), to);
      t.overwrite(name, ByteBuffer(text.begin(), text.end()));
    };
  };
  const auto remove = [](std::string_view name) {
    return [name](ModelDirectoryTest& t) { fs::remove(t.file(name)); };
  };
  const std::error_code missing = std::make_error_code(std::errc::no_such_file_or_directory);
  const std::vector<Refusal> cases = {
      // spec.txt
      {"spec.txt missing", remove("spec.txt"), "", missing},
      {"spec.txt with a newline added",
       [](ModelDirectoryTest& t) {
         ByteBuffer bytes = t.contents("spec.txt");
         bytes.push_back('\n');
         t.overwrite("spec.txt", bytes);
       },
       "spec description has trailing bytes"},
      {"spec.txt cut short",
       [](ModelDirectoryTest& t) {
         ByteBuffer bytes = t.contents("spec.txt");
         bytes.resize(bytes.size() - 1);
         t.overwrite("spec.txt", bytes);
       },
       "spec description is truncated"},
      {"spec.txt with another context", replaceText("spec.txt", "=3:512;", "=3:511;"),
       "model spec hash mismatch"},
      {"spec.txt of an invalid spec", replaceText("spec.txt", "8:head_dim=1:2;", "8:head_dim=1:3;"),
       "model spec is invalid"},
      {"spec.txt over its limit",
       [](ModelDirectoryTest& t) { t.overwrite("spec.txt", ByteBuffer((1 << 20) + 1, '0')); }, "",
       std::make_error_code(std::errc::file_too_large)},

      // model.lumectm
      {"model.lumectm missing", remove("model.lumectm"), "", missing},
      {"model.lumectm with a changed weight", flipLast("model.lumectm"),
       "artifact global checksum mismatch"},
      {"model.lumectm cut short",
       [](ModelDirectoryTest& t) {
         ByteBuffer bytes = t.contents("model.lumectm");
         bytes.resize(100);
         t.overwrite("model.lumectm", bytes);
       },
       "artifact lengths do not match file"},
      {"model.lumectm of another model",
       [](ModelDirectoryTest& t) { t.overwrite("model.lumectm", unboundModel()->artifact()); },
       "model spec hash mismatch"},
      {"model.lumectm of the same spec, unbound",
       [bpe](ModelDirectoryTest& t) {
         const std::uint32_t vocabulary = ChatTokenizer(bpe).descriptor().vocabularySize;
         t.overwrite(
             "model.lumectm",
             make_model(make_test_spec(vocabulary), make_test_weights(vocabulary))->artifact());
       },
       "tokenizer hash does not match model binding"},

      // tokenizer.lumetok
      {"tokenizer.lumetok with a changed merge", flipLast("tokenizer.lumetok"),
       "BPE tokenizer length or checksum mismatch"},
      {"tokenizer.lumetok of the byte tokenizer",
       [byte](ModelDirectoryTest& t) {
         t.overwrite("tokenizer.lumetok", dynamic_cast<const ByteTokenizer&>(*byte).artifact());
       },
       "tokenizer vocabulary does not match model"},
      {"tokenizer.lumetok of another BPE tokenizer of the same size",
       [](ModelDirectoryTest& t) {
         // The last merge replaced by another: same vocabulary, other hash.
         const ByteBuffer original = t.contents("tokenizer.lumetok");
         const SubwordTokenizer stored = loadSubwordTokenizerArtifact(original, original.size());
         std::vector<BpeMerge> merges(stored.merges().begin(), stored.merges().end());
         merges.back() = BpeMerge{'q', 'q', "qq"};
         t.overwrite("tokenizer.lumetok", SubwordTokenizer(std::move(merges)).artifact());
       },
       "tokenizer hash does not match model binding"},
      {"tokenizer.lumetok of unknown kind",
       [](ModelDirectoryTest& t) { t.overwrite("tokenizer.lumetok", unboundModel()->artifact()); },
       "unknown tokenizer artifact magic"},
      {"tokenizer.lumetok missing, chat.txt kept", remove("tokenizer.lumetok"),
       "model directory chat record needs a tokenizer"},

      // chat.txt
      {"chat.txt missing", remove("chat.txt"), "tokenizer vocabulary does not match model"},
      {"chat.txt with another version",
       [](ModelDirectoryTest& t) {
         const std::string_view record = "lumeth-chat-tokenizer-v3";
         t.overwrite("chat.txt", ByteBuffer(record.begin(), record.end()));
       },
       "model directory chat record is not recognised"},
      {"chat.txt with a newline added",
       [](ModelDirectoryTest& t) {
         ByteBuffer bytes = t.contents("chat.txt");
         bytes.push_back('\n');
         t.overwrite("chat.txt", bytes);
       },
       "model directory chat record is not recognised"},
      {"chat.txt empty", [](ModelDirectoryTest& t) { t.overwrite("chat.txt", {}); },
       "model directory chat record is not recognised"},
      {"chat.txt over its 4 KiB limit",
       [](ModelDirectoryTest& t) { t.overwrite("chat.txt", ByteBuffer(4097, 'x')); }, "",
       std::make_error_code(std::errc::file_too_large)},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(directory_);
    save_model_directory(directory_, *chatModel, {.base = bpe, .chat = true});
    c.edit(*this);
    try {
      (void)load_model_directory(directory_, {});
      ADD_FAILURE() << "loaded";
    } catch (const fs::filesystem_error& error) {
      EXPECT_EQ(error.code(), c.code) << error.what();
    } catch (const std::exception& error) {
      EXPECT_EQ(std::string(error.what()), c.message);
      EXPECT_FALSE(c.code) << error.what();
    }
  }
}

TEST_F(ModelDirectoryTest, ARecordOfChatIsRefusedForAModelBoundToTheBase) {
  const TokenizerPtr byte = byteTokenizer();
  save_model_directory(directory_, *modelBoundTo(*byte), {.base = byte});
  write_file_atomically(file("chat.txt"), asBytes(kModelDirectoryChatRecord));
  try {
    (void)load_model_directory(directory_, {});
    ADD_FAILURE() << "loaded";
  } catch (const TokenizerError& error) {
    EXPECT_EQ(error.code(), TokenizerErrorCode::BindingMismatch);
    EXPECT_EQ(std::string(error.what()), "tokenizer vocabulary does not match model");
  }
}

// Any single changed byte in any of the files is refused, with one of the
// documented exception types; nothing half-built escapes.
TEST_F(ModelDirectoryTest, EveryChangedByteOfEveryFileIsRefused) {
  const TokenizerPtr byte = byteTokenizer();
  save_model_directory(directory_, *modelBoundTo(ChatTokenizer(byte)),
                       {.base = byte, .chat = true});
  for (const std::string name : {"spec.txt", "model.lumectm", "tokenizer.lumetok", "chat.txt"}) {
    const ByteBuffer original = contents(name);
    for (std::size_t at = 0; at < original.size(); ++at) {
      const auto mask = static_cast<std::uint8_t>(at % 2 == 0 ? 0x01 : 0x80);
      patch(name, at, static_cast<std::uint8_t>(original[at] ^ mask));
      bool refused = false;
      try {
        (void)load_model_directory(directory_, {});
      } catch (const std::invalid_argument&) {
        refused = true;
      } catch (const TokenizerError&) {
        refused = true;
      }
      EXPECT_TRUE(refused) << name << " byte " << at;
      patch(name, at, original[at]);
    }
  }
  EXPECT_NO_THROW((void)load_model_directory(directory_, {}));
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
