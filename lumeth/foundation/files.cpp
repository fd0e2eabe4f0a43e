// The library's platform interface for files: every POSIX call the library
// makes lives in this file.

#include "lumeth/foundation/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "lumeth/foundation/fnv1a.hpp"
#include "lumeth/foundation/internal/file_calls.hpp"

namespace Orvane::Core::Lumeth {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail(const char* what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// Reads and writes are issued in pieces of at most 1 GiB: some systems
// refuse or shorten larger single calls.
constexpr std::size_t kLargestCall = std::size_t{1} << 30;

// Closes a descriptor on every path out of a scope unless released first.
class Descriptor {
 public:
  Descriptor(int fd, const std::function<int(int)>& close) : fd_(fd), close_(close) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) (void)close_(fd_);
  }

  [[nodiscard]] int get() const noexcept { return fd_; }
  // Gives up ownership, for a caller that closes the descriptor itself and
  // must see the result.
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
  const std::function<int(int)>& close_;
};

// read(2) until `count` bytes arrived or the end of the file; returns the
// number read. Interrupted calls are resumed.
std::size_t read_fully(int fd, std::uint8_t* data, std::size_t count, const fs::path& path) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::read(fd, data + done, std::min(count - done, kLargestCall));
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("cannot read file", path, errno);
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

// A name for the temporary file that is unlikely to exist already; the
// caller creates it with O_EXCL and tries another name if it does.
std::string temporary_suffix(std::uint64_t attempt) {
  std::string seed = std::to_string(::getpid());
  seed += '.';
  seed += std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
  seed += '.';
  seed += std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  seed += '.';
  seed += std::to_string(attempt);
  return ".tmp-" + toHex16(fnv1a64(seed));
}

}  // namespace

ByteBuffer read_file_bytes(const fs::path& path, std::uint64_t max_bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot open file", path, errno);
  const std::function<int(int)> closeCall = ::close;
  const Descriptor file(fd, closeCall);

  struct stat info {};
  if (::fstat(fd, &info) != 0) fail("cannot examine file", path, errno);
  ByteBuffer bytes;
  if (S_ISREG(info.st_mode)) {
    // Refused by its size before a byte is read or allocated.
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > max_bytes) fail("file exceeds size limit", path, EFBIG);
    bytes.resize(static_cast<std::size_t>(size));
    bytes.resize(read_fully(fd, bytes.data(), bytes.size(), path));
  }
  // Whatever follows: the rest of a file that grew since its size was taken,
  // or the whole stream of anything that is not a regular file. Never more
  // than max_bytes + 1 bytes are held.
  constexpr std::size_t kChunk = std::size_t{64} << 10;
  for (;;) {
    const std::uint64_t room = max_bytes - std::min<std::uint64_t>(max_bytes, bytes.size()) + 1;
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, room));
    const std::size_t before = bytes.size();
    bytes.resize(before + chunk);
    const std::size_t got = read_fully(fd, bytes.data() + before, chunk, path);
    bytes.resize(before + got);
    if (bytes.size() > max_bytes) fail("file exceeds size limit", path, EFBIG);
    if (got < chunk) break;
  }
  return bytes;
}

void write_file_atomically(const fs::path& path, std::span<const std::uint8_t> bytes) {
  internal::write_file_atomically(internal::system_file_calls(), path, bytes);
}

namespace internal {

const FileCalls& system_file_calls() {
  static const FileCalls calls{
      .open = [](const char* p, int flags, mode_t mode) { return ::open(p, flags, mode); },
      .write = [](int fd, const void* data, std::size_t count) { return ::write(fd, data, count); },
      .fsync = [](int fd) { return ::fsync(fd); },
      .close = [](int fd) { return ::close(fd); },
      .rename = [](const char* from, const char* to) { return ::rename(from, to); },
  };
  return calls;
}

void write_file_atomically(const FileCalls& calls, const fs::path& path,
                           std::span<const std::uint8_t> bytes) {
  if (!path.has_filename()) fail("cannot write file", path, EISDIR);
  const fs::path directory = path.has_parent_path() ? path.parent_path() : fs::path(".");

  // 1. A fresh temporary file beside the target. O_EXCL never opens a file
  // that exists, so a name already in use is simply skipped.
  fs::path temporary;
  int fd = -1;
  for (std::uint64_t attempt = 0; fd < 0; ++attempt) {
    temporary = path;
    temporary += temporary_suffix(attempt);
    fd = calls.open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 100)) {
      fail("cannot create temporary file", path, errno);
    }
  }
  Descriptor file(fd, calls.close);
  // Until the rename, any failure removes the temporary file again.
  bool renamed = false;
  struct RemoveUnlessRenamed {
    const fs::path& temporary;
    const bool& renamed;
    ~RemoveUnlessRenamed() {
      if (!renamed) (void)::unlink(temporary.c_str());
    }
  } cleanup{temporary, renamed};

  struct stat previous {};
  if (::stat(path.c_str(), &previous) == 0 && S_ISREG(previous.st_mode) &&
      ::fchmod(fd, previous.st_mode & 07777) != 0) {
    fail("cannot set permissions of temporary file", path, errno);
  }

  // 2. The bytes, then the data on the device, then the descriptor closed
  // with its result seen (some file systems report write errors only there).
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote =
        calls.write(fd, bytes.data() + done, std::min(bytes.size() - done, kLargestCall));
    if (wrote < 0) {
      if (errno == EINTR) continue;
      fail("cannot write file", path, errno);
    }
    // No progress without an error: treated as the device failing.
    if (wrote == 0) fail("cannot write file", path, EIO);
    done += static_cast<std::size_t>(wrote);
  }
  if (calls.fsync(fd) != 0) fail("cannot sync file", path, errno);
  if (calls.close(file.release()) != 0) fail("cannot close file", path, errno);

  // 3. The switch from old to new content, in one step.
  if (calls.rename(temporary.c_str(), path.c_str()) != 0) {
    fail("cannot replace file", path, errno);
  }
  renamed = true;

  // 4. The directory entry made durable.
  const int directoryFd = calls.open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (directoryFd < 0) fail("cannot sync directory of file", path, errno);
  Descriptor directoryFile(directoryFd, calls.close);
  if (calls.fsync(directoryFd) != 0) fail("cannot sync directory of file", path, errno);
}

}  // namespace internal
}  // namespace Orvane::Core::Lumeth
