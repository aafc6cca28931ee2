// Finalisation of a run's findings: in-file suppressions, the per-rule
// severity settings, and the order of the report.
//
// Runs on the pipeline's thread after every parallel stage has joined; it
// reads the parsed files and the Config and changes only the findings.
#pragma once

#include <cstdint>
#include <memory>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/config.h"
#include "core/finding.h"
#include "core/index.h"
#include "core/parsed.h"
#include "core/path.h"

namespace vorn_core {

// The target of the warnings that the per-rule pass sends (core/log.h).
inline constexpr std::string_view kEngineLogTarget = "vorn_core::engine";

// A parsed file's suppressions by its path. Paths that the path order finds
// equal ("a//b", "a/./b", "a/b") share one entry. Keys and lists are views
// into the parsed files, which must outlive the table.
using SuppressionTable =
    std::unordered_map<std::string_view, std::span<const Suppression>, PathHash, PathEqual>;

// The table of `files`, taken in order: a file without suppressions makes no
// entry; among files with equal paths the last one that has any wins whole
// (lists are never merged).
SuppressionTable build_suppression_table(std::span<const ParsedFile> files);

// Whether a suppression of the finding's file covers it: same rule id, byte
// for byte, and either file-level or on the finding's start line or the line
// before it (a suppression on line 4294967295 covers line 0: the next line is
// computed modulo 2^32).
bool is_suppressed(const SuppressionTable& table, const Finding& finding);

// The Config's per-rule settings, applied finding by finding.
//
// A rule's settings are looked up, its override patterns compiled and its
// words read the first time a finding of that rule needs them, and kept for
// the rest of the run; only the warnings come again for every finding,
// exactly as if each finding compiled the patterns anew. One per run: it
// borrows `config` and `root`, which must outlive it and stay unchanged, and
// is used by one thread at a time.
class RuleSettings {
 public:
  RuleSettings(const Config& config, std::string_view root);
  ~RuleSettings();
  RuleSettings(const RuleSettings&) = delete;
  RuleSettings& operator=(const RuleSettings&) = delete;

  // Applies the settings of the finding's rule and answers whether the
  // finding stays.
  //
  // The rule's override patterns (in the byte order of the patterns) are
  // matched against the finding's file relative to `root` by components (the
  // whole path when `root` is not a prefix of it; the empty text when the
  // file is the root). The first pattern that matches decides with its word:
  // a level replaces the severity, "ignore" removes the finding, an invalid
  // word leaves it unchanged. Without a match, the rule-level word decides
  // the same way. Warnings, target kEngineLogTarget, in this order:
  //   "invalid glob pattern '{pattern}' in rules.{rule}.overrides: {error}"
  //       for each pattern that does not compile, for every finding of the
  //       rule;
  //   "invalid severity '{word}' in rules.{rule}.overrides: {error}"
  //       when the deciding pattern's word is invalid.
  // An invalid rule-level word is silent.
  bool apply(Finding& finding);

 private:
  struct Rule;
  // The settings of the rule `rule_id`, made on first use.
  Rule& rule(std::string_view rule_id);
  std::unique_ptr<Rule> make_rule(std::string_view rule_id) const;

  const Config& config_;
  std::string_view root_;
  std::unordered_map<std::string, std::unique_ptr<Rule>, TextHash, std::equal_to<>> rules_;
  // A rule's findings mostly come one after the other.
  Rule* last_rule_ = nullptr;
  std::string_view last_rule_id_;
};

// Removes the findings that an in-file suppression of `files` covers, then
// applies the Config's rule settings (RuleSettings::apply) to each remaining
// finding in order (removing those it rejects), then sorts stably by the
// finding order.
// Returns the number removed by suppressions (modulo 2^32); removals by
// "ignore" are not counted.
std::uint32_t finalize_findings(std::vector<Finding>& findings, std::span<const ParsedFile> files,
                                const Config& config, std::string_view root);

}  // namespace vorn_core
