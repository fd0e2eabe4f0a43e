#include "lumeth/foundation/files.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "lumeth/foundation/internal/file_calls.hpp"

namespace Orvane::Core::Lumeth {
namespace {

namespace fs = std::filesystem;

// A fresh directory per test, removed with everything in it afterwards.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "lumeth-files-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { fs::remove_all(directory_); }

  // The names in the directory, so that a left-over temporary file shows.
  [[nodiscard]] std::set<std::string> names() const {
    std::set<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory_)) {
      found.insert(entry.path().filename().string());
    }
    return found;
  }

  fs::path directory_;
};

ByteBuffer patterned(std::size_t size, std::uint8_t salt) {
  ByteBuffer bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + salt);
  return bytes;
}

// Runs `call`, which must throw filesystem_error; returns it.
fs::filesystem_error errorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const fs::filesystem_error& error) {
    return error;
  }
  ADD_FAILURE() << "no filesystem_error";
  return fs::filesystem_error("none", std::error_code());
}

TEST_F(FilesTest, WrittenBytesReadBackUpToAnInclusiveLimit) {
  const fs::path file = directory_ / "data.bin";
  for (const std::size_t size :
       {std::size_t{0}, std::size_t{1}, std::size_t{256}, std::size_t{200000}}) {
    const ByteBuffer bytes = patterned(size, 7);
    write_file_atomically(file, bytes);
    EXPECT_EQ(read_file_bytes(file, size), bytes) << size;
    EXPECT_EQ(read_file_bytes(file, std::uint64_t{1} << 40), bytes) << size;
    if (size > 0) {
      const fs::filesystem_error error = errorOf([&] { (void)read_file_bytes(file, size - 1); });
      EXPECT_EQ(error.code(), std::errc::file_too_large) << size;
      EXPECT_EQ(error.path1(), file);
    }
  }
  EXPECT_EQ(names(), std::set<std::string>{"data.bin"});
}

TEST_F(FilesTest, ALargeFileIsRefusedBeforeItIsRead) {
  // A sparse terabyte: reading or allocating it would not return quickly.
  const fs::path file = directory_ / "huge.bin";
  write_file_atomically(file, ByteBuffer{1});
  fs::resize_file(file, std::uintmax_t{1} << 40);
  const fs::filesystem_error error = errorOf([&] { (void)read_file_bytes(file, 1 << 20); });
  EXPECT_EQ(error.code(), std::errc::file_too_large);
  EXPECT_EQ(error.path1(), file);
  EXPECT_NE(std::string(error.what()).find(file.string()), std::string::npos) << error.what();
}

TEST_F(FilesTest, AStreamIsRefusedOnceItPassesTheLimit) {
  // A device has no size to check first: it is read until it runs past.
  EXPECT_EQ(errorOf([] { (void)read_file_bytes("/dev/zero", 100000); }).code(),
            std::errc::file_too_large);
  EXPECT_TRUE(read_file_bytes("/dev/null", 0).empty());
}

TEST_F(FilesTest, ReadFailuresCarryThePathAndTheSystemsReason) {
  const fs::path missing = directory_ / "missing.bin";
  const fs::filesystem_error absent = errorOf([&] { (void)read_file_bytes(missing, 100); });
  EXPECT_EQ(absent.code(), std::errc::no_such_file_or_directory);
  EXPECT_EQ(absent.path1(), missing);
  EXPECT_NE(std::string(absent.what()).find(missing.string()), std::string::npos);

  EXPECT_EQ(errorOf([&] { (void)read_file_bytes(directory_, 100); }).code(),
            std::errc::is_a_directory);
}

