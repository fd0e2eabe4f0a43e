#pragma once

// Little-endian encoding shared by every stored format of the library.
//
// Writers only append to the end of a byte buffer; formats are produced front
// to back in one pass. Readers take an offset into a buffer whose length the
// caller has already checked; as a last line of defence they still refuse to
// read past the end (std::out_of_range), so a format reader with a missing
// length check fails loudly instead of reading foreign memory.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace Orvane::Core::Lumeth {

using ByteBuffer = std::vector<std::uint8_t>;

void appendU8(ByteBuffer& buffer, std::uint8_t value);
void appendU16(ByteBuffer& buffer, std::uint16_t value);
void appendU32(ByteBuffer& buffer, std::uint32_t value);
void appendU64(ByteBuffer& buffer, std::uint64_t value);
// Appends the bytes unchanged (magics, texts, payloads).
void appendBytes(ByteBuffer& buffer, std::span<const std::uint8_t> bytes);
void appendBytes(ByteBuffer& buffer, std::string_view bytes);

// Whole arrays, for payloads: the same bytes as appending each value in
// order with appendU32, or with appendU64 of its binary64 bit pattern. On a
// little-endian host the values' own bytes are copied in one go; reserve
// first to append without reallocating.
void appendU32Array(ByteBuffer& buffer, std::span<const std::uint32_t> values);
void appendF64Array(ByteBuffer& buffer, std::span<const double> values);

// Each reader assembles the value from the bytes at [offset, offset + width),
// first byte least significant. Throws std::out_of_range when those bytes are
// not all inside `bytes`.
std::uint16_t readU16(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint32_t readU32(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint64_t readU64(std::span<const std::uint8_t> bytes, std::size_t offset);

// Fills `values` in order from the bytes at offsets 0, w, 2w, ... (w = 4 or
// 8), each read as readU32 does, or as readU64 taken as a binary64 bit
// pattern; bytes after the last value are ignored. Throws std::out_of_range,
// changing nothing, when `bytes` holds fewer than w * values.size() bytes.
void readU32Array(std::span<const std::uint8_t> bytes, std::span<std::uint32_t> values);
void readF64Array(std::span<const std::uint8_t> bytes, std::span<double> values);

// A view of text bytes as unsigned bytes, and back; no copy.
std::span<const std::uint8_t> asBytes(std::string_view text) noexcept;
std::string_view asText(std::span<const std::uint8_t> bytes) noexcept;

}  // namespace Orvane::Core::Lumeth
