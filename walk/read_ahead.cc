#include "walk/read_ahead.h"

#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

namespace vorn_walk {

struct ReadAheadWorkers::Group {
  tbb::task_group tasks;
};

ReadAheadWorkers::ReadAheadWorkers() : count_(tbb::this_task_arena::max_concurrency() - 1) {
  if (count_ > 0) group_ = std::make_unique<Group>();
}

ReadAheadWorkers::~ReadAheadWorkers() { stop(); }

void ReadAheadWorkers::run(std::function<void()> task) { group_->tasks.run(std::move(task)); }

void ReadAheadWorkers::stop() {
  if (!group_) return;
  group_->tasks.cancel();
  group_->tasks.wait();
}

}  // namespace vorn_walk
