#include "core/finding.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <string_view>
#include <tuple>
#include <unordered_map>

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

// The rank of each file among `files` in the path order: equal paths (even
// when spelt differently) share a rank. Files come in the order in which the
// findings first name them, which is nearly always the path order already,
// so they are sorted only when they turn out not to be.
// compare_components(left, right), sparing the components that the two
// share: both are cut at the last "/" before their first different byte and
// compared from that "/" on. A piece after it is read as in the whole path
// (never as a leading "." or ".."), and the "/" gives both the same root
// component, which leaves their order as it was.
std::strong_ordering compare_paths(std::string_view left, std::string_view right) {
  const std::size_t common =
      static_cast<std::size_t>(std::ranges::mismatch(left, right).in1 - left.begin());
  const std::size_t slash = left.substr(0, common).rfind('/');
  if (slash == std::string_view::npos) return compare_components(left, right);
  return compare_components(left.substr(slash), right.substr(slash));
}

std::vector<std::uint32_t> path_ranks(std::span<const std::string_view> files) {
  std::vector<std::uint32_t> order(files.size());
  std::iota(order.begin(), order.end(), 0u);
  std::vector<std::uint32_t> ranks(files.size());
  // False, leaving `ranks` unfinished, when `order` is not sorted.
  const auto rank_in = [&] {
    for (std::size_t i = 1; i < order.size(); ++i) {
      const auto step = compare_paths(files[order[i - 1]], files[order[i]]);
      if (step > 0) return false;
      ranks[order[i]] = ranks[order[i - 1]] + (step < 0 ? 1 : 0);
    }
    return true;
  };
  if (!rank_in()) {
    std::ranges::sort(order, [&](std::uint32_t left, std::uint32_t right) {
      return compare_paths(files[left], files[right]) < 0;
    });
    rank_in();
  }
  return ranks;
}

// Puts the finding at `order[k]` in place k, for every k, following each
// cycle of the permutation: a finding is moved once, and one per cycle twice.
// Uses `order` up.
void permute(std::vector<Finding>& findings, std::vector<std::uint32_t>& order) {
  for (std::uint32_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    Finding held = std::move(findings[start]);
    std::uint32_t at = start;
    while (order[at] != start) {
      const std::uint32_t from = order[at];
      findings[at] = std::move(findings[from]);
      order[at] = at;
      at = from;
    }
    findings[at] = std::move(held);
    order[at] = at;
  }
}

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

// Sorts stably by the finding order. Comparing paths component by component
// is what a plain sort spends most of its time on, and a Finding is costly to
// move; so each distinct file is ranked once, the findings are sorted by
// cheap keys, and each is moved at most once into its place (a list already
// in order is not sorted at all).
void sort_findings(std::vector<Finding>& findings) {
  // A file's findings mostly come one after the other: only a change of file
  // asks the table.
  std::unordered_map<std::string_view, std::uint32_t> file_numbers;
  file_numbers.reserve(findings.size());
  std::vector<std::string_view> files;
  std::vector<std::uint32_t> file_of(findings.size());
  for (std::size_t i = 0; i < findings.size(); ++i) {
    const std::string& file = findings[i].location.file;
    if (i > 0 && file == findings[i - 1].location.file) {
      file_of[i] = file_of[i - 1];
      continue;
    }
    const auto [entry, added] =
        file_numbers.try_emplace(file, static_cast<std::uint32_t>(files.size()));
    if (added) files.push_back(entry->first);
    file_of[i] = entry->second;
  }
  const std::vector<std::uint32_t> ranks = path_ranks(files);

  struct Key {
    std::uint32_t rank;
    std::uint32_t start;
    std::string_view rule_id;
    std::uint32_t index;
  };
  std::vector<Key> keys(findings.size());
  for (std::size_t i = 0; i < findings.size(); ++i) {
    keys[i] = {ranks[file_of[i]], findings[i].location.span.start, findings[i].rule_id,
               static_cast<std::uint32_t>(i)};
  }
  const auto less = [](const Key& left, const Key& right) {
    return std::tie(left.rank, left.start, left.rule_id) <
           std::tie(right.rank, right.start, right.rule_id);
  };
  if (std::ranges::is_sorted(keys, less)) return;
  std::ranges::stable_sort(keys, less);
  std::vector<std::uint32_t> order(keys.size());
  std::ranges::transform(keys, order.begin(), &Key::index);
  permute(findings, order);
}

}  // namespace vorn_core
