// Warning events and the one sink a host may install to receive them.
//
// No sink is installed by default, so a warning goes nowhere. A host that
// wants them (a test, a command-line driver) installs one for a while:
//
//   ScopedWarningSink sink([&](const WarningEvent& event) { seen.push_back(...); });
//
// Installing, removing and sending are safe from any number of threads at
// once. A sink is called on the thread that sends, so it must be safe for
// concurrent use. A send that picked a sink up just before it was replaced
// still finishes with it, so whatever a sink refers to must outlive the sends
// that may be running when it is removed.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

namespace vorn_core {

// One warning: where it comes from and its single field, "message". The
// views live only for the duration of the sink call.
struct WarningEvent {
  std::string_view target;   // e.g. "vorn_core::engine"
  std::string_view message;
};

using WarningSink = std::function<void(const WarningEvent&)>;

// Installs `sink` (null removes it) and returns the one it replaced.
std::shared_ptr<const WarningSink> set_warning_sink(std::shared_ptr<const WarningSink> sink);

// Sends a warning to the installed sink, if any.
void warn(std::string_view target, std::string_view message);

// Installs a sink for its lifetime and puts the previous one back after.
class ScopedWarningSink {
 public:
  explicit ScopedWarningSink(WarningSink sink)
      : previous_(set_warning_sink(std::make_shared<const WarningSink>(std::move(sink)))) {}
  ~ScopedWarningSink() { set_warning_sink(std::move(previous_)); }
  ScopedWarningSink(const ScopedWarningSink&) = delete;
  ScopedWarningSink& operator=(const ScopedWarningSink&) = delete;

 private:
  std::shared_ptr<const WarningSink> previous_;
};

}  // namespace vorn_core
