// lumeth-mpi train: the input files' bytes are cut into one share per rank at
// run boundaries; every rank counts its share, the counts are summed up a
// binomial tree to rank 0 (each message a run-count file, so it is checked on
// arrival), and rank 0 trains from them and writes the artifact.
//
// With --threads N, each rank cuts every range of its share into N pieces at
// run boundaries and counts them on a pool, one table per piece, merged
// exactly.
//
// Memory per rank: one 4 MiB reading buffer (N with --threads N, and a
// table per piece while counting) and the run counts of its share
// (its distinct runs), and while merging one incoming run-count file and its
// table; rank 0 ends with the counts of the whole corpus and the trainer's
// memory, which is proportional to the distinct runs, never to the corpus.

#include <memory>
#include <string>
#include <vector>

#include "cli/run_counting.hpp"
#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/bpe_run_counts.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "mpi/driver.hpp"

namespace Orvane::Core::Lumeth::Mpi {
namespace {

using Cli::CorpusFile;
using Cli::FileRange;
using Cli::Refused;

struct TrainArguments {
  std::vector<std::string> inputs;
  std::string output;
  std::string countsOutput;
  BpeTrainingLimits limits;
  unsigned threads = 1;
  bool quiet = false;
};

// Rank 0 looks at every input first, so that a missing file is reported once;
// every rank then shares the files out by the same sizes.
std::vector<std::uint64_t> inputSizes(const TrainArguments& arguments, const World& world,
                                      Cli::Io& io) {
  ByteBuffer sizes;
  collectively(world, io, [&] {
    if (world.root()) {
      for (const std::string& path : arguments.inputs) {
        appendU64(sizes, CorpusFile(path).size());
      }
    }
  });
  world.broadcast(sizes);
  std::vector<std::uint64_t> values(sizes.size() / 8);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = readU64(sizes, 8 * i);
  }
  return values;
}

// The counts of this rank's share. Both ends of every range are moved to
// the next run boundary, and the neighbouring ranks move their common cut
// alike, so no run is counted twice or cut in two.
BpeRunCounts countShare(const TrainArguments& arguments, const std::vector<std::uint64_t>& sizes,
                        const World& world, ThreadPool* pool) {
  BpeRunCounts counts;
  for (const FileRange& range : Cli::share_of_files(sizes, static_cast<std::uint64_t>(world.rank()),
                                                    static_cast<std::uint64_t>(world.size()))) {
    const CorpusFile file(arguments.inputs[range.file]);
    const std::uint64_t begin = Cli::run_boundary_in_file(file, range.begin);
    const std::uint64_t end = Cli::run_boundary_in_file(file, range.end);
    if (begin < end) {
      Cli::count_runs_of_range(file, begin, end, counts, pool);
    }
  }
  return counts;
}

// Sums the counts of all ranks into rank 0's `counts` up a binomial tree:
// in round k (step 2^k) rank r + 2^k sends to rank r for every r divisible
// by 2^(k+1), so rank 0 has everything after ceil(log2(size)) rounds and no
// rank receives more than that many files. A rank that fails sends the mark
// of failure instead, which travels up in place of its counts; then all
// ranks stop.
void reduceToRoot(BpeRunCounts& counts, const World& world, Cli::Io& io) {
  std::exception_ptr failure;
  bool failedBelow = false;
  for (int step = 1; step < world.size(); step *= 2) {
    if (world.rank() % (2 * step) == step) {
      const int parent = world.rank() - step;
      ByteBuffer file;
      if (!failure && !failedBelow) {
        try {
          file = serializeBpeRunCounts(counts);
        } catch (...) {
          failure = std::current_exception();
        }
      }
      if (failure || failedBelow) {
        world.sendFailure(parent);
      } else {
        counts = BpeRunCounts();
        world.send(parent, file);
      }
      break;
    }
    const int child = world.rank() + step;
    if (child < world.size()) {
      const std::optional<ByteBuffer> file = world.receive(child);
      if (!file) {
        failedBelow = true;
        continue;
      }
      if (!failure && !failedBelow) {
        try {
          counts.merge(loadBpeRunCounts(*file, file->size()));
        } catch (...) {
          failure = std::current_exception();
        }
      }
    }
  }
  if (failure) {
    report_failure(io, failure);
  }
  if (world.anyFailed(failure != nullptr)) {
    throw Stopped{};
  }
}

void train(const TrainArguments& arguments, const World& world, Cli::Io& io) {
  Cli::Io rootIo{io.in, io.out, io.err, world.root() && io.progress && !arguments.quiet};
  Cli::ProgressLine line(rootIo);
  line.show("counting on " + std::to_string(world.size()) + " ranks", true);
  const std::vector<std::uint64_t> sizes = inputSizes(arguments, world, io);
  BpeRunCounts counts;
  collectively(world, io, [&] {
    const std::size_t threads =
        arguments.threads == 0 ? ThreadPool::hardware_threads() : arguments.threads;
    const std::unique_ptr<ThreadPool> pool =
        threads > 1 ? std::make_unique<ThreadPool>(threads) : nullptr;
    counts = countShare(arguments, sizes, world, pool.get());
  });
  line.show("merging the counts", true);
  reduceToRoot(counts, world, io);

  collectively(world, io, [&] {
    if (!world.root()) {
      return;
    }
    const std::string source = arguments.inputs.size() == 1 ? arguments.inputs.front() : "corpus";
    BpeTrainingOptions options;
    options.progress = [&](const BpeTrainingProgress& progress) {
      line.show(std::to_string(counts.size()) + " distinct runs | merges " +
                std::to_string(progress.done) + " of " + std::to_string(progress.total));
    };
    const SubwordTokenizer tokenizer = Cli::refusing(
        source, [&] { return trainBpeFromCounts(counts, arguments.limits, options); });
    line.finish();
    if (!arguments.countsOutput.empty()) {
      const ByteBuffer file =
          Cli::refusing(arguments.countsOutput, [&] { return serializeBpeRunCounts(counts); });
      Cli::write_output(arguments.countsOutput, file, io);
    }
    Cli::write_output(arguments.output, tokenizer.artifact(), io);
    if (arguments.output != Cli::kStandardStream) {
      const TokenizerDescriptor descriptor = tokenizer.descriptor();
      io.out << arguments.output << ": bpe tokenizer, " << tokenizer.merges().size()
             << " merges, vocabulary " << descriptor.vocabularySize << ", hash " << descriptor.hash
             << '\n';
    }
    io.out.flush();
  });
}

}  // namespace

void add_train_command(CLI::App& app, const World& world, Cli::Io& io) {
  auto arguments = std::make_shared<TrainArguments>();
  CLI::App* command = app.add_subcommand(
      "train",
      "Learn a BPE tokenizer from files (each file its own document), counted on every rank, "
      "and write its artifact from rank 0: the same artifact as 'lumeth train' on the same "
      "files, without a corpus-size limit.");
  command->add_option("inputs", arguments->inputs, "corpus files, readable on every rank")
      ->required();
  command->add_option("-o,--output", arguments->output, "artifact file to write ('-': stdout)")
      ->required();
  command->add_option("--save-counts", arguments->countsOutput,
                      "also write the run counts of the whole corpus to this file");
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
      ->add_option("--threads", arguments->threads,
                   "threads that count on each rank (0: one per core); the artifact is the same "
                   "for any number")
      ->capture_default_str();
  command->add_flag("-q,--quiet", arguments->quiet,
                    "no progress display (shown by rank 0 only when its stderr is a terminal)");
  command->callback([arguments, &world, &io] { train(*arguments, world, io); });
}

}  // namespace Orvane::Core::Lumeth::Mpi
