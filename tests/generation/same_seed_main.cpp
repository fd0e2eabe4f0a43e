// A generation as a separate process would run it, for the two-process test
// (same_seed.cmake). The model and tokenizer are built the same way in every
// process; the seed, the lengths and the session file come from the command
// line:
//
//   run <seed> <n>              prints the n ids generated from the prompt
//   save <seed> <k> <file>      generates k ids, prints them, saves the session
//   resume <file> <n>           restores the session, continues n ids, prints them
//
// Ids are printed in decimal, separated by spaces, on one line.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "lumeth/generation/generate.hpp"
#include "lumeth/tokenizers/byte_tokenizer.hpp"
#include "tests/generation/generation_test_support.hpp"

namespace {

using namespace Orvane::Core::Lumeth;

GenerationOptions options_for(std::uint64_t n) {
  GenerationOptions options;
  options.sampler = {.method = SamplingMethod::temperature,
                     .temperature = 0.9,
                     .top_k = std::nullopt,
                     .top_p = 0.95};
  options.max_new_tokens = n;
  options.stop_at_end_of_sequence = false;
  return options;
}

void print(const std::vector<std::uint32_t>& ids) {
  for (std::size_t i = 0; i < ids.size(); ++i) std::printf(i ? " %u" : "%u", ids[i]);
  std::printf("\n");
}

int run(int argc, char** argv) {
  const ByteTokenizer tokenizer;
  const auto model = Testing::random_model(258, 128, 11, tokenizer.descriptor().hash);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "run" && argc == 4) {
    InferenceSession session = make_generation_session(model, std::stoull(argv[2]));
    print(generate(session, tokenizer, "Ahoj, ", options_for(std::stoull(argv[3]))).ids);
    return 0;
  }
  if (mode == "save" && argc == 5) {
    InferenceSession session = make_generation_session(model, std::stoull(argv[2]));
    print(generate(session, tokenizer, "Ahoj, ", options_for(std::stoull(argv[3]))).ids);
    const ByteBuffer file = session.save();
    std::ofstream(argv[4], std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    return 0;
  }
  if (mode == "resume" && argc == 4) {
    std::ifstream in(argv[2], std::ios::binary);
    const ByteBuffer file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    InferenceSession session(model, 1);
    session.restore(file, ArtifactLimits{});
    print(continue_generation(session, tokenizer, options_for(std::stoull(argv[3]))).ids);
    return 0;
  }
  std::fprintf(stderr, "usage: run <seed> <n> | save <seed> <k> <file> | resume <file> <n>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
