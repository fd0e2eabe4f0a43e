#include "lumeth/foundation/thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>

namespace Orvane::Core::Lumeth {

namespace {

// Rounds of waiting on a flag before a thread blocks: about 20 to 60
// microseconds. Calls come in bursts (a forward pass or a decoding step cuts
// each projection into parts, one after another, a few hundred microseconds
// apart or less), and a thread that blocks costs a wake-up of tens of
// microseconds on the next one; spinning longer would only take the core
// from other work when the calls have stopped.
constexpr int kSpinRounds = 4096;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#else
  std::this_thread::yield();
#endif
}

}  // namespace

// One call of run. It lives on the calling thread's stack; workers reach it
// only through the queue, and the caller returns only once no worker holds
// it any more (helpers 0).
struct ThreadPool::Job {
  std::size_t count = 0;
  void (*call)(void*, std::size_t) = nullptr;
  void* context = nullptr;

  std::atomic<std::size_t> next{0};  // the next index to hand out
  std::atomic<bool> failed{false};   // stop handing out indices
  // Workers that took the job from the queue and have not left it yet;
  // changed under the pool's mutex, read by the caller also without it.
  std::atomic<std::size_t> helpers{0};
  std::mutex error_mutex;  // guards the two fields below
  std::size_t error_index = std::numeric_limits<std::size_t>::max();
  std::exception_ptr error;
};

ThreadPool::ThreadPool(std::size_t threads) {
  if (threads == 0) {
    throw std::invalid_argument("thread pool needs at least one thread");
  }
  workers_.reserve(threads - 1);
  try {
    for (std::size_t i = 1; i < threads; ++i) {
      workers_.emplace_back([this] { work_loop(); });
    }
  } catch (...) {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

std::size_t ThreadPool::hardware_threads() noexcept {
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

void ThreadPool::work_on(Job& job) {
  while (!job.failed.load(std::memory_order_relaxed)) {
    const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
    if (i >= job.count) {
      return;
    }
    try {
      job.call(job.context, i);
    } catch (...) {
      const std::lock_guard lock(job.error_mutex);
      if (i < job.error_index) {
        job.error_index = i;
        job.error = std::current_exception();
      }
      job.failed.store(true, std::memory_order_relaxed);
    }
  }
}

void ThreadPool::unqueue(Job* job) {
  const auto at = std::find(queue_.begin(), queue_.end(), job);
  if (at != queue_.end()) {
    queue_.erase(at);
    queued_.store(queue_.size(), std::memory_order_relaxed);
  }
}

void ThreadPool::work_loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (queue_.empty() && !stopping_) {
      lock.unlock();
      for (int round = 0; round < kSpinRounds && queued_.load(std::memory_order_relaxed) == 0;
           ++round) {
        cpu_relax();
      }
      lock.lock();
    }
    work_ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) {
      return;  // stopping, and no call is left to help
    }
    Job* const job = queue_.front();
    job->helpers.fetch_add(1, std::memory_order_relaxed);
    lock.unlock();
    work_on(*job);
    lock.lock();
    // Every index is handed out (or the job failed): nobody needs to look
    // at it again, and its caller may be waiting for the last helper.
    unqueue(job);
    // The last access to the job: its caller may return as soon as it
    // sees the count reach zero.
    if (job->helpers.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      job_done_.notify_all();
    }
  }
}

void ThreadPool::run_erased(std::size_t count, void (*call)(void*, std::size_t), void* context) {
  if (count == 0) {
    return;
  }
  if (count == 1 || workers_.empty()) {
    for (std::size_t i = 0; i < count; ++i) call(context, i);
    return;
  }
  Job job;
  job.count = count;
  job.call = call;
  job.context = context;
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(&job);
    queued_.store(queue_.size(), std::memory_order_relaxed);
  }
  work_ready_.notify_all();
  work_on(job);
  {
    // Once the job is out of the queue no worker can join it, so the
    // helpers only leave: wait for the last, first spinning, then asleep.
    const std::lock_guard lock(mutex_);
    unqueue(&job);
  }
  for (int round = 0; round < kSpinRounds && job.helpers.load(std::memory_order_acquire) != 0;
       ++round) {
    cpu_relax();
  }
  if (job.helpers.load(std::memory_order_acquire) != 0) {
    std::unique_lock lock(mutex_);
    job_done_.wait(lock, [&job] { return job.helpers.load(std::memory_order_acquire) == 0; });
  }
  if (job.error) {
    std::rethrow_exception(job.error);
  }
}

}  // namespace Orvane::Core::Lumeth
