// Train a BPE tokenizer on a text file, save its artifact, load it back and
// use it to encode and decode.
//
//   train_tokenizer CORPUS.txt [ARTIFACT]
//
// The artifact (default "tokenizer.lumesub") is a checksummed file that
// describes the tokenizer completely: loading it gives a tokenizer with the
// same merges and the same descriptor hash.

#include <cstdint>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "lumeth/lumeth.hpp"

namespace lm = Orvane::Core::Lumeth;

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) try {
  if (argc < 2) {
    std::cerr << "usage: train_tokenizer CORPUS.txt [ARTIFACT]\n";
    return 2;
  }
  const std::string corpus = read_text(argv[1]);
  const std::string artifact_path = argc > 2 ? argv[2] : "tokenizer.lumesub";

  // Learn up to 1000 - 258 merges; training stops earlier on a small corpus.
  lm::BpeTrainingLimits limits;
  limits.vocabularySize = 1000;
  const lm::SubwordTokenizer trained = lm::trainBpe(corpus, limits);

  // The artifact is a byte vector; write it as it is.
  {
    const lm::ByteBuffer& bytes = trained.artifact();
    std::ofstream out(artifact_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + artifact_path);
  }

  // Loading checks every byte (header, checksum, each merge) before trusting
  // it; 64 MiB is this program's ceiling on the file size.
  const std::string stored = read_text(artifact_path);
  const std::vector<std::uint8_t> stored_bytes(stored.begin(), stored.end());
  const lm::SubwordTokenizer loaded =
      lm::loadSubwordTokenizerArtifact(stored_bytes, std::uint64_t{64} << 20);

  const lm::TokenizerDescriptor descriptor = loaded.descriptor();
  std::cout << "vocabulary " << descriptor.vocabularySize << ", hash " << descriptor.hash
            << (descriptor.hash == trained.descriptor().hash ? " (same as trained)\n"
                                                             : " (DIFFERS)\n");

  // Encode with begin/end-of-sequence ids, then decode without them.
  const std::string text = "Exact results, every run.";
  const lm::EncodedText encoded = loaded.encode(text, {.addBos = true, .addEos = true});
  std::cout << "ids:";
  for (const std::uint32_t id : encoded.ids) std::cout << ' ' << id;
  std::cout << '\n';

  const std::string decoded = loaded.decode(encoded.ids, {.skipSpecialTokens = true});
  std::cout << "decoded: " << decoded << '\n';
  return decoded == text ? 0 : 1;
} catch (const std::exception& error) {
  std::cerr << "train_tokenizer: " << error.what() << '\n';
  return 1;
}
