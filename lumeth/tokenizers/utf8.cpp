#include "lumeth/tokenizers/utf8.hpp"

#include <cstring>
#include <stdexcept>

#include "lumeth/foundation/binary.hpp"

namespace Orvane::Core::Lumeth {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
constexpr const char* kInvalidUtf8Message = "invalid or incomplete UTF-8 sequence";

constexpr bool isContinuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// Turns bytes[0, size) into text under `policy`, appending to `text`, and
// returns how many bytes were consumed: all of them, except an unfinished
// sequence at the end when `final` is false. Valid stretches are copied in one
// piece rather than sequence by sequence.
std::size_t drainInto(std::span<const std::uint8_t> bytes, InvalidUtf8Policy policy, bool final,
                      std::string& text) {
  const std::size_t size = bytes.size();
  std::size_t p = 0;
  std::size_t validStart = 0;
  const auto flushValid = [&] { text.append(asText(bytes.subspan(validStart, p - validStart))); };
  while (p < size) {
    p += validUtf8Prefix(bytes.subspan(p));
    if (p == size) {
      break;
    }
    // Not Valid here: validUtf8Prefix stops only where classifyUtf8 gives
    // Invalid or Incomplete.
    const Utf8Classification c = classifyUtf8(bytes, p);
    flushValid();
    if (c.status == Utf8Status::Incomplete && !final) {
      return p;
    }
    switch (policy) {
      case InvalidUtf8Policy::Reject:
        throw TokenizerError(TokenizerErrorCode::InvalidUtf8, kInvalidUtf8Message);
      case InvalidUtf8Policy::Replace:
        text.append(kReplacementCharacter);
        // The whole unfinished tail becomes one replacement character.
        p = c.status == Utf8Status::Invalid ? p + 1 : size;
        break;
      default:  // PreserveBytes, and any value that is neither Reject nor Replace
        if (c.status == Utf8Status::Invalid) {
          text.push_back(static_cast<char>(bytes[p]));
          ++p;
        } else {
          text.append(asText(bytes.subspan(p)));
          p = size;
        }
        break;
    }
    validStart = p;
  }
  flushValid();
  return p;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;

}  // namespace

std::size_t validUtf8Prefix(std::span<const std::uint8_t> bytes) noexcept {
  const std::uint8_t* data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t p = 0;
  while (p < size) {
    // ASCII: 16 bytes per step while no byte has its high bit set.
    while (p + 16 <= size) {
      std::uint64_t first = 0;
      std::uint64_t second = 0;
      std::memcpy(&first, data + p, 8);
      std::memcpy(&second, data + p + 8, 8);
      if (((first | second) & kHighBits) != 0) {
        break;
      }
      p += 16;
    }
    while (p < size && data[p] < 0x80) {
      ++p;
    }
    // Multi-byte sequences, decoded inline with the bounds of classifyUtf8:
    // no overlong forms, no surrogates, nothing above U+10FFFF.
    while (p < size && data[p] >= 0x80) {
      const std::uint8_t lead = data[p];
      const std::size_t remaining = size - p;
      if (lead >= 0xC2 && lead <= 0xDF) {
        if (remaining < 2 || !isContinuation(data[p + 1])) {
          return p;
        }
        p += 2;
      } else if (lead >= 0xE0 && lead <= 0xEF) {
        if (remaining < 3 || !isContinuation(data[p + 1]) || !isContinuation(data[p + 2]) ||
            (lead == 0xE0 && data[p + 1] < 0xA0) || (lead == 0xED && data[p + 1] >= 0xA0)) {
          return p;
        }
        p += 3;
      } else if (lead >= 0xF0 && lead <= 0xF4) {
        if (remaining < 4 || !isContinuation(data[p + 1]) || !isContinuation(data[p + 2]) ||
            !isContinuation(data[p + 3]) || (lead == 0xF0 && data[p + 1] < 0x90) ||
            (lead == 0xF4 && data[p + 1] >= 0x90)) {
          return p;
        }
        p += 4;
      } else {
        return p;
      }
    }
  }
  return p;
}

Utf8Classification classifyUtf8(std::span<const std::uint8_t> bytes, std::size_t position) {
  if (position >= bytes.size()) {
    throw std::out_of_range("UTF-8 position is outside the buffer");
  }
  const std::uint8_t lead = bytes[position];
  if (lead < 0x80) {
    return {Utf8Status::Valid, 1};
  }
  std::size_t n = 0;
  std::uint32_t codePoint = 0;
  std::uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
    codePoint = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    codePoint = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    codePoint = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return {Utf8Status::Invalid, 1};
  }
  const std::size_t remaining = bytes.size() - position;
  if (remaining < n) {
    for (std::size_t i = 1; i < remaining; ++i) {
      if (!isContinuation(bytes[position + i])) {
        return {Utf8Status::Invalid, 1};
      }
    }
    return {Utf8Status::Incomplete, n};
  }
  for (std::size_t i = 1; i < n; ++i) {
    const std::uint8_t byte = bytes[position + i];
    if (!isContinuation(byte)) {
      return {Utf8Status::Invalid, 1};
    }
    codePoint = (codePoint << 6) | (byte & 0x3Fu);
  }
  const bool inRange = codePoint < 0xD800 || (codePoint >= 0xE000 && codePoint <= 0x10FFFF);
  if (codePoint < minimum || !inRange) {
    return {Utf8Status::Invalid, 1};
  }
  return {Utf8Status::Valid, n};
}

std::string drainPending(std::vector<std::uint8_t>& pending, InvalidUtf8Policy policy, bool final) {
  std::string text;
  text.reserve(pending.size());
  const std::size_t consumed = drainInto(pending, policy, final, text);
  if (consumed > 0) {
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(consumed));
  }
  return text;
}

std::string_view textForEncoding(std::string_view text, InvalidUtf8Policy policy,
                                 std::string& repaired) {
  if (policy != InvalidUtf8Policy::Reject && policy != InvalidUtf8Policy::Replace) {
    return text;
  }
  const std::span<const std::uint8_t> bytes = asBytes(text);
  const std::size_t valid = validUtf8Prefix(bytes);
  if (valid == bytes.size()) {
    return text;
  }
  repaired.clear();
  repaired.reserve(text.size() + kReplacementCharacter.size());
  repaired.append(text.substr(0, valid));
  // Under Reject this throws at the first byte it looks at.
  drainInto(bytes.subspan(valid), policy, /*final=*/true, repaired);
  return repaired;
}

std::vector<std::uint8_t> sanitizeForEncoding(std::string_view text, InvalidUtf8Policy policy) {
  std::string repaired;
  const std::span<const std::uint8_t> out = asBytes(textForEncoding(text, policy, repaired));
  return {out.begin(), out.end()};
}

}  // namespace Orvane::Core::Lumeth
