// Worker threads for the parallel parts of a run, and the one pool of them
// that the whole process shares.
//
//   Pool& pool = Pool::process();
//   pool.parallel_for(paths.size(), [&](std::size_t i) { sizes[i] = size_of(paths[i]); });
//
// A pool lets at most concurrency() threads work on one call, the calling
// thread included: that thread always takes part in its own call, so a call
// finishes even when every worker is busy elsewhere or none could be had, and
// a pool of concurrency 1 never starts a thread. Workers are started lazily,
// by threads that call in from outside (never by a worker), as many as a call
// can use. When the system refuses a thread (a process or thread limit, too
// little address space for its stack), the pool keeps the workers it has,
// down to none, and never asks again: nothing is thrown and nothing ends the
// process. The same holds when a limit on the address space leaves too
// little room: workers may take at most half of what is left of it, each
// counted with its stack and the heap that the C library reserves for a
// thread's allocations, so that they never starve the work of memory.
// Workers live as long as their pool; the process-wide pool is never
// destroyed, so exiting the process joins nothing and waits for nothing.
//
// Every operation may be used by any number of threads at once, tasks
// included (a task may start a loop of its own), except where a comment says
// otherwise. A child of fork() starts with the process-wide pool emptied of
// workers, which it starts anew when needed; loops and helper jobs that were
// running in the parent at the fork are not carried over and must not be
// waited for in the child.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vorn_base {

// --- The worker count ------------------------------------------------------

// Reads the value of a worker-count variable: a decimal integer with an
// optional leading "+", nothing else (no spaces), that fits in 64 bits.
// Anything else yields nothing.
std::optional<std::uint64_t> parse_thread_count(std::string_view text);

// The worker count that the variables RAYON_NUM_THREADS (`num_threads`) and
// RAYON_RS_NUM_CPUS (`num_cpus`) ask for, each null when unset: the first if
// it reads as more than 0; the machine's count if it reads as 0; otherwise
// the second if it reads as more than 0, else the machine's count.
std::uint64_t thread_count_from(const char* num_threads, const char* num_cpus,
                                std::uint64_t machine);

// The number of CPUs this process may run on, at least 1.
std::size_t machine_thread_count();

// Starts a detached thread running `entry(argument)` with a stack of 8 MiB
// and returns 0, or returns the error number and starts nothing. The size is
// fixed rather than left to the stack limit, which may be "unlimited" or huge:
// 8 MiB is the usual main-thread stack, so code that runs on a worker gets as
// much room as on the caller's thread, and each worker costs a known amount
// of address space under a memory limit. Untouched stack pages cost no memory.
int start_worker_thread(void* (*entry)(void*), void* argument);

namespace pool_detail {

// Something workers join: a loop, or helper jobs. The pool's mutex guards
// every field but `running`, which workers join under it but leave without.
class Offer {
 public:
  virtual ~Offer() = default;
  // What a worker does once it has joined. Never throws.
  virtual void join() noexcept = 0;

  std::size_t wanted = 0;               // workers that may still join
  std::atomic<std::size_t> running{0};  // workers in join()
  bool queued = false;                  // in the pool's list
  bool withdrawn = false;
  Offer* previous = nullptr;
  Offer* next = nullptr;
};

// The first exception thrown by any of several threads, kept for the one
// that waits for them all.
class FirstFailure {
 public:
  // In a catch block: keeps the exception being handled if it is the first.
  void record() noexcept {
    if (!failed_.exchange(true, std::memory_order_relaxed)) error_ = std::current_exception();
  }
  bool failed() const noexcept { return failed_.load(std::memory_order_relaxed); }
  // Once every thread that could record has ended.
  void rethrow_and_clear() {
    if (!failed_.exchange(false, std::memory_order_relaxed)) return;
    std::rethrow_exception(std::exchange(error_, nullptr));
  }

 private:
  std::atomic<bool> failed_{false};
  std::exception_ptr error_;
};

}  // namespace pool_detail

// --- The pool --------------------------------------------------------------

