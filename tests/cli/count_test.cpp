// lumeth count, count --merge and train --from-counts; the cutting of files
// into shares at run boundaries that the MPI driver uses.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "cli/run_counting.hpp"
#include "lumeth/tokenizers/bpe_run_counts.hpp"
#include "lumeth/tokenizers/bpe_training.hpp"
#include "tests/cli/cli_test_support.hpp"

namespace Orvane::Core::Lumeth::Cli::Testing {
namespace {

constexpr std::string_view kFirst = "the cat sat on the mat; the cat sat on the hat\n";
constexpr std::string_view kSecond = "hat mat cat that hat\nahoj světe ahoj světe";
constexpr std::string_view kThird = "  the hat\t\tthe mat  ";

std::string bytesOf(const ByteBuffer& bytes) { return std::string(bytes.begin(), bytes.end()); }

BpeRunCounts countsOf(const std::vector<std::string_view>& documents) {
  BpeRunCounts counts;
  for (const std::string_view document : documents) counts.countDocument(document);
  return counts;
}

BpeTrainingLimits limitsWithVocabulary(std::uint32_t vocabulary) {
  BpeTrainingLimits limits;
  limits.vocabularySize = vocabulary;
  return limits;
}

TEST(CountCommand, CountsMergedInAnyOrderTrainLikeTheFilesThemselves) {
  ScratchDir dir;
  const std::vector<std::string_view> texts = {kFirst, kSecond, kThird};
  std::vector<std::string> files;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    files.push_back(dir.path("part" + std::to_string(i) + ".txt"));
    writeFile(files.back(), texts[i]);
  }
  // Map: one count file per corpus file, and one for the first two at once.
  for (std::size_t i = 0; i < files.size(); ++i) {
    const ToolResult counted = runTool({"count", files[i], "-o", files[i] + ".runs"});
    ASSERT_EQ(counted.status, 0) << counted.err;
    EXPECT_EQ(counted.out, files[i] + ".runs: run counts, " +
                               std::to_string(countsOf({texts[i]}).size()) + " distinct runs, " +
                               std::to_string(texts[i].size()) + " bytes in 1 file\n");
  }
  const ToolResult both = runTool({"count", files[0], files[1], "-o", dir.path("01.runs")});
  ASSERT_EQ(both.status, 0) << both.err;
  EXPECT_NE(both.out.find(" bytes in 2 files\n"), std::string::npos) << both.out;

  // Reduce: in two orders and in two steps; all the same bytes, those of the
  // library's own counts of the three documents.
  const std::string total = dir.path("total.runs");
  const ToolResult merged = runTool({"count", "--merge", files[2] + ".runs", files[0] + ".runs",
                                     files[1] + ".runs", "-o", total});
  ASSERT_EQ(merged.status, 0) << merged.err;
  const BpeRunCounts expected = countsOf(texts);
  EXPECT_EQ(merged.out, total + ": run counts, " + std::to_string(expected.size()) +
                            " distinct runs, merged from 3 count files\n");
  EXPECT_EQ(readFile(total), bytesOf(serializeBpeRunCounts(expected)));
  const ToolResult stepwise =
      runTool({"count", "--merge", dir.path("01.runs"), files[2] + ".runs", "-o", "-"});
  ASSERT_EQ(stepwise.status, 0) << stepwise.err;
  EXPECT_EQ(stepwise.out, readFile(total));

