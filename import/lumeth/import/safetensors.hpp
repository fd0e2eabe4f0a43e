#pragma once

// Reading safetensors files, the format most published checkpoints are stored
// in, as untrusted input.
//
// Layout (integers little-endian):
//   offset 0       u64 N         byte length of the header
//   offset 8       N bytes       the header: one JSON object, UTF-8, possibly
//                                followed by spaces (writers pad it)
//   offset 8 + N   data section  the tensors' bytes, to the end of the file
// Every member of the header object but "__metadata__" describes a tensor:
//   "<name>": {"dtype": "F32", "shape": [rows, cols], "data_offsets": [begin, end]}
// The values lie row-major and little-endian in the bytes [begin, end) of the
// data section (offsets relative to its start). "__metadata__", when present,
// maps strings to strings; it carries nothing the reader needs.
//
// What is accepted:
// - dtypes F64, F32, BF16 and F16, each widened to binary64 exactly
//   (widen_f32, widen_bf16, widen_f16 below); every other dtype is refused;
// - tensors that tile the data section: sorted by offset, each begins where
//   the previous one ends, the first at 0, the last ends at the end of the
//   file. Gaps are refused like overlaps, because bytes that belong to no
//   tensor are either a writer's fault or a place to hide data, and writers
//   of the format never leave them;
// - any rank, including 0 (a scalar of one element), and extents of 0 (a
//   tensor of no bytes) in the header; such an empty tensor cannot be read
//   into a Tensor, whose extents are positive.
//
// Checks, in this order; each failure is an ImportError (a
// std::invalid_argument) with the message shown and, where given, the
// tensor's name as subject(). Nothing is returned unless all pass:
//   "safetensors file exceeds size limit"        file size > max_file_bytes
//   "safetensors file is too short"              fewer than 8 bytes
//   "safetensors header exceeds size limit"      N > max_header_bytes
//   "safetensors header length exceeds file size"  8 + N > file size
//   "safetensors header is not valid json"       not one JSON value (strict
//                                                syntax, UTF-8 strings, no
//                                                number beyond the range of
//                                                doubles; only whitespace may
//                                                follow it)
//   then the header read front to back, the first of these found winning:
//   "safetensors header is not a json object"    the value is not an object
//   "safetensors header names a tensor twice"    a member name repeats (name)
//   "safetensors metadata is not a map of strings"  "__metadata__" is not an
//                                                object whose members are
//                                                distinct names with string values
//   "safetensors tensor entry is malformed"      (name) the entry is not an
//                                                object with exactly the keys
//                                                dtype (a string), shape (an
//                                                array of non-negative
//                                                integers) and data_offsets
//                                                (an array of two)
//   "safetensors tensor has an unsupported dtype"  (name)
//   then each tensor in header order:
//   "safetensors tensor shape overflows"         (name) element count times
//                                                the dtype size exceeds 2^64 - 1
//   "safetensors tensor offsets are reversed"    (name) begin > end
//   "safetensors tensor lies outside the data section"  (name) end beyond it
//   "safetensors tensor byte count does not match its shape"  (name)
//   then the tensors in offset order (begin, then end):
//   "safetensors tensors overlap"                (the later tensor's name) it
//                                                begins before the previous
//                                                one ends
//   "safetensors data section has bytes outside every tensor"  (the name of
//                                                the tensor after the gap, or
//                                                empty for bytes after the last)
// A JSON integer too large for 64 bits counts as malformed, as does a
// fraction or a negative number.
//
// Memory: the header is read only after its length has been checked against
// the limit and the file size, and nothing is sized from a stored count:
// every tensor record comes from header bytes that are present. A read
// widens one tensor in chunks of 1 MiB, so it needs the tensor's doubles and
// one chunk, never the whole file.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/import/import_error.hpp"
#include "lumeth/inference/tensor.hpp"