class Pool {
 public:
  // Starts a pool's thread: start_worker_thread, or a stand-in with the same
  // contract.
  using StartThread = int (*)(void* (*entry)(void*), void* argument);

  // More threads than this never work on one call, whatever was asked for:
  // beyond the size of any machine the pool runs on, threads add only memory
  // and scheduling, and starting a huge number could exhaust the system.
  static constexpr std::size_t kMaxConcurrency = 1024;

  // A pool of `concurrency` threads (clamped to 1 .. kMaxConcurrency) that
  // starts its workers with `start_thread`; none is started yet.
  explicit Pool(std::size_t concurrency, StartThread start_thread = start_worker_thread);
  // Stops the workers and waits until they have left. No call of the pool
  // may be running, and no HelperJobs of it may be alive.
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // The pool every parallel part of the process shares. Its concurrency is
  // read from the environment when this is first called (thread_count_from
  // with machine_thread_count()); it is never destroyed.
  static Pool& process();

  std::size_t concurrency() const { return concurrency_; }

  // Runs task(i) once for every i below `count`, on the calling thread and
  // the workers, in no particular order, and returns when all have ended.
  // If a task throws, no task starts after that, and the first exception
  // thrown is rethrown here once every task that did start has ended.
  // Nothing is allocated per index.
  template <typename Task>
  void parallel_for(std::size_t count, Task&& task);

  // The same, where each thread that takes part first builds a `Local`
  // (default-constructed) of its own and runs task(local, i) with it, so
  // tasks can share scratch space without sharing it between threads. Each
  // Local is destroyed when its thread has no more to do in this loop.
  template <typename Local, typename Task>
  void parallel_for_with(std::size_t count, Task&& task);

 private:
  friend class HelperJobs;

  // Lets `more` more workers join `offer`, starting workers for it when
  // called from outside the pool. Ignored while the offer is withdrawn.
  void publish(pool_detail::Offer& offer, std::size_t more) noexcept;
  // Lets no more workers join `offer` and waits until those that did have
  // left it; publishing adds nothing until it is reopened.
  void withdraw(pool_detail::Offer& offer) noexcept;
  void reopen(pool_detail::Offer& offer) noexcept;
  void unqueue(pool_detail::Offer& offer) noexcept;  // with mutex_ held
  void start_workers(std::size_t count) noexcept;
  static void* work(void* pool);
  pool_detail::Offer* take_offer() noexcept;
  void leave(pool_detail::Offer& offer) noexcept;
  void forget_workers() noexcept;
  static void forget_process_workers() noexcept;

  const std::size_t concurrency_;
  const StartThread start_thread_;
  std::mutex mutex_;
  std::condition_variable work_;  // idle workers wait here
  std::condition_variable left_;  // withdrawing owners and the destructor wait here
  // Guarded by mutex_: the offers workers may join, oldest first.
  pool_detail::Offer* first_ = nullptr;
  pool_detail::Offer* last_ = nullptr;
  // Written with mutex_ held, read by workers about to sleep.
  std::atomic<std::size_t> queued_{0};
  // Owners asleep until their offer's workers have left; changed with
  // mutex_ held, read by leaving workers.
  std::atomic<std::size_t> sleeping_owners_{0};
  std::size_t workers_ = 0;  // started or being started, not yet left
  std::size_t idle_ = 0;
  bool refused_ = false;  // the system refused a thread: start no more
  bool stopping_ = false;
};

// --- Helper jobs -----------------------------------------------------------

// A job that idle workers of a pool may run beside its owner, for work the
// owner can also do itself and only gains by having done ahead (listing
// directories before the walk reaches them). A run that has not started is
// never waited for: when every worker is busy it may never start at all.
//
//   HelperJobs helpers(Pool::process(), [this] { list_ahead(); });
//   helpers.offer(Pool::process().concurrency() - 1);
//   ...
//   helpers.wait();  // drops the runs not started, waits for the others
//
// offer() may be called from any thread, runs included; stop(), wait() and
// the destructor by the owner only, while no thread but a run calls offer().
class HelperJobs final : private pool_detail::Offer {
 public:
  // `job` is run once per run offered and started, on a worker, possibly on
  // several at once.
  HelperJobs(Pool& pool, std::function<void()> job) : pool_(pool), job_(std::move(job)) {}
  ~HelperJobs() override { stop(); }
  HelperJobs(const HelperJobs&) = delete;
  HelperJobs& operator=(const HelperJobs&) = delete;

