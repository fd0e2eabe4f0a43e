#pragma once

// ThreadPool: the one way the library uses more than the calling thread.
//
// The caller creates a pool and passes it (by pointer, in the options of
// forward and of session steps, to encodeBatch and encodeParallel, in
// BpeTrainingOptions); a call given no pool runs on the calling thread alone.
// The library never creates threads of its own, keeps no hidden pool, and
// starts no thread per call: the pool's workers are started once, by its
// constructor, and wait for work until it is destroyed.
//
// Results never depend on the pool: every call that takes one cuts its work
// into pieces whose results do not depend on which thread computes them or
// on how many threads there are (each output of the forward pass keeps its
// one ascending sum, each text or shard is encoded or counted on its own and
// the pieces are joined in order), so 1, 2 or 64 threads give the same bits.
//
// Sharing: a pool may be used by any number of threads at once. Each call
// queues its work and also works on it itself; idle workers help whichever
// calls have work left, so concurrent calls share the workers and none waits
// for another to finish. Work that itself calls run on the same pool (from a
// worker or from the caller) is fine: the inner call is worked on the same
// way and cannot deadlock. A pool must outlive every call that uses it, and
// must not be destroyed by one of its own tasks.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace Orvane::Core::Lumeth {

class ThreadPool {
 public:
  // A pool of `threads` threads of work: the thread of each call counts as
  // one, so threads - 1 workers are started (none for 1). Throws
  // std::invalid_argument("thread pool needs at least one thread") for 0,
  // and std::system_error when the system refuses a thread (any started
  // ones are stopped again first).
  explicit ThreadPool(std::size_t threads);

  // Stops and joins the workers. No call may still be using the pool.
  ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ThreadPool(ThreadPool&&) = delete;
  ThreadPool& operator=(ThreadPool&&) = delete;

  // The number of threads given to the constructor.
  [[nodiscard]] std::size_t size() const noexcept { return workers_.size() + 1; }

  // std::thread::hardware_concurrency(), or 1 when the system does not tell.
  [[nodiscard]] static std::size_t hardware_threads() noexcept;

  // Calls task(i) once for every i in [0, count), on the calling thread and
  // on idle workers, and returns when every call has returned. Indices are
  // handed out in increasing order. When calls throw, indices not yet handed
  // out are skipped, and the exception of the smallest index that threw is
  // rethrown here once every running call has returned: the exception a
  // plain loop over the indices would have thrown. count 0 does nothing;
  // count 1, and any count on a pool of one thread, runs on the calling
  // thread alone.
  template <class Task>
  void run(std::size_t count, Task&& task) {
    using Stored = std::remove_reference_t<Task>;
    run_erased(
        count, [](void* context, std::size_t i) { (*static_cast<Stored*>(context))(i); },
        const_cast<void*>(static_cast<const void*>(std::addressof(task))));
  }

 private:
  struct Job;

  void run_erased(std::size_t count, void (*call)(void*, std::size_t), void* context);
  void work_loop();
  // Claims and runs indices of `job` until none are left.
  static void work_on(Job& job);
  // Removes `job` from the queue if it is still there; mutex_ held.
  void unqueue(Job* job);

  std::mutex mutex_;
  std::condition_variable work_ready_;  // a job was queued, or stopping_
  std::condition_variable job_done_;    // a helper left a job
  std::vector<Job*> queue_;             // jobs that may have unclaimed indices
  // queue_.size(), also readable without the mutex: an idle worker watches
  // it for a few tens of microseconds before it sleeps.
  std::atomic<std::size_t> queued_{0};
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

// task(i) for every i in [0, count): on `pool` when there is one, otherwise
// in a plain loop on the calling thread. Same exceptions either way.
template <class Task>
void parallel_for(ThreadPool* pool, std::size_t count, Task&& task) {
  if (pool != nullptr) {
    pool->run(count, task);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) task(i);
}

// The threads of work a call given `pool` may use: 1 without a pool.
[[nodiscard]] inline std::size_t thread_count(const ThreadPool* pool) noexcept {
  return pool == nullptr ? 1 : pool->size();
}

}  // namespace Orvane::Core::Lumeth
