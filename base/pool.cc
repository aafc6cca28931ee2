#include "base/pool.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <expected>
#include <memory>
#include <thread>

#include "base/file.h"

namespace vorn_base {
namespace {

constexpr std::size_t kWorkerStackBytes = std::size_t{8} << 20;

// The address space a worker takes once it has allocated: its stack, and the
// heap that the C library reserves for each new thread's allocations (64 MiB
// with glibc on 64-bit machines), reserved whole however little is used.
constexpr std::size_t kWorkerAddressSpace = kWorkerStackBytes + (std::size_t{64} << 20);

// How long a thread that waits for the pool keeps checking before it sleeps:
// loops come in quick succession, and most of the owner's waits for its last
// helpers are short, while a sleeping thread can take long to wake, on a busy
// machine longer than a whole loop. After a few rounds the waiting thread
// yields between checks, so that it takes a CPU from no thread with work.
constexpr std::chrono::microseconds kSpin{200};
constexpr unsigned kPauses = 64;

template <typename Done>
bool spin_until(Done done) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned round = 1;; ++round) {
    if (done()) return true;
    if (round < kPauses) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#elif defined(__aarch64__)
      asm volatile("yield");
#endif
    } else {
      std::this_thread::yield();
      if (std::chrono::steady_clock::now() > until) return false;
    }
  }
}

// Whether this thread is a worker of some pool: workers never start workers,
// so a pool grows only from the threads that call in from outside. Kept in
// the static thread storage even in a library loaded at run time: there the
// default is a block allocated on a thread's first use, and the C library
// ends the process when it cannot allocate it.
[[gnu::tls_model("initial-exec")]] thread_local bool on_worker = false;

std::atomic<Pool*> process_pool{nullptr};

std::uint64_t thread_count_from_environment() {
  return thread_count_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                           machine_thread_count());
}

// The bytes of address space this process has mapped, or nothing when
// /proc does not tell.
std::optional<std::uint64_t> mapped_bytes() {
  const FileDescriptor statm(::open("/proc/self/statm", O_RDONLY | O_CLOEXEC));
  if (!statm) return std::nullopt;
  char text[128];
  const std::expected<std::size_t, int> got = read_fully(statm.get(), text);
  if (!got) return std::nullopt;
  std::uint64_t pages;
  if (std::from_chars(text, text + *got, pages).ec != std::errc()) return std::nullopt;
  return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

// How many more workers a limit on the address space (ulimit -v) leaves room
// for. Reserved memory counts against such a limit as much as memory in use,
// so workers started while there is room for them could leave none for the
// work itself: they may take at most half of what is left.
std::size_t workers_the_address_space_allows() {
  rlimit limit;
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  const std::optional<std::uint64_t> mapped = mapped_bytes();
  if (!mapped || *mapped >= limit.rlim_cur) return 0;
  return static_cast<std::size_t>((limit.rlim_cur - *mapped) / (2 * kWorkerAddressSpace));
}

}  // namespace

std::optional<std::uint64_t> parse_thread_count(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  // from_chars takes neither a sign nor spaces here, but would stop early at
  // anything else: the whole text must be digits.
  std::uint64_t value;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::uint64_t thread_count_from(const char* num_threads, const char* num_cpus,
                                std::uint64_t machine) {
  const auto read = [](const char* value) {
    return value == nullptr ? std::nullopt : parse_thread_count(value);
  };
  if (const std::optional<std::uint64_t> threads = read(num_threads)) {
    return *threads > 0 ? *threads : machine;
  }
  const std::optional<std::uint64_t> cpus = read(num_cpus);
  return cpus && *cpus > 0 ? *cpus : machine;
}

std::size_t machine_thread_count() {
  cpu_set_t cpus;
  if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0) {
    return static_cast<std::size_t>(std::max(1, CPU_COUNT(&cpus)));
  }
  // More CPUs than the set can hold: then the pool's ceiling applies anyway.
  return static_cast<std::size_t>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
}

int start_worker_thread(void* (*entry)(void*), void* argument) {
  pthread_attr_t attributes;
  if (const int error = ::pthread_attr_init(&attributes); error != 0) return error;
  int error = ::pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
  if (error == 0) error = ::pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  if (error == 0) error = ::pthread_create(&thread, &attributes, entry, argument);
  ::pthread_attr_destroy(&attributes);
  return error;
}

Pool::Pool(std::size_t concurrency, StartThread start_thread)
    : concurrency_(std::clamp<std::size_t>(concurrency, 1, kMaxConcurrency)),
      start_thread_(start_thread) {}

Pool::~Pool() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  work_.notify_all();
  left_.wait(lock, [this] { return workers_ == 0; });
}

Pool& Pool::process() {
  static Pool* const pool = [] {
    auto* made = new Pool(thread_count_from_environment());
    process_pool.store(made, std::memory_order_release);
    ::pthread_atfork(nullptr, nullptr, forget_process_workers);
    return made;
  }();
  return *pool;
}

