// The ignore rules of a walk: the kinds of ignore files and their precedence,
// the rule set of each directory (repository detection and loading), the
// chain of rule sets an entry is judged by, and the judgement itself.
//
// Judging (WalkRules::skips and WalkRules::decide) makes no file-system call:
// every file it depends on is read when a rule set is loaded. Rule sets and
// WalkRules are immutable once made and may be read by any number of threads
// at once, each with its own JudgeScratch; loading may run on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "walk/gitignore.h"
#include "walk/listing.h"
#include "walk/walk_error.h"

namespace vorn_walk {

enum class IgnoreKind : std::uint8_t { ignore, gitignore, repository_exclude, global };

// Where the file of a kind is found.
enum class IgnoreSource : std::uint8_t {
  directory,      // `file_name` in each directory the walk enters, and in the root's ancestors
  git_directory,  // `file_name` under the git directory of each such directory
  git_config,     // the file that git's configuration names (global_excludes_path)
};

struct IgnoreKindInfo {
  IgnoreKind kind;
  std::string_view file_name;
  IgnoreSource source;
  bool git_only;      // consulted only where a repository holds the entry
  std::uint8_t rank;  // of two kinds that decide, the one of lower rank wins
};

// Every kind of ignore rule, one row per kind in the order of IgnoreKind.
inline constexpr std::array<IgnoreKindInfo, 4> kIgnoreKinds{{
    {IgnoreKind::ignore, ".ignore", IgnoreSource::directory, false, 0},
    {IgnoreKind::gitignore, ".gitignore", IgnoreSource::directory, true, 1},
    {IgnoreKind::repository_exclude, "info/exclude", IgnoreSource::git_directory, true, 2},
    {IgnoreKind::global, "", IgnoreSource::git_config, true, 3},
}};

// The kinds that a directory's rule set holds: all but the global one, which
// the walk holds once.
inline constexpr std::size_t kDirectoryKinds = kIgnoreKinds.size() - 1;

// A kind indexes its row, the one kind found through git's configuration
// comes last, after the kinds of each directory, and no two kinds share a
// rank.
static_assert([] {
  std::array<bool, kIgnoreKinds.size()> ranked{};
  for (std::size_t i = 0; i < kIgnoreKinds.size(); ++i) {
    const IgnoreKindInfo& info = kIgnoreKinds[i];
    if (static_cast<std::size_t>(info.kind) != i || info.rank >= ranked.size()) return false;
    if (ranked[info.rank] || (info.source == IgnoreSource::git_config) != (i == kDirectoryKinds)) {
      return false;
    }
    ranked[info.rank] = true;
  }
  return true;
}());

// The rules of one directory. Immutable once chained and shared: each holds
// the nearest rule set above it, so a directory's listing, on whichever
// thread it is made, sees its whole chain.
struct RuleSet {
  std::array<Matcher, kDirectoryKinds> matchers;  // indexed by IgnoreKind
  bool repository = false;
  bool ancestor = false;             // a rule set of one of the root's ancestors
  bool repository_on_chain = false;  // this or a rule set above holds a repository
  // Where an entry's candidate for these matchers begins: for a walked
  // directory, the bytes of the directory's path below the root and one "/"
  // (none for the root), cut from the entry's path below the root; for an
  // ancestor, the bytes of its path and one "/", cut from the entry's path
  // below the canonical root.
  std::size_t prefix = 0;
  std::shared_ptr<const RuleSet> parent;  // the nearest rule set above, or null

  bool has_matchers() const;
};

// The chain seen from a directory with its own `rules` below the chain
// `parent`: the rules join it only when they can change a decision.
std::shared_ptr<const RuleSet> chain(RuleSet rules, std::shared_ptr<const RuleSet> parent);

// Loads the rule set of the directory at `dir` (spelled as the walk spells
// it, or absolute for an ancestor), knowing from its `listing` which names it
// holds; with no listing every name is looked up. Errors in the lines of its
// ignore files are appended to `errors`, one per line. The caller sets its
// `prefix`. Fails when a file it depends on cannot be examined or read (see
// regular_file.h).
std::expected<RuleSet, WalkError> load_rule_set(const std::string& dir, const Listing* listing,
                                                std::string& errors);

// The user's global excludes file (global_excludes_path), whose lines apply
// below the current directory.
struct GlobalRules {
  Matcher matcher;  // empty without a file or a current directory
  // What an entry's candidate is its path below the root prefixed with: the
  // root's path below the current directory when the root lies below it (a
  // byte-wise prefix), else the root itself; either without "." components
  // and with one "/" at its end.
  std::string prefix;
};

// Loads the global excludes file for a walk of `root`. The errors of its
// lines are dropped; it fails only when a file cannot be read.
std::expected<GlobalRules, WalkError> load_global_excludes(std::string_view root);

// The rule sets of the ancestors of a root that is a directory.
struct AncestorRules {
  std::shared_ptr<const RuleSet> nearest;  // the chain, nearest first; null when empty
  std::string canonical_root;  // the root made absolute and canonical
  bool have_matchers = false;
  std::string errors;  // in the lines of their ignore files, one per line
};

// Loads the rule set of every ancestor of the canonical `root`, from "/" down
// to its parent. When the root cannot be made canonical no ancestor counts.
// Fails as load_rule_set does, or when memory runs out.
std::expected<AncestorRules, WalkError> load_ancestors(const std::string& root);

// The matcher of a walk's exclusion patterns (see WalkOptions::exclude),
// matched below the root: each pattern p is the line "!p", so every line is a
// whitelist line, and an entry that any line matches is excluded. Fails with
// the error of the first pattern that does not compile.
std::expected<Matcher, WalkError> exclusion_matcher(std::span<const std::string> patterns);

// A thread's working space for judging entries.
struct JudgeScratch {
  std::vector<std::uint32_t> matches;
  std::string absolute;  // an entry's path below the canonical root
  std::string global;    // an entry's candidate for the global file
};

// Everything besides the directories' own rule sets that entries are judged
// by; fixed before the walk lists its first directory.
struct WalkRules {
  Matcher exclusions;  // see exclusion_matcher
  GlobalRules global;
  AncestorRules ancestors;

  // Whether the entry at `relative`, its path below the root (never empty),
  // named `name`, whose nearest rule set is `nearest` (null when the chain
  // is empty), is skipped: an exclusion line decides alone; else the ignore
  // files' decision; else an entry whose name begins with "." (and does not
  // end with ".") is hidden.
  bool skips(const RuleSet* nearest, std::string_view relative, std::string_view name,
             bool is_dir, JudgeScratch& scratch) const;

  // The ignore files' decision for the entry at `relative`: within each kind
  // the nearest directory that decides wins (a kind that only a repository
  // knows counts only inside one, and no further up than the nearest
  // directory that holds it); between kinds, the lower rank.
  Match decide(const RuleSet& nearest, std::string_view relative, bool is_dir,
               JudgeScratch& scratch) const;
};

}  // namespace vorn_walk