  // Training from the counts gives the artifact of training on the files.
  const ToolResult fromCounts =
      runTool({"train", "--from-counts", total, "--vocab", "300", "-o", dir.path("counts.bpe")});
  ASSERT_EQ(fromCounts.status, 0) << fromCounts.err;
  const ToolResult fromFiles = runTool(
      {"train", files[0], files[1], files[2], "--vocab", "300", "-o", dir.path("files.bpe")});
  ASSERT_EQ(fromFiles.status, 0) << fromFiles.err;
  const SubwordTokenizer library = trainBpe(texts, limitsWithVocabulary(300));
  EXPECT_EQ(readFile(dir.path("counts.bpe")), bytesOf(library.artifact()));
  EXPECT_EQ(readFile(dir.path("files.bpe")), bytesOf(library.artifact()));
  EXPECT_EQ(fromCounts.out, dir.path("counts.bpe") + ": bpe tokenizer, " +
                                std::to_string(library.merges().size()) + " merges, vocabulary " +
                                std::to_string(library.descriptor().vocabularySize) + ", hash " +
                                library.descriptor().hash + "\n");
}

TEST(CountCommand, StandardInputAndOutputAndTheCorpusLimitDoesNotApply) {
  const ToolResult counted = runTool({"count", "-o", "-"}, kFirst);
  ASSERT_EQ(counted.status, 0) << counted.err;
  EXPECT_EQ(counted.out, bytesOf(serializeBpeRunCounts(countsOf({kFirst}))));
  ScratchDir dir;
  const ToolResult trained = runTool(
      {"train", "--from-counts", "-", "--vocab", "270", "-o", dir.path("t.bpe")}, counted.out);
  ASSERT_EQ(trained.status, 0) << trained.err;
  EXPECT_EQ(readFile(dir.path("t.bpe")),
            bytesOf(trainBpe(kFirst, limitsWithVocabulary(270)).artifact()));
}

TEST(CountCommand, FilesLargerThanOneBlockAreCountedExactly) {
  // Runs of every length cross the 4 MiB block boundaries, among them one run
  // longer than a whole block.
  std::mt19937_64 random(7);
  std::string corpus;
  while (corpus.size() < 9 * (std::size_t{1} << 20)) {
    corpus.append(1 + random() % 40, static_cast<char>('a' + random() % 3));
    corpus.append(1 + random() % 3, random() % 4 == 0 ? '\n' : ' ');
  }
  corpus.insert(3 * (std::size_t{1} << 20), std::string(5 << 20, 'z'));
  ScratchDir dir;
  writeFile(dir.path("big.txt"), corpus);
  const std::string expected = bytesOf(serializeBpeRunCounts(countsOf({corpus})));
  // On threads too: the pieces are cut inside the long run and elsewhere.
  for (const char* threads : {"1", "2", "3", "7"}) {
    const ToolResult counted =
        runTool({"count", dir.path("big.txt"), "-o", dir.path("big.runs"), "--threads", threads});
    ASSERT_EQ(counted.status, 0) << counted.err;
    EXPECT_EQ(readFile(dir.path("big.runs")), expected) << threads << " threads";
  }
}

TEST(TrainCommand, LearnsTheSameMergesOnEveryNumberOfThreads) {
  // Two files of 400 KiB: large enough that training counts them on the pool.
  std::mt19937_64 random(11);
  std::string first;
  std::string second;
  for (std::string* text : {&first, &second}) {
    while (text->size() < 400 * (std::size_t{1} << 10)) {
      text->append(1 + random() % 9, static_cast<char>('a' + random() % 5));
      text->append(1, random() % 5 == 0 ? '\n' : ' ');
    }
  }
  ScratchDir dir;
  writeFile(dir.path("a.txt"), first);
  writeFile(dir.path("b.txt"), second);
  const std::vector<std::string_view> documents = {first, second};
  const std::string expected = bytesOf(trainBpe(documents, limitsWithVocabulary(400)).artifact());
  for (const char* threads : {"1", "2", "3", "0"}) {
    const ToolResult trained = runTool({"train", dir.path("a.txt"), dir.path("b.txt"), "--vocab",
                                        "400", "-o", dir.path("t.bpe"), "--threads", threads});
    ASSERT_EQ(trained.status, 0) << trained.err;
    EXPECT_EQ(readFile(dir.path("t.bpe")), expected) << threads << " threads";
  }
}

TEST(CountCommand, RefusalsNameTheFileAndWriteNothing) {
  ScratchDir dir;
  writeFile(dir.path("a.txt"), kFirst);
  const std::string out = dir.path("out.runs");
  writeFile(out, "old");

  BpeRunCounts high;
  high.add("aaa", std::uint64_t{1} << 63);
  writeFile(dir.path("high.runs"), bytesOf(serializeBpeRunCounts(high)));
  ByteBuffer corrupt = serializeBpeRunCounts(countsOf({kFirst}));
  corrupt.back() ^= 1;
  writeFile(dir.path("corrupt.runs"), bytesOf(corrupt));

  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"count", "--merge", dir.path("a.txt"), "-o", out},
       dir.path("a.txt") + ": invalid BPE run-count file"},
      {{"count", "--merge", dir.path("high.runs"), dir.path("corrupt.runs"), "-o", out},
       dir.path("corrupt.runs") + ": BPE run-count length or checksum mismatch"},
      {{"count", "--merge", dir.path("high.runs"), dir.path("high.runs"), "-o", out},
       dir.path("high.runs") + ": BPE run count overflow"},
      {{"count", "--merge", dir.path("high.runs"), "--max-counts-bytes", "40", "-o", out},
       dir.path("high.runs") + ": file exceeds size limit"},
      {{"count", dir.path("missing.txt"), "-o", out},
       dir.path("missing.txt") + ": No such file or directory"},
      {{"count", dir.path(""), "-o", out}, dir.path("") + ": Is a directory"},
      {{"train", "--from-counts", dir.path("high.runs"), "-o", out},
       dir.path("high.runs") + ": BPE pair count overflow"},
      {{"train", "--from-counts", dir.path("a.txt"), "-o", out},
       dir.path("a.txt") + ": invalid BPE run-count file"},
  };
  for (const Case& test : cases) {
    const ToolResult result = runTool(test.args);
    EXPECT_EQ(result.status, 1) << test.err;
    EXPECT_EQ(result.err, "lumeth: " + test.err + "\n");
    EXPECT_EQ(readFile(out), "old") << test.err;
  }
}

