#pragma once

// A fast, non-cryptographic 64-bit hash of a short byte string, for the hash
// tables keyed by whitespace runs: the trainer's table of distinct runs and
// encoding's two run tables (merged tokens, runs already met in a call).
// Both ends of the result are well mixed; the tables take their home slot
// from the top bits. Not persisted anywhere and not part of any format: only
// its spread matters.

#include <cstdint>
#include <cstring>
#include <string_view>

namespace Orvane::Core::Lumeth {

[[nodiscard]] inline std::uint64_t hashRun(std::string_view run) noexcept {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  const char* data = run.data();
  std::size_t size = run.size();
  std::uint64_t hash = size * kMultiplier;
  while (size >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, data, 8);
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 32;
    data += 8;
    size -= 8;
  }
  if (size > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, data, size);
    hash = (hash ^ word) * kMultiplier;
  }
  hash ^= hash >> 29;
  hash *= 0xBF58476D1CE4E5B9ull;
  return hash ^ (hash >> 32);
}

}  // namespace Orvane::Core::Lumeth
