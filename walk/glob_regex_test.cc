#include "walk/glob_regex.h"

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "walk/glob_reference.h"

namespace vorn_walk::glob {
namespace {

Lexed lowered(std::string_view pattern) {
  auto lexed = lex(pattern, UnclosedClass::error);
  EXPECT_TRUE(lexed.has_value()) << pattern;
  lexed->items = lower(std::move(lexed->items));
  return *std::move(lexed);
}

std::string regex_of(std::string_view pattern) {
  const Lexed lexed = lowered(pattern);
  return to_regex(lexed.items, lexed.classes);
}

TEST(GlobRegex, SpellsEachElementForLatin1) {
  EXPECT_EQ(regex_of("a.b"), "a\\x2eb");
  EXPECT_EQ(regex_of("**/*.rs"), "[\\x00-\\xff]*\\x2ers");
  EXPECT_EQ(regex_of("x/**/y"), "x\\x2f(?:[\\x00-\\xff]*/)?y");
  EXPECT_EQ(regex_of("src/**"), "src\\x2f[\\x00-\\xff]*");
  EXPECT_EQ(regex_of("?[!a]{b,c}"), "[\\x00-\\x2e\\x30-\\xff][\\x00-\\x60b-\\xff](?:b|c)");
  EXPECT_EQ(regex_of("[a-c]*"), "[a-c][\\x00-\\x2e\\x30-\\xff]*");
  EXPECT_EQ(regex_of("A\\*"), "A\\x2a");
}

TEST(GlobRegex, RequiresTheRarestPairOfTheLongestLiteralRun) {
  EXPECT_EQ(required_pair(lowered("x/abc").items), 'a' << 8 | 'b');
  EXPECT_EQ(required_pair(lowered("**/*.rs").items), 'r' << 8 | 's');
  EXPECT_EQ(required_pair(lowered("{ab}c").items), -1);  // inside a group, nothing is sure
  EXPECT_EQ(required_pair(lowered("a*b").items), -1);
}

// Members of a RegexSets with the automata and the patterns they came from.
struct Members {
  std::vector<std::string> patterns;
  std::vector<std::unique_ptr<BitAutomaton>> automata;
  std::vector<testing::Reference> references;

  RegexSets sets(RegexLimits limits) const {
    RegexSets sets(limits);
    for (std::uint32_t m = 0; m < automata.size(); ++m) {
      sets.add(m, patterns[m], UnclosedClass::error, *automata[m]);
    }
    sets.compile();
    return sets;
  }
};

Members random_members(std::mt19937& rng) {
  Members members;
  // One whose run of `?` after a `*` keeps it from RE2.
  for (std::string pattern = "**/*a??????????????b";
       members.patterns.size() < 12; pattern = testing::random_pattern(rng)) {
    auto reference = testing::Reference::parse(pattern, UnclosedClass::error);
    if (!reference) continue;
    const Lexed lexed = lowered(pattern);
    members.patterns.push_back(pattern);
    members.automata.push_back(std::make_unique<BitAutomaton>(lexed.items, lexed.classes));
    members.references.push_back(*std::move(reference));
  }
  return members;
}

// RE2 answers, or the automata alone, or the automata once RE2 is found too
// slow: the answers are the same.
TEST(RegexSets, EveryRouteGivesTheSameAnswers) {
  std::mt19937 rng(11);
  RegexLimits none_to_re2, slow;
  none_to_re2.regex_bytes = 0;
  slow.slow_start_nanos = 0;
  slow.nanos_per_word_byte = 0;
  for (int round = 0; round < 200; ++round) {
    const Members members = random_members(rng);
    const RegexSets routes[] = {members.sets({}), members.sets(none_to_re2), members.sets(slow)};
    for (int k = 0; k < 30; ++k) {
      const std::string candidate = testing::random_text(rng, "ab/.*", 24);
      std::vector<std::uint32_t> expected;
      for (std::uint32_t m = 0; m < members.references.size(); ++m) {
        if (members.references[m].matches(candidate)) expected.push_back(m);
      }
      for (const RegexSets& route : routes) {
        std::vector<std::uint32_t> out;
        route.matches(candidate, out);
        std::ranges::sort(out);
        EXPECT_EQ(out, expected) << "candidate '" << candidate << "'";
      }
    }
  }
}

}  // namespace
}  // namespace vorn_walk::glob
