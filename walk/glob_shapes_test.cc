#include "walk/glob_shapes.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "walk/glob_reference.h"

namespace vorn_walk::glob {
namespace {

std::vector<Shape> shapes_of(std::string_view pattern) {
  auto lexed = lex(pattern, UnclosedClass::error);
  EXPECT_TRUE(lexed.has_value()) << pattern;
  return glob::shapes_of(lower(std::move(lexed->items)), lexed->classes);
}

// Each shape as "form head|tail", separated by blanks.
std::string described(std::string_view pattern) {
  static constexpr const char* kForms[] = {"exact", "within", "below", "top"};
  std::string out;
  for (const Shape& shape : shapes_of(pattern)) {
    if (!out.empty()) out += ' ';
    out += std::string(kForms[static_cast<int>(shape.form)]) + " " + std::string(shape.head()) +
           "|" + std::string(shape.tail());
  }
  return out;
}

TEST(GlobShapes, CommonLinesNeedNoAutomaton) {
  EXPECT_EQ(described("target"), "exact target|");
  EXPECT_EQ(described("**/build"), "below |build");
  EXPECT_EQ(described("**/*.rs"), "within |.rs");
  EXPECT_EQ(described("src/**"), "within src/|");
  EXPECT_EQ(described("docs/**/*.md"), "within docs/|.md");
  EXPECT_EQ(described("*.log"), "top |.log");
  // Groups and small classes are taken apart.
  EXPECT_EQ(described("{a,b}/x"), "exact a/x| exact b/x|");
  EXPECT_EQ(described("*.py[cod]"), "top |.pyc top |.pyd top |.pyo");
}

TEST(GlobShapes, OtherLinesHaveNone) {
  EXPECT_EQ(described("a?b"), "");
  EXPECT_EQ(described("**/a*b"), "");
  EXPECT_EQ(described("x*"), "");
  EXPECT_EQ(described("[a-z].c"), "");
  // Beyond sixteen expansions the automaton is cheaper.
  EXPECT_EQ(described("{a,b}{c,d}{e,f}{g,h}{i,j}"), "");
}

// The index finds exactly the shapes that match, one by one.
TEST(ShapeIndex, FindsWhatTryingEveryShapeFinds) {
  static const std::vector<std::string> kPieces = {
      "**/", "/**", "*", "a", "b", ".", "/", ".a", "a.b", "{a,b}", "[ab]", "{.a,/}"};
  std::mt19937 rng(3);
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  for (int round = 0; round < 300; ++round) {
    ShapeIndex index;
    std::vector<std::pair<std::uint32_t, Shape>> all;
    for (std::uint32_t member = 0; all.size() < 24; ++member) {
      std::string pattern;
      for (std::size_t k = pick(4) + 1; k > 0; --k) pattern += kPieces[pick(kPieces.size())];
      for (const Shape& shape : shapes_of(pattern)) {
        index.add(member, shape);
        all.emplace_back(member, shape);
      }
    }
    index.freeze();
    for (int k = 0; k < 40; ++k) {
      const std::string candidate = testing::random_text(rng, "ab./", 6);
      std::vector<std::uint32_t> expected, found;
      for (const auto& [member, shape] : all) {
        if (shape.matches(candidate)) expected.push_back(member);
      }
      index.matches(candidate, found);
      std::ranges::sort(found);
      EXPECT_EQ(found, expected) << "candidate '" << candidate << "'";
    }
  }
}

}  // namespace
}  // namespace vorn_walk::glob
