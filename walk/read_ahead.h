// Filling the nodes of a depth-first walk ahead of it, on the pool's workers.
//
// A walk's directories form a tree of nodes, and filling a node (listing the
// directory, loading its rules, judging its entries) needs nothing but the
// node's ancestors. So each node is filled once, by whichever thread claims
// it first: the walk itself, when it reaches a node that nobody has filled,
// or one of the workers, which fill the nodes that the walk will need next,
// the earliest in depth-first order first, while the bytes that lie filled
// and not yet taken stay below a budget. The walk takes the nodes in
// depth-first order, so what it sees never depends on who filled what.
//
// What fills a node is the `Filler` parameter:
//   struct Filler {
//     using Node = ...;     // derived from ReadAheadNode<Node>
//     using Scratch = ...;  // a thread's working space, default-constructible
//     // Fills `node`, its `children` included (in depth-first order). May
//     // throw; the exception reaches the thread that takes the node.
//     void fill(Node& node, Scratch& scratch) const;  // on any thread
//     std::size_t footprint(const Node& node) const;  // bytes it then holds
//   };
//
// The memory bound: a worker starts filling a node only while the footprints
// of the nodes filled ahead and not yet taken stay below the budget, so they
// never exceed the budget by more than one node's footprint per worker.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <string>
#include <utility>
#include <vector>

namespace vorn_base {
class HelperJobs;
class Pool;
}  // namespace vorn_base

namespace vorn_walk {

// The state that the scheduler keeps in each node.
template <typename Derived>
class ReadAheadNode {
 public:
  // The nodes below this one, in depth-first order; set by the filler.
  std::vector<std::shared_ptr<Derived>> children;

 private:
  template <typename>
  friend class ReadAhead;
  enum State : int { kPending, kClaimed, kReady };

  bool claim() {
    int expected = kPending;
    return state_.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire);
  }
  void publish() {
    state_.store(kReady, std::memory_order_release);
    state_.notify_all();
  }
  bool ready() const { return state_.load(std::memory_order_acquire) == kReady; }
  void wait() const {
    for (int now; (now = state_.load(std::memory_order_acquire)) != kReady;) state_.wait(now);
  }

  std::atomic<int> state_{kPending};
  std::exception_ptr failure_;  // thrown while filling; rethrown to the taker
  std::size_t footprint_ = 0;   // counted while it waits to be taken
};

// A node's place in depth-first order: the ordinals of the nodes from the
// root down to it (the root's place is empty), four big-endian bytes each,
// so that places compare as byte strings.
class Position {
 public:
  void descend(std::uint32_t ordinal) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      bytes_.push_back(static_cast<char>(ordinal >> shift));
    }
  }
  void ascend() { bytes_.resize(bytes_.size() - 4); }
  bool before_or_at(const Position& other) const { return bytes_ <= other.bytes_; }
  bool after(const Position& other) const { return bytes_ > other.bytes_; }

 private:
  std::string bytes_;
};

// A lock held for a few heap steps at a time, so that waiting threads spin
// rather than sleep.
class SpinLock {
 public:
  void lock() {
    for (int spins = 0; locked_.exchange(true, std::memory_order_acquire);) {
      while (locked_.load(std::memory_order_relaxed)) {
        if (++spins > 64) std::this_thread::yield();
      }
    }
  }
  void unlock() { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

// The threads of a pool that fill nodes ahead: the one place that knows the
// pool.
class ReadAheadWorkers {
 public:
  // Workers of `pool` that run `job` (which must not throw): as many as the
  // pool lets work besides the calling thread.
  ReadAheadWorkers(vorn_base::Pool& pool, std::function<void()> job);
  // Waits for the runs still going.
  ~ReadAheadWorkers();
  ReadAheadWorkers(const ReadAheadWorkers&) = delete;
  ReadAheadWorkers& operator=(const ReadAheadWorkers&) = delete;

  int count() const { return count_; }
  // Lets `runs` more runs of the job start as workers become idle; with
  // every worker busy elsewhere they may start late or never.
  void offer(int runs);
  // Drops the runs not started yet and waits for the others.
  void stop();

 private:
  std::unique_ptr<vorn_base::HelperJobs> jobs_;  // null without workers
  int count_;
};

template <typename Filler>
class ReadAhead {
 public:
  using Node = typename Filler::Node;
  using Scratch = typename Filler::Scratch;

  // `filler` and `pool` must outlive this. Nothing is filled before the
  // first take(). Nodes are filled ahead only when `pool` lets more than
  // one thread work.
  ReadAhead(const Filler& filler, std::size_t budget, vorn_base::Pool& pool)
      : filler_(filler), budget_(budget), workers_(pool, [this] { work(); }) {}
  ~ReadAhead() { stop(); }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Makes `node`, at `position`, filled: fills it on the calling thread
  // unless a worker has claimed it, in which case it fills the nodes that
  // come next while it waits. Then rethrows what filling it threw. Nodes are
  // taken by one thread, each once, in depth-first order, each after its
  // parent.
  void take(Node& node, const Position& position) {
    if (node.claim()) {
      fill(node, walk_scratch_);
      if (workers_.count() > 0) {
        forget_wanted_through(position);
        offer_children(node, position, walk_scratch_);
      }
      node.publish();
    } else {
      // Rather than idle while a worker fills it, fill what comes next.
      while (!node.ready() && fill_ahead(Role::walk, walk_scratch_)) {
      }
      node.wait();
      ahead_.fetch_sub(node.footprint_, std::memory_order_relaxed);
      wake_workers();
    }
    if (node.failure_) std::rethrow_exception(node.failure_);
  }

  // Stops the workers: waits for the few nodes they are still filling. No
  // node is filled ahead after it returns.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    workers_.stop();
  }

 private:
  // A node the workers may fill, at its place.
  struct Wanted {
    Position position;
    std::shared_ptr<Node> node;
  };
  // A thread's working space.
  struct ThreadScratch {
    Scratch fill;
    std::vector<Wanted> offers;  // a filled node's children
  };
  enum class Role { worker, walk };

  // Heap order that keeps the earliest place on top.
  static bool later(const Wanted& left, const Wanted& right) {
    return left.position.after(right.position);
  }

  void fill(Node& node, ThreadScratch& scratch) noexcept {
    try {
      filler_.fill(node, scratch.fill);
    } catch (...) {
      node.failure_ = std::current_exception();
    }
  }

  // Offers the children of the filled `node`, at `position`, to the workers.
  void offer_children(const Node& node, const Position& position, ThreadScratch& scratch) {
    if (node.children.empty()) return;
    std::vector<Wanted>& offers = scratch.offers;
    offers.clear();
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      offers.push_back(Wanted{position, node.children[i]});
      offers.back().position.descend(static_cast<std::uint32_t>(i));
    }
    int idle;
    {
      std::lock_guard lock(mutex_);
      for (Wanted& wanted : offers) {
        wanted_.push_back(std::move(wanted));
        std::ranges::push_heap(wanted_, later);
      }
      idle = enlist_workers();
    }
    run_workers(idle);
  }

