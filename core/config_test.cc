#include "core/config.h"

#include <vector>

#include <gtest/gtest.h>

namespace vorn_core {
namespace {

std::string unknown(std::string_view word) {
  return "unknown severity '" + std::string(word) +
         "'; expected one of: ignore, info, low, medium, high, critical";
}

TEST(SeverityWord, NamesTheFiveLevelsAndIgnore) {
  EXPECT_EQ(parse_override_severity("info").value(), Severity::info);
  EXPECT_EQ(parse_override_severity("low").value(), Severity::low);
  EXPECT_EQ(parse_override_severity("medium").value(), Severity::medium);
  EXPECT_EQ(parse_override_severity("high").value(), Severity::high);
  EXPECT_EQ(parse_override_severity("critical").value(), Severity::critical);
  const auto ignore = parse_override_severity("ignore");
  ASSERT_TRUE(ignore.has_value());
  EXPECT_EQ(*ignore, std::nullopt);
}

TEST(SeverityWord, RejectsEveryOtherTextQuotingItUnchanged) {
  for (const std::string_view word :
       {"Low", "LOW", " low", "low ", "", "urgent", "Ignore", "lo", "lowest", "\xC3\xA9"}) {
    const auto parsed = parse_override_severity(word);
    ASSERT_FALSE(parsed.has_value()) << word;
    EXPECT_EQ(parsed.error(), unknown(word));
  }
  EXPECT_EQ(parse_override_severity("").error(),
            "unknown severity ''; expected one of: ignore, info, low, medium, high, critical");
}

TEST(RuleSeverity, LooksUpTheExactRuleId) {
  Config config;
  EXPECT_EQ(config.rule_severity("R1"), std::nullopt);
  config.rules["R1"].severity = "high";
  config.rules["R2"].overrides["*.rs"] = "low";
  config.rules["R3"].severity = "Urgent";
  EXPECT_EQ(config.rule_severity("R1"), "high");
  EXPECT_EQ(config.rule_severity("r1"), std::nullopt);
  EXPECT_EQ(config.rule_severity("R1 "), std::nullopt);
  EXPECT_EQ(config.rule_severity("R"), std::nullopt);
  EXPECT_EQ(config.rule_severity("R2"), std::nullopt);  // overrides only
  EXPECT_EQ(config.rule_severity("R3"), "Urgent");      // returned as stored
}

TEST(RuleConfig, OverridesOrderByUnsignedBytesShorterFirst) {
  RuleConfig rule;
  for (const char* pattern : {"src/a/b", "\xC3\xA9/*", "src/**", "*.rs", "src/a", "**/*.rs", "~"}) {
    rule.overrides[pattern] = "low";
  }
  std::vector<std::string> order;
  for (const auto& [pattern, word] : rule.overrides) order.push_back(pattern);
  EXPECT_EQ(order, (std::vector<std::string>{"**/*.rs", "*.rs", "src/**", "src/a", "src/a/b", "~",
                                             "\xC3\xA9/*"}));
}

TEST(Config, DefaultsAreEmptyWithLinksUnfollowed) {
  const Config config;
  EXPECT_TRUE(config.general.languages.empty());
  EXPECT_TRUE(config.general.exclude.empty());
  EXPECT_FALSE(config.general.follow_links);
  EXPECT_EQ(config.general.max_findings_per_rule, 100u);
  EXPECT_TRUE(config.general.show_suggestions);
  EXPECT_TRUE(config.general.show_references);
  EXPECT_TRUE(config.weights.empty());
  EXPECT_TRUE(config.rules.empty());
  const RuleConfig rule;
  EXPECT_EQ(rule.severity, std::nullopt);
  EXPECT_TRUE(rule.overrides.empty());
}

}  // namespace
}  // namespace vorn_core
