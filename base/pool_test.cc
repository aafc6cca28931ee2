#include "base/pool.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace vorn_base {
namespace {

using namespace std::chrono_literals;

TEST(PoolEnvironment, ReadsOnlyAWholeDecimalNumber) {
  const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
      {"3", 3}, {"+3", 3}, {"0", 0}, {"007", 7},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt},
      {"++3", std::nullopt}, {" 3", std::nullopt}, {"3 ", std::nullopt}, {"-1", std::nullopt},
      {"-0", std::nullopt}, {"3x", std::nullopt}, {"abc", std::nullopt}, {"0x10", std::nullopt}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(parse_thread_count(text), expected) << text;
}

TEST(PoolEnvironment, TheFirstVariableWinsUnlessItIsUnreadable) {
  constexpr std::uint64_t kMachine = 6;
  EXPECT_EQ(thread_count_from(nullptr, nullptr, kMachine), kMachine);
  EXPECT_EQ(thread_count_from("3", "5", kMachine), 3u);
  EXPECT_EQ(thread_count_from("0", "5", kMachine), kMachine);  // 0 means the machine
  EXPECT_EQ(thread_count_from(" 3", "5", kMachine), 5u);      // unreadable: the next one
  EXPECT_EQ(thread_count_from(nullptr, "+5", kMachine), 5u);
  EXPECT_EQ(thread_count_from("", "0", kMachine), kMachine);
  EXPECT_EQ(thread_count_from("-2", "x", kMachine), kMachine);
  EXPECT_EQ(thread_count_from("18446744073709551615", nullptr, kMachine), UINT64_MAX);
}

std::size_t threads_of_this_process() {
  const std::filesystem::directory_iterator tasks("/proc/self/task");
  return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// Runs `body` in a new process of this program started afresh, so that the
// process-wide pool reads the environment `body` sets.
template <typename Body>
void in_fresh_process(Body body, const char* expected_stderr) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(body(), testing::ExitedWithCode(0), expected_stderr);
}

// The most threads this process had while `pool` ran a loop of short
// tasks, and then helper jobs, each more than its workers could take at once.
std::size_t most_threads_at_work(Pool& pool) {
  const std::size_t plenty = 2 * pool.concurrency();
  std::atomic<std::size_t> most{0};
  const auto sample = [&] {
    std::size_t now = threads_of_this_process(), seen = most.load();
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(2ms);
  };
  pool.parallel_for(plenty, [&](std::size_t) { sample(); });
  HelperJobs helpers(pool, sample);
  helpers.offer(plenty);
  std::this_thread::sleep_for(10ms);
  helpers.wait();
  return most;
}

// Prints how many threads the process-wide pool let work at most, then exits
// (with the workers still running).
[[noreturn]] void report_threads(const char* num_threads, const char* num_cpus) {
  for (const auto& [name, value] :
       {std::pair{"RAYON_NUM_THREADS", num_threads}, std::pair{"RAYON_RS_NUM_CPUS", num_cpus}}) {
    value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  Pool& pool = Pool::process();
  const std::size_t most = most_threads_at_work(pool);
  std::fprintf(stderr, "concurrency %zu, at most %zu threads\n", pool.concurrency(), most);
  std::exit(0);
}

TEST(PoolEnvironment, SetsHowManyThreadsWorkCallerIncluded) {
  in_fresh_process([] { report_threads("3", "5"); }, "^concurrency 3, at most 3 threads\n$");
  in_fresh_process([] { report_threads("1", nullptr); }, "^concurrency 1, at most 1 threads\n$");
  in_fresh_process([] { report_threads("x", "4"); }, "^concurrency 4, at most 4 threads\n$");
  cpu_set_t cpus;
  ASSERT_EQ(::sched_getaffinity(0, sizeof cpus, &cpus), 0);
  if (CPU_COUNT(&cpus) < 2) GTEST_SKIP() << "one CPU: the machine's count cannot be told apart";
  const auto on_two_cpus = [cpus]() mutable {
    for (int cpu = 0, kept = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &cpus) && ++kept > 2) CPU_CLR(cpu, &cpus);
    }
    ::sched_setaffinity(0, sizeof cpus, &cpus);
    report_threads("0", "5");
  };
  in_fresh_process(on_two_cpus, "^concurrency 2, at most 2 threads\n$");
}

// In a fresh process, limits the address space to what is mapped now and
// `more_mib` MiB more, then reports the threads that worked at most.
[[noreturn]] void report_threads_with_room(long more_mib, const char* num_threads) {
  long pages = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) std::exit(2);
  std::fclose(statm);
  const rlim_t bytes = static_cast<rlim_t>(pages * ::sysconf(_SC_PAGESIZE) + (more_mib << 20));
  const rlimit limit{bytes, bytes};
  if (::setrlimit(RLIMIT_AS, &limit) != 0) std::exit(2);
  report_threads(num_threads, nullptr);
}

