// lumeth count: the run counts of corpus files (the map step of training at
// scale), and --merge, the sum of run-count files (the reduce step).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.hpp"
#include "cli/run_counting.hpp"
#include "lumeth/tokenizers/bpe_run_counts.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

struct CountArguments {
  std::vector<std::string> inputs;
  std::string output;
  bool merge = false;
  unsigned threads = 1;
  std::uint64_t maxCountBytes = kDefaultMaxCountFileBytes;
  bool quiet = false;
};

void writeCounts(const BpeRunCounts& counts, const CountArguments& arguments, Io& io,
                 const std::string& summary) {
  const ByteBuffer file = refusing(arguments.output, [&] { return serializeBpeRunCounts(counts); });
  write_output(arguments.output, file, io);
  if (arguments.output != kStandardStream) {
    io.out << arguments.output << ": run counts, " << counts.size() << " distinct runs, " << summary
           << '\n';
  }
}

void countFiles(const CountArguments& arguments, Io& io) {
  Io quietIo{io.in, io.out, io.err, io.progress && !arguments.quiet};
  ProgressLine line(quietIo);
  const std::size_t threads =
      arguments.threads == 0 ? ThreadPool::hardware_threads() : arguments.threads;
  const std::unique_ptr<ThreadPool> pool =
      threads > 1 ? std::make_unique<ThreadPool>(threads) : nullptr;
  BpeRunCounts counts;
  std::uint64_t total = 0;
  for (const std::string& path : arguments.inputs) {
    line.show("counting " + path, true);
    std::uint64_t counted = 0;
    count_runs_of_input(
        path, counts, quietIo,
        [&](std::uint64_t done) {
          counted = done;
          line.show("counting " + path + ": " + format_bytes(done) + " | " +
                    std::to_string(counts.size()) + " distinct runs");
        },
        pool.get());
    total += counted;
  }
  line.finish();
  writeCounts(counts, arguments, io,
              std::to_string(total) + " bytes in " + std::to_string(arguments.inputs.size()) +
                  (arguments.inputs.size() == 1 ? " file" : " files"));
}

void mergeFiles(const CountArguments& arguments, Io& io) {
  Io quietIo{io.in, io.out, io.err, io.progress && !arguments.quiet};
  ProgressLine line(quietIo);
  BpeRunCounts total;
  for (const std::string& path : arguments.inputs) {
    line.show("merging " + path + " | " + std::to_string(total.size()) + " distinct runs", true);
    const ByteBuffer bytes = read_input(path, arguments.maxCountBytes, quietIo);
    const std::string source = path == kStandardStream ? "standard input" : path;
    // An overflow is the sum's fault, found at the file that causes it.
    refusing(source, [&] { total.merge(loadBpeRunCounts(bytes, arguments.maxCountBytes)); });
  }
  line.finish();
  writeCounts(total, arguments, io,
              "merged from " + std::to_string(arguments.inputs.size()) +
                  (arguments.inputs.size() == 1 ? " count file" : " count files"));
}

}  // namespace

void add_count_command(CLI::App& app, Io& io) {
  auto arguments = std::make_shared<CountArguments>();
  CLI::App* command = app.add_subcommand(
      "count",
      "Count the runs of corpus files (each file its own document) into a run-count file, or "
      "with --merge add run-count files together. Counts made anywhere and merged in any order "
      "train exactly like the whole corpus (lumeth train --from-counts).");
  command->add_option("inputs", arguments->inputs,
                      "corpus files, or run-count files with --merge ('-' or none: standard "
                      "input)");
  command->add_option("-o,--output", arguments->output, "run-count file to write ('-': stdout)")
      ->required();
  command->add_flag("--merge", arguments->merge,
                    "the inputs are run-count files: write the sum of their counts");
  command
      ->add_option("--max-counts-bytes", arguments->maxCountBytes,
                   "largest run-count file read with --merge")
      ->capture_default_str();
  command
      ->add_option("--threads", arguments->threads,
                   "threads that count each file (0: one per core); the counts are the same for "
                   "any number (standard input is read by one)")
      ->capture_default_str();
  command->add_flag("-q,--quiet", arguments->quiet,
                    "no progress display (shown only when stderr is a terminal)");
  command->callback([arguments, &io] {
    if (arguments->inputs.empty()) {
      arguments->inputs.emplace_back(kStandardStream);
    }
    if (arguments->merge) {
      mergeFiles(*arguments, io);
    } else {
      countFiles(*arguments, io);
    }
  });
}

}  // namespace Orvane::Core::Lumeth::Cli
