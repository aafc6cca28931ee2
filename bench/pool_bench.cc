// What a parallel loop costs on the pool beside oneTBB's parallel_for with
// its default partitioner: a million tiny tasks (the overhead of handing out
// indices) and a thousand medium ones (the balance over the threads). Both
// run with as many threads as the pool's concurrency, which the environment
// sets (RAYON_NUM_THREADS; by default every CPU the process may use).
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include "base/pool.h"

namespace {

constexpr std::size_t kTiny = 1'000'000;
constexpr std::size_t kMedium = 1'000;

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  return x ^ (x >> 29);
}

// About 20 microseconds of arithmetic.
std::uint64_t medium_work(std::size_t i) {
  std::uint64_t x = i;
  for (int round = 0; round < 8000; ++round) x = mix(x + static_cast<std::uint64_t>(round));
  return x;
}

template <typename Work>
void with_pool(benchmark::State& state, std::size_t count, Work work) {
  std::vector<std::uint64_t> slots(count);
  vorn_base::Pool& pool = vorn_base::Pool::process();
  for (auto _ : state) {
    pool.parallel_for(count, [&](std::size_t i) { slots[i] = work(i); });
    benchmark::DoNotOptimize(slots.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}

template <typename Work>
void with_tbb(benchmark::State& state, std::size_t count, Work work) {
  std::vector<std::uint64_t> slots(count);
  static tbb::task_arena arena(static_cast<int>(vorn_base::Pool::process().concurrency()));
  for (auto _ : state) {
    arena.execute([&] {
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                        [&](const tbb::blocked_range<std::size_t>& range) {
                          for (std::size_t i = range.begin(); i != range.end(); ++i) {
                            slots[i] = work(i);
                          }
                        });
    });
    benchmark::DoNotOptimize(slots.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}

void BM_TinyPool(benchmark::State& state) { with_pool(state, kTiny, mix); }
void BM_TinyTbb(benchmark::State& state) { with_tbb(state, kTiny, mix); }
void BM_MediumPool(benchmark::State& state) { with_pool(state, kMedium, medium_work); }
void BM_MediumTbb(benchmark::State& state) { with_tbb(state, kMedium, medium_work); }

BENCHMARK(BM_TinyPool)->UseRealTime();
BENCHMARK(BM_TinyTbb)->UseRealTime();
BENCHMARK(BM_MediumPool)->UseRealTime();
BENCHMARK(BM_MediumTbb)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
