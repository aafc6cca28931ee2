#include "walk/read_ahead.h"

#include "base/pool.h"

namespace vorn_walk {

ReadAheadWorkers::ReadAheadWorkers(vorn_base::Pool& pool, std::function<void()> job)
    : count_(static_cast<int>(pool.concurrency() - 1)) {
  if (count_ > 0) jobs_ = std::make_unique<vorn_base::HelperJobs>(pool, std::move(job));
}

ReadAheadWorkers::~ReadAheadWorkers() { stop(); }

void ReadAheadWorkers::offer(int runs) { jobs_->offer(static_cast<std::size_t>(runs)); }

void ReadAheadWorkers::stop() {
  if (jobs_) jobs_->stop();
}

}  // namespace vorn_walk