  // Lets `count` more runs of the job start as workers become idle. When
  // called from outside the pool this may start workers for them; with a
  // pool of concurrency 1 nothing will ever run them.
  void offer(std::size_t count) noexcept { pool_.publish(*this, count); }

  // Drops the runs not yet started and waits for the started ones to end;
  // runs they offer meanwhile are dropped too. Runs may be offered again
  // afterwards.
  void stop() noexcept {
    pool_.withdraw(*this);
    pool_.reopen(*this);
  }

  // stop(), then rethrows the first exception a run threw since the last
  // wait().
  void wait() {
    stop();
    failure_.rethrow_and_clear();
  }

 private:
  void join() noexcept override {
    try {
      job_();
    } catch (...) {
      failure_.record();
    }
  }

  Pool& pool_;
  const std::function<void()> job_;
  pool_detail::FirstFailure failure_;
};

// --- Internals -------------------------------------------------------------

namespace pool_detail {

// The indices of a loop, handed out in chunks from one cursor: each chunk is
// a share of what is left, so early chunks are large (few steps for many
// small tasks) and the last are single indices (a few heavy tasks still
// spread over every thread, and no thread is left with a long tail). A
// quarter of a thread's even share at most: a chunk that happens to hold
// several of the heaviest tasks still leaves the others enough to balance.
class Chunks {
 public:
  Chunks(std::size_t count, std::size_t threads) : count_(count), shares_(4 * threads) {}

  // The next chunk [begin, end), or false when none is left.
  bool next(std::size_t& begin, std::size_t& end) noexcept {
    std::size_t at = cursor_.load(std::memory_order_relaxed);
    while (at < count_) {
      const std::size_t size = std::max<std::size_t>(1, (count_ - at) / shares_);
      if (cursor_.compare_exchange_weak(at, at + size, std::memory_order_relaxed)) {
        begin = at;
        end = at + size;
        return true;
      }
    }
    return false;
  }

 private:
  std::atomic<std::size_t> cursor_{0};
  const std::size_t count_;
  const std::size_t shares_;
};

struct NoLocal {};

template <typename Task, typename Local>
void run_task(Task& task, Local& local, std::size_t i) {
  if constexpr (std::is_same_v<Local, NoLocal>) {
    task(i);
  } else {
    task(local, i);
  }
}

template <typename Local, typename Task>
class Loop final : public Offer {
 public:
  Loop(std::size_t count, std::size_t threads, Task& task) : chunks_(count, threads), task_(task) {}

  void join() noexcept override {
    try {
      Local local{};
      std::size_t begin, end;
      while (!failure.failed() && chunks_.next(begin, end)) {
        for (std::size_t i = begin; i != end && !failure.failed(); ++i) run_task(task_, local, i);
      }
    } catch (...) {
      failure.record();
    }
  }

  FirstFailure failure;

 private:
  Chunks chunks_;
  Task& task_;
};

}  // namespace pool_detail

template <typename Task>
void Pool::parallel_for(std::size_t count, Task&& task) {
  parallel_for_with<pool_detail::NoLocal>(count, std::forward<Task>(task));
}

template <typename Local, typename Task>
void Pool::parallel_for_with(std::size_t count, Task&& task) {
  using Body = std::remove_reference_t<Task>;
  const std::size_t threads = std::min(concurrency_, count);
  if (threads <= 1) {
    if (count == 0) return;
    Local local{};
    for (std::size_t i = 0; i < count; ++i) pool_detail::run_task(task, local, i);
    return;
  }
  pool_detail::Loop<Local, Body> loop(count, threads, task);
  publish(loop, threads - 1);
  loop.join();
  withdraw(loop);
  loop.failure.rethrow_and_clear();
}

}  // namespace vorn_base
