#include "core/finalize.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "core/log.h"
#include "walk/glob.h"

namespace vorn_core {
namespace {

// Where the component `component` of `path` ends. Name views point into the
// path; a root or leading "." is one byte; a ".." is the first ".." at or
// after `from`, since only separators and "." pieces can lie between the end
// of the previous component and this one.
std::size_t component_end(std::string_view path, const Component& component, std::size_t from) {
  switch (component.kind) {
    case ComponentKind::root:
    case ComponentKind::current_dir:
      return 1;
    case ComponentKind::parent_dir:
      return path.find("..", from) + 2;
    case ComponentKind::name:
      break;
  }
  return static_cast<std::size_t>(component.name.data() + component.name.size() - path.data());
}

// Separators and "." pieces are not part of a component, so they go from
// both ends of the rest; inside it the text stays as written.
std::string_view trim_separators(std::string_view rest) {
  while (!rest.empty()) {
    if (rest.front() == '/' || rest == "." || rest.starts_with("./")) {
      rest.remove_prefix(1);
    } else if (rest.back() == '/' || rest.ends_with("/.")) {
      rest.remove_suffix(1);
    } else {
      break;
    }
  }
  return rest;
}

// `file` relative to `root` when every component of `root` begins `file`;
// otherwise `file` itself.
std::string_view relative_to_root(std::string_view root, std::string_view file) {
  if (components(root).begin() == std::default_sentinel) return file;
  std::size_t consumed = 0;
  auto in_file = components(file).begin();
  for (const Component& wanted : components(root)) {
    if (in_file == std::default_sentinel || *in_file != wanted) return file;
    consumed = component_end(file, *in_file, consumed);
    ++in_file;
  }
  return trim_separators(file.substr(consumed));
}

void warn_override(std::string_view what, std::string_view value, std::string_view rule,
                   std::string_view error) {
  std::string message;
  message.reserve(what.size() + value.size() + rule.size() + error.size() + 32);
  message.append(what).append(" '").append(value).append("' in rules.").append(rule);
  message.append(".overrides: ").append(error);
  warn(kEngineLogTarget, message);
}

// The outcome of a severity word for a finding: a level replaces its
// severity, "ignore" removes it, an invalid word changes nothing.
// What a severity word does to a finding, read once per run.
using WordOutcome = std::expected<std::optional<Severity>, std::string>;

bool apply_word(const WordOutcome& parsed, Finding& finding) {
  if (!parsed) return true;
  if (!*parsed) return false;
  finding.severity = **parsed;
  return true;
}

// Keeps, in order, the findings for which `keep` answers true. `keep` is
// called once per finding, in list order (the order of the warnings depends
// on it), and may change the finding it is given.
template <typename Keep>
void keep_if(std::vector<Finding>& findings, Keep keep) {
  auto kept = findings.begin();
  for (auto it = findings.begin(); it != findings.end(); ++it) {
    if (!keep(*it)) continue;
    if (kept != it) *kept = std::move(*it);
    ++kept;
  }
  findings.erase(kept, findings.end());
}

}  // namespace

SuppressionTable build_suppression_table(std::span<const ParsedFile> files) {
  SuppressionTable table;
  for (const ParsedFile& file : files) {
    if (file.index.suppressions.empty()) continue;
    table.insert_or_assign(std::string_view(file.source->path),
                           std::span<const Suppression>(file.index.suppressions));
  }
  return table;
}

bool is_suppressed(const SuppressionTable& table, const Finding& finding) {
  const auto entry = table.find(std::string_view(finding.location.file));
  if (entry == table.end()) return false;
  const std::uint32_t line = finding.location.start.line;
  return std::ranges::any_of(entry->second, [&](const Suppression& suppression) {
    if (suppression.rule_id != finding.rule_id) return false;
    const std::uint32_t next = suppression.line + 1;  // wraps by design
    return suppression.file_level || line == suppression.line || line == next;
  });
}

// One rule's settings as a run applies them.
struct RuleSettings::Rule {
  // The outcome of the rule-level word, when the rule has one.
  std::optional<WordOutcome> word_outcome;
  // The override patterns that compiled, as a set (absent when it cannot be
  // built), and each member's word with its outcome.
  std::optional<vorn_walk::GlobSet> set;
  std::vector<std::pair<const std::string*, WordOutcome>> member_words;
  // The pattern and the compiler's text of each that did not compile, in
  // the order of the patterns.
  std::vector<std::pair<std::string_view, std::string>> invalid;
  std::vector<std::uint32_t> hits;  // room for matching, reused
  // The file last matched and its answer (a member number, or -1): a file's
  // findings mostly come one after the other, and the answer depends on the
  // file alone.
  std::string last_file;
  std::int64_t last_member = -1;
  bool matched_any = false;

