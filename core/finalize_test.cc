#include "core/finalize.h"

#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.h"

namespace vorn_core {
namespace {

Finding finding(std::string file, std::string rule, std::uint32_t line,
                std::uint32_t start_offset = 0, std::string analyzer = "a") {
  Finding made;
  made.analyzer = std::move(analyzer);
  made.rule_id = std::move(rule);
  made.severity = Severity::medium;
  made.location.file = std::move(file);
  made.location.span = {start_offset, start_offset + 1};
  made.location.start = {line, 1};
  return made;
}

ParsedFile parsed(std::string path, std::vector<Suppression> suppressions) {
  SemanticIndex index;
  index.suppressions = std::move(suppressions);
  return ParsedFile(std::make_shared<const SourceFile>(std::move(path), ""), std::move(index),
                    nullptr, "text");
}

// "file:line:rule" of each finding, in order.
std::vector<std::string> summary(const std::vector<Finding>& findings) {
  std::vector<std::string> out;
  for (const Finding& found : findings) {
    out.push_back(found.location.file + ":" + std::to_string(found.location.start.line) + ":" +
                  found.rule_id);
  }
  return out;
}

// Collects the warnings sent while it lives, as "target|message".
class WarningRecorder {
 public:
  WarningRecorder()
      : sink_([this](const WarningEvent& event) {
          seen.push_back(std::string(event.target) + "|" + std::string(event.message));
        }) {}
  std::vector<std::string> seen;

