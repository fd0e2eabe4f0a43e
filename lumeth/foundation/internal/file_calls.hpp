#pragma once

// The system calls behind write_file_atomically, gathered so that tests can
// make any one of them fail part-way (file permissions cannot be used for
// that: the tests may run as root, which ignores them). Not installed; the
// public function always uses system_file_calls().

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>

namespace Orvane::Core::Lumeth::internal {

// Each member has the contract of the POSIX call of the same name: -1 and
// errno on failure.
struct FileCalls {
  std::function<int(const char* path, int flags, mode_t mode)> open;
  std::function<ssize_t(int fd, const void* data, std::size_t count)> write;
  std::function<int(int fd)> fsync;
  std::function<int(int fd)> close;
  std::function<int(const char* from, const char* to)> rename;
};

// The real calls (::open, ::write, ::fsync, ::close, ::rename).
[[nodiscard]] const FileCalls& system_file_calls();

// write_file_atomically with the calls given.
void write_file_atomically(const FileCalls& calls, const std::filesystem::path& path,
                           std::span<const std::uint8_t> bytes);

}  // namespace Orvane::Core::Lumeth::internal
