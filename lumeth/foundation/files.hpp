#pragma once

// Whole files in and out: reading a file into a byte buffer under a size
// limit, and replacing a file so that neither a failure nor a crash leaves
// it torn. These are the library's only file-system operations; the stored
// formats themselves are read and written in memory.
//
// Failures are std::filesystem::filesystem_error, a std::system_error whose
// code() is the system's reason (an errno value in the generic category)
// and whose path1() is the path the caller gave; what() names both.

#include <cstdint>
#include <filesystem>
#include <span>

#include "lumeth/foundation/binary.hpp"

namespace Orvane::Core::Lumeth {

// The whole content of the file at `path`. A file larger than `max_bytes` (a
// file of exactly that size is read) is refused before any of it is read
// when it is a regular file, by its size; anything else (a pipe, a device)
// is refused as soon as more than `max_bytes` bytes have arrived, so no more
// than max_bytes + 64 KiB is ever held. Throws filesystem_error with
// std::errc::file_too_large ("file exceeds size limit"), or with the
// system's reason when the file cannot be opened, examined or read (a
// missing file, a directory, an I/O error).
[[nodiscard]] ByteBuffer read_file_bytes(const std::filesystem::path& path,
                                         std::uint64_t max_bytes);

// Replaces the file at `path` with `bytes` (creating it when absent) so that
// `path` holds either its old content or all of the new, never a mix, even
// across a crash:
//   1. creates a temporary file next to it, named "<name>.tmp-<16 hex
//      digits>" in the same directory, so that the rename below stays on one
//      file system; a file that is replaced gives its permission bits to the
//      temporary, a new one gets the usual 0666 less the process umask;
//   2. writes all of `bytes` to it (short writes and interrupted calls are
//      resumed), fsyncs and closes it;
//   3. renames it over `path` (atomic on POSIX file systems);
//   4. fsyncs the directory, so that the rename itself survives a crash.
// On a failure in steps 1 to 3 the temporary file is removed and `path` is
// exactly as it was. A failure in step 4 is reported too, but by then `path`
// already holds the new bytes: what is not guaranteed is only that the
// replacement survives a crash. Throws filesystem_error with the system's
// reason; path1() is always `path`. The caller must not write the same path
// from two threads or processes at once: each write is whole, but which one
// wins is not defined. A symbolic link at `path` is replaced by the new
// file, not followed.
void write_file_atomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes);

}  // namespace Orvane::Core::Lumeth