  // The number of the first member that matches `file` relative to `root`,
  // or -1.
  std::int64_t first_match(std::string_view root, std::string_view file) {
    if (!set) return -1;
    if (matched_any && file == last_file) return last_member;
    hits.clear();
    set->matches(relative_to_root(root, file), hits);
    // Members are numbered in pattern order and hits come ascending.
    last_member = hits.empty() ? -1 : std::int64_t{hits.front()};
    last_file = file;
    matched_any = true;
    return last_member;
  }
};

RuleSettings::RuleSettings(const Config& config, std::string_view root)
    : config_(config), root_(root) {}

RuleSettings::~RuleSettings() = default;

RuleSettings::Rule& RuleSettings::rule(std::string_view rule_id) {
  if (last_rule_ != nullptr && rule_id == last_rule_id_) return *last_rule_;
  auto known = rules_.find(rule_id);
  if (known == rules_.end()) known = rules_.emplace(std::string(rule_id), make_rule(rule_id)).first;
  last_rule_id_ = known->first;
  last_rule_ = known->second.get();
  return *last_rule_;
}

std::unique_ptr<RuleSettings::Rule> RuleSettings::make_rule(std::string_view rule_id) const {
  auto made = std::make_unique<Rule>();
  if (const auto word = config_.rule_severity(rule_id)) {
    made->word_outcome = parse_override_severity(*word);
  }
  const auto found = config_.rules.find(rule_id);
  if (found == config_.rules.end() || found->second.overrides.empty()) return made;
  std::vector<vorn_walk::Glob> globs;
  for (const auto& [pattern, word] : found->second.overrides) {
    auto glob = vorn_walk::Glob::compile(pattern, vorn_walk::UnclosedClass::error);
    if (!glob) {
      made->invalid.emplace_back(pattern, glob.error().text());
      continue;
    }
    globs.push_back(std::move(*glob));
    made->member_words.emplace_back(&word, parse_override_severity(word));
  }
  if (auto set = vorn_walk::GlobSet::build(std::move(globs))) made->set = std::move(*set);
  return made;
}

bool RuleSettings::apply(Finding& finding) {
  if (config_.rules.empty()) return true;
  Rule& settings = rule(finding.rule_id);
  for (const auto& [pattern, error] : settings.invalid) {
    warn_override("invalid glob pattern", pattern, finding.rule_id, error);
  }
  if (const std::int64_t member = settings.first_match(root_, finding.location.file);
      member >= 0) {
    const auto& [word, outcome] = settings.member_words[static_cast<std::size_t>(member)];
    if (!outcome) warn_override("invalid severity", *word, finding.rule_id, outcome.error());
    return apply_word(outcome, finding);
  }
  return !settings.word_outcome || apply_word(*settings.word_outcome, finding);
}

std::uint32_t finalize_findings(std::vector<Finding>& findings, std::span<const ParsedFile> files,
                                const Config& config, std::string_view root) {
  std::uint32_t suppressed = 0;
  if (const SuppressionTable table = build_suppression_table(files); !table.empty()) {
    const std::size_t before = findings.size();
    keep_if(findings, [&](const Finding& finding) { return !is_suppressed(table, finding); });
    suppressed = static_cast<std::uint32_t>(before - findings.size());
  }
  RuleSettings settings(config, root);
  keep_if(findings, [&](Finding& finding) { return settings.apply(finding); });
  if (findings.size() >= 2) sort_findings(findings);
  return suppressed;
}

}  // namespace vorn_core
