#include "cli/cli_support.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

namespace Orvane::Core::Lumeth::Cli {

Refused::Refused(std::string source, const std::string& message)
    : std::runtime_error(message), source_(std::move(source)) {}

namespace {

[[noreturn]] void refuse_errno(const std::string& path, int error) {
  throw Refused(path, std::generic_category().message(error));
}

std::string read_stream(std::istream& in, const std::string& source, std::uint64_t maxBytes) {
  std::string bytes;
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  std::vector<char> block(kBlock);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (bytes.size() + got > maxBytes) {
      throw Refused(source, "input exceeds " + std::to_string(maxBytes) + " bytes");
    }
    bytes.append(block.data(), got);
  }
  if (in.bad()) {
    throw Refused(source, "read error");
  }
  return bytes;
}

}  // namespace

std::string read_input(const std::string& path, std::uint64_t maxBytes, Io& io) {
  if (path == kStandardStream) {
    return read_stream(io.in, "standard input", maxBytes);
  }
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error) {
    throw Refused(path, error.message());
  }
  if (std::filesystem::is_directory(status)) {
    throw Refused(path, "is a directory");
  }
  if (std::filesystem::is_regular_file(status)) {
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (!error && size > maxBytes) {
      throw Refused(path, "input exceeds " + std::to_string(maxBytes) + " bytes");
    }
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    refuse_errno(path, errno != 0 ? errno : EIO);
  }
  return read_stream(in, path, maxBytes);
}

void write_output(const std::string& path, std::span<const std::uint8_t> bytes, Io& io) {
  if (path == kStandardStream) {
    io.out.write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
    io.out.flush();
    if (!io.out) {
      throw Refused("standard output", "write error");
    }
    return;
  }
  // A temporary file beside the target, renamed over it once complete.
  const std::string temporary = path + ".tmp";
  {
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      refuse_errno(path, errno != 0 ? errno : EIO);
    }
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
      std::remove(temporary.c_str());
      throw Refused(path, "write error");
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    std::remove(temporary.c_str());
    refuse_errno(path, error);
  }
}

InvalidUtf8Policy parse_policy(const std::string& name) {
  if (name == "preserve") return InvalidUtf8Policy::PreserveBytes;
  if (name == "reject") return InvalidUtf8Policy::Reject;
  if (name == "replace") return InvalidUtf8Policy::Replace;
  throw UsageError("unknown policy '" + name + "' (expected " + kPolicyNames + ")");
}

std::string format_bytes(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) {
    return std::to_string(bytes) + " B";
  }
  double value = static_cast<double>(bytes) / 1024.0;
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

ProgressLine::ProgressLine(Io& io) : io_(io), start_(std::chrono::steady_clock::now()) {}

ProgressLine::~ProgressLine() { finish(); }

void ProgressLine::show(const std::string& text, bool force) {
  if (!io_.progress) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (!force && shown_ && now - last_ < std::chrono::milliseconds(100)) {
    return;
  }
  last_ = now;
  shown_ = true;
  // Pad with spaces over what a longer previous line left behind.
  std::string line = "\r" + text;
  if (text.size() < width_) {
    line.append(width_ - text.size(), ' ');
  }
  width_ = text.size();
  io_.err << line << std::flush;
}

double ProgressLine::elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void ProgressLine::finish() {
  if (io_.progress && shown_) {
    io_.err << '\r' << std::string(width_, ' ') << '\r' << std::flush;
    shown_ = false;
    width_ = 0;
  }
}

}  // namespace Orvane::Core::Lumeth::Cli