TEST(CountCommand, FromCountsTakesNoCorpusOptions) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"train", "a.txt", "--from-counts", "c", "-o", "x"},
           {"train", "--from-counts", "c", "--max-corpus-bytes", "9", "-o", "x"},
           {"train", "a.txt", "--max-counts-bytes", "9", "-o", "x"},
       }) {
    const ToolResult result = runTool(args);
    EXPECT_EQ(result.status, 2) << args[2];
    EXPECT_NE(result.err.find("lumeth --help"), std::string::npos) << result.err;
  }
}

// ---- Shares of files, as the MPI driver cuts them ----

TEST(FileShares, EveryByteBelongsToExactlyOneShare) {
  const std::vector<std::uint64_t> sizes = {0, 10, 3, 0, 25, 1};
  for (std::uint64_t parts = 1; parts <= 8; ++parts) {
    std::vector<std::vector<int>> owners(sizes.size());
    for (std::size_t f = 0; f < sizes.size(); ++f) owners[f].assign(sizes[f], 0);
    for (std::uint64_t part = 0; part < parts; ++part) {
      for (const FileRange& range : share_of_files(sizes, part, parts)) {
        ASSERT_LT(range.begin, range.end);
        for (std::uint64_t b = range.begin; b < range.end; ++b) ++owners[range.file][b];
      }
    }
    for (const std::vector<int>& file : owners) {
      for (const int count : file) EXPECT_EQ(count, 1) << parts << " parts";
    }
  }
  // Sizes whose sum passes 2^64 still share out exactly.
  const std::vector<std::uint64_t> huge = {UINT64_MAX, UINT64_MAX};
  const std::vector<FileRange> half = share_of_files(huge, 1, 2);
  ASSERT_EQ(half.size(), 1u);
  EXPECT_EQ(half[0].file, 1u);
  EXPECT_EQ(half[0].begin, 0u);
  EXPECT_EQ(half[0].end, UINT64_MAX);
}

TEST(FileShares, SharesCutAtRunBoundariesCountLikeTheWholeFiles) {
  ScratchDir dir;
  // A file that is one long run, whitespace-only stretches, and text.
  const std::vector<std::string> texts = {std::string(300, 'x'),
                                          std::string(kSecond) + std::string(40, ' '),
                                          std::string(kThird), std::string(kFirst)};
  std::vector<std::string> paths;
  std::vector<std::uint64_t> sizes;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    paths.push_back(dir.path(std::to_string(i)));
    writeFile(paths.back(), texts[i]);
    sizes.push_back(texts[i].size());
  }
  const BpeRunCounts whole = countsOf({texts[0], texts[1], texts[2], texts[3]});
  // Each share counted on one thread, on 2 and on 5 (more pieces than some
  // shares have runs).
  ThreadPool two(2);
  ThreadPool five(5);
  for (std::uint64_t parts = 1; parts <= 40; parts += parts < 8 ? 1 : 11) {
    BpeRunCounts total;
    BpeRunCounts onTwo;
    BpeRunCounts onFive;
    for (std::uint64_t part = 0; part < parts; ++part) {
      BpeRunCounts share;
      for (const FileRange& range : share_of_files(sizes, part, parts)) {
        const CorpusFile file(paths[range.file]);
        const std::uint64_t begin = run_boundary_in_file(file, range.begin);
        const std::uint64_t end = run_boundary_in_file(file, range.end);
        EXPECT_EQ(begin, nextBpeRunBoundary(texts[range.file], range.begin));
        EXPECT_EQ(end, nextBpeRunBoundary(texts[range.file], range.end));
        count_runs_of_range(file, begin, std::max(begin, end), share);
        count_runs_of_range(file, begin, std::max(begin, end), onTwo, &two);
        count_runs_of_range(file, begin, std::max(begin, end), onFive, &five);
      }
      total.merge(share);
    }
    EXPECT_EQ(total, whole) << parts << " parts";
    EXPECT_EQ(onTwo, whole) << parts << " parts";
    EXPECT_EQ(onFive, whole) << parts << " parts";
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth::Cli::Testing
