#include "lumeth/import/internal/files.hpp"

#include <cerrno>
#include <limits>
#include <system_error>

namespace Orvane::Core::Lumeth::Import {
namespace {

[[noreturn]] void failWith(const char* what, const std::filesystem::path& path,
                           std::error_code code) {
  throw std::filesystem::filesystem_error(what, path, code);
}

}  // namespace

OpenFile OpenFile::open(const std::filesystem::path& path) {
  std::error_code code;
  const std::filesystem::file_status status = std::filesystem::status(path, code);
  if (code) failWith("cannot examine file", path, code);
  if (!std::filesystem::is_regular_file(status)) {
    failWith("not a regular file", path, std::make_error_code(std::errc::invalid_argument));
  }
  OpenFile file;
  file.path_ = path;
  errno = 0;
  file.handle_.reset(std::fopen(path.c_str(), "rb"));
  if (!file.handle_) {
    failWith("cannot open file", path,
             std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
  }
  // Unbuffered: reads are large and positioned, so a stdio buffer would only
  // add a copy, and it could serve bytes read before the file changed.
  std::setvbuf(file.handle_.get(), nullptr, _IONBF, 0);
  // The size of what was opened, not of whatever the path names later.
  if (std::fseek(file.handle_.get(), 0, SEEK_END) != 0) {
    failWith("cannot measure file", path, std::make_error_code(std::errc::io_error));
  }
  const long end = std::ftell(file.handle_.get());
  if (end < 0) failWith("cannot measure file", path, std::make_error_code(std::errc::io_error));
  file.size_ = static_cast<std::uint64_t>(end);
  return file;
}

void OpenFile::readAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (out.empty()) return;
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<long>::max()) ||
      std::fseek(handle_.get(), static_cast<long>(offset), SEEK_SET) != 0 ||
      std::fread(out.data(), 1, out.size(), handle_.get()) != out.size()) {
    failWith("cannot read file", path_, std::make_error_code(std::errc::io_error));
  }
}

std::string read_small_file(const std::filesystem::path& path, std::uint64_t max_bytes,
                            bool& too_large) {
  const OpenFile file = OpenFile::open(path);
  too_large = file.size() > max_bytes;
  if (too_large) return {};
  std::string text(static_cast<std::size_t>(file.size()), '\0');
  file.readAt(0,
              std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
  return text;
}

}  // namespace Orvane::Core::Lumeth::Import
