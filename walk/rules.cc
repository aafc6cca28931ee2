#include "walk/rules.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

#include "walk/git_config.h"
#include "walk/regular_file.h"

namespace vorn_walk {
namespace {

// The kinds in the order in which they decide.
constexpr std::array<IgnoreKind, kIgnoreKinds.size()> kKindsByRank = [] {
  std::array<IgnoreKind, kIgnoreKinds.size()> order{};
  for (const IgnoreKindInfo& info : kIgnoreKinds) order[info.rank] = info.kind;
  return order;
}();

// What a directory's listing says about a name its rule set depends on.
struct Sighting {
  enum Presence : std::uint8_t { absent, present, unknown } presence = unknown;
  unsigned char type = DT_UNKNOWN;  // for `present`
};

struct Sightings {
  Sighting git, jj;
  std::array<Sighting, kDirectoryKinds> files;  // for the kinds found in the directory itself
};

Sightings sight(const Listing* listing) {
  Sightings out;
  if (listing == nullptr) return out;
  out.git = out.jj = Sighting{Sighting::absent};
  out.files.fill(Sighting{Sighting::absent});
  for (const ListedName& entry : listing->entries) {
    const std::string_view name = listing->name(entry);
    if (!name.starts_with('.')) continue;
    const Sighting seen{Sighting::present, entry.type};
    if (name == ".git") out.git = seen;
    if (name == ".jj") out.jj = seen;
    for (const IgnoreKindInfo& info : kIgnoreKinds) {
      if (info.source == IgnoreSource::directory && name == info.file_name) {
        out.files[static_cast<std::size_t>(info.kind)] = seen;
      }
    }
  }
  return out;
}

// What the entry `name` of a directory is once links are followed.
enum class Followed { none, directory, file, other };

// What the entry `name` of `dir` is, from the listing's `seen` when it tells,
// else from a status call: a link counts only when it can be followed. Fails
// when the status cannot be taken for another reason than the entry's
// absence (see passed_over).
std::expected<Followed, WalkError> followed(const std::string& dir, const Sighting& seen,
                                            std::string_view name) {
  if (seen.presence == Sighting::absent) return Followed::none;
  if (seen.presence == Sighting::present && seen.type != DT_LNK && seen.type != DT_UNKNOWN) {
    if (seen.type == DT_DIR) return Followed::directory;
    return seen.type == DT_REG ? Followed::file : Followed::other;
  }
  const std::string path = join_path(dir, name);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (passed_over(errno)) return Followed::none;
    return std::unexpected(io_error(path, errno));
  }
  if (S_ISDIR(st.st_mode)) return Followed::directory;
  return S_ISREG(st.st_mode) ? Followed::file : Followed::other;
}

// The git directory whose files the directory `dir` reads, given what its
// ".git" is; nullopt for none.
std::expected<std::optional<std::string>, WalkError> git_directory(const std::string& dir,
                                                                   Followed git) {
  if (git == Followed::none) return std::nullopt;
  if (git == Followed::file) return common_git_directory(dir);
  return join_path(dir, ".git");
}

// `path` without its empty and "." components, each kept one followed by
// "/": "./." gives "", "././src" gives "src/", "/./a//b" gives "/a/b/".
std::string without_dot_components(std::string_view path) {
  std::string out = path.starts_with('/') ? "/" : "";
  while (!path.empty()) {
    const std::size_t slash = std::min(path.find('/'), path.size());
    const std::string_view piece = path.substr(0, slash);
    if (!piece.empty() && piece != ".") out.append(piece).push_back('/');
    path.remove_prefix(std::min(slash + 1, path.size()));
  }
  return out;
}

}  // namespace

bool RuleSet::has_matchers() const {
  return std::ranges::any_of(matchers, [](const Matcher& matcher) { return !matcher.empty(); });
}

std::shared_ptr<const RuleSet> chain(RuleSet rules, std::shared_ptr<const RuleSet> parent) {
  if (!rules.repository && !rules.has_matchers()) return parent;
  rules.repository_on_chain = rules.repository || (parent && parent->repository_on_chain);
  rules.parent = std::move(parent);
  return std::make_shared<const RuleSet>(std::move(rules));
}

std::expected<RuleSet, WalkError> load_rule_set(const std::string& dir, const Listing* listing,
                                                std::string& errors) {
  const Sightings seen = sight(listing);
  RuleSet rules;
  const auto git = followed(dir, seen.git, ".git");
  if (!git) return std::unexpected(git.error());
  const auto jj = followed(dir, seen.jj, ".jj");
  if (!jj) return std::unexpected(jj.error());
  rules.repository = *git != Followed::none || *jj != Followed::none;
  const auto load = [&](IgnoreKind kind,
                        const std::string& path) -> std::expected<void, WalkError> {
    std::expected<IgnoreFile, WalkError> file = read_ignore_file(path);
    if (!file) return std::unexpected(std::move(file.error()));
    rules.matchers[static_cast<std::size_t>(kind)] = std::move(file->matcher);
    for (const std::string& error : file->errors) {
      if (!errors.empty()) errors.push_back('\n');
      errors += error;
    }
    return {};
  };
  for (const IgnoreKindInfo& info : kIgnoreKinds) {
    std::expected<void, WalkError> loaded;
    if (info.source == IgnoreSource::directory) {
      if (seen.files[static_cast<std::size_t>(info.kind)].presence != Sighting::absent) {
        loaded = load(info.kind, join_path(dir, info.file_name));
      }
    } else if (info.source == IgnoreSource::git_directory) {
      const auto git_dir = git_directory(dir, *git);
      if (!git_dir) return std::unexpected(git_dir.error());
      if (*git_dir) loaded = load(info.kind, join_path(**git_dir, info.file_name));
    }
    if (!loaded) return std::unexpected(std::move(loaded.error()));
  }
  return rules;
}

