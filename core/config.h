// The run configuration and the severity words.
//
// A Config is an in-memory value: whoever starts a run builds one (the Python
// module uses the defaults) and lends it to the whole run, which only reads
// it. It is never changed while lent, so any number of threads may read it and
// call its const operations at once. Several settings are never read by the
// engine; they travel to the analyzers with the rest of the Config.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/finding.h"

namespace vorn_core {

// Settings for the whole run.
struct GeneralConfig {
  // Language ids an embedding program may use to narrow its plug-ins; the
  // engine never reads it.
  std::vector<std::string> languages;
  // Glob patterns in gitignore syntax, relative to the root; file discovery
  // leaves out what they match, a matching directory with all it holds.
  std::vector<std::string> exclude;
  // Whether file discovery follows symbolic links.
  bool follow_links = false;
  // For analyzers: a cap on findings of one rule in one file; the engine
  // never reads it.
  std::uint32_t max_findings_per_rule = 100;
  // For analyzers; the engine never reads these.
  bool show_suggestions = true;
  bool show_references = true;
};

// Settings of one rule.
struct RuleConfig {
  // The rule-level severity word, for every finding of the rule that no
  // override matches. Unchecked here: an invalid word leaves findings as
  // they are (finalisation decides).
  std::optional<std::string> severity;
  // Glob pattern (relative to the root) -> severity word. std::string orders
  // by unsigned bytes, a pattern before its extensions; the first matching
  // pattern in this order wins. Empty means no overrides.
  std::map<std::string, std::string> overrides;
  // A rule-specific limit for the analyzer's use; the engine never reads it.
  std::uint32_t threshold = 0;
};

// Hashes text by its bytes; transparent, so a lookup by std::string_view
// builds no std::string.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

struct Config {
  GeneralConfig general;
  // Per-dimension weights for analyzers; the engine never reads it.
  std::unordered_map<std::string, float, TextHash, std::equal_to<>> weights;
  // Rule id (exact bytes: no wildcard, no case folding, no trimming) -> settings.
  std::unordered_map<std::string, RuleConfig, TextHash, std::equal_to<>> rules;

  // The stored `severity` word of the rule whose id equals `rule_id` byte for
  // byte, unparsed; nothing when there is no such rule or it has no word.
  // The view lives as long as this Config is unchanged.
  std::optional<std::string_view> rule_severity(std::string_view rule_id) const;
};

// Reads a severity word: "info", "low", "medium", "high" and "critical" give
// their level, "ignore" gives no level (the finding is to be removed). Any
// other text, compared whole and case-sensitively (so "Low", " low" and ""
// are invalid), fails with "unknown severity '{word}'; expected one of:
// ignore, info, low, medium, high, critical". No side effect, no logging.
std::expected<std::optional<Severity>, std::string> parse_override_severity(std::string_view word);

}  // namespace vorn_core
