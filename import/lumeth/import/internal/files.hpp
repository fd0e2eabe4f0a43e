#pragma once

// File access of the importer: a read-only file kept open for positioned
// reads, and small whole-file reads under a size limit. Failures are
// std::filesystem::filesystem_error carrying the path and the system's
// reason (std::errc::io_error for a short read).

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace Orvane::Core::Lumeth::Import {

class OpenFile {
 public:
  OpenFile() = default;
  // Opens a regular file for reading and notes its size. Throws
  // filesystem_error when the path is missing, is not a regular file, or
  // cannot be opened or measured.
  [[nodiscard]] static OpenFile open(const std::filesystem::path& path);

  explicit operator bool() const noexcept { return handle_ != nullptr; }
  // The size at opening.
  [[nodiscard]] std::uint64_t size() const noexcept { return size_; }
  // Fills `out` with the bytes at `offset`. Throws filesystem_error with
  // std::errc::io_error when they cannot all be read (the file shrank since
  // it was opened, or the device failed).
  void readAt(std::uint64_t offset, std::span<std::uint8_t> out) const;

 private:
  struct Closer {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
  };
  std::filesystem::path path_;
  std::unique_ptr<std::FILE, Closer> handle_;
  std::uint64_t size_ = 0;
};

// The whole file at `path` as text. When it holds more than `max_bytes`
// bytes, returns nothing and sets `too_large` instead of reading it.
// Throws as OpenFile::open and readAt.
[[nodiscard]] std::string read_small_file(const std::filesystem::path& path,
                                          std::uint64_t max_bytes, bool& too_large);

}  // namespace Orvane::Core::Lumeth::Import
