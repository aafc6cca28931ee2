#include "walk/glob_syntax.h"

#include <string>

#include <gtest/gtest.h>

namespace vorn_walk::glob {
namespace {

// The lowered items of `pattern`, a literal as itself and every other item
// in angle brackets or as a group mark.
std::string lowered(std::string_view pattern) {
  auto lexed = lex(pattern, UnclosedClass::literal);
  if (!lexed) return "error: " + lexed.error();
  std::string out;
  for (const Item& item : lower(std::move(lexed->items))) {
    switch (item.kind) {
      case Kind::literal: out += static_cast<char>(item.byte); break;
      case Kind::any: out += "<?>"; break;
      case Kind::star: out += "<*>"; break;
      case Kind::any_text: out += "<**>"; break;
      case Kind::opt_dirs: out += "<**/>"; break;
      case Kind::cls: out += "<[" + std::to_string(item.cls) + "]>"; break;
      case Kind::open: out += '{'; break;
      case Kind::alt: out += '|'; break;
      case Kind::close: out += '}'; break;
      case Kind::double_star:
      case Kind::comma: out += "<unlowered>"; break;
    }
  }
  return out;
}

TEST(GlobLowering, JudgesEachDoubleStarByWhatStandsAroundIt) {
  EXPECT_EQ(lowered("**"), "<**>");
  EXPECT_EQ(lowered("**/a"), "<**/>a");
  EXPECT_EQ(lowered("a/**"), "a/<**>");
  EXPECT_EQ(lowered("a/**/b"), "a/<**/>b");
  EXPECT_EQ(lowered("a**b"), "a<*>b");
  EXPECT_EQ(lowered("**a"), "<*>a");
  EXPECT_EQ(lowered("a/**b"), "a/<*>b");
  EXPECT_EQ(lowered("/**/"), "/<**/>");
}

TEST(GlobLowering, MergesRunsOfWildcardsIntoOne) {
  EXPECT_EQ(lowered("***"), "<*>");
  EXPECT_EQ(lowered("**/**/a"), "<**/>a");
  EXPECT_EQ(lowered("**/*"), "<**>");
  EXPECT_EQ(lowered("**/*.rs"), "<**>.rs");
  EXPECT_EQ(lowered("*/**"), "<*>/<**>");
  EXPECT_EQ(lowered("a*/**/b"), "a<*>/<**/>b");
  EXPECT_EQ(lowered("a/*/**/b"), "a/<*>/<**/>b");
}

TEST(GlobLowering, GroupsLoseTheirEmptyAlternatives) {
  EXPECT_EQ(lowered("{a,,b}"), "{a|b}");
  EXPECT_EQ(lowered("{,}"), "{}");
  EXPECT_EQ(lowered("{,x}"), "{x}");
  EXPECT_EQ(lowered("{a,{}}"), "{a|{}}");
  EXPECT_EQ(lowered("a,b"), "a,b");
  EXPECT_EQ(lowered("{[,]}"), "{<[0]>}");
}

TEST(GlobLowering, AlternativesStartWhereTheirGroupStands) {
  EXPECT_EQ(lowered("{**/a,b}"), "{<**/>a|b}");
  EXPECT_EQ(lowered("x{**/a,b}"), "x{<*>/a|b}");
  EXPECT_EQ(lowered("src/{**/*.rs,*.md}"), "src/{<**>.rs|<*>.md}");
  // An alternative's end is the pattern's only when nothing follows its group.
  EXPECT_EQ(lowered("{a/**,b}"), "{a/<**>|b}");
  EXPECT_EQ(lowered("{a/**,b}c"), "{a/<*>|b}c");
  EXPECT_EQ(lowered("{a,{x/**}}"), "{a|{x/<**>}}");
}

TEST(GlobLexing, EscapesAndUnclosedClassesAreLiterals) {
  EXPECT_EQ(lowered("\\*\\?\\{\\\\"), "*?{\\");
  EXPECT_EQ(lowered("[abc"), "[abc");
  EXPECT_EQ(lowered("[a]["), "<[0]>[");
  auto lexed = lex("[a-c][!/]", UnclosedClass::error);
  ASSERT_TRUE(lexed.has_value());
  ASSERT_EQ(lexed->classes.size(), 2u);
  EXPECT_EQ(lexed->classes[0], ByteSet().set('a').set('b').set('c'));
  EXPECT_EQ(lexed->classes[1], ByteSet().set().reset('/'));
}

}  // namespace
}  // namespace vorn_walk::glob
