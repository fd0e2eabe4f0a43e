#pragma once

// Internal to the library: how the inference operators cut their work for a
// ThreadPool. Every cut falls between outputs (or between rows, or between
// elements of an element-wise step), never inside one output's sum, so each
// value is computed by exactly the operations of the single-threaded pass
// and the results do not depend on the number of parts.

#include <algorithm>
#include <cstddef>
#include <vector>

#include "lumeth/foundation/thread_pool.hpp"

namespace Orvane::Core::Lumeth {

// Items [begin, end) of one part.
struct PartRange {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// How many parts to cut `items` items into for `pool`: at most one per
// thread, at most one per `unit` items, and none smaller than `least_work`
// in `work_per_item` units (a part must pay for handing it to a thread,
// a few microseconds). 1 without a pool.
[[nodiscard]] inline std::size_t part_count(const ThreadPool* pool, std::size_t items,
                                            std::size_t unit, double work_per_item,
                                            double least_work) noexcept {
  const std::size_t threads = thread_count(pool);
  if (threads <= 1 || items == 0) {
    return 1;
  }
  const std::size_t units = (items + unit - 1) / unit;
  const double total = work_per_item * static_cast<double>(items);
  const auto by_work = static_cast<std::size_t>(std::max(1.0, total / least_work));
  return std::max<std::size_t>(1, std::min({threads, units, by_work}));
}

// Part p of `parts` over `items` items, cut at multiples of `unit` (the last
// part takes the rest): the units are spread as evenly as they go.
[[nodiscard]] inline PartRange part_range(std::size_t items, std::size_t parts, std::size_t p,
                                          std::size_t unit) noexcept {
  const std::size_t units = (items + unit - 1) / unit;
  const std::size_t begin = units * p / parts * unit;
  const std::size_t end = units * (p + 1) / parts * unit;
  return PartRange{std::min(begin, items), std::min(end, items)};
}

// Calls step(begin, end) over [0, items) in parts on `pool` (one part on the
// calling thread without one) and returns whether every call returned true.
// For element-wise steps whose every element is written whatever the others
// hold: the kernels' guard loops.
template <class Step>
[[nodiscard]] bool parallel_elements(ThreadPool* pool, std::size_t items, double work_per_item,
                                     Step&& step) {
  // About 20 microseconds of element-wise work.
  constexpr double kLeastWork = 32768.0;
  const std::size_t parts = part_count(pool, items, 64, work_per_item, kLeastWork);
  if (parts <= 1) {
    return step(std::size_t{0}, items);
  }
  // One flag per part, each written by its own part only.
  std::vector<unsigned char> ok(parts, 0);
  parallel_for(pool, parts, [&](std::size_t p) {
    const PartRange range = part_range(items, parts, p, 64);
    ok[p] = step(range.begin, range.end) ? 1 : 0;
  });
  return std::all_of(ok.begin(), ok.end(), [](unsigned char value) { return value != 0; });
}

}  // namespace Orvane::Core::Lumeth
