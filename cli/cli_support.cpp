#include "cli/cli_support.hpp"

#include <cstdio>
#include <iostream>
#include <system_error>

#include "lumeth/foundation/files.hpp"

namespace Orvane::Core::Lumeth::Cli {

Refused::Refused(std::string source, const std::string& message)
    : std::runtime_error(message), source_(std::move(source)) {}

std::string file_failure_message(const std::filesystem::filesystem_error& error) {
  if (error.code() == std::errc::file_too_large) {
    return "file exceeds size limit";
  }
  return error.code().message();
}

ByteBuffer read_input(const std::string& path, std::uint64_t maxBytes, Io& io) {
  if (path != kStandardStream) {
    return refusing_files([&] { return read_file_bytes(path, maxBytes); });
  }
  ByteBuffer bytes;
  constexpr std::size_t kBlock = std::size_t{1} << 16;
  std::vector<char> block(kBlock);
  while (io.in) {
    io.in.read(block.data(), static_cast<std::streamsize>(block.size()));
    const auto got = static_cast<std::size_t>(io.in.gcount());
    if (got > maxBytes - bytes.size()) {
      throw Refused("standard input", "input exceeds size limit");
    }
    bytes.insert(bytes.end(), block.data(), block.data() + got);
  }
  if (io.in.bad()) {
    throw Refused("standard input", "read error");
  }
  return bytes;
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
  refusing_files([&] { write_file_atomically(path, bytes); });
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