  // The walk has reached `position` and filled that node itself: the nodes
  // wanted up to there are all taken, so no worker need meet them, and they
  // should not stay alive until one does.
  void forget_wanted_through(const Position& position) {
    std::lock_guard lock(mutex_);
    while (!wanted_.empty() && wanted_.front().position.before_or_at(position)) {
      std::ranges::pop_heap(wanted_, later);
      wanted_.pop_back();
    }
  }

  // Puts idle workers back to work after the walk took a node they filled.
  void wake_workers() {
    if (workers_.count() == 0 || working_.load(std::memory_order_relaxed) == workers_.count()) {
      return;
    }
    int idle;
    {
      std::lock_guard lock(mutex_);
      idle = enlist_workers();
    }
    run_workers(idle);
  }

  // With mutex_ held: counts in the idle workers that may start now, while
  // there is work to do and room to hold its results. Workers stop at the
  // budget but start again only below half of it, or each node the walk took
  // would start a worker for one more.
  int enlist_workers() {
    if (stopping_ || ahead_.load(std::memory_order_relaxed) >= budget_ / 2) return 0;
    const int wanted = static_cast<int>(std::min<std::size_t>(wanted_.size(), workers_.count()));
    const int idle = std::max(0, wanted - working_.load(std::memory_order_relaxed));
    working_.fetch_add(idle, std::memory_order_relaxed);
    return idle;
  }

  // Offering runs may wake a thread: it happens outside the lock.
  void run_workers(int count) {
    if (count > 0) workers_.offer(count);
  }

  // Fills the earliest wanted node unless none is left or enough lie ready:
  // then returns false, and a worker counts itself out.
  bool fill_ahead(Role role, ThreadScratch& scratch) {
    Wanted next;
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || wanted_.empty() || ahead_.load(std::memory_order_relaxed) >= budget_) {
        if (role == Role::worker) working_.fetch_sub(1, std::memory_order_relaxed);
        return false;
      }
      std::ranges::pop_heap(wanted_, later);
      next = std::move(wanted_.back());
      wanted_.pop_back();
    }
    Node& node = *next.node;
    if (!node.claim()) return true;  // the walk got there first
    fill(node, scratch);
    node.footprint_ = filler_.footprint(node);
    ahead_.fetch_add(node.footprint_, std::memory_order_relaxed);
    try {
      offer_children(node, next.position, scratch);
    } catch (...) {
      // Filling ahead only saves time: the walk fills what nobody did.
    }
    node.publish();
    return true;
  }

  void work() noexcept {
    try {
      ThreadScratch scratch;
      while (fill_ahead(Role::worker, scratch)) {
      }
    } catch (...) {
      // Without its working space a worker fills nothing; the walk fills
      // what the workers leave.
      std::lock_guard lock(mutex_);
      working_.fetch_sub(1, std::memory_order_relaxed);
    }
  }

  const Filler& filler_;
  const std::size_t budget_;
  ThreadScratch walk_scratch_;  // the taking thread's
  std::atomic<std::size_t> ahead_{0};  // bytes filled by workers and not yet taken
  SpinLock mutex_;
  std::vector<Wanted> wanted_;  // a heap by `later`; guarded by mutex_
  std::atomic<int> working_{0};  // changed with mutex_ held
  bool stopping_ = false;        // guarded by mutex_
  ReadAheadWorkers workers_;     // last: stopped before the rest goes
};

}  // namespace vorn_walk