TEST_F(FilesTest, ReplacingKeepsThePermissionBitsOfTheOldFile) {
  const fs::path file = directory_ / "kept.bin";
  write_file_atomically(file, patterned(10, 1));
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  write_file_atomically(file, patterned(20, 2));
  EXPECT_EQ(fs::status(file).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(read_file_bytes(file, 100), patterned(20, 2));
}

TEST_F(FilesTest, WriteFailuresWithoutInjectionLeaveNothingBehind) {
  // The directory does not exist: nothing can be created.
  const fs::path nowhere = directory_ / "absent" / "file.bin";
  const fs::filesystem_error absent = errorOf([&] { write_file_atomically(nowhere, {}); });
  EXPECT_EQ(absent.code(), std::errc::no_such_file_or_directory);
  EXPECT_EQ(absent.path1(), nowhere);

  // The target is a directory: the rename fails and the temporary goes.
  fs::create_directory(directory_ / "taken");
  const fs::filesystem_error taken =
      errorOf([&] { write_file_atomically(directory_ / "taken", patterned(10, 0)); });
  EXPECT_EQ(taken.code(), std::errc::is_a_directory);
  EXPECT_TRUE(fs::is_directory(directory_ / "taken"));
  EXPECT_EQ(names(), std::set<std::string>{"taken"});

  EXPECT_EQ(errorOf([&] { write_file_atomically(directory_ / "", {}); }).code(),
            std::errc::is_a_directory);
}

// ---------------------------------------------------------------------------
// Injected failures

using internal::FileCalls;
using internal::system_file_calls;

// The real calls, with writes cut into pieces of at most `piece` bytes so that
// a write failure can land between pieces.
FileCalls piecewise(std::size_t piece) {
  FileCalls calls = system_file_calls();
  calls.write = [piece](int fd, const void* data, std::size_t count) {
    return ::write(fd, data, std::min(count, piece));
  };
  return calls;
}

// `calls` with the n-th call through any of them (counted from 1) failing with
// `error`. A failing close still closes, as close(2) does.
FileCalls failingAt(const FileCalls& calls, int n, int error, std::shared_ptr<int> counter) {
  FileCalls failing = calls;
  const auto due = [counter, n] { return ++*counter == n; };
  failing.open = [=](const char* p, int flags, mode_t mode) {
    if (due()) return errno = error, -1;
    return calls.open(p, flags, mode);
  };
  failing.write = [=](int fd, const void* data, std::size_t count) -> ssize_t {
    if (due()) return errno = error, -1;
    return calls.write(fd, data, count);
  };
  failing.fsync = [=](int fd) {
    if (due()) return errno = error, -1;
    return calls.fsync(fd);
  };
  failing.close = [=](int fd) {
    if (due()) {
      (void)calls.close(fd);
      return errno = error, -1;
    }
    return calls.close(fd);
  };
  failing.rename = [=](const char* from, const char* to) {
    if (due()) return errno = error, -1;
    return calls.rename(from, to);
  };
  return failing;
}

TEST_F(FilesTest, AFailureAtAnyCallLeavesTheOldOrTheNewBytesAndNoTemporary) {
  const fs::path file = directory_ / "model.bin";
  const ByteBuffer oldBytes = patterned(30000, 1);
  const ByteBuffer newBytes = patterned(50000, 2);
  // 1 open, 4 writes, fsync, close, rename, directory open, fsync, close.
  const FileCalls calls = piecewise(16384);
  bool completed = false;
  for (int n = 1; !completed; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    ASSERT_LT(n, 20) << "the write never completes";
    write_file_atomically(file, oldBytes);
    auto counter = std::make_shared<int>(0);
    const FileCalls failing = failingAt(calls, n, EIO, counter);
    try {
      internal::write_file_atomically(failing, file, newBytes);
      completed = *counter < n;  // the failure was never reached
      // The last close is of the directory, whose result is not needed.
      EXPECT_TRUE(completed || n == *counter);
    } catch (const fs::filesystem_error& error) {
      EXPECT_EQ(error.code(), std::errc::io_error);
      EXPECT_EQ(error.path1(), file);
    }
    const ByteBuffer now = read_file_bytes(file, 1 << 20);
    EXPECT_TRUE(now == oldBytes || now == newBytes) << "torn: " << now.size() << " bytes";
    EXPECT_EQ(names(), std::set<std::string>{"model.bin"});
    if (completed) {
      EXPECT_EQ(now, newBytes);
    }
  }
}

struct Injection {
  std::string label;
  std::function<void(FileCalls&)> edit;
  int error;      // 0: the write succeeds
  bool replaced;  // the target holds the new bytes afterwards
};

TEST_F(FilesTest, EachStepFailsCleanlyWithTheSystemsReason) {
  const FileCalls real = system_file_calls();
  const std::vector<Injection> cases = {
      {"temporary cannot be created",
       [&](FileCalls& c) { c.open = [](const char*, int, mode_t) { return errno = ENOSPC, -1; }; },
       ENOSPC, false},
      {"every temporary name is taken",
       [&](FileCalls& c) { c.open = [](const char*, int, mode_t) { return errno = EEXIST, -1; }; },
       EEXIST, false},
      {"a name taken once, then a free one",
       [&](FileCalls& c) {
         auto first = std::make_shared<bool>(true);
         c.open = [first, real](const char* p, int flags, mode_t mode) {
           if (std::exchange(*first, false)) return errno = EEXIST, -1;
           return real.open(p, flags, mode);
         };
       },
       0, true},
      {"half written, then the device is full",
       [&](FileCalls& c) {
         auto calls = std::make_shared<int>(0);
         c.write = [calls, real](int fd, const void* data, std::size_t count) -> ssize_t {
           if (++*calls == 1) return real.write(fd, data, count / 2);
           return errno = ENOSPC, -1;
         };
       },
       ENOSPC, false},
      {"a write makes no progress",
       [&](FileCalls& c) { c.write = [](int, const void*, std::size_t) -> ssize_t { return 0; }; },
       EIO, false},
      {"interrupted writes and short writes are resumed",
       [&](FileCalls& c) {
         auto calls = std::make_shared<int>(0);
         c.write = [calls, real](int fd, const void* data, std::size_t count) -> ssize_t {
           if (++*calls % 2 == 1) return errno = EINTR, -1;
           return real.write(fd, data, std::min<std::size_t>(count, 7));
         };
       },
       0, true},
      {"the file cannot be synced",
       [&](FileCalls& c) { c.fsync = [](int) { return errno = EIO, -1; }; }, EIO, false},
      {"closing reports a late write error",
       [&](FileCalls& c) {
         auto calls = std::make_shared<int>(0);
         c.close = [calls, real](int fd) {
           (void)real.close(fd);
           if (++*calls == 1) return errno = EDQUOT, -1;
           return 0;
         };
       },
       EDQUOT, false},
      {"the rename crosses devices",
       [&](FileCalls& c) { c.rename = [](const char*, const char*) { return errno = EXDEV, -1; }; },
       EXDEV, false},
      {"the directory cannot be opened",
       [&](FileCalls& c) {
         c.open = [real](const char* p, int flags, mode_t mode) {
           if ((flags & O_DIRECTORY) != 0) return errno = EMFILE, -1;
           return real.open(p, flags, mode);
         };
       },
       EMFILE, true},
      {"the directory cannot be synced",
       [&](FileCalls& c) {
         auto calls = std::make_shared<int>(0);
         c.fsync = [calls, real](int fd) {
           if (++*calls == 2) return errno = EIO, -1;
           return real.fsync(fd);
         };
       },
       EIO, true},
  };
  const fs::path file = directory_ / "session.bin";
  const ByteBuffer oldBytes = patterned(1000, 3);
  const ByteBuffer newBytes = patterned(70000, 4);
  for (const Injection& c : cases) {
    SCOPED_TRACE(c.label);
    write_file_atomically(file, oldBytes);
    FileCalls calls = real;
    c.edit(calls);
    int raised = 0;
    try {
      internal::write_file_atomically(calls, file, newBytes);
    } catch (const fs::filesystem_error& error) {
      raised = error.code().value();
      EXPECT_EQ(error.code().category(), std::generic_category());
      EXPECT_EQ(error.path1(), file);
    }
    EXPECT_EQ(raised, c.error) << std::generic_category().message(raised);
    EXPECT_EQ(read_file_bytes(file, 1 << 20), c.replaced ? newBytes : oldBytes);
    EXPECT_EQ(names(), std::set<std::string>{"session.bin"});
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
