#include "walk/regular_file.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "walk/test_tree.h"

namespace vorn_walk {
namespace {

TEST(FirstLine, ReadsOnlyTheFirstLine) {
  TestTree tree;
  tree.write("a", "gitdir: x\r\nrest\n");
  tree.write("b", "no newline");
  tree.write("c");
  EXPECT_EQ(read_first_line(tree.path("a")), "gitdir: x");
  EXPECT_EQ(read_first_line(tree.path("b")), "no newline");
  EXPECT_EQ(read_first_line(tree.path("c")), "");
  EXPECT_EQ(read_first_line(tree.path("missing")), std::nullopt);
}

}  // namespace
}  // namespace vorn_walk
