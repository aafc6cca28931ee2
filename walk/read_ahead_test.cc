#include "walk/read_ahead.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/pool.h"

namespace vorn_walk {
namespace {

using namespace std::chrono_literals;

// A node of a complete tree: node n has the children n * fanout + 1 up to
// n * fanout + fanout, down to a given depth.
struct FakeNode : ReadAheadNode<FakeNode> {
  FakeNode(std::uint64_t id, int depth) : id(id), depth(depth) {}
  const std::uint64_t id;
  const int depth;
};

class FakeFiller {
 public:
  using Node = FakeNode;
  struct Scratch {};

  static constexpr std::size_t kFootprint = 64;

  FakeFiller(int fanout, int depth) : fanout_(fanout), depth_(depth) {}

  void fill(FakeNode& node, Scratch&) const {
    fills.fetch_add(1);
    const std::size_t now = held.fetch_add(kFootprint) + kFootprint;
    std::size_t seen = most_held.load();
    while (now > seen && !most_held.compare_exchange_weak(seen, now)) {
    }
    // Work that takes a little time, so that the walk often finds a node
    // claimed by a worker.
    const auto until = std::chrono::steady_clock::now() + work;
    while (std::chrono::steady_clock::now() < until) {
    }
    if (node.id == throw_at) {
      if (std::this_thread::get_id() != taker) thrown_by_worker.store(true);
      throw std::runtime_error("node " + std::to_string(node.id));
    }
    if (node.depth == depth_) return;
    for (int i = 1; i <= fanout_; ++i) {
      node.children.push_back(std::make_shared<FakeNode>(node.id * fanout_ + i, node.depth + 1));
    }
  }

  std::size_t footprint(const FakeNode&) const { return kFootprint; }

  // The ids in depth-first order.
  std::vector<std::uint64_t> depth_first() const {
    std::vector<std::uint64_t> out;
    const std::function<void(std::uint64_t, int)> visit = [&](std::uint64_t id, int depth) {
      out.push_back(id);
      if (depth == depth_) return;
      for (int i = 1; i <= fanout_; ++i) visit(id * fanout_ + i, depth + 1);
    };
    visit(0, 0);
    return out;
  }

  std::uint64_t throw_at = UINT64_MAX;
  std::thread::id taker;
  std::chrono::microseconds work{0};
  mutable std::atomic<int> fills{0};
  mutable std::atomic<std::size_t> held{0};  // filled and not yet taken
  mutable std::atomic<std::size_t> most_held{0};
  mutable std::atomic<bool> thrown_by_worker{false};

 private:
  const int fanout_, depth_;
};

// Takes the nodes of the tree in depth-first order as the walk does, as
// long as `visit` says to go on; returns the ids taken.
std::vector<std::uint64_t> walk(ReadAhead<FakeFiller>& ahead, FakeFiller& filler,
                                const std::function<bool(const FakeNode&)>& visit) {
  filler.taker = std::this_thread::get_id();
  std::vector<std::uint64_t> taken;
  struct Frame {
    std::shared_ptr<FakeNode> node;
    std::size_t next = 0;
  };
  Position position;
  const auto take = [&](FakeNode& node) {
    ahead.take(node, position);
    filler.held.fetch_sub(FakeFiller::kFootprint);
    taken.push_back(node.id);
    return visit(node);
  };
  std::vector<Frame> frames{{std::make_shared<FakeNode>(0, 0)}};
  if (!take(*frames.back().node)) return taken;
  while (!frames.empty()) {
    Frame& top = frames.back();
    if (top.next == top.node->children.size()) {
      frames.pop_back();
      if (!frames.empty()) position.ascend();
      continue;
    }
    const std::size_t ordinal = top.next++;
    std::shared_ptr<FakeNode> child = std::move(top.node->children[ordinal]);
    position.descend(static_cast<std::uint32_t>(ordinal));
    if (!take(*child)) break;
    frames.push_back({std::move(child)});
  }
  return taken;
}

TEST(ReadAhead, ManyThreadsFillEachNodeOnceAndTheWalkTakesThemDepthFirst) {
  FakeFiller filler(4, 7);
  filler.work = 2us;
  vorn_base::Pool pool(16);
  ReadAhead<FakeFiller> ahead(filler, 4096, pool);
  const std::vector<std::uint64_t> taken =
      walk(ahead, filler, [](const FakeNode&) { return true; });
  EXPECT_EQ(taken, filler.depth_first());
  EXPECT_EQ(filler.fills.load(), static_cast<int>(taken.size()));
}

TEST(ReadAhead, StoppingEarlyLeavesTheRestUnfilled) {
  FakeFiller filler(4, 7);
  const std::size_t total = filler.depth_first().size();
  vorn_base::Pool pool(8);
  std::vector<std::uint64_t> taken;
  {
    ReadAhead<FakeFiller> ahead(filler, 4096, pool);
    int left = 10;
    taken = walk(ahead, filler, [&](const FakeNode&) { return --left > 0; });
  }
  const int filled = filler.fills.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(filler.fills.load(), filled);  // nothing runs on after the end
  const std::vector<std::uint64_t> order = filler.depth_first();
  EXPECT_EQ(taken, std::vector<std::uint64_t>(order.begin(), order.begin() + 10));
  EXPECT_LT(static_cast<std::size_t>(filled), total / 10);
}

class ReadAheadFailureTest : public ::testing::TestWithParam<int> {};

INSTANTIATE_TEST_SUITE_P(Threads, ReadAheadFailureTest, ::testing::Values(1, 4));

TEST_P(ReadAheadFailureTest, WhatFillingThrowsReachesTheThreadThatTakesTheNode) {
  FakeFiller filler(3, 4);
  filler.throw_at = 2;  // the root's second child
  std::string caught;
  vorn_base::Pool pool(GetParam());
  ReadAhead<FakeFiller> ahead(filler, 4096, pool);
  try {
    walk(ahead, filler, [&](const FakeNode& node) {
      // With workers, leave the failing node to them: they fill the root's
      // children while the walk waits at the root, so the walk, which fills
      // ahead itself while it waits for a node, cannot get there first.
      const bool workers = GetParam() > 1;
      for (int i = 0; node.id == 0 && workers && !filler.thrown_by_worker && i < 10000; ++i) {
        std::this_thread::sleep_for(1ms);
      }
      return true;
    });
  } catch (const std::runtime_error& error) {
    caught = error.what();
  }
  EXPECT_EQ(caught, "node 2");
  EXPECT_EQ(filler.thrown_by_worker.load(), GetParam() > 1);
}

TEST(ReadAhead, WhatLiesFilledAheadStaysWithinTheBudget) {
  constexpr std::size_t kBudget = 2048;
  constexpr int kThreads = 8;
  FakeFiller filler(3, 7);
  vorn_base::Pool pool(kThreads);
  ReadAhead<FakeFiller> ahead(filler, kBudget, pool);
  // A slow walk, so that the workers run as far ahead as they may.
  walk(ahead, filler, [](const FakeNode&) {
    std::this_thread::sleep_for(20us);
    return true;
  });
  // Each thread may have started one node just below the budget.
  EXPECT_LE(filler.most_held.load(), kBudget + kThreads * FakeFiller::kFootprint);
  // The workers did run ahead up to it.
  EXPECT_GE(filler.most_held.load(), kBudget / 2);
}

}  // namespace
}  // namespace vorn_walk
