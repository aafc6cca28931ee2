#include "core/log.h"

#include <atomic>

namespace vorn_core {
namespace {

// An atomic shared_ptr rather than a mutex: a send only loads it, and a sink
// being replaced stays alive for the sends that already hold it.
std::atomic<std::shared_ptr<const WarningSink>>& installed_sink() {
  static std::atomic<std::shared_ptr<const WarningSink>> sink;
  return sink;
}

}  // namespace

std::shared_ptr<const WarningSink> set_warning_sink(std::shared_ptr<const WarningSink> sink) {
  return installed_sink().exchange(std::move(sink));
}

void warn(std::string_view target, std::string_view message) {
  const std::shared_ptr<const WarningSink> sink = installed_sink().load();
  if (sink && *sink) (*sink)(WarningEvent{target, message});
}

}  // namespace vorn_core
