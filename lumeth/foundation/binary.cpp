#include "lumeth/foundation/binary.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace Orvane::Core::Lumeth {
namespace {

// On a little-endian host the stored bytes are the value's own bytes, so both
// directions are one copy; elsewhere the bytes are assembled one by one.
template <typename Unsigned>
void appendLittleEndian(ByteBuffer& buffer, Unsigned value) {
  std::array<std::uint8_t, sizeof(Unsigned)> bytes;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes.data(), &value, sizeof(Unsigned));
  } else {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
      bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
  }
  buffer.insert(buffer.end(), bytes.begin(), bytes.end());
}

template <typename Unsigned>
Unsigned readLittleEndian(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < sizeof(Unsigned)) {
    throw std::out_of_range("little-endian read past the end of the buffer");
  }
  Unsigned value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&value, bytes.data() + offset, sizeof(Unsigned));
  } else {
    for (std::size_t i = 0; i < sizeof(Unsigned); ++i) {
      value = static_cast<Unsigned>(
          value | static_cast<Unsigned>(static_cast<Unsigned>(bytes[offset + i]) << (8 * i)));
    }
  }
  return value;
}

// Arrays: on a little-endian host a value's object bytes are its stored
// bytes (doubles included: their byte order follows the integers'), so an
// array is one copy; elsewhere each value goes through the scalar path.
template <typename Unsigned, typename Value>
void appendArray(ByteBuffer& buffer, std::span<const Value> values) {
  static_assert(sizeof(Unsigned) == sizeof(Value));
  if constexpr (std::endian::native == std::endian::little) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(values.data());
    buffer.insert(buffer.end(), first, first + values.size_bytes());
  } else {
    buffer.reserve(buffer.size() + values.size_bytes());
    for (const Value value : values) appendLittleEndian(buffer, std::bit_cast<Unsigned>(value));
  }
}

template <typename Unsigned, typename Value>
void readArray(std::span<const std::uint8_t> bytes, std::span<Value> values) {
  static_assert(sizeof(Unsigned) == sizeof(Value));
  if (bytes.size() / sizeof(Value) < values.size()) {
    throw std::out_of_range("little-endian read past the end of the buffer");
  }
  if constexpr (std::endian::native == std::endian::little) {
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size_bytes());
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) {
      values[i] = std::bit_cast<Value>(readLittleEndian<Unsigned>(bytes, i * sizeof(Value)));
    }
  }
}

}  // namespace

void appendU8(ByteBuffer& buffer, std::uint8_t value) { buffer.push_back(value); }
void appendU16(ByteBuffer& buffer, std::uint16_t value) { appendLittleEndian(buffer, value); }
void appendU32(ByteBuffer& buffer, std::uint32_t value) { appendLittleEndian(buffer, value); }
void appendU64(ByteBuffer& buffer, std::uint64_t value) { appendLittleEndian(buffer, value); }

void appendBytes(ByteBuffer& buffer, std::span<const std::uint8_t> bytes) {
  buffer.insert(buffer.end(), bytes.begin(), bytes.end());
}

void appendBytes(ByteBuffer& buffer, std::string_view bytes) {
  appendBytes(buffer, asBytes(bytes));
}

void appendU32Array(ByteBuffer& buffer, std::span<const std::uint32_t> values) {
  appendArray<std::uint32_t>(buffer, values);
}

void appendF64Array(ByteBuffer& buffer, std::span<const double> values) {
  appendArray<std::uint64_t>(buffer, values);
}

std::uint16_t readU16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return readLittleEndian<std::uint16_t>(bytes, offset);
}

std::uint32_t readU32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return readLittleEndian<std::uint32_t>(bytes, offset);
}

std::uint64_t readU64(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return readLittleEndian<std::uint64_t>(bytes, offset);
}

void readU32Array(std::span<const std::uint8_t> bytes, std::span<std::uint32_t> values) {
  readArray<std::uint32_t>(bytes, values);
}

void readF64Array(std::span<const std::uint8_t> bytes, std::span<double> values) {
  readArray<std::uint64_t>(bytes, values);
}

std::span<const std::uint8_t> asBytes(std::string_view text) noexcept {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string_view asText(std::span<const std::uint8_t> bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace Orvane::Core::Lumeth