TEST(PoolEnvironment, AnAddressSpaceLimitKeepsHalfOfWhatIsLeftForTheWork) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer needs more address space than the limits leave";
#endif
  // No room for a worker's stack.
  in_fresh_process([] { report_threads_with_room(2, "4"); },
                   "^concurrency 4, at most 1 threads\n$");
  // Room for several stacks, but a worker with its heap (8 + 64 MiB) would
  // take more than half of it.
  in_fresh_process([] { report_threads_with_room(140, "4"); },
                   "^concurrency 4, at most 1 threads\n$");
  // Room for two such workers, and as much again.
  in_fresh_process([] { report_threads_with_room(300, "8"); },
                   "^concurrency 8, at most 3 threads\n$");
}

TEST(Pool, RunsEveryIndexOnceWhileSeveralThreadsCallIn) {
  Pool pool(4);
  constexpr std::size_t kCallers = 4, kCount = 20000, kOuter = 50, kInner = 200;
  std::vector<std::vector<std::atomic<int>>> runs(kCallers);
  for (auto& caller : runs) caller = std::vector<std::atomic<int>>(kCount);
  std::vector<std::atomic<int>> nested(kOuter * kInner);
  std::vector<std::jthread> callers;
  for (std::size_t c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      pool.parallel_for(kCount, [&](std::size_t i) { ++runs[c][i]; });
      if (c == 0) {
        pool.parallel_for(kOuter, [&](std::size_t outer) {
          pool.parallel_for(kInner, [&](std::size_t inner) { ++nested[outer * kInner + inner]; });
        });
      }
    });
  }
  callers.clear();
  for (const auto& caller : runs) {
    for (const std::atomic<int>& count : caller) ASSERT_EQ(count.load(), 1);
  }
  for (const std::atomic<int>& count : nested) ASSERT_EQ(count.load(), 1);
}

TEST(Pool, GivesEachThreadItsOwnLocal) {
  Pool pool(3);
  struct Local {
    std::thread::id owner = std::this_thread::get_id();
  };
  std::vector<std::atomic<int>> runs(1000);
  std::atomic<bool> shared{false};
  pool.parallel_for_with<Local>(runs.size(), [&](Local& local, std::size_t i) {
    if (local.owner != std::this_thread::get_id()) shared = true;
    ++runs[i];
    std::this_thread::sleep_for(10us);
  });
  EXPECT_FALSE(shared);
  for (const std::atomic<int>& count : runs) ASSERT_EQ(count.load(), 1);
}

TEST(Pool, FinishesACallWhileEveryWorkerIsBusyWithAnother) {
  Pool pool(2);
  std::atomic<int> started{0};
  std::atomic<bool> release{false};
  std::jthread busy([&] {
    pool.parallel_for(2, [&](std::size_t) {
      ++started;
      while (!release) std::this_thread::sleep_for(1ms);
    });
  });
  while (started < 2) std::this_thread::sleep_for(1ms);  // the one worker is taken
  std::atomic<std::size_t> sum{0};
  pool.parallel_for(1000, [&](std::size_t i) { sum += i; });
  EXPECT_EQ(sum, 999u * 1000 / 2);
  release = true;
}

TEST(Pool, RethrowsTheFailureAndStartsNoTaskAfterIt) {
  Pool pool(4);
  constexpr std::size_t kCount = 10000;
  std::atomic<std::size_t> started{0}, ended{0};
  std::atomic<bool> thrown{false};
  try {
    pool.parallel_for(kCount, [&](std::size_t i) {
      ++started;
      if (i == 0) {
        thrown = true;
        throw std::runtime_error("task 0 failed");
      }
      // Every other task outlasts the failure, and takes long enough that
      // running the remaining ones would take seconds.
      while (!thrown) std::this_thread::yield();
      std::this_thread::sleep_for(1ms);
      ++ended;
    });
    ADD_FAILURE() << "nothing thrown";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "task 0 failed");
  }
  EXPECT_EQ(ended.load(), started.load() - 1);  // all that started had ended
  EXPECT_LT(started.load(), kCount / 10);

  // A pool of one runs the loop on the caller, with the same contract.
  Pool alone(1);
  std::vector<std::size_t> ran;
  EXPECT_THROW(alone.parallel_for(5,
                                  [&](std::size_t i) {
                                    ran.push_back(i);
                                    if (i == 2) throw std::logic_error("stop");
                                  }),
               std::logic_error);
  EXPECT_EQ(ran, (std::vector<std::size_t>{0, 1, 2}));
}

