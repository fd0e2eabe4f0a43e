#include "cli/run_counting.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <istream>
#include <system_error>

#include "lumeth/tokenizers/subword_tokenizer.hpp"

namespace Orvane::Core::Lumeth::Cli {
namespace {

[[noreturn]] void refuseWithErrno(const std::string& path) {
  throw Refused(path, std::error_code(errno, std::generic_category()).message());
}

bool isWhitespace(char byte) { return isBpeWhitespace(static_cast<std::uint8_t>(byte)); }

// Byte offsets over all files together, which may pass 2^64 only in sum.
__extension__ using Wide = unsigned __int128;

}  // namespace

CorpusFile::CorpusFile(const std::string& path) : path_(path) {
  do {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    refuseWithErrno(path);
  }
  struct stat status {};
  if (::fstat(fd_, &status) != 0) {
    const int error = errno;
    ::close(fd_);
    errno = error;
    refuseWithErrno(path);
  }
  if (S_ISDIR(status.st_mode)) {
    ::close(fd_);
    errno = EISDIR;
    refuseWithErrno(path);
  }
}

CorpusFile::~CorpusFile() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

std::uint64_t CorpusFile::size() const {
  struct stat status {};
  if (::fstat(fd_, &status) != 0) {
    refuseWithErrno(path_);
  }
  return static_cast<std::uint64_t>(status.st_size);
}

bool CorpusFile::regular() const {
  struct stat status {};
  if (::fstat(fd_, &status) != 0) {
    refuseWithErrno(path_);
  }
  return S_ISREG(status.st_mode);
}

std::size_t CorpusFile::readAt(std::uint64_t offset, char* buffer, std::size_t count) const {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got =
        ::pread(fd_, buffer + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      refuseWithErrno(path_);
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

std::size_t CorpusFile::read(char* buffer, std::size_t count) const {
  while (true) {
    const ssize_t got = ::read(fd_, buffer, count);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) refuseWithErrno(path_);
  }
}

void count_runs_of_input(const std::string& path, BpeRunCounts& counts, Io& io,
                         const CountingProgress& progress, ThreadPool* pool) {
  if (pool != nullptr && path != kStandardStream) {
    const CorpusFile file(path);
    if (file.regular()) {
      const std::uint64_t size = file.size();
      count_runs_of_range(file, 0, size, counts, pool);
      if (progress) progress(size);
      return;
    }
  }
  std::vector<char> block(kCountingBlockBytes);
  BpeRunCounter counter(counts);
  std::uint64_t counted = 0;
  const auto feed = [&](std::size_t got) {
    refusing(path == kStandardStream ? "standard input" : path,
             [&] { counter.feed(std::string_view(block.data(), got)); });
    counted += got;
    if (progress) progress(counted);
  };
  if (path == kStandardStream) {
    while (io.in) {
      io.in.read(block.data(), static_cast<std::streamsize>(block.size()));
      feed(static_cast<std::size_t>(io.in.gcount()));
    }
    if (io.in.bad()) {
      throw Refused("standard input", "read error");
    }
  } else {
    const CorpusFile file(path);
    while (const std::size_t got = file.read(block.data(), block.size())) {
      feed(got);
    }
  }
  refusing(path, [&] { counter.finish(); });
}

std::uint64_t run_boundary_in_file(const CorpusFile& file, std::uint64_t position) {
  const std::uint64_t size = file.size();
  if (position == 0 || position >= size) {
    return std::min(position, size);
  }
  // Read on from the byte before `position` until the kind changes.
  constexpr std::size_t kWindow = 64 * 1024;
  std::vector<char> window(kWindow);
  char before = 0;
  (void)file.readAt(position - 1, &before, 1);
  const bool whitespace = isWhitespace(before);
  while (position < size) {
    const std::size_t got =
        file.readAt(position, window.data(),
                    static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, size - position)));
    if (got == 0) break;  // the file shrank; its end is a boundary
    const auto differs =
        std::find_if(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(got),
                     [whitespace](char byte) { return isWhitespace(byte) != whitespace; });
    position += static_cast<std::uint64_t>(differs - window.begin());
    if (differs != window.begin() + static_cast<std::ptrdiff_t>(got)) break;
  }
  return std::min(position, size);
}

void count_runs_of_range(const CorpusFile& file, std::uint64_t begin, std::uint64_t end,
                         BpeRunCounts& counts, const CountingProgress& progress) {
  std::vector<char> block(static_cast<std::size_t>(
      std::min<std::uint64_t>(kCountingBlockBytes, end > begin ? end - begin : 0)));
  BpeRunCounter counter(counts);
  std::uint64_t position = begin;
  while (position < end) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), end - position));
    const std::size_t got = file.readAt(position, block.data(), want);
    if (got == 0) {
      throw Refused(file.path(), "file changed while it was read");
    }
    refusing(file.path(), [&] { counter.feed(std::string_view(block.data(), got)); });
    position += got;
    if (progress) progress(position - begin);
  }
  refusing(file.path(), [&] { counter.finish(); });
}

void count_runs_of_range(const CorpusFile& file, std::uint64_t begin, std::uint64_t end,
                         BpeRunCounts& counts, ThreadPool* pool) {
  const std::size_t pieces = thread_count(pool);
  if (pieces == 1 || end <= begin) {
    count_runs_of_range(file, begin, end, counts);
    return;
  }
  // cuts[k], cuts[k + 1]: piece k. Each cut is the next run boundary after a
  // nearly equal division; boundaries do not decrease and never pass `end`,
  // itself a boundary.
  std::vector<std::uint64_t> cuts(pieces + 1, begin);
  cuts[pieces] = end;
  const std::uint64_t length = end - begin;
  for (std::size_t k = 1; k < pieces; ++k) {
    const std::uint64_t nominal = begin + static_cast<std::uint64_t>(Wide{length} * k / pieces);
    cuts[k] = std::min(end, run_boundary_in_file(file, std::max(nominal, cuts[k - 1])));
  }
  std::vector<BpeRunCounts> tables(pieces);
  parallel_for(pool, pieces, [&](std::size_t k) {
    if (cuts[k] < cuts[k + 1]) {
      count_runs_of_range(file, cuts[k], cuts[k + 1], tables[k]);
    }
  });
  for (const BpeRunCounts& table : tables) {
    refusing(file.path(), [&] { counts.merge(table); });
  }
}

std::vector<FileRange> share_of_files(const std::vector<std::uint64_t>& sizes, std::uint64_t part,
                                      std::uint64_t parts) {
  Wide total = 0;
  for (const std::uint64_t size : sizes) total += size;
  // [first, last) of the bytes of all files in sequence.
  const Wide first = total * part / parts;
  const Wide last = total * (part + 1) / parts;
  std::vector<FileRange> ranges;
  Wide offset = 0;
  for (std::size_t f = 0; f < sizes.size(); ++f) {
    const Wide begin = std::max(first, offset);
    const Wide end = std::min(last, offset + sizes[f]);
    if (begin < end) {
      ranges.push_back(FileRange{.file = f,
                                 .begin = static_cast<std::uint64_t>(begin - offset),
                                 .end = static_cast<std::uint64_t>(end - offset)});
    }
    offset += sizes[f];
  }
  return ranges;
}

}  // namespace Orvane::Core::Lumeth::Cli
