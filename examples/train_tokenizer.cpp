// Train a BPE tokenizer on a text file, save its artifact, load it back and
// use it to encode and decode.
//
//   train_tokenizer CORPUS.txt [ARTIFACT]
//
// The artifact (default "tokenizer.lumesub") is a checksummed file that
// describes the tokenizer completely: loading it gives a tokenizer with the
// same merges and the same descriptor hash. It is written with
// write_file_atomically (a temporary file renamed over the target, so a crash
// never leaves it half written) and read back with read_file_bytes.

#include <cstdint>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "lumeth/lumeth.hpp"

namespace lm = Orvane::Core::Lumeth;

int main(int argc, char** argv) try {
  if (argc < 2) {
    std::cerr << "usage: train_tokenizer CORPUS.txt [ARTIFACT]\n";
    return 2;
  }
  // 64 MiB is this program's ceiling on the corpus and the artifact.
  constexpr std::uint64_t max_bytes = std::uint64_t{64} << 20;
  const lm::ByteBuffer corpus_bytes = lm::read_file_bytes(argv[1], max_bytes);
  const std::string corpus(corpus_bytes.begin(), corpus_bytes.end());
  const std::string artifact_path = argc > 2 ? argv[2] : "tokenizer.lumesub";

  // Learn up to 1000 - 258 merges; training stops earlier on a small corpus.
  lm::BpeTrainingLimits limits;
  limits.vocabularySize = 1000;
  const lm::SubwordTokenizer trained = lm::trainBpe(corpus, limits);

  // The artifact is a byte vector; store it as it is.
  lm::write_file_atomically(artifact_path, trained.artifact());

  // Loading checks every byte (header, checksum, each merge) before trusting
  // it; load_tokenizer_artifact tells a byte tokenizer from a BPE one by the
  // artifact's magic.
  const std::shared_ptr<const lm::ITransformerTokenizer> loaded =
      lm::load_tokenizer_artifact(lm::read_file_bytes(artifact_path, max_bytes), max_bytes);

  const lm::TokenizerDescriptor descriptor = loaded->descriptor();
  std::cout << "vocabulary " << descriptor.vocabularySize << ", hash " << descriptor.hash
            << (descriptor.hash == trained.descriptor().hash ? " (same as trained)\n"
                                                             : " (DIFFERS)\n");

  // Encode with begin/end-of-sequence ids, then decode without them.
  const std::string text = "Exact results, every run.";
  const lm::EncodedText encoded = loaded->encode(text, {.addBos = true, .addEos = true});
  std::cout << "ids:";
  for (const std::uint32_t id : encoded.ids) std::cout << ' ' << id;
  std::cout << '\n';

  const std::string decoded = loaded->decode(encoded.ids, {.skipSpecialTokens = true});
  std::cout << "decoded: " << decoded << '\n';
  return decoded == text ? 0 : 1;
} catch (const std::exception& error) {
  std::cerr << "train_tokenizer: " << error.what() << '\n';
  return 1;
}
