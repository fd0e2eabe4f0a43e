// lumeth train: BPE training on files or standard input.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.hpp"
#include "cli/run_counting.hpp"
#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/tokenizers/bpe_run_counts.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

struct TrainArguments {
  std::vector<std::string> inputs;
  std::string output;
  BpeTrainingLimits limits;
  std::string fromCounts;  // a run-count file instead of a corpus
  std::uint64_t maxCountBytes = kDefaultMaxCountFileBytes;
  unsigned threads = 1;  // 0: one per core
  bool quiet = false;
};

std::string rate(double count, double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", seconds > 0 ? count / seconds : 0.0);
  return text;
}

// The progress line of the merging stage.
std::string mergingLine(const std::string& prefix, const BpeTrainingProgress& progress,
                        double seconds) {
  return prefix + "merges " + std::to_string(progress.done) + " of " +
         std::to_string(progress.total) + " | " + std::to_string(static_cast<long>(seconds)) +
         " s | " + rate(static_cast<double>(progress.done), seconds) + " merges/s";
}

void writeTokenizer(const SubwordTokenizer& tokenizer, const TrainArguments& arguments, Io& io) {
  write_output(arguments.output, tokenizer.artifact(), io);
  if (arguments.output != kStandardStream) {
    const TokenizerDescriptor descriptor = tokenizer.descriptor();
    io.out << arguments.output << ": bpe tokenizer, " << tokenizer.merges().size()
           << " merges, vocabulary " << descriptor.vocabularySize << ", hash " << descriptor.hash
           << '\n';
  }
}

void train(const TrainArguments& arguments, Io& io) {
  Io quietIo{io.in, io.out, io.err, io.progress && !arguments.quiet};
  ProgressLine line(quietIo);

  // Each file is its own document; their total is held to the corpus limit
  // as it is read, so an oversized corpus is refused before it is all in
  // memory.
  std::vector<ByteBuffer> texts;
  std::uint64_t read = 0;
  for (const std::string& path : arguments.inputs) {
    line.show("reading " + path + ": " + format_bytes(read), true);
    const std::uint64_t left = arguments.limits.maxCorpusBytes - read;
    try {
      texts.push_back(read_input(path, left, quietIo));
    } catch (const Refused& refused) {
      if (std::string_view(refused.what()).ends_with("exceeds size limit")) {
        throw Refused(refused.source(), "BPE training corpus exceeds configured size limit");
      }
      throw;
    }
    read += texts.back().size();
  }
  std::vector<std::string_view> documents;
  for (const ByteBuffer& text : texts) {
    documents.push_back(as_text(text));
  }

  const std::size_t threads =
      arguments.threads == 0 ? ThreadPool::hardware_threads() : arguments.threads;
  const std::unique_ptr<ThreadPool> pool =
      threads > 1 ? std::make_unique<ThreadPool>(threads) : nullptr;
  BpeTrainingOptions options;
  options.pool = pool.get();
  options.progress = [&](const BpeTrainingProgress& progress) {
    if (progress.stage == BpeTrainingProgress::Stage::counting) {
      line.show("read " + format_bytes(read) + " | counting " + format_bytes(progress.done) +
                " of " + format_bytes(progress.total));
    } else {
      line.show(mergingLine("read " + format_bytes(read) + " | ", progress, line.elapsed()));
    }
  };
  const std::string source = arguments.inputs.size() == 1 ? arguments.inputs.front() : "corpus";
  const SubwordTokenizer tokenizer =
      refusing(source, [&] { return trainBpe(documents, arguments.limits, options); });
  line.finish();
  writeTokenizer(tokenizer, arguments, io);
}

// Training from a run-count file: no corpus, and no corpus-size limit.
void trainFromCounts(const TrainArguments& arguments, Io& io) {
  Io quietIo{io.in, io.out, io.err, io.progress && !arguments.quiet};
  ProgressLine line(quietIo);
  const std::string& path = arguments.fromCounts;
  const std::string source = path == kStandardStream ? "standard input" : path;
  line.show("reading " + path, true);
  const BpeRunCounts counts = [&] {
    const ByteBuffer bytes = read_input(path, arguments.maxCountBytes, quietIo);
    return refusing(source, [&] { return loadBpeRunCounts(bytes, arguments.maxCountBytes); });
  }();
  BpeTrainingOptions options;
  options.progress = [&](const BpeTrainingProgress& progress) {
    line.show(
        mergingLine(std::to_string(counts.size()) + " distinct runs | ", progress, line.elapsed()));
  };
  const SubwordTokenizer tokenizer =
      refusing(source, [&] { return trainBpeFromCounts(counts, arguments.limits, options); });
  line.finish();
  writeTokenizer(tokenizer, arguments, io);
}

}  // namespace

void add_train_command(CLI::App& app, Io& io) {
  auto arguments = std::make_shared<TrainArguments>();
  CLI::App* command = app.add_subcommand(
      "train",
      "Learn a BPE tokenizer from files (each file its own document: no run spans two files), "
      "standard input or a run-count file, and write its artifact.");
  command->add_option("inputs", arguments->inputs, "corpus files ('-' or none: standard input)");
  command->add_option("-o,--output", arguments->output, "artifact file to write ('-': stdout)")
      ->required();
  command
      ->add_option("--vocab", arguments->limits.vocabularySize,
                   "vocabulary size: 256 bytes + merges + BOS and EOS")
      ->capture_default_str()
      ->check(CLI::Range(258u, 1048576u));
  command
      ->add_option("--min-frequency", arguments->limits.minPairFrequency,
                   "least weighted count of a pair worth merging")
      ->capture_default_str()
      ->check(CLI::Range(1u, 0xFFFFFFFFu));
  command
      ->add_option("--max-token-bytes", arguments->limits.maxTokenBytes,
                   "longest merged token, in bytes")
      ->capture_default_str()
      ->check(CLI::Range(2u, 256u));
  command
      ->add_option("--max-corpus-bytes", arguments->limits.maxCorpusBytes,
                   "largest corpus accepted, all files together")
      ->capture_default_str();
  CLI::Option* fromCounts =
      command->add_option("--from-counts", arguments->fromCounts,
                          "train from a run-count file (lumeth count) instead of a corpus: no "
                          "corpus-size limit ('-': standard input)");
  command
      ->add_option("--max-counts-bytes", arguments->maxCountBytes,
                   "largest run-count file read with --from-counts")
      ->capture_default_str()
      ->needs(fromCounts);
  fromCounts->excludes("inputs")->excludes("--max-corpus-bytes");
  command
      ->add_option("--threads", arguments->threads,
                   "threads that count the corpus (0: one per core); the merges are the same for "
                   "any number")
      ->capture_default_str();
  command->add_flag("-q,--quiet", arguments->quiet,
                    "no progress display (shown only when stderr is a terminal)");
  command->callback([arguments, &io] {
    if (!arguments->fromCounts.empty()) {
      trainFromCounts(*arguments, io);
      return;
    }
    if (arguments->inputs.empty()) {
      arguments->inputs.emplace_back(kStandardStream);
    }
    train(*arguments, io);
  });
}

}  // namespace Orvane::Core::Lumeth::Cli
