#include "core/log.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vorn_core {
namespace {

TEST(WarningSink, ReceivesInOrderWhileInstalledAndRestoresThePrevious) {
  warn("t", "no sink: dropped");
  std::vector<std::string> outer, inner;
  {
    ScopedWarningSink outer_sink([&](const WarningEvent& event) {
      outer.push_back(std::string(event.target) + "|" + std::string(event.message));
    });
    warn("a", "one");
    {
      ScopedWarningSink inner_sink(
          [&](const WarningEvent& event) { inner.push_back(std::string(event.message)); });
      warn("a", "two");
      warn("b", "three");
    }
    warn("c", "four");
  }
  warn("d", "after");
  EXPECT_EQ(outer, (std::vector<std::string>{"a|one", "c|four"}));
  EXPECT_EQ(inner, (std::vector<std::string>{"two", "three"}));
  EXPECT_EQ(set_warning_sink(nullptr), nullptr);
}

}  // namespace
}  // namespace vorn_core