 private:
  ScopedWarningSink sink_;
};

TEST(Suppressions, CoverTheirLineAndTheNextInTheirFileOnly) {
  std::vector<ParsedFile> files;
  files.push_back(parsed("src/a.rs", {{"R", 10, false}}));
  std::vector<Finding> findings = {finding("src/a.rs", "R", 9),  finding("src/a.rs", "R", 10),
                                   finding("src/a.rs", "R", 11), finding("src/a.rs", "R", 12),
                                   finding("src/b.rs", "R", 10), finding("src/a.rs", "R1", 10),
                                   finding("src/a.rs", "r", 10)};
  EXPECT_EQ(finalize_findings(findings, files, Config{}, "src"), 2u);
  EXPECT_EQ(summary(findings),
            (std::vector<std::string>{"src/a.rs:9:R", "src/a.rs:12:R", "src/a.rs:10:R1",
                                      "src/a.rs:10:r", "src/b.rs:10:R"}));
}

TEST(Suppressions, MatchTheFileByPathEqualityAndTheRuleExactly) {
  const std::uint32_t last = std::numeric_limits<std::uint32_t>::max();
  std::vector<ParsedFile> files;
  files.push_back(parsed("src/a/b.rs", {{"R", 1, false}, {"W", last, false}, {"F", 7, true}}));
  const SuppressionTable table = build_suppression_table(files);
  const auto covered = [&](std::string file, std::string rule, std::uint32_t line) {
    return is_suppressed(table, finding(std::move(file), std::move(rule), line));
  };
  EXPECT_TRUE(covered("src//a/b.rs", "R", 1));
  EXPECT_TRUE(covered("src/./a/b.rs", "R", 2));
  EXPECT_TRUE(covered("src/a/b.rs/", "R", 1));
  EXPECT_FALSE(covered("./src/a/b.rs", "R", 1));
  EXPECT_FALSE(covered("src/a-b.rs", "R", 1));
  // The line after the last one is line 0.
  EXPECT_TRUE(covered("src/a/b.rs", "W", last));
  EXPECT_TRUE(covered("src/a/b.rs", "W", 0));
  EXPECT_FALSE(covered("src/a/b.rs", "W", 1));
  // File-level: every line, only its rule.
  EXPECT_TRUE(covered("src/a/b.rs", "F", 0));
  EXPECT_TRUE(covered("src/a/b.rs", "F", 123456));
  EXPECT_FALSE(covered("src/a/b.rs", "F1", 7));
}

TEST(Suppressions, TheLastFileWithSuppressionsWinsAmongEqualPaths) {
  std::vector<ParsedFile> files;
  files.push_back(parsed("a/x", {{"R", 1, false}}));
  files.push_back(parsed("a//x", {{"S", 5, false}}));
  files.push_back(parsed("a/./x", {}));  // no suppressions: leaves the entry alone
  const SuppressionTable table = build_suppression_table(files);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_FALSE(is_suppressed(table, finding("a/x", "R", 1)));  // replaced, not merged
  EXPECT_TRUE(is_suppressed(table, finding("a/x", "S", 6)));
}

Config with_rule(std::string rule, std::optional<std::string> severity,
                 std::map<std::string, std::string> overrides) {
  Config config;
  config.rules[rule].severity = std::move(severity);
  config.rules[rule].overrides = std::move(overrides);
  return config;
}

// The severity word a finding ends with, or "removed".
std::string outcome(const Config& config, std::string_view root, Finding found) {
  if (!RuleSettings(config, root).apply(found)) return "removed";
  return std::string(word(found.severity));
}

TEST(Overrides, MatchTheFileRelativeToTheRootByComponents) {
  const auto matches = [](std::string pattern, std::string_view root, std::string file) {
    return outcome(with_rule("R", std::nullopt, {{pattern, "high"}}), root,
                   finding(std::move(file), "R", 1)) == "high";
  };
  EXPECT_FALSE(matches("*.rs", "src", "src/a/b.rs"));
  EXPECT_TRUE(matches("**/*.rs", "src", "src/a/b.rs"));
  EXPECT_TRUE(matches("a/*.rs", "src", "src/a/b.rs"));
  EXPECT_TRUE(matches("a/*.rs", "./src", "./src/a/b.rs"));
  EXPECT_TRUE(matches("a/*.rs", "src/", "src//a/b.rs"));
  EXPECT_TRUE(matches("a/*.rs", "src/.", "src/./a/b.rs/."));
  EXPECT_TRUE(matches("a.rs", ".", "./a.rs"));
  EXPECT_TRUE(matches("x/y", "/", "/x/y"));
  EXPECT_TRUE(matches("a/*.rs", "../src", "../src/a/b.rs"));
  // The root is not a prefix: the whole path is the candidate.
  EXPECT_FALSE(matches("a.rs", "src", "./src/a.rs"));
  EXPECT_TRUE(matches("./src/a.rs", "src", "./src/a.rs"));
  EXPECT_TRUE(matches("other/a.rs", "src", "other/a.rs"));
  // A file that is the root gives the empty candidate.
  EXPECT_TRUE(matches("*", "src/a.rs", "src/a.rs"));
  EXPECT_TRUE(matches("**", "src/a.rs", "src/a.rs"));
  EXPECT_FALSE(matches("*.rs", "src/a.rs", "src/a.rs"));
}

TEST(Overrides, TheFirstMatchingPatternInByteOrderDecides) {
  const Config config =
      with_rule("R", "critical", {{"src/**", "ignore"}, {"**/*.rs", "low"}, {"*.md", "info"}});
  EXPECT_EQ(outcome(config, ".", finding("./src/a.rs", "R", 1)), "low");
  EXPECT_EQ(outcome(config, ".", finding("./src/a.py", "R", 1)), "removed");
  // No pattern matches: the rule-level word applies.
  EXPECT_EQ(outcome(config, ".", finding("./doc/a.txt", "R", 1)), "critical");
  // Another rule is untouched.
  EXPECT_EQ(outcome(config, ".", finding("./src/a.rs", "S", 1)), "medium");
}

// Rules compiled once per run still act and warn for every finding: an
// invalid pattern is skipped and reported each time, as is an invalid word.
TEST(Overrides, OneRunAppliesEachRuleToEveryFindingAndWarnsForEach) {
  WarningRecorder warnings;
  Config config = with_rule("R", std::nullopt, {{"[x", "low"}, {"*.rs", "high"}});
  config.rules["S"].overrides = {{"a.*", "Bad"}, {"b.*", "info"}};
  std::vector<Finding> findings = {finding("a.rs", "R", 1), finding("a.rs", "S", 2),
                                   finding("a.rs", "R", 3), finding("b.py", "R", 4),
                                   finding("b.py", "S", 5), finding("a.rs", "S", 6)};
  finalize_findings(findings, {}, config, ".");
  std::vector<std::string> outcomes;
  for (const Finding& found : findings) {
    outcomes.push_back(found.location.file + ":" + found.rule_id + ":" +
                       std::string(word(found.severity)));
  }
  EXPECT_EQ(outcomes, (std::vector<std::string>{"a.rs:R:high", "a.rs:R:high", "a.rs:S:medium",
                                                "a.rs:S:medium", "b.py:R:medium",
                                                "b.py:S:info"}));
  const std::string pattern =
      "vorn_core::engine|invalid glob pattern '[x' in rules.R.overrides: error parsing glob "
      "'[x': unclosed character class; missing ']'";
  const std::string severity =
      "vorn_core::engine|invalid severity 'Bad' in rules.S.overrides: unknown severity 'Bad'; "
      "expected one of: ignore, info, low, medium, high, critical";
  EXPECT_EQ(warnings.seen, (std::vector<std::string>{pattern, severity, pattern, pattern,
                                                     severity}));
}

TEST(Overrides, AnInvalidDecidingWordWarnsAndKeepsTheSeverity) {
  WarningRecorder warnings;
  const Config config = with_rule("R", "low", {{"*.rs", "urgent"}});
  EXPECT_EQ(outcome(config, "", finding("a.rs", "R", 1)), "medium");
  EXPECT_EQ(warnings.seen,
            std::vector<std::string>{
                "vorn_core::engine|invalid severity 'urgent' in rules.R.overrides: unknown "
                "severity 'urgent'; expected one of: ignore, info, low, medium, high, critical"});
}

TEST(Overrides, RuleLevelWordsApplySilently) {
  WarningRecorder warnings;
  EXPECT_EQ(outcome(with_rule("R", "ignore", {{"*.md", "low"}}), "", finding("a.rs", "R", 1)),
            "removed");
  EXPECT_EQ(outcome(with_rule("R", "Low", {}), "", finding("a.rs", "R", 1)), "medium");
  EXPECT_EQ(outcome(with_rule("R", "info", {}), "", finding("a.rs", "R", 1)), "info");
  EXPECT_EQ(outcome(Config{}, "", finding("a.rs", "R", 1)), "medium");
  EXPECT_TRUE(warnings.seen.empty());
}

TEST(FinalizeFindings, CountsOnlySuppressionsNotIgnoredFindings) {
  std::vector<ParsedFile> files;
  files.push_back(parsed("a", {{"S", 1, false}}));
  std::vector<Finding> findings = {finding("a", "I", 1), finding("a", "S", 1),
                                   finding("a", "K", 2)};
  const Config config = with_rule("I", "ignore", {});
  EXPECT_EQ(finalize_findings(findings, files, config, "."), 1u);
  EXPECT_EQ(summary(findings), std::vector<std::string>{"a:2:K"});

  std::vector<Finding> only_ignored = {finding("a", "I", 7)};
  EXPECT_EQ(finalize_findings(only_ignored, {}, config, "."), 0u);
  EXPECT_TRUE(only_ignored.empty());
}

TEST(FinalizeFindings, SortsStablyKeepingTheIncomingOrderOfEqualFindings) {
  std::vector<Finding> findings = {finding("b", "r", 1, 0, "1st"), finding("a", "r", 1, 900),
                                   finding("b", "r", 1, 0, "2nd"), finding("b", "q", 1, 0),
                                   finding("b", "r", 1, 0, "3rd")};
  finalize_findings(findings, {}, Config{}, "");
  std::vector<std::string> order;
  for (const Finding& found : findings) order.push_back(found.rule_id + found.analyzer);
  EXPECT_EQ(order, (std::vector<std::string>{"ra", "qa", "r1st", "r2nd", "r3rd"}));
}

TEST(FinalizeFindings, OrdersFilesByComponentsAndMergesSpellingsOfOnePath) {
  // Byte order would put "a-b" before "a/b"; "a//b" and "a/b/" are "a/b".
  std::vector<Finding> findings = {finding("a/b", "r", 1, 5),  finding("a-b", "r", 1, 0),
                                   finding("a//b", "r", 1, 1), finding("./a", "r", 1, 0),
                                   finding("a/b/", "q", 1, 5), finding("a", "z", 1, 9)};
  finalize_findings(findings, {}, Config{}, "");
  std::vector<std::string> order;
  for (const Finding& found : findings) order.push_back(found.location.file + "@" + found.rule_id);
  EXPECT_EQ(order,
            (std::vector<std::string>{"./a@r", "a@z", "a//b@r", "a/b/@q", "a/b@r", "a-b@r"}));
}

}  // namespace
}  // namespace vorn_core
