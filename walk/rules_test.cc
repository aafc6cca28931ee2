#include "walk/rules.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace vorn_walk {
namespace {

Matcher lines(std::initializer_list<std::string_view> text) {
  MatcherBuilder builder(UnclosedClass::literal);
  for (std::string_view line : text) EXPECT_TRUE(builder.add_line(line).has_value()) << line;
  return *std::move(builder).build();
}

// The rules of one directory: its path below the root (or, for an
// ancestor, its absolute path) says where its candidates begin.
struct Dir {
  std::string path;
  Matcher ignore{}, gitignore{}, exclude{};
  bool repository = false;
  bool ancestor = false;
};

// The chain of `dirs`, the top first, as the walk makes it.
std::shared_ptr<const RuleSet> chain_of(std::initializer_list<Dir*> dirs,
                                        std::shared_ptr<const RuleSet> above = nullptr) {
  for (Dir* dir : dirs) {
    RuleSet rules;
    rules.matchers = {std::move(dir->ignore), std::move(dir->gitignore), std::move(dir->exclude)};
    rules.repository = dir->repository;
    rules.ancestor = dir->ancestor;
    rules.prefix = dir->path.empty() ? 0 : dir->path == "/" ? 1 : dir->path.size() + 1;
    above = chain(std::move(rules), std::move(above));
  }
  return above;
}

class DecideTest : public ::testing::Test {
 protected:
  Match decide(const std::shared_ptr<const RuleSet>& nearest, std::string_view relative,
               bool is_dir = false) {
    return rules.decide(*nearest, relative, is_dir, scratch);
  }

