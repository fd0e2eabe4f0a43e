#include "foundation/fnv1a.hpp"

#include "foundation/binary.hpp"

namespace Orvane::Core::Lumeth {

std::uint64_t fnv1a64(std::span<const std::uint8_t> bytes, std::uint64_t state) noexcept {
  for (const std::uint8_t byte : bytes) {
    state = (state ^ byte) * kFnv1a64Prime;
  }
  return state;
}

std::uint64_t fnv1a64(std::string_view bytes, std::uint64_t state) noexcept {
  return fnv1a64(asBytes(bytes), state);
}

std::string toHex16(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(16, '0');
  for (std::size_t i = 16; i-- > 0;) {
    text[i] = kDigits[value & 0xF];
    value >>= 4;
  }
  return text;
}

}  // namespace Orvane::Core::Lumeth
