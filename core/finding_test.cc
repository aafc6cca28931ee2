#include "core/finding.h"

#include <algorithm>
#include <limits>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

#include "core/path.h"

namespace vorn_core {
namespace {

int sign(std::strong_ordering order) { return order < 0 ? -1 : order > 0 ? 1 : 0; }

TEST(Severity, IsOneOrderedByteWithLowerCaseWords) {
  static_assert(sizeof(Severity) == 1);
  EXPECT_LT(Severity::info, Severity::low);
  EXPECT_LT(Severity::high, Severity::critical);
  EXPECT_EQ(static_cast<int>(Severity::critical), 4);
  EXPECT_EQ(word(Severity::info), "info");
  EXPECT_EQ(word(Severity::low), "low");
  EXPECT_EQ(word(Severity::medium), "medium");
  EXPECT_EQ(word(Severity::high), "high");
  EXPECT_EQ(word(Severity::critical), "critical");
}

TEST(Dimension, WritesBuiltinWordsAndCustomNamesUnchanged) {
  EXPECT_EQ(Dimension(Dimension::maintainability).word(), "maintainability");
  EXPECT_EQ(Dimension(Dimension::security).word(), "security");
  EXPECT_EQ(Dimension(Dimension::complexity).word(), "complexity");
  EXPECT_EQ(Dimension(Dimension::documentation).word(), "documentation");
  EXPECT_EQ(Dimension(Dimension::test_smell).word(), "test_smell");
  EXPECT_EQ(Dimension(Dimension::Custom{"Style \"x\""}).word(), "Style \"x\"");
  EXPECT_EQ(Dimension(Dimension::Custom{""}).word(), "");
}

// Each entry orders strictly before the next: built-ins in declaration order,
// then custom names by unsigned bytes, a name before its extensions.
std::vector<Dimension> ascending_dimensions() {
  return {Dimension::maintainability,   Dimension::security,
          Dimension::complexity,        Dimension::documentation,
          Dimension::test_smell,        Dimension::Custom{""},
          Dimension::Custom{"Z"},       Dimension::Custom{"a"},
          Dimension::Custom{"ab"},      Dimension::Custom{"b"},
          Dimension::Custom{"maintainability"}, Dimension::Custom{"security"},
          Dimension::Custom{"\x7F"},    Dimension::Custom{"\xC3\xA9"}};
}

TEST(Dimension, OrdersBuiltinsFirstThenCustomByBytes) {
  const std::vector<Dimension> ascending = ascending_dimensions();
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(sign(ascending[i] <=> ascending[j]), sign(i <=> j))
          << ascending[i].word() << " vs " << ascending[j].word();
      EXPECT_EQ(ascending[i] == ascending[j], i == j);
    }
  }
}

TEST(Dimension, CustomNamedLikeABuiltinStaysDistinct) {
  const Dimension builtin = Dimension::security;
  const Dimension custom = Dimension::Custom{"security"};
  EXPECT_NE(builtin, custom);
  EXPECT_EQ(builtin.word(), custom.word());
  EXPECT_LT(Dimension(Dimension::test_smell), custom);
  std::unordered_set<Dimension> set;
  for (const Dimension& d : ascending_dimensions()) set.insert(d);
  set.insert(Dimension::Custom{"security"});  // already there
  set.insert(Dimension::security);            // already there
  EXPECT_EQ(set.size(), ascending_dimensions().size());
  EXPECT_EQ(std::hash<Dimension>{}(Dimension::Custom{"ab"}),
            std::hash<Dimension>{}(Dimension::Custom{std::string("ab")}));
}

Finding finding_at(std::string file, std::uint32_t start, std::string rule_id) {
  Finding finding;
  finding.location.file = std::move(file);
  finding.location.span.start = start;
  finding.rule_id = std::move(rule_id);
  return finding;
}

TEST(FindingOrder, FileThenSpanStartThenRuleBytes) {
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  // Each entry orders strictly before the next.
  const std::vector<Finding> ascending = {
      finding_at("a/z.rs", 0, "x"), finding_at("a.rs", 900, "x"),  finding_at("b.rs", 0, "x"),
      finding_at("b.rs", 9, "zz"),   finding_at("b.rs", 10, "R1"), finding_at("b.rs", 10, "R10"),
      finding_at("b.rs", 10, "R2"),  finding_at("b.rs", 10, "Z9"), finding_at("b.rs", 10, "a1"),
      finding_at("b.rs", 10, "\xC3\xA9"), finding_at("b.rs", kMax - 1, "a"),
      finding_at("b.rs", kMax, ""),
  };
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(sign(cmp(ascending[i], ascending[j])), sign(i <=> j)) << i << " vs " << j;
    }
  }
}

TEST(FindingOrder, IgnoresOtherFieldsAndTheFilesSpelling) {
  Finding first = finding_at("src//a.rs", 5, "r");
  first.analyzer = "z";
  first.dimension = Dimension::Custom{"zz"};
  first.severity = Severity::critical;
  first.message = "zzz";
  first.location.span.end = 999;
  first.location.start = {99, 99};
  first.location.end = {100, 1};
  first.suggestion = "s";
  first.references = {"r"};
  first.cwe = {"c"};
  first.owasp = {"o"};
  Finding second = finding_at("src/a.rs", 5, "r");
  second.message = "aaa";
  EXPECT_EQ(sign(cmp(first, second)), 0);
  EXPECT_EQ(sign(cmp(second, first)), 0);
}

// sort_findings against std::stable_sort by cmp, on random lists of every
// length up to 40, many of each short length. Files are drawn from spellings
// of a few paths (equal ones included), starts and rule ids from small pools,
// so that ties are common; every other list comes with its files already in
// path order, as the stages usually hand them over.
TEST(FindingOrder, TheSortIsTheStableSortByCmp) {
  const std::vector<std::string> files = {
      "a",      "a/b",   "a//b", "a/./b", "a/b/", "./a",   "a-b",    "/a",    "../a",     "",
      "b/../a", "a/b/c", "A",    "a\\b",  "a/.",  "a/.b", "a/../b", "a/..b", "\xC3\xA9", "."};
  const std::vector<std::uint32_t> starts = {0, 1, 10, std::numeric_limits<std::uint32_t>::max()};
  const std::vector<std::string> rules = {"", "R1", "R10", "R2", "a"};
  std::mt19937 random(11);
  const auto pick = [&](const auto& pool) { return pool[random() % pool.size()]; };
  for (std::size_t length = 0; length <= 40; ++length) {
    for (int round = 0; round < (length <= 8 ? 400 : 40); ++round) {
      std::vector<Finding> findings;
      for (std::size_t i = 0; i < length; ++i) {
        findings.push_back(finding_at(pick(files), pick(starts), pick(rules)));
        findings.back().message = std::to_string(i);
      }
      if (round % 2 == 1) {
        std::ranges::stable_sort(findings, [](const Finding& left, const Finding& right) {
          return compare_components(left.location.file, right.location.file) < 0;
        });
      }
      std::vector<Finding> expected = findings;
      std::ranges::stable_sort(
          expected, [](const Finding& left, const Finding& right) { return cmp(left, right) < 0; });
      sort_findings(findings);
      std::vector<std::string> got, wanted;
      for (const Finding& found : findings) got.push_back(found.message);
      for (const Finding& found : expected) wanted.push_back(found.message);
      ASSERT_EQ(got, wanted) << "length " << length << ", round " << round;
    }
  }
}

}  // namespace
}  // namespace vorn_core