std::expected<GlobalRules, WalkError> load_global_excludes(std::string_view root) {
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return GlobalRules{};
    buffer.resize(buffer.size() * 2);
  }
  const auto path = global_excludes_path();
  if (!path) return std::unexpected(path.error());
  if (!*path) return GlobalRules{};
  std::expected<IgnoreFile, WalkError> file = read_ignore_file(**path);
  if (!file) return std::unexpected(std::move(file.error()));
  GlobalRules out{std::move(file->matcher), without_dot_components(root)};
  const std::string_view cwd = buffer.data();
  if (out.prefix.starts_with(cwd)) {
    out.prefix.erase(0, cwd.size());
    if (out.prefix.starts_with('/')) out.prefix.erase(0, 1);
  }
  return out;
}

std::expected<AncestorRules, WalkError> load_ancestors(const std::string& root) {
  AncestorRules out;
  char* canonical = ::realpath(root.c_str(), nullptr);
  if (canonical == nullptr) {
    // No ancestor counts for a root that cannot be made canonical, unless
    // that is for want of memory.
    if (errno == ENOMEM) return std::unexpected(io_error(root, errno));
    return out;
  }
  out.canonical_root = canonical;
  std::free(canonical);
  const std::string& path = out.canonical_root;
  for (std::size_t slash = 0; path != "/" && slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    std::expected<RuleSet, WalkError> loaded = load_rule_set(dir, nullptr, out.errors);
    if (!loaded) return std::unexpected(std::move(loaded.error()));
    RuleSet& rules = *loaded;
    rules.ancestor = true;
    rules.prefix = dir == "/" ? 1 : dir.size() + 1;
    out.have_matchers = out.have_matchers || rules.has_matchers();
    out.nearest = chain(std::move(rules), std::move(out.nearest));
  }
  return out;
}

std::expected<Matcher, WalkError> exclusion_matcher(std::span<const std::string> patterns) {
  MatcherBuilder builder(UnclosedClass::error);
  for (const std::string& pattern : patterns) {
    if (auto added = builder.add_line("!" + pattern); !added) {
      return std::unexpected(WalkError{added.error().text()});
    }
  }
  auto matcher = std::move(builder).build();
  if (!matcher) return std::unexpected(WalkError{std::move(matcher.error())});
  return *std::move(matcher);
}

bool WalkRules::skips(const RuleSet* nearest, std::string_view relative, std::string_view name,
                      bool is_dir, JudgeScratch& scratch) const {
  if (exclusions.matched(relative, is_dir, scratch.matches) != Match::none) return true;
  if (nearest != nullptr) {
    const Match decision = decide(*nearest, relative, is_dir, scratch);
    if (decision != Match::none) return decision == Match::ignore;
  }
  return name.starts_with('.') && !name.ends_with('.');
}

Match WalkRules::decide(const RuleSet& nearest, std::string_view relative, bool is_dir,
                        JudgeScratch& scratch) const {
  const bool git = nearest.repository_on_chain;
  std::array<Match, kDirectoryKinds> found{};
  // Whether a kind has decided that outranks `info`.
  const auto outranked = [&](const IgnoreKindInfo& info) {
    for (std::size_t k = 0; k < kDirectoryKinds; ++k) {
      if (found[k] != Match::none && kIgnoreKinds[k].rank < info.rank) return true;
    }
    return false;
  };
  bool above_repository = false;
  // Matches the kinds still open against `rules`, the candidate cut from
  // `place`; true once nothing can outrank what was found.
  const auto visit = [&](const RuleSet& rules, std::string_view place) {
    const std::string_view candidate = place.substr(rules.prefix);
    bool settled = false;
    for (std::size_t k = 0; k < kDirectoryKinds; ++k) {
      const IgnoreKindInfo& info = kIgnoreKinds[k];
      if (info.git_only && (!git || above_repository)) continue;
      if (found[k] == Match::none && !outranked(info)) {
        found[k] = rules.matchers[k].matched(candidate, is_dir, scratch.matches);
      }
      settled = settled || (found[k] != Match::none && info.rank == 0);
    }
    above_repository = above_repository || rules.repository;
    return settled;
  };
  const RuleSet* rules = &nearest;
  bool settled = false;
  for (; rules != nullptr && !rules->ancestor && !settled; rules = rules->parent.get()) {
    settled = visit(*rules, relative);
  }
  if (rules != nullptr && !settled && ancestors.have_matchers) {
    // The ancestors' files see the entry below the canonical root.
    std::string& absolute = scratch.absolute;
    absolute.assign(ancestors.canonical_root);
    add_separator(absolute);
    absolute.append(relative);
    for (; rules != nullptr && !settled; rules = rules->parent.get()) {
      settled = visit(*rules, absolute);
    }
  }
  for (const IgnoreKind kind : kKindsByRank) {
    const auto k = static_cast<std::size_t>(kind);
    if (kind == IgnoreKind::global) {
      // The global file is matched only when no kind before it decided.
      if ((kIgnoreKinds[k].git_only && !git) || global.matcher.empty()) continue;
      std::string_view candidate = relative;
      if (!global.prefix.empty()) candidate = scratch.global.assign(global.prefix).append(relative);
      if (const Match m = global.matcher.matched(candidate, is_dir, scratch.matches);
          m != Match::none) {
        return m;
      }
    } else if (found[k] != Match::none) {
      return found[k];
    }
  }
  return Match::none;
}

}  // namespace vorn_walk
