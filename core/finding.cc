#include "core/finding.h"

#include <array>

#include "core/path.h"

namespace vorn_core {
namespace {

// Sized by their initialisers, so that a missing word fails to compile
// instead of reading past the end.
constexpr auto kSeverityWords =
    std::to_array<std::string_view>({"info", "low", "medium", "high", "critical"});
static_assert(kSeverityWords.size() == kSeverityLevels);
constexpr auto kBuiltinWords = std::to_array<std::string_view>(
    {"maintainability", "security", "complexity", "documentation", "test_smell"});
static_assert(kBuiltinWords.size() == Dimension::kBuiltins);

}  // namespace

std::string_view word(Severity severity) {
  return kSeverityWords[static_cast<std::size_t>(severity)];
}

std::string_view Dimension::word() const {
  return position_ == kCustomPosition ? std::string_view(name_) : kBuiltinWords[position_];
}

std::size_t Dimension::hash() const {
  // Built-ins carry an empty name, so hashing both fields is consistent with ==.
  return std::hash<std::string_view>{}(name_) ^ (std::size_t{position_} * 0x9e3779b97f4a7c15);
}

std::strong_ordering cmp(const Finding& left, const Finding& right) {
  if (const auto order = compare_components(left.location.file, right.location.file); order != 0) {
    return order;
  }
  if (const auto order = left.location.span.start <=> right.location.span.start; order != 0) {
    return order;
  }
  // std::string compares through char_traits<char>, which orders bytes unsigned.
  return left.rule_id <=> right.rule_id;
}

}  // namespace vorn_core