void Pool::publish(pool_detail::Offer& offer, std::size_t more) noexcept {
  if (more == 0) return;
  std::size_t wake;
  bool wake_all;
  std::size_t start = 0;
  {
    std::lock_guard lock(mutex_);
    if (offer.withdrawn) return;
    offer.wanted += more;
    if (!offer.queued) {
      offer.queued = true;
      queued_.fetch_add(1, std::memory_order_relaxed);
      offer.previous = last_;
      offer.next = nullptr;
      (last_ != nullptr ? last_->next : first_) = &offer;
      last_ = &offer;
    }
    wake = std::min(more, idle_);
    wake_all = wake > 0 && wake == idle_;
    const std::size_t wanted =
        std::min(offer.wanted + offer.running.load(std::memory_order_relaxed), concurrency_ - 1);
    if (!on_worker && !refused_ && workers_ < wanted) {
      start = wanted - workers_;
      workers_ += start;  // counted before they run, so no other caller starts them too
    }
  }
  // Woken outside the lock, so that they do not wake only to wait for it.
  if (wake_all) {
    work_.notify_all();
  } else {
    for (; wake > 0; --wake) work_.notify_one();
  }
  if (start > 0) start_workers(start);
}

// Starts `count` workers, already counted in workers_, until the system
// refuses one or the address space has no room for more.
void Pool::start_workers(std::size_t count) noexcept {
  const std::size_t room = workers_the_address_space_allows();
  for (std::size_t started = 0; started < count; ++started) {
    if (started == room || start_thread_(work, this) != 0) {
      std::lock_guard lock(mutex_);
      workers_ -= count - started;
      refused_ = true;
      return;
    }
  }
}

void Pool::withdraw(pool_detail::Offer& offer) noexcept {
  {
    std::lock_guard lock(mutex_);
    offer.withdrawn = true;
    offer.wanted = 0;
    if (offer.queued) unqueue(offer);
  }
  const auto left = [&offer] { return offer.running.load() == 0; };
  if (spin_until(left)) return;
  std::unique_lock lock(mutex_);
  sleeping_owners_.fetch_add(1);  // before `left` is checked again: see leave()
  left_.wait(lock, left);
  sleeping_owners_.fetch_sub(1);
}

void Pool::reopen(pool_detail::Offer& offer) noexcept {
  std::lock_guard lock(mutex_);
  offer.withdrawn = false;
}

void Pool::unqueue(pool_detail::Offer& offer) noexcept {
  offer.queued = false;
  queued_.fetch_sub(1, std::memory_order_relaxed);
  (offer.previous != nullptr ? offer.previous->next : first_) = offer.next;
  (offer.next != nullptr ? offer.next->previous : last_) = offer.previous;
}

void* Pool::work(void* pool) {
  on_worker = true;
  Pool& self = *static_cast<Pool*>(pool);
  while (pool_detail::Offer* const offer = self.take_offer()) {
    offer->join();
    self.leave(*offer);
  }
  return nullptr;
}

// Joins the oldest offer, waiting for one; or counts the worker out and
// returns null once the pool is stopping.
pool_detail::Offer* Pool::take_offer() noexcept {
  spin_until([this] { return queued_.load(std::memory_order_relaxed) > 0; });
  std::unique_lock lock(mutex_);
  while (first_ == nullptr) {
    if (stopping_) {
      // The destructor may free the pool as soon as the lock is released:
      // it is the last thing touched.
      if (--workers_ == 0) left_.notify_all();
      return nullptr;
    }
    ++idle_;
    work_.wait(lock);
    --idle_;
  }
  pool_detail::Offer* const offer = first_;
  offer->running.fetch_add(1);
  if (--offer->wanted == 0) unqueue(*offer);
  return offer;
}

// Leaves `offer` without the lock, so that workers finishing at once do not
// queue for it. The owner may free the offer as soon as `running` is 0, so
// nothing of it is touched after. Whichever of the two comes second sees the
// other: the owner counts itself asleep before it checks `running`, the last
// worker out checks for sleeping owners after it lowered `running`.
void Pool::leave(pool_detail::Offer& offer) noexcept {
  if (offer.running.fetch_sub(1) == 1 && sleeping_owners_.load() > 0) {
    std::lock_guard lock(mutex_);
    left_.notify_all();
  }
}

// Runs in the child of fork(), whose only thread is the one that forked: the
// workers and whatever they were doing stayed behind, and the lock or the
// condition variables may have been caught mid-use. Fresh ones and an empty
// pool let the child start over.
void Pool::forget_workers() noexcept {
  std::construct_at(&mutex_);
  std::construct_at(&work_);
  std::construct_at(&left_);
  first_ = last_ = nullptr;
  queued_.store(0, std::memory_order_relaxed);
  sleeping_owners_.store(0, std::memory_order_relaxed);
  workers_ = idle_ = 0;
  refused_ = false;
}

void Pool::forget_process_workers() noexcept {
  process_pool.load(std::memory_order_acquire)->forget_workers();
}

}  // namespace vorn_base