  WalkRules rules;
  JudgeScratch scratch;
};

TEST_F(DecideTest, WithinAKindTheNearestDirectoryDecides) {
  Dir root{.path = "", .ignore = lines({"*.log", "/top.txt"})};
  Dir sub{.path = "sub", .ignore = lines({"!keep.log", "/top.txt"})};
  const auto nearest = chain_of({&root, &sub});
  EXPECT_EQ(decide(nearest, "sub/keep.log"), Match::whitelist);
  EXPECT_EQ(decide(nearest, "sub/x.log"), Match::ignore);
  EXPECT_EQ(decide(nearest, "sub/x.txt"), Match::none);
  // Anchored lines apply below their own directory.
  EXPECT_EQ(decide(nearest, "sub/top.txt"), Match::ignore);
  EXPECT_EQ(decide(nearest, "sub/a/top.txt"), Match::none);
}

TEST_F(DecideTest, KindsDecideInTheOrderOfTheirRank) {
  // Each kind has its own say on a.txt; the global file the last.
  rules.global.matcher = lines({"a.txt"});
  for (std::size_t silent = 0; silent <= kDirectoryKinds; ++silent) {
    Dir root{.path = "",
             .ignore = lines({silent > 0 ? "x" : "!a.txt"}),
             .gitignore = lines({silent > 1 ? "x" : "a.txt"}),
             .exclude = lines({silent > 2 ? "x" : "!a.txt"}),
             .repository = true};
    const Match expected[] = {Match::whitelist, Match::ignore, Match::whitelist, Match::ignore};
    EXPECT_EQ(decide(chain_of({&root}), "a.txt"), expected[silent]) << silent;
  }
  // The nearer directory does not beat a kind of lower rank further up.
  Dir top{.path = "", .ignore = lines({"a.txt"}), .repository = true};
  Dir sub{.path = "sub", .gitignore = lines({"!a.txt"})};
  EXPECT_EQ(decide(chain_of({&top, &sub}), "sub/a.txt"), Match::ignore);
}

TEST_F(DecideTest, GitKindsNeedARepositoryAndStopAtTheNearestOne) {
  rules.global.matcher = lines({"*.tmp"});
  Dir plain{.path = "", .ignore = lines({"*.gen"}), .gitignore = lines({"*.log"})};
  const auto outside = chain_of({&plain});
  EXPECT_EQ(decide(outside, "a.log"), Match::none);
  EXPECT_EQ(decide(outside, "a.tmp"), Match::none);
  EXPECT_EQ(decide(outside, "a.gen"), Match::ignore);

  Dir top{.path = "", .ignore = lines({"*.gen"}), .gitignore = lines({"*.log"}),
          .repository = true};
  Dir inner{.path = "inner", .repository = true};
  const auto nearest = chain_of({&top, &inner});
  EXPECT_EQ(decide(nearest, "inner/a.log"), Match::none);  // above the inner repository
  EXPECT_EQ(decide(nearest, "inner/a.gen"), Match::ignore);
  EXPECT_EQ(decide(nearest, "inner/a.tmp"), Match::ignore);
}

TEST_F(DecideTest, AncestorsSeeTheEntryBelowTheCanonicalRoot) {
  rules.ancestors.canonical_root = "/home/u/proj";
  rules.ancestors.have_matchers = true;
  Dir slash{.path = "/", .ignore = lines({"/home/u/proj/x.txt"}), .ancestor = true};
  Dir home{.path = "/home/u", .gitignore = lines({"/proj/gen/"}), .repository = true,
           .ancestor = true};
  Dir root{.path = "", .ignore = lines({"!keep/x.txt"})};
  const auto nearest = chain_of({&root}, chain_of({&slash, &home}));
  EXPECT_EQ(decide(nearest, "x.txt"), Match::ignore);
  EXPECT_EQ(decide(nearest, "keep/x.txt"), Match::whitelist);
  EXPECT_EQ(decide(nearest, "gen", true), Match::ignore);
  EXPECT_EQ(decide(nearest, "gen", false), Match::none);
  EXPECT_EQ(decide(nearest, "a/gen", true), Match::none);
}

TEST_F(DecideTest, TheGlobalFileSeesTheRootBelowTheCurrentDirectory) {
  rules.global = {lines({"/src/a.py"}), "src/"};
  Dir root{.path = "", .repository = true};
  const auto nearest = chain_of({&root});
  EXPECT_EQ(decide(nearest, "a.py"), Match::ignore);
  EXPECT_EQ(decide(nearest, "b/a.py"), Match::none);
}

TEST(RuleChain, KeepsOnlyTheRuleSetsThatCanDecide) {
  Dir top{.path = "", .ignore = lines({"x"})};
  Dir empty{.path = "a"};
  Dir repository{.path = "a/b", .repository = true};
  const auto top_only = chain_of({&top, &empty});
  EXPECT_EQ(top_only->prefix, 0u);
  EXPECT_EQ(top_only->parent, nullptr);
  EXPECT_FALSE(top_only->repository_on_chain);
  const auto nearest = chain_of({&repository}, top_only);
  EXPECT_EQ(nearest->parent, top_only);
  EXPECT_TRUE(nearest->repository_on_chain);
}

TEST(Skips, ExclusionsDecideAloneAndHiddenNamesGoLast) {
  WalkRules rules;
  rules.exclusions = *exclusion_matcher(std::vector<std::string>{"docs", "/top", "#x"});
  Dir root{.path = "", .ignore = lines({"!docs", "!.keep", "!top", "gen"})};
  const auto nearest = chain_of({&root});
  JudgeScratch scratch;
  const auto skips = [&](std::string_view relative, bool is_dir = false) {
    const std::string_view name = relative.substr(relative.rfind('/') + 1);
    return rules.skips(nearest.get(), relative, name, is_dir, scratch);
  };
  EXPECT_TRUE(skips("a/docs", true));
  EXPECT_TRUE(skips("top"));
  EXPECT_FALSE(skips("a/top"));
  EXPECT_TRUE(skips("#x"));  // a "#" that begins a pattern is no comment
  EXPECT_TRUE(skips("a/gen"));
  EXPECT_TRUE(skips(".hidden"));
  EXPECT_FALSE(skips(".keep"));
  EXPECT_FALSE(skips("a/.cache."));
  EXPECT_FALSE(rules.skips(nullptr, "x", "x", false, scratch));
  EXPECT_TRUE(rules.skips(nullptr, ".x", ".x", false, scratch));
}

TEST(ExclusionMatcher, FailsWithTheFirstPatternThatDoesNotCompile) {
  const auto matcher = exclusion_matcher(std::vector<std::string>{"ok", "[abc  ", "{a"});
  ASSERT_FALSE(matcher);
  EXPECT_EQ(matcher.error().text,
            "error parsing glob '![abc': unclosed character class; missing ']'");
}

}  // namespace
}  // namespace vorn_walk
