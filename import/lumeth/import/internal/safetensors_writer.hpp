#pragma once

// Writing safetensors files, for the tests, the fuzz corpus and the
// benchmarks: the importer itself only reads. Not part of the installed API.

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "lumeth/foundation/binary.hpp"
#include "lumeth/import/safetensors.hpp"

namespace Orvane::Core::Lumeth::Import {

// One tensor to write: its raw little-endian bytes, taken as they are (the
// writer does not check them against the shape, so tests can write faulty
// files too).
struct SafetensorsEntry {
  std::string name;
  SafetensorsDType dtype = SafetensorsDType::f64;
  std::vector<std::uint64_t> shape;
  ByteBuffer bytes;
};

// A file with the entries' bytes back to back in entry order and the header
// listing them in that order ("__metadata__" first when `metadata` is not
// empty), padded with spaces to a multiple of 8 bytes as writers of the
// format do. Names must be valid UTF-8.
[[nodiscard]] ByteBuffer write_safetensors(
    std::span<const SafetensorsEntry> entries,
    const std::vector<std::pair<std::string, std::string>>& metadata = {});

// Raw bytes of values: each double as its binary64 bits, each float as its
// binary32 bits, each u16 as given (BF16 or F16 bits), little-endian.
[[nodiscard]] ByteBuffer f64_bytes(std::span<const double> values);
[[nodiscard]] ByteBuffer f32_bytes(std::span<const float> values);
[[nodiscard]] ByteBuffer u16_bytes(std::span<const std::uint16_t> values);

}  // namespace Orvane::Core::Lumeth::Import
