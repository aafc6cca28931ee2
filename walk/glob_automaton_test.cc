#include "walk/glob_automaton.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "walk/glob_reference.h"

namespace vorn_walk::glob {
namespace {

BitAutomaton automaton_of(std::string_view pattern, UnclosedClass unclosed = UnclosedClass::error) {
  auto lexed = lex(pattern, unclosed);
  EXPECT_TRUE(lexed.has_value()) << pattern;
  return BitAutomaton(lower(std::move(lexed->items)), lexed->classes);
}

struct Sampled {
  std::string pattern;
  std::string sample;  // a text that the pattern matches
};

// A well-formed pattern of about `size` elements: literals, wildcards,
// classes and escapes, and groups nested up to `depth`, with empty
// alternatives now and then; and a text that it matches. Each element's
// part of the sample matches it whichever way lowering reads a `**`.
Sampled balanced_pattern(std::mt19937& rng, int size, int depth) {
  static const std::vector<std::pair<std::string, std::string>> kElements = {
      {"a", "a"},     {"b", "b"},       {"/", "/"},        {".", "."},       {"?", "b"},
      {"*", ""},      {"*", "ab"},      {"**", "a."},      {"**/", "a/"},    {"**/", ""},
      {"/**", "/a"},  {"/**/", "/"},    {"[ab]", "b"},     {"[!a]", "/"},    {"[/-0]", "."},
      {"[]a]", "a"},  {"\\*", "*"},     {"\\{", "{"}};
  const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  Sampled out;
  for (int k = 0; k < size; ++k) {
    if (depth > 0 && pick(6) == 0) {
      out.pattern += '{';
      const int alternatives = pick(4);
      const int taken = pick(std::max(alternatives, 1));
      for (int a = 0; a < alternatives; ++a) {
        if (a > 0) out.pattern += ',';
        Sampled inner = balanced_pattern(rng, pick(5), depth - 1);
        out.pattern += inner.pattern;
        if (a == taken) out.sample += inner.sample;
      }
      out.pattern += '}';
    } else {
      const auto& [element, sample] = kElements[static_cast<std::size_t>(pick(kElements.size()))];
      out.pattern += element;
      out.sample += sample;
    }
  }
  return out;
}

// `text` with a few bytes replaced, inserted or removed.
std::string mutated(std::mt19937& rng, std::string text) {
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  for (std::size_t edits = pick(3) + 1; edits > 0; --edits) {
    const char c = "ab/.*"[pick(5)];
    const std::size_t at = pick(text.size() + 1);
    switch (pick(3)) {
      case 0: text.insert(at, 1, c); break;
      case 1: if (at < text.size()) text[at] = c; break;
      default: if (at < text.size()) text.erase(at, 1);
    }
  }
  return text;
}

// Long patterns put positions, passes and jumps across the 64-position
// words. Candidates are samples of what the pattern matches, samples a
// little changed, and random texts.
TEST(BitAutomaton, AgreesWithAPlainReferenceMatcher) {
  std::mt19937 rng(7);
  int matched = 0;
  for (int round = 0; round < 1200; ++round) {
    const UnclosedClass unclosed = round % 2 ? UnclosedClass::literal : UnclosedClass::error;
    const Sampled sampled = round % 3 == 0 ? Sampled{testing::random_pattern(rng), ""}
                                           : balanced_pattern(rng, round % 3 == 1 ? 6 : 40, 3);
    const std::string& pattern = sampled.pattern;
    const auto reference = testing::Reference::parse(pattern, unclosed);
    auto lexed = lex(pattern, unclosed);
    ASSERT_EQ(lexed.has_value(), reference.has_value()) << "'" << pattern << "'";
    if (!lexed) continue;
    const BitAutomaton automaton(lower(std::move(lexed->items)), lexed->classes);
    for (int k = 0; k < 30; ++k) {
      const std::string candidate = k == 0   ? sampled.sample
                                    : k < 15 ? mutated(rng, sampled.sample)
                                             : testing::random_text(rng, "ab/.*", k < 25 ? 8 : 100);
      const bool expected = reference->matches(candidate);
      matched += expected;
      EXPECT_EQ(automaton.matches(candidate), expected)
          << "'" << pattern << "' against '" << candidate << "'";
      if (expected) {
        EXPECT_TRUE(automaton.required().met_by(bytes_of(candidate))) << pattern;
      }
    }
  }
  EXPECT_GT(matched, 1500);
}

TEST(BitAutomaton, CarriesAcrossWords) {
  // 63 literals put the loop of `*` and its pass on the edge of a word.
  const std::string edge(63, 'a');
  const BitAutomaton star = automaton_of(edge + "*b");
  EXPECT_TRUE(star.matches(edge + "b"));
  EXPECT_TRUE(star.matches(edge + "xyzb"));
  EXPECT_FALSE(star.matches(edge + "x/b"));
  // A group whose alternatives lie in other words than its entry.
  const BitAutomaton group = automaton_of(edge + "{" + std::string(100, 'c') + ",d,}e");
  EXPECT_TRUE(group.matches(edge + std::string(100, 'c') + "e"));
  EXPECT_TRUE(group.matches(edge + "de"));
  EXPECT_FALSE(group.matches(edge + "e"));
  EXPECT_FALSE(group.matches(edge + "cde"));
  const BitAutomaton dirs = automaton_of("**/" + std::string(200, '?') + "/x");
  EXPECT_TRUE(dirs.matches("a/b/" + std::string(200, 'z') + "/x"));
  EXPECT_FALSE(dirs.matches(std::string(199, 'z') + "/x"));
}

TEST(BitAutomaton, MatchesALineWithoutSlashAgainstTheLastComponent) {
  const BitAutomaton name = automaton_of("**/a*b");
  EXPECT_TRUE(name.matches("ab"));
  EXPECT_TRUE(name.matches("x/ab/y/ab"));
  EXPECT_FALSE(name.matches("ab/x"));
  EXPECT_FALSE(name.matches("x/a/b"));
  // `**/*` is one `**`, whose match may begin anywhere in the last component.
  const BitAutomaton anywhere = automaton_of("**/*b?");
  EXPECT_TRUE(anywhere.matches("x/abc"));
  EXPECT_TRUE(anywhere.matches("bc"));
  EXPECT_FALSE(anywhere.matches("xb/c"));
  EXPECT_FALSE(anywhere.matches("x/abc/d"));
  const BitAutomaton dirs = automaton_of("**/");
  EXPECT_TRUE(dirs.matches("a/"));
  EXPECT_TRUE(dirs.matches(""));
  EXPECT_FALSE(dirs.matches("a"));
  // A class that admits "/" reaches back over the last one.
  const BitAutomaton slash = automaton_of("**/[!a]");
  EXPECT_TRUE(slash.matches("x//"));
  EXPECT_TRUE(slash.matches("x/b"));
  EXPECT_FALSE(slash.matches("x/a"));
}

TEST(BitAutomaton, RejectsCandidatesShorterThanAnyMatch) {
  // The shortest alternative of each group counts.
  const BitAutomaton grouped = automaton_of("a{bc,d}*{e,fg}?");
  EXPECT_TRUE(grouped.matches("adex"));
  EXPECT_FALSE(grouped.matches("ade"));
  EXPECT_TRUE(automaton_of("{}").matches(""));
}

TEST(BitAutomaton, LargePatternsStayExact) {
  std::string pattern, yes;
  for (int k = 0; k < 2000; ++k) {
    pattern += "*a?";
    yes += "xab";
  }
  const BitAutomaton automaton = automaton_of(pattern);
  EXPECT_TRUE(automaton.matches(yes));
  EXPECT_FALSE(automaton.matches(yes.substr(3)));
  EXPECT_FALSE(automaton.matches("xab/xab"));
  std::string nested;
  for (int k = 0; k < 3000; ++k) nested += "{a,";
  nested += "b";
  for (int k = 0; k < 3000; ++k) nested += "}";
  const BitAutomaton deep = automaton_of(nested + "*");
  EXPECT_TRUE(deep.matches("a"));
  EXPECT_TRUE(deep.matches("bzz"));
  EXPECT_FALSE(deep.matches("c"));
}

TEST(BitAutomaton, RequiresOnlyTheBytesOfEveryMatch) {
  const BitAutomaton lines = automaton_of("*a?????b*x?");
  EXPECT_FALSE(lines.required().met_by(bytes_of("aaaaabbbb")));
  EXPECT_TRUE(lines.required().met_by(bytes_of("abx")));
  // Inside a group, behind a wildcard or a `**/`, nothing is required.
  const BitAutomaton grouped = automaton_of("**/{a,b}[c]");
  EXPECT_FALSE(grouped.required().met_by(bytes_of("ab")));
  EXPECT_TRUE(grouped.required().met_by(bytes_of("c")));
  // The common bytes give way to the rarer ones when there are many.
  const BitAutomaton many = automaton_of("a/b.c/dEFG");
  EXPECT_FALSE(many.required().met_by(bytes_of("abcd/.EF")));
  EXPECT_FALSE(many.required().met_by(bytes_of("EFG")));
  EXPECT_TRUE(many.required().met_by(bytes_of("dEFG")));
}

}  // namespace
}  // namespace vorn_walk::glob
