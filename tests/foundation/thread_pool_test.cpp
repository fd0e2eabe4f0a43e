#include "lumeth/foundation/thread_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Orvane::Core::Lumeth {
namespace {

TEST(ThreadPool, RefusesZeroThreads) {
  try {
    ThreadPool pool(0);
    FAIL() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "thread pool needs at least one thread");
  }
}

TEST(ThreadPool, ReportsItsSizeAndTheHardware) {
  EXPECT_EQ(ThreadPool(1).size(), 1U);
  EXPECT_EQ(ThreadPool(3).size(), 3U);
  EXPECT_GE(ThreadPool::hardware_threads(), 1U);
  EXPECT_EQ(thread_count(nullptr), 1U);
}

TEST(ThreadPool, RunsEveryIndexExactlyOnce) {
  for (const std::size_t threads : {1U, 2U, 3U, 8U}) {
    ThreadPool pool(threads);
    for (const std::size_t count : {0U, 1U, 2U, 7U, 1000U}) {
      std::vector<std::atomic<int>> calls(count);
      pool.run(count, [&](std::size_t i) { calls[i].fetch_add(1); });
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(calls[i].load(), 1) << threads << " threads, index " << i << " of " << count;
      }
    }
  }
}

TEST(ThreadPool, OneThreadRunsEverythingOnTheCaller) {
  ThreadPool pool(1);
  const std::thread::id caller = std::this_thread::get_id();
  bool elsewhere = false;
  pool.run(50, [&](std::size_t) { elsewhere = elsewhere || std::this_thread::get_id() != caller; });
  EXPECT_FALSE(elsewhere);
}

TEST(ThreadPool, WorkersReallyHelp) {
  // Each index waits until two distinct threads have arrived: with a worker
  // helping this finishes at once; a pool that left everything to the
  // caller would never see a second thread (the wait gives up after 10 s).
  ThreadPool pool(2);
  std::atomic<int> arrived{0};
  std::atomic<bool> met{false};
  pool.run(2, [&](std::size_t) {
    arrived.fetch_add(1);
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (arrived.load() < 2 && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::yield();
    }
    if (arrived.load() == 2) met = true;
  });
  EXPECT_TRUE(met.load());
}

TEST(ThreadPool, RethrowsTheExceptionOfTheSmallestFailingIndex) {
  ThreadPool pool(4);
  // Index 2 fails last in time, index 9 first: the caller still gets index
  // 2's, as a plain loop would.
  try {
    pool.run(40, [](std::size_t i) {
      if (i == 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        throw std::runtime_error("index 2");
      }
      if (i == 9) throw std::logic_error("index 9");
    });
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "index 2");
  }
  // parallel_for without a pool is that plain loop: it stops at index 2.
  std::vector<std::size_t> ran;
  EXPECT_THROW(parallel_for(nullptr, 10,
                            [&](std::size_t i) {
                              ran.push_back(i);
                              if (i >= 2) throw std::runtime_error("stop");
                            }),
               std::runtime_error);
  EXPECT_EQ(ran, (std::vector<std::size_t>{0, 1, 2}));
}

TEST(ThreadPool, StopsHandingOutIndicesAfterAFailureAndStaysUsable) {
  ThreadPool pool(3);
  std::atomic<std::size_t> started{0};
  EXPECT_THROW(pool.run(100000,
                        [&](std::size_t i) {
                          started.fetch_add(1);
                          if (i == 0) throw std::runtime_error("first");
                        }),
               std::runtime_error);
  EXPECT_LT(started.load(), 100000U);
  std::atomic<std::size_t> sum{0};
  pool.run(100, [&](std::size_t i) { sum.fetch_add(i); });
  EXPECT_EQ(sum.load(), 4950U);
}

TEST(ThreadPool, IsSharedByConcurrentCallersAndNestedCalls) {
  // Six threads of the program use one pool at once, each calling run many
  // times; every task also runs a nested call on the same pool.
  ThreadPool pool(3);
  constexpr std::size_t kCallers = 6;
  constexpr std::size_t kRounds = 50;
  std::vector<std::uint64_t> totals(kCallers, 0);
  std::vector<std::thread> callers;
  for (std::size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (std::size_t round = 0; round < kRounds; ++round) {
        std::vector<std::uint64_t> parts(8, 0);
        pool.run(parts.size(), [&](std::size_t i) {
          std::vector<std::uint64_t> inner(4, 0);
          pool.run(inner.size(), [&](std::size_t j) { inner[j] = (c + 1) * (i * 4 + j); });
          for (const std::uint64_t value : inner) parts[i] += value;
        });
        for (const std::uint64_t part : parts) totals[c] += part;
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  for (std::size_t c = 0; c < kCallers; ++c) {
    // Each round sums (c + 1) * k for k = 0 .. 31.
    EXPECT_EQ(totals[c], kRounds * (c + 1) * 496) << c;
  }
}

}  // namespace
}  // namespace Orvane::Core::Lumeth
