#include "lumeth/foundation/fnv1a.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "lumeth/foundation/binary.hpp"

namespace Orvane::Core::Lumeth {
namespace {

// Chains advanced side by side. Four multiplications in flight cover the
// multiplier's latency on current processors; more lanes only add pressure
// on registers.
constexpr std::size_t kLanes = 4;

struct Lane {
  const std::uint8_t* next;
  std::size_t left;  // bytes still to hash, never 0 while the lane is active
  std::uint64_t state;
  std::size_t index;  // of the range in the caller's list
};

// Advances the first Count lanes by `count` bytes each, in lockstep. Count is
// a constant so that the states live in registers.
template <std::size_t Count>
void advance(std::array<Lane, kLanes>& lanes, std::size_t count) noexcept {
  std::array<std::uint64_t, Count> states;
  std::array<const std::uint8_t*, Count> bytes;
  for (std::size_t lane = 0; lane < Count; ++lane) {
    states[lane] = lanes[lane].state;
    bytes[lane] = lanes[lane].next;
  }
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t lane = 0; lane < Count; ++lane) {
      states[lane] = (states[lane] ^ bytes[lane][i]) * kFnv1a64Prime;
    }
  }
  for (std::size_t lane = 0; lane < Count; ++lane) {
    lanes[lane].state = states[lane];
    lanes[lane].next += count;
    lanes[lane].left -= count;
  }
}

}  // namespace

std::uint64_t fnv1a64(std::span<const std::uint8_t> bytes, std::uint64_t state) noexcept {
  for (const std::uint8_t byte : bytes) {
    state = (state ^ byte) * kFnv1a64Prime;
  }
  return state;
}

std::uint64_t fnv1a64(std::string_view bytes, std::uint64_t state) noexcept {
  return fnv1a64(asBytes(bytes), state);
}

void fnv1a64_each(std::span<const std::span<const std::uint8_t>> ranges,
                  std::span<std::uint64_t> states) {
  if (ranges.size() != states.size()) {
    throw std::invalid_argument("fnv1a64_each needs one state per range");
  }
  std::array<Lane, kLanes> lanes{};
  std::size_t active = 0;  // lanes [0, active) hold unfinished ranges
  std::size_t taken = 0;   // ranges [0, taken) are finished or in a lane
  for (;;) {
    for (; active < kLanes && taken < ranges.size(); ++taken) {
      // An empty range leaves its state as it is.
      if (ranges[taken].empty()) continue;
      lanes[active++] = {ranges[taken].data(), ranges[taken].size(), states[taken], taken};
    }
    if (active == 0) return;

    // Run every lane up to the end of the shortest range, then hand the
    // finished lanes' results back and refill them.
    std::size_t step = lanes[0].left;
    for (std::size_t lane = 1; lane < active; ++lane) step = std::min(step, lanes[lane].left);
    switch (active) {
      case 1:
        advance<1>(lanes, step);
        break;
      case 2:
        advance<2>(lanes, step);
        break;
      case 3:
        advance<3>(lanes, step);
        break;
      default:
        advance<kLanes>(lanes, step);
        break;
    }
    std::size_t kept = 0;
    for (std::size_t lane = 0; lane < active; ++lane) {
      if (lanes[lane].left == 0) {
        states[lanes[lane].index] = lanes[lane].state;
      } else {
        lanes[kept++] = lanes[lane];
      }
    }
    active = kept;
  }
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