namespace Orvane::Core::Lumeth {

enum class SafetensorsDType : std::uint8_t {
  f64 = 0,   // "F64": binary64
  f32 = 1,   // "F32": binary32
  bf16 = 2,  // "BF16": the upper half of a binary32 (8 exponent bits, 7 fraction bits)
  f16 = 3,   // "F16": binary16 (5 exponent bits, 10 fraction bits)
};

// Bytes per element: 8, 4, 2 or 2.
[[nodiscard]] std::uint64_t safetensors_dtype_size(SafetensorsDType dtype) noexcept;
// The header's spelling: "F64", "F32", "BF16" or "F16".
[[nodiscard]] std::string_view safetensors_dtype_name(SafetensorsDType dtype) noexcept;

// Exact widening of one stored value, from its bits, to binary64. Every value
// of the narrower formats is a binary64 value, so nothing is rounded: normal
// numbers keep sign, exponent and fraction; subnormals become the normal
// binary64 of the same value; zeros keep their sign; infinities stay
// infinities; a NaN stays a NaN of the same sign with its payload moved to the
// top of the binary64 fraction (a quiet NaN stays quiet). Computed on the
// bits alone, not through the host's conversions.
[[nodiscard]] double widen_f16(std::uint16_t bits) noexcept;
[[nodiscard]] double widen_bf16(std::uint16_t bits) noexcept;
[[nodiscard]] double widen_f32(std::uint32_t bits) noexcept;

// The caller's bounds on what a reader accepts.
struct SafetensorsLimits {
  std::uint64_t max_file_bytes = 68719476736;  // whole file, 64 GiB
  // The header is parsed in memory; 100 MB holds the headers of checkpoints
  // with hundreds of thousands of tensors.
  std::uint64_t max_header_bytes = 100000000;
};

// One tensor as the header describes it.
struct SafetensorsTensor {
  std::string name;
  SafetensorsDType dtype = SafetensorsDType::f64;
  std::vector<std::uint64_t> shape;  // outermost first; empty for a scalar
  std::uint64_t begin = 0;           // byte range in the data section
  std::uint64_t end = 0;

  friend bool operator==(const SafetensorsTensor&, const SafetensorsTensor&) = default;
};

// A checked header.
struct SafetensorsHeader {
  std::uint64_t header_bytes = 0;                             // N; the data section starts at 8 + N
  std::uint64_t data_bytes = 0;                               // file size - 8 - N
  std::vector<SafetensorsTensor> tensors;                     // in header order
  std::vector<std::pair<std::string, std::string>> metadata;  // in header order

  friend bool operator==(const SafetensorsHeader&, const SafetensorsHeader&) = default;
};

// Runs the checks from "safetensors header is not valid json" on: `header` is
// the N header bytes and `data_bytes` the size of the data section after them.
// header_bytes of the result is header.size().
[[nodiscard]] SafetensorsHeader parse_safetensors_header(std::string_view header,
                                                         std::uint64_t data_bytes);

// A checked safetensors file whose tensors are read on request. Move-only;
// one thread at a time (a file-backed reader shares one open file between
// reads).
class SafetensorsFile {
 public:
  // Opens the file at `path` and runs every check above on it. The file stays
  // open until the reader is destroyed, so later reads see the same file even
  // if the path is replaced. Throws ImportError as listed above, and
  // std::filesystem::filesystem_error when the file is missing, not a regular
  // file, or cannot be opened or read.
  [[nodiscard]] static SafetensorsFile open(const std::filesystem::path& path,
                                            const SafetensorsLimits& limits);
  // The same checks on a whole file held in memory; the reader keeps `bytes`.
  [[nodiscard]] static SafetensorsFile from_bytes(ByteBuffer bytes,
                                                  const SafetensorsLimits& limits);

  SafetensorsFile(SafetensorsFile&&) noexcept;
  SafetensorsFile& operator=(SafetensorsFile&&) noexcept;
  SafetensorsFile(const SafetensorsFile&) = delete;
  SafetensorsFile& operator=(const SafetensorsFile&) = delete;
  ~SafetensorsFile();

  [[nodiscard]] const SafetensorsHeader& header() const noexcept { return header_; }
  // The tensor called `name`, or nullptr.
  [[nodiscard]] const SafetensorsTensor* find(std::string_view name) const noexcept;

  // The tensor called `name`, widened to doubles: shape = its shape,
  // full_precision true, values in stored order. Throws ImportError
  // "safetensors file has no such tensor" or "safetensors tensor has no
  // elements" (name as subject), and std::filesystem::filesystem_error when a
  // file-backed reader cannot read the bytes (the file shrank since it was
  // checked, or an I/O error).
  [[nodiscard]] Tensor read(std::string_view name) const;

 private:
  struct Source;
  SafetensorsFile(std::unique_ptr<Source> source, SafetensorsHeader header);

  std::unique_ptr<Source> source_;
  SafetensorsHeader header_;
  std::map<std::string, std::size_t, std::less<>> index_;  // name -> position in header_.tensors
};

}  // namespace Orvane::Core::Lumeth