// A stand-in for start_worker_thread that starts only `allowed` threads and
// notes which threads asked.
struct {
  std::mutex mutex;
  int allowed = 0;
  std::vector<std::thread::id> askers;
} starts;

int start_some(void* (*entry)(void*), void* argument) {
  std::lock_guard lock(starts.mutex);
  starts.askers.push_back(std::this_thread::get_id());
  return starts.allowed-- > 0 ? start_worker_thread(entry, argument) : EAGAIN;
}

TEST(Pool, GoesOnWithTheWorkersItGotWhenThreadsAreRefused) {
  for (const int granted : {0, 1}) {
    starts.allowed = granted;
    starts.askers.clear();
    Pool pool(4, start_some);
    for (int round = 0; round < 2; ++round) {
      std::mutex mutex;
      std::set<std::thread::id> threads;
      std::vector<std::atomic<int>> runs(12);
      pool.parallel_for(runs.size(), [&](std::size_t i) {
        ++runs[i];
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
      });
      for (const std::atomic<int>& count : runs) EXPECT_EQ(count.load(), 1);
      EXPECT_LE(threads.size(), static_cast<std::size_t>(1 + granted));
    }
    EXPECT_EQ(starts.askers.size(), static_cast<std::size_t>(granted + 1))
        << "a refused pool asks no more";
  }
}

TEST(Pool, OnlyThreadsFromOutsideStartWorkers) {
  starts.allowed = 100;
  starts.askers.clear();
  Pool pool(4, start_some);
  std::atomic<int> arrived{0};
  pool.parallel_for(2, [&](std::size_t) {
    // Both outer tasks run at once, one on the worker, each with a loop that
    // could use more workers than there are.
    ++arrived;
    while (arrived < 2) std::this_thread::yield();
    pool.parallel_for(8, [](std::size_t) { std::this_thread::sleep_for(1ms); });
  });
  EXPECT_EQ(starts.askers.size(), 3u);
  for (const std::thread::id asker : starts.askers) EXPECT_EQ(asker, std::this_thread::get_id());
}

TEST(HelperJobs, DropsRunsNotStartedAndWaitsForThoseRunning) {
  Pool pool(2);  // one worker
  std::atomic<bool> started{false}, release{false}, finished{false};
  HelperJobs blocking(pool, [&] {
    started = true;
    while (!release) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    finished = true;
  });
  std::atomic<int> ran{0};
  HelperJobs queued(pool, [&] { ++ran; });
  blocking.offer(1);
  while (!started) std::this_thread::sleep_for(1ms);
  queued.offer(3);
  queued.wait();  // the worker is taken: would never return if it waited for them
  EXPECT_EQ(ran.load(), 0);
  release = true;
  blocking.wait();
  EXPECT_TRUE(finished);

  Pool alone(1);
  HelperJobs never(alone, [&] { ++ran; });
  never.offer(3);
  never.wait();
  EXPECT_EQ(ran.load(), 0);
}

TEST(HelperJobs, RethrowsWhatARunThrewToTheOwner) {
  Pool pool(2);
  std::atomic<bool> started{false};
  HelperJobs helpers(pool, [&] {
    started = true;
    throw std::runtime_error("cannot list a/b");
  });
  helpers.offer(1);
  while (!started) std::this_thread::sleep_for(1ms);
  try {
    helpers.wait();
    ADD_FAILURE() << "nothing thrown";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "cannot list a/b");
  }
  EXPECT_NO_THROW(helpers.wait());  // reported once
}

TEST(PoolFork, TheChildStartsOverWithoutTheParentsWorkers) {
  Pool& pool = Pool::process();
  std::atomic<std::size_t> started{0};
  std::atomic<bool> release{false};
  // The parent's workers are busy, holding the pool's state, at the fork.
  std::jthread busy([&] {
    pool.parallel_for(pool.concurrency(), [&](std::size_t) {
      ++started;
      while (!release) std::this_thread::sleep_for(1ms);
    });
  });
  while (started < pool.concurrency()) std::this_thread::sleep_for(1ms);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(60);  // a hang fails the test instead of stalling it
    std::atomic<std::size_t> sum{0};
    pool.parallel_for(1000, [&](std::size_t i) { sum += i; });
    if (sum != 999u * 1000 / 2) ::_exit(1);
    ::_exit(most_threads_at_work(pool) == pool.concurrency() ? 0 : 2);
  }
  release = true;
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
}  // namespace vorn_base
