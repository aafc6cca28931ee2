#include "walk/glob_layout.h"

#include <string>

#include <gtest/gtest.h>

namespace vorn_walk::glob {
namespace {

Layout layout_of(std::string_view pattern, bool star_first = false) {
  auto lexed = lex(pattern, UnclosedClass::error);
  EXPECT_TRUE(lexed.has_value()) << pattern;
  return Layout(lower(std::move(lexed->items)), lexed->classes, star_first);
}

std::string required_of(const Layout& layout) {
  const Required& required = layout.required();
  return std::string(required.bytes.begin(), required.bytes.begin() + required.count);
}

// Positions, the shortest match, the fixed end and the required bytes, each
// as the layout's header states them.
TEST(GlobLayout, CountsWhatEveryMatchMustHave) {
  const Layout literal = layout_of("abc");
  EXPECT_EQ(literal.positions(), 4u);  // three and the final one
  EXPECT_EQ(literal.shortest(), 3u);
  EXPECT_EQ(literal.tail(), 3u);
  EXPECT_EQ(required_of(literal), "abc");

  // The `*` loops at the "." that follows it, which may begin the fixed end.
  const Layout extension = layout_of("*.log");
  EXPECT_EQ(extension.positions(), 5u);
  EXPECT_EQ(extension.shortest(), 4u);
  EXPECT_EQ(extension.tail(), 4u);
  EXPECT_EQ(required_of(extension), ".log");

  // An entry, "a", the end of the first alternative, "b", "c", "d", final;
  // the first alternative's end jumps to "d", past the start of "bc".
  const Layout grouped = layout_of("{a,bc}d");
  EXPECT_EQ(grouped.positions(), 7u);
  EXPECT_EQ(grouped.shortest(), 2u);
  EXPECT_EQ(grouped.tail(), 1u);
  EXPECT_EQ(required_of(grouped), "d");

  // The entry of `**/` jumps past its loop to the "x".
  const Layout dirs = layout_of("**/x");
  EXPECT_EQ(dirs.positions(), 4u);
  EXPECT_EQ(dirs.shortest(), 1u);
  EXPECT_EQ(dirs.tail(), 1u);

  // Four bytes at most, the rarer in paths first.
  EXPECT_EQ(required_of(layout_of("a/b.cdXY")), "XYbd");
}

TEST(GlobLayout, LaysAStarInPlaceOfALeadingDoubleStar) {
  const Layout star = layout_of("**x", true);
  EXPECT_EQ(star.positions(), 2u);
  EXPECT_EQ(star.words()[0].loop_not_slash, 1u);
  EXPECT_EQ(star.words()[0].loop_any, 0u);
  EXPECT_EQ(layout_of(std::string(100, 'a')).word_count(), 2u);
}

}  // namespace
}  // namespace vorn_walk::glob
