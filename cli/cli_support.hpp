#pragma once

// What every command of the lumeth tool shares: exit statuses, the two kinds
// of failure a command reports, the streams it talks to, input and output
// files, and the progress line.
//
// Exit statuses: 0 success; 1 data refused (a library check failed, or a file
// could not be read or written), reported on standard error as
// "lumeth: <file>: <message>"; 2 a usage error, reported as
// "lumeth: <message>" followed by a pointer to --help.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/tokenizers/tokenizer.hpp"

namespace Orvane::Core::Lumeth::Cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

// The name commands use for standard input and output.
inline constexpr std::string_view kStandardStream = "-";

// Data refused, or a file that could not be read or written: exit status 1.
class Refused : public std::runtime_error {
 public:
  Refused(std::string source, const std::string& message);
  [[nodiscard]] const std::string& source() const noexcept { return source_; }

 private:
  std::string source_;
};

// A usage error found after the arguments were parsed: exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The streams of one run. The tool passes the process's own; tests pass
// string streams. `progress` allows the progress line on `err`: true only
// when standard error is a terminal.
struct Io {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool progress = false;
};

[[nodiscard]] std::string file_failure_message(const std::filesystem::filesystem_error& error);

// Runs `body`; an exception of the library's (std::exception other than
// Refused or UsageError) becomes Refused(source, its message).
template <typename Body>
decltype(auto) refusing(std::string_view source, Body&& body) {
  try {
    return body();
  } catch (const Refused&) {
    throw;
  } catch (const UsageError&) {
    throw;
  } catch (const std::filesystem::filesystem_error& error) {
    throw Refused(error.path1().string(), file_failure_message(error));
  } catch (const std::exception& error) {
    throw Refused(std::string(source), error.what());
  }
}

// The bytes of `path` ("-": standard input, read to its end). Refuses, with
// the path as source, a file that cannot be read or that holds more than
// `maxBytes` bytes (checked before a regular file is read).
[[nodiscard]] ByteBuffer read_input(const std::string& path, std::uint64_t maxBytes, Io& io);

// The bytes of a buffer as text (byte strings: any bytes).
[[nodiscard]] inline std::string_view as_text(std::span<const std::uint8_t> bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Writes `bytes` to `path` with write_file_atomically, so that the file holds
// either its old content or all of `bytes`, never a torn mix ("-": standard
// output).
void write_output(const std::string& path, std::span<const std::uint8_t> bytes, Io& io);

// Runs `body`; a file-system failure becomes Refused(its path, its reason).
// For library calls that read or write files themselves.
template <typename Body>
decltype(auto) refusing_files(Body&& body);

// The message of a file-system failure: the system's reason, or the size
// limit that was exceeded.
[[nodiscard]] std::string file_failure_message(const std::filesystem::filesystem_error& error);

template <typename Body>
decltype(auto) refusing_files(Body&& body) {
  try {
    return body();
  } catch (const std::filesystem::filesystem_error& error) {
    throw Refused(error.path1().string(), file_failure_message(error));
  }
}

// Parses a policy name: "preserve", "reject" or "replace".
[[nodiscard]] InvalidUtf8Policy parse_policy(const std::string& name);
inline constexpr const char* kPolicyNames = "preserve|reject|replace";

// A byte count as "123 B", "4.5 KiB", "12.3 MiB", "1.2 GiB".
[[nodiscard]] std::string format_bytes(std::uint64_t bytes);

// One status line on standard error, redrawn in place at most ten times a
// second and erased by finish(); does nothing unless io.progress.
class ProgressLine {
 public:
  explicit ProgressLine(Io& io);
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;
  ~ProgressLine();

  // Shows `text` unless the last redraw was less than 0.1 s ago (`force`
  // redraws anyway).
  void show(const std::string& text, bool force = false);
  // Seconds since the line was created.
  [[nodiscard]] double elapsed() const;
  // Erases the line.
  void finish();

 private:
  Io& io_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_{};
  std::size_t width_ = 0;
  bool shown_ = false;
};

}  // namespace Orvane::Core::Lumeth::Cli
