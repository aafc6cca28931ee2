#include "core/config.h"

#include <array>

namespace vorn_core {

std::optional<std::string_view> Config::rule_severity(std::string_view rule_id) const {
  if (rules.empty()) return std::nullopt;
  const auto found = rules.find(rule_id);
  if (found == rules.end() || !found->second.severity) return std::nullopt;
  return std::string_view(*found->second.severity);
}

std::expected<std::optional<Severity>, std::string> parse_override_severity(std::string_view word) {
  if (word == "ignore") return std::optional<Severity>();
  constexpr std::array kLevels = {Severity::info, Severity::low, Severity::medium, Severity::high,
                                  Severity::critical};
  static_assert(kLevels.size() == kSeverityLevels);
  for (const Severity level : kLevels) {
    if (word == vorn_core::word(level)) return level;
  }
  return std::unexpected("unknown severity '" + std::string(word) +
                         "'; expected one of: ignore, info, low, medium, high, critical");
}

}  // namespace vorn_core
