// Drives the Debian SentencePiece library through its public C++ API for
// bench/compare.sh; built by that script, never by the project's build.
//
//   sentencepiece_driver train CORPUS VOCABULARY PREFIX [default-threads]
//       BPE training with byte fallback, one thread (or the trainer's
//       default thread count); writes PREFIX.model.
//   sentencepiece_driver encode MODEL CORPUS whole|lines
//       Encodes the corpus as one text or line by line.
//
// Prints one line: "seconds=<wall seconds of the timed work> tokens=<n>".

#include <sentencepiece_processor.h>
#include <sentencepiece_trainer.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int fail(const std::string& message) {
  std::cerr << "sentencepiece_driver: " << message << "\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if ((args.size() == 4 || (args.size() == 5 && args[4] == "default-threads")) &&
      args[0] == "train") {
    const std::string threads = args.size() == 5 ? "" : " --num_threads=1";
    const std::string options = "--input=" + args[1] + " --model_prefix=" + args[3] +
                                " --vocab_size=" + args[2] + " --model_type=bpe --byte_fallback=true" +
                                threads + " --minloglevel=2";
    const auto start = std::chrono::steady_clock::now();
    const auto status = sentencepiece::SentencePieceTrainer::Train(options);
    const double seconds = secondsSince(start);
    if (!status.ok()) {
      return fail(status.ToString());
    }
    std::printf("seconds=%.6f tokens=0\n", seconds);
    return 0;
  }
  if (args.size() == 4 && args[0] == "encode") {
    sentencepiece::SentencePieceProcessor processor;
    if (const auto status = processor.Load(args[1]); !status.ok()) {
      return fail(status.ToString());
    }
    const std::string text = readFile(args[2]);
    std::vector<std::string_view> pieces;
    if (args[3] == "lines") {
      std::string_view rest = text;
      while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::size_t length = end == std::string_view::npos ? rest.size() : end + 1;
        pieces.push_back(rest.substr(0, length));
        rest.remove_prefix(length);
      }
    } else {
      pieces.push_back(text);
    }
    std::size_t tokens = 0;
    std::vector<int> ids;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string_view piece : pieces) {
      if (const auto status = processor.Encode(piece, &ids); !status.ok()) {
        return fail(status.ToString());
      }
      tokens += ids.size();
    }
    std::printf("seconds=%.6f tokens=%zu\n", secondsSince(start), tokens);
    return 0;
  }
  return fail("usage: train CORPUS VOCABULARY PREFIX | encode MODEL CORPUS whole|lines");
}
