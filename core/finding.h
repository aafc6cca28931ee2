// What an analysis found: severity levels, quality dimensions and findings.
//
// All types here are plain values; a Finding owns its texts, lists and path
// and is moved, never shared, from the analyzer that makes it into the
// Report. Distinct values may be used from different threads freely; a value
// being changed must not be read at the same time.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/span.h"

namespace vorn_core {

// Seriousness of a finding, in ascending order.
enum class Severity : std::uint8_t { info, low, medium, high, critical };

// How many levels there are: the size of every table indexed by a Severity.
inline constexpr std::size_t kSeverityLevels = static_cast<std::size_t>(Severity::critical) + 1;

// The level's written word: "info", "low", "medium", "high" or "critical".
std::string_view word(Severity severity);

// The quality dimension a finding belongs to: one of five built-ins or a
// custom dimension with a free-form name.
//
//   Dimension security = Dimension::security;
//   Dimension style = Dimension::Custom{"style"};
//
// A custom dimension spelled like a built-in ("security") is still custom: it
// is unequal to the built-in, hashes apart from it and orders after it.
class Dimension {
 public:
  // The built-ins, declared in their order.
  enum Builtin : std::uint8_t { maintainability, security, complexity, documentation, test_smell };
  // How many built-ins there are: the size of every table indexed by one.
  static constexpr std::size_t kBuiltins = test_smell + 1;

  struct Custom {
    std::string name;  // any bytes, the empty name included
  };

  // Implicit, so both kinds read naturally where a Dimension is expected.
  Dimension(Builtin builtin) : position_(builtin) {}
  Dimension(Custom custom) : position_(kCustomPosition), name_(std::move(custom.name)) {}

  // The built-in's lower-case name, or the custom name unchanged. The view
  // lives as long as this Dimension.
  std::string_view word() const;

  // Consistent with ==: the kind, and for a custom dimension its name.
  std::size_t hash() const;

  friend bool operator==(const Dimension&, const Dimension&) = default;
  // A total order: the built-ins in declaration order, then custom dimensions
  // by their names as unsigned bytes, a name before its extensions.
  friend std::strong_ordering operator<=>(const Dimension&, const Dimension&) = default;

 private:
  static constexpr std::uint8_t kCustomPosition = kBuiltins;

  std::uint8_t position_;  // declaration position; kCustomPosition for Custom
  std::string name_;       // empty for every built-in
};

// One finding. The member order is the member order of its JSON form.
struct Finding {
  std::string analyzer;  // name of the reporting analyzer
  Dimension dimension = Dimension::maintainability;
  std::string rule_id;  // keys per-rule settings and in-file suppressions
  Severity severity = Severity::info;
  std::string message;
  Location location;
  std::optional<std::string> suggestion;
  std::vector<std::string> references;
  std::vector<std::string> cwe;    // left out of the JSON when empty
  std::vector<std::string> owasp;  // left out of the JSON when empty
};

// The order of the report's findings: by the location's file (path order),
// then the span's start, then the rule id as unsigned bytes. No other field
// takes part, so findings that agree in these three compare equal; sort with
// a stable sort to keep their incoming order.
std::strong_ordering cmp(const Finding& left, const Finding& right);

// Sorts `findings` stably by cmp: the result is the one std::stable_sort with
// cmp gives, reached with fewer path comparisons and moves.
void sort_findings(std::vector<Finding>& findings);

}  // namespace vorn_core

template <>
struct std::hash<vorn_core::Dimension> {
  std::size_t operator()(const vorn_core::Dimension& dimension) const noexcept {
    return dimension.hash();
  }
};
