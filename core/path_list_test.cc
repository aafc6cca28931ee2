#include "core/path_list.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/path.h"

namespace vorn_core {
namespace {

using Paths = std::vector<std::string>;

TEST(PathList, SortsPathsOfOneWalkByComponents) {
  // Every path of up to three levels over names that trip a byte order.
  const std::vector<std::string> names = {"a", "a-b", "a.b", "a0", "A", "\xC3\xA9", "z", "~"};
  Paths expected;
  for (const std::string& root : {std::string("./r//"), std::string("r")}) {
    PathList list;
    expected.clear();
    const auto add = [&](const std::string& path) {
      list.push_back(path);
      expected.push_back(path);
    };
    for (const std::string& one : names) {
      const std::string first = root + (root.ends_with('/') ? "" : "/") + one;
      add(first);
      for (const std::string& two : names) {
        add(first + "/" + two);
        for (const std::string& three : names) add(first + "/" + two + "/" + three);
      }
    }
    std::ranges::reverse(expected);
    list.sort();
    std::ranges::sort(expected, [](const std::string& left, const std::string& right) {
      return compare_components(left, right) < 0;
    });
    EXPECT_EQ(Paths(list.begin(), list.end()), expected) << root;
  }
}

TEST(PathList, KeepOnlyDropsTheUnflaggedPathsAndKeepsTheOrder) {
  PathList list;
  for (const char* path : {"r/a", "r/b", "r/c", "r/d", "r/e"}) list.push_back(path);
  const std::uint8_t keep[] = {0, 1, 1, 0, 1};
  list.keep_only(keep);
  EXPECT_EQ(Paths(list.begin(), list.end()), (Paths{"r/b", "r/c", "r/e"}));
  list.push_back("r/f");
  EXPECT_EQ(list[3], "r/f");
}

TEST(PathList, KeepsEveryPathAcrossBlocks) {
  PathList list;
  Paths expected;
  for (int i = 0; i < 10000; ++i) {
    // Lengths vary so that paths meet block ends at every offset.
    const std::string path = std::string(i % 13, 'x') + std::to_string(i);
    list.push_back(path);
    expected.push_back(path);
  }
  EXPECT_EQ(list.size(), 10000u);
  EXPECT_EQ(Paths(list.begin(), list.end()), expected);
  const std::string longest(65535, 'a');
  list.push_back(longest);
  EXPECT_EQ(list[list.size() - 1], longest);
  EXPECT_EQ(list[9999], expected[9999]);
  EXPECT_THROW(list.push_back(longest + "a"), std::length_error);
}

}  // namespace
}  // namespace vorn_core
