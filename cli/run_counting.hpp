#pragma once

// Counting the runs of corpus files in bounded memory, for `lumeth count`
// and the MPI driver: files are read block by block (never whole), and a
// file can be cut into byte ranges that begin and end between runs, so that
// ranges counted apart add up to the counts of the whole file.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli/cli_support.hpp"
#include "lumeth/foundation/thread_pool.hpp"
#include "lumeth/tokenizers/bpe_run_counts.hpp"

namespace Orvane::Core::Lumeth::Cli {

// Bytes read per call: the reading buffer of one counter.
inline constexpr std::size_t kCountingBlockBytes = std::size_t{4} << 20;

// The largest run-count file read unless told otherwise (files are read
// whole; the counts of a large corpus run to a few GiB).
inline constexpr std::uint64_t kDefaultMaxCountFileBytes = std::uint64_t{16} << 30;

// Called after each block with the bytes of the current file counted so far.
using CountingProgress = std::function<void(std::uint64_t counted)>;

// An input file open for reading; closed when the object goes. Failures are
// Refused with the path as source and the system's reason.
class CorpusFile {
 public:
  explicit CorpusFile(const std::string& path);
  CorpusFile(const CorpusFile&) = delete;
  CorpusFile& operator=(const CorpusFile&) = delete;
  ~CorpusFile();

  [[nodiscard]] const std::string& path() const noexcept { return path_; }
  // The size of a regular file, in bytes.
  [[nodiscard]] std::uint64_t size() const;
  // Whether it is a regular file (which can be read at any offset).
  [[nodiscard]] bool regular() const;
  // Up to `count` bytes from `offset` into `buffer`; fewer only at the end.
  std::size_t readAt(std::uint64_t offset, char* buffer, std::size_t count) const;
  // The next bytes of a sequential read (pipes too); 0 at the end.
  std::size_t read(char* buffer, std::size_t count) const;

 private:
  std::string path_;
  int fd_ = -1;
};

// Counts the file (or standard input for "-") as one document into
// `counts`, block by block. With a pool, a regular file is counted as
// count_runs_of_range does with that pool (progress hears of the whole file
// at the end); standard input and other streams are read in sequence.
void count_runs_of_input(const std::string& path, BpeRunCounts& counts, Io& io,
                         const CountingProgress& progress = {}, ThreadPool* pool = nullptr);

// The first offset at or after `position` where a run of the file starts,
// or its size when none does (as nextBpeRunBoundary does for a text).
[[nodiscard]] std::uint64_t run_boundary_in_file(const CorpusFile& file, std::uint64_t position);

// Counts the bytes [begin, end) of `file`, which must both be run
// boundaries (run_boundary_in_file), as one document into `counts`.
void count_runs_of_range(const CorpusFile& file, std::uint64_t begin, std::uint64_t end,
                         BpeRunCounts& counts, const CountingProgress& progress = {});

// As above, on `pool` (null: the calling thread): [begin, end) is cut into
// one piece per thread of the pool, nearly equal, each end moved to the next
// run boundary; every piece is counted into a table of its own and the
// tables are merged into `counts` in order. The counts are exactly those of
// one thread. Memory: one reading buffer and one table per piece, besides
// `counts`. No progress is reported.
void count_runs_of_range(const CorpusFile& file, std::uint64_t begin, std::uint64_t end,
                         BpeRunCounts& counts, ThreadPool* pool);

// One rank's share of the files: the byte range [begin, end) of file
// `file` (an index into the list).
struct FileRange {
  std::size_t file = 0;
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// Share `part` of `parts` (0-based) of the files with the given sizes, taken
// as one sequence of bytes cut into `parts` nearly equal pieces: the pieces
// of each file that fall into this share, before their ends are moved to
// run boundaries. Every byte belongs to exactly one share.
[[nodiscard]] std::vector<FileRange> share_of_files(const std::vector<std::uint64_t>& sizes,
                                                    std::uint64_t part, std::uint64_t parts);

}  // namespace Orvane::Core::Lumeth::Cli
