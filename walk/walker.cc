#include "walk/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "walk/text.h"

namespace vorn_walk {
namespace {

std::string join(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

std::string io_error_text(std::string_view path, std::string_view reason) {
  const std::string shown = lossy_utf8(path);
  return shown + ": IO error for operation on " + shown + ": " + std::string(reason);
}

std::string io_error_text(std::string_view path, int code) {
  return io_error_text(path, os_error_text(code));
}

FileType type_of(mode_t mode) {
  if (S_ISREG(mode)) return FileType::file;
  if (S_ISDIR(mode)) return FileType::directory;
  if (S_ISLNK(mode)) return FileType::symlink;
  return FileType::other;
}

// The root names standard input when its only component is the name "-".
bool is_stdin_root(std::string_view root) {
  if (!root.starts_with('-')) return false;
  for (std::size_t i = 1; i < root.size(); ++i) {
    if (root[i] != '/' && !(root[i] == '.' && root[i - 1] == '/' &&
                            (i + 1 == root.size() || root[i + 1] == '/'))) {
      return false;
    }
  }
  return true;
}

// The root's last name component: trailing separators and "." pieces do not
// count; "/", ".", ".." and the empty path have none.
std::string_view final_name(std::string_view path) {
  for (;;) {
    while (path.ends_with('/') && path.size() > 1) path.remove_suffix(1);
    if (path.ends_with("/.")) {
      path.remove_suffix(2);
      continue;
    }
    break;
  }
  const std::size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name == "." || name == "..") return {};
  return name;
}

std::string_view first_line(std::string_view text) {
  const std::size_t end = text.find('\n');
  if (end == std::string_view::npos) return text;
  std::string_view line = text.substr(0, end);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// --- The user's global excludes file -------------------------------------

std::optional<std::string> home_directory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return std::nullopt;
}

// The excludes file that a git configuration text names, with every "~"
// replaced by the home directory; nullopt when it names none or the name is
// not UTF-8.
std::optional<std::string> excludes_file_setting(std::string_view config,
                                                 const std::optional<std::string>& home) {
  const std::optional<std::string_view> value = excludes_file_value(config);
  if (!value || !is_valid_utf8(*value)) return std::nullopt;
  if (!home) return std::string(*value);
  std::string expanded;
  for (const char c : *value) {
    if (c == '~') {
      expanded += *home;
    } else {
      expanded += c;
    }
  }
  return expanded;
}

std::optional<std::string> global_excludes_path() {
  const std::optional<std::string> home = home_directory();
  if (home) {
    if (auto config = read_regular_file(join(*home, ".gitconfig"))) {
      if (auto path = excludes_file_setting(*config, home)) return path;
    }
  }
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    base = xdg;
  } else if (home) {
    base = join(*home, ".config");
  } else {
    return std::nullopt;
  }
  if (auto config = read_regular_file(join(base, "git/config"))) {
    if (auto path = excludes_file_setting(*config, home)) return path;
  }
  return join(base, "git/ignore");
}

Matcher load_global_excludes() {
  std::vector<char> cwd(4096);
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) return {};
    cwd.resize(cwd.size() * 2);
  }
  const std::optional<std::string> path = global_excludes_path();
  if (!path) return {};
  return read_ignore_file(*path, cwd.data()).matcher;
}

// --- Directory listings -------------------------------------------------

// What a directory's listing says about one of the names that decide its
// rule set.
struct NameInfo {
  enum Presence : std::uint8_t { absent, present, unknown } presence = unknown;
  unsigned char type = DT_UNKNOWN;  // for `present`
};

struct SpecialNames {
  NameInfo git, jj, ignore, gitignore;

  void clear_to(NameInfo::Presence presence) {
    git = jj = ignore = gitignore = NameInfo{presence, DT_UNKNOWN};
  }

  void note(std::string_view name, unsigned char type) {
    NameInfo* info = name == ".git"         ? &git
                     : name == ".jj"        ? &jj
                     : name == ".ignore"    ? &ignore
                     : name == ".gitignore" ? &gitignore
                                            : nullptr;
    if (info != nullptr) *info = NameInfo{NameInfo::present, type};
  }
};

// One name of a listing: its bytes live in the walk's name arena.
struct Slot {
  std::size_t offset;
  std::uint32_t length;
  unsigned char type;  // d_type
};

class Lister {
 public:
  Lister() : buffer_(kBufferSize) {}

  // Appends the names in the directory at `path` (without "." and "..") to
  // `slots` and `arena` and notes the special names. Returns 0 or the
  // failing call's error number (and then appends nothing). With `identity`,
  // fills it with the directory's device and inode.
  int list(const char* path, std::vector<Slot>& slots, std::string& arena,
           SpecialNames& special, struct stat* identity) {
    const std::size_t slots_mark = slots.size(), arena_mark = arena.size();
    special.clear_to(NameInfo::absent);
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return errno;
    int error = 0;
    if (identity != nullptr && ::fstat(fd, identity) != 0) error = errno;
    while (error == 0) {
      const ssize_t n = ::getdents64(fd, buffer_.data(), buffer_.size());
      if (n == 0) break;
      if (n < 0) {
        if (errno != EINTR) error = errno;
        continue;
      }
      for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
        const char* record = buffer_.data() + at;
        unsigned short length;
        std::memcpy(&length, record + offsetof(dirent64, d_reclen), sizeof length);
        at += length;
        add(record + offsetof(dirent64, d_name),
            static_cast<unsigned char>(record[offsetof(dirent64, d_type)]), slots, arena,
            special);
      }
    }
    ::close(fd);
    if (error != 0) {
      slots.resize(slots_mark);
      arena.resize(arena_mark);
      special.clear_to(NameInfo::unknown);
    }
    return error;
  }

 private:
  // Large enough that most directories take one call (and one more to see
  // the end), small enough to stay in cache.
  static constexpr std::size_t kBufferSize = 64 * 1024;

  static void add(const char* name, unsigned char type, std::vector<Slot>& slots,
                  std::string& arena, SpecialNames& special) {
    const std::size_t length = std::strlen(name);
    if (name[0] == '.') {
      if (length == 1 || (length == 2 && name[1] == '.')) return;
      special.note(std::string_view(name, length), type);
    }
    slots.push_back(Slot{arena.size(), static_cast<std::uint32_t>(length), type});
    arena.append(name, length);
  }

  std::vector<char> buffer_;
};

// --- Rule sets ------------------------------------------------------------

struct RuleSet {
  Matcher ignore;     // ".ignore"
  Matcher gitignore;  // ".gitignore"
  Matcher exclude;    // the repository's "info/exclude"
  bool repository = false;
  bool ancestor = false;            // a rule set of one of the root's ancestors
  bool repository_on_chain = false; // this or a rule set above holds a repository
  int parent = -1;                  // index of the nearest rule set above, or -1

  bool worth_keeping() const {
    return repository || !ignore.empty() || !gitignore.empty() || !exclude.empty();
  }
};

enum class GitEntry { none, directory, file, other };

GitEntry git_entry(const std::string& dir, const NameInfo& info) {
  if (info.presence == NameInfo::absent) return GitEntry::none;
  if (info.presence == NameInfo::present && info.type == DT_DIR) return GitEntry::directory;
  if (info.presence == NameInfo::present && info.type == DT_REG) return GitEntry::file;
  // A link (or an unknown type) counts only when it can be followed.
  struct stat st;
  if (::stat(join(dir, ".git").c_str(), &st) != 0) return GitEntry::none;
  if (S_ISDIR(st.st_mode)) return GitEntry::directory;
  if (S_ISREG(st.st_mode)) return GitEntry::file;
  return GitEntry::other;
}

bool has_entry(const std::string& dir, const NameInfo& info, std::string_view name) {
  if (info.presence != NameInfo::unknown) return info.presence == NameInfo::present;
  struct stat st;
  return ::lstat(join(dir, name).c_str(), &st) == 0;
}

// The common git directory of a linked worktree whose ".git" is a file:
// "gitdir: DIR" on its first line, and DIR's "commondir" file naming the
// common directory on its first line. nullopt when either is missing.
std::optional<std::string> common_git_directory(const std::string& dir) {
  const std::optional<std::string> dot_git = read_regular_file(join(dir, ".git"));
  if (!dot_git) return std::nullopt;
  const std::string_view line = first_line(*dot_git);
  if (!line.starts_with("gitdir: ")) return std::nullopt;
  std::string git_dir(line.substr(8));
  // Git reads a relative gitdir from the directory that holds the file, not
  // from wherever the process happens to run.
  if (!git_dir.starts_with('/')) git_dir = join(dir, git_dir);
  const std::optional<std::string> commondir = read_regular_file(join(git_dir, "commondir"));
  if (!commondir) return std::nullopt;
  const std::string_view common = first_line(*commondir);
  if (common.empty()) return std::nullopt;
  if (common.starts_with('.')) return join(git_dir, common);
  return std::string(common);
}

// Loads the rule set of the directory at `dir` (spelled as the walk spells
// it, or absolute for an ancestor). Errors are appended to `errors`.
RuleSet load_rule_set(const std::string& dir, const SpecialNames& special,
                      std::vector<std::string>& errors) {
  RuleSet rules;
  const GitEntry git = git_entry(dir, special.git);
  rules.repository = git != GitEntry::none || has_entry(dir, special.jj, ".jj");
  const auto load = [&](Matcher& into, const std::string& path) {
    IgnoreFile file = read_ignore_file(path, dir);
    into = std::move(file.matcher);
    for (std::string& error : file.errors) errors.push_back(std::move(error));
  };
  if (special.ignore.presence != NameInfo::absent) load(rules.ignore, join(dir, ".ignore"));
  if (special.gitignore.presence != NameInfo::absent) {
    load(rules.gitignore, join(dir, ".gitignore"));
  }
  if (git == GitEntry::file) {
    if (auto common = common_git_directory(dir)) load(rules.exclude, join(*common, "info/exclude"));
  } else if (git != GitEntry::none) {
    load(rules.exclude, join(dir, ".git/info/exclude"));
  }
  return rules;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    if (!out.empty()) out.push_back('\n');
    out += line;
  }
  return out;
}

}  // namespace

// --- The walk ---------------------------------------------------------------

class Walker::Impl {
 public:
  Impl(std::string root, WalkOptions options)
      : root_(std::move(root)), options_(std::move(options)) {
    root_prefix_ = root_.size() + (root_.empty() || root_.ends_with('/') ? 0 : 1);
  }

  std::optional<WalkItem> next() {
    switch (phase_) {
      case Phase::start:
        return start();
      case Phase::root:
        return root_entry();
      case Phase::walking:
        return walk();
      case Phase::done:
        break;
    }
    return std::nullopt;
  }

 private:
  enum class Phase { start, root, walking, done };

  // A directory being walked: its listing and where the walk stands in it.
  struct Frame {
    std::size_t path_length;  // of the directory's path in path_
    std::size_t depth;        // of the directory
    std::size_t cursor, end;  // its names: slots_[cursor, end)
    std::size_t slots_mark, arena_mark, rules_mark;  // to drop what it added
    int rules;                // nearest rule set on its chain, or -1
    dev_t device;             // identity, kept when following links
    ino_t inode;
  };

  std::optional<WalkItem> start() {
    if (is_stdin_root(root_)) {
      phase_ = Phase::done;
      return WalkEntry{"<stdin>", "<stdin>", 0, FileType::stdin, {}};
    }
    if (root_.find('\0') != std::string::npos) {
      phase_ = Phase::done;
      return error(io_error_text(root_, "file name contained an unexpected NUL byte"));
    }
    phase_ = Phase::root;
    global_ = load_global_excludes();
    struct stat st;
    if (::stat(root_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      if (std::string errors = load_ancestors(); !errors.empty()) return error(std::move(errors));
    }
    return root_entry();
  }

  // Loads the rule sets of the canonical root's ancestors, from "/" down to
  // its parent; returns their errors, one per line.
  std::string load_ancestors() {
    char* canonical = ::realpath(root_.c_str(), nullptr);
    if (canonical == nullptr) return {};
    canonical_root_ = canonical;
    std::free(canonical);
    std::vector<std::string> errors;
    SpecialNames unknown;  // no listing: every name is probed
    for (std::size_t slash = 0; canonical_root_ != "/" && slash != std::string::npos;
         slash = canonical_root_.find('/', slash + 1)) {
      const std::string dir = slash == 0 ? "/" : canonical_root_.substr(0, slash);
      RuleSet rules = load_rule_set(dir, unknown, errors);
      rules.ancestor = true;
      if (push_rule_set(std::move(rules), static_cast<int>(rules_.size()) - 1)) {
        ancestors_have_matchers_ = ancestors_have_matchers_ || has_matchers(rules_.back());
      }
    }
    return join_lines(errors);
  }

  static bool has_matchers(const RuleSet& rules) {
    return !rules.ignore.empty() || !rules.gitignore.empty() || !rules.exclude.empty();
  }

  // Keeps `rules` below `parent` when it can change a decision.
  bool push_rule_set(RuleSet rules, int parent) {
    if (!rules.worth_keeping()) return false;
    rules.parent = parent;
    rules.repository_on_chain =
        rules.repository || (parent >= 0 && rules_[static_cast<std::size_t>(parent)].repository_on_chain);
    rules_.push_back(std::move(rules));
    return true;
  }

  std::optional<WalkItem> root_entry() {
    phase_ = Phase::done;  // unless the root can be examined
    struct stat st;
    FileType type;
    bool descend;
    if (options_.follow_links) {
      if (::stat(root_.c_str(), &st) != 0) return error(io_error_text(root_, errno));
      type = type_of(st.st_mode);
      descend = type == FileType::directory;
    } else {
      if (::lstat(root_.c_str(), &st) != 0) return error(io_error_text(root_, errno));
      type = type_of(st.st_mode);
      descend = type == FileType::directory;
      if (type == FileType::symlink) {
        if (::stat(root_.c_str(), &st) != 0) return error(io_error_text(root_, errno));
        // A root that leads to a regular file is taken as that file.
        if (S_ISREG(st.st_mode)) type = FileType::file;
        descend = S_ISDIR(st.st_mode);
      }
    }
    phase_ = Phase::walking;
    path_ = root_;
    WalkEntry entry{path_, final_name(path_), 0, type, {}};
    if (descend) {
      enter(0, rules_.empty() ? -1 : static_cast<int>(rules_.size()) - 1);
      entry.ignore_errors = entry_errors_;
    }
    return entry;
  }

  // Lists the directory at path_, loads its rule set and makes it the
  // current frame. A listing that fails leaves an error to be reported after
  // the directory's own entry.
  void enter(std::size_t depth, int parent_rules) {
    Frame frame{};
    frame.path_length = path_.size();
    frame.depth = depth;
    frame.slots_mark = slots_.size();
    frame.arena_mark = arena_.size();
    frame.rules_mark = rules_.size();
    SpecialNames special;
    struct stat identity;
    const int failure = lister_.list(path_.c_str(), slots_, arena_, special,
                                     options_.follow_links ? &identity : nullptr);
    std::vector<std::string> errors;
    RuleSet rules = load_rule_set(path_, special, errors);
    entry_errors_ = join_lines(errors);
    if (failure != 0) {
      pending_error_ = io_error_text(path_, failure);
      return;
    }
    frame.rules = push_rule_set(std::move(rules), parent_rules)
                      ? static_cast<int>(rules_.size()) - 1
                      : parent_rules;
    frame.cursor = frame.slots_mark;
    frame.end = slots_.size();
    if (options_.follow_links) {
      frame.device = identity.st_dev;
      frame.inode = identity.st_ino;
    }
    frames_.push_back(frame);
  }

  std::optional<WalkItem> walk() {
    if (pending_error_) {
      std::string text = *std::move(pending_error_);
      pending_error_.reset();
      return error(std::move(text));
    }
    while (!frames_.empty()) {
      Frame& top = frames_.back();
      if (top.cursor == top.end) {
        slots_.resize(top.slots_mark);
        arena_.resize(top.arena_mark);
        rules_.erase(rules_.begin() + static_cast<std::ptrdiff_t>(top.rules_mark), rules_.end());
        frames_.pop_back();
        continue;
      }
      const Slot slot = slots_[top.cursor++];
      const std::size_t depth = top.depth + 1;
      const int rules = top.rules;
      path_.resize(top.path_length);
      if (!path_.empty() && path_.back() != '/') path_.push_back('/');
      const std::size_t name_at = path_.size();
      path_.append(arena_, slot.offset, slot.length);

      FileType type;
      switch (slot.type) {
        case DT_DIR: type = FileType::directory; break;
        case DT_REG: type = FileType::file; break;
        case DT_LNK: type = FileType::symlink; break;
        case DT_UNKNOWN: {
          struct stat st;
          if (::lstat(path_.c_str(), &st) != 0) return error(io_error_text(path_, errno));
          type = type_of(st.st_mode);
          break;
        }
        default: type = FileType::other; break;
      }
      if (type == FileType::symlink && options_.follow_links) {
        struct stat st;
        if (::stat(path_.c_str(), &st) != 0) return error(io_error_text(path_, errno));
        type = type_of(st.st_mode);
        if (type == FileType::directory) {
          if (auto loop = find_loop(st)) return error(*std::move(loop));
        }
      }
      const std::string_view name(path_.data() + name_at, slot.length);
      const bool is_dir = type == FileType::directory;
      if (skip(path_, name, is_dir, rules)) continue;
      WalkEntry entry{path_, name, depth, type, {}};
      if (is_dir) {
        enter(depth, rules);
        entry.ignore_errors = entry_errors_;
      }
      return entry;
    }
    phase_ = Phase::done;
    return std::nullopt;
  }

  // The loop error when the directory a followed link leads to (`target`)
  // is one of the directories that contain the link, the nearest first.
  std::optional<std::string> find_loop(const struct stat& target) const {
    for (auto frame = frames_.rbegin(); frame != frames_.rend(); ++frame) {
      if (frame->device == target.st_dev && frame->inode == target.st_ino) {
        return "File system loop found: " + lossy_utf8(path_) + " points to an ancestor " +
               lossy_utf8(std::string_view(path_).substr(0, frame->path_length));
      }
    }
    return std::nullopt;
  }

  bool skip(std::string_view path, std::string_view name, bool is_dir, int rules) {
    if (!options_.exclusions.empty()) {
      switch (options_.exclusions.matched(path, is_dir, scratch_)) {
        case Match::whitelist: return true;  // inverted: an exclusion
        case Match::ignore: return false;
        case Match::none: break;
      }
    }
    if (rules >= 0) {
      const Match decision = match_rules(path, is_dir, rules);
      if (decision != Match::none) return decision == Match::ignore;
    }
    return name.starts_with('.') && !name.ends_with('.');
  }

  // The ignore files' decision for an entry whose nearest rule set is
  // rules_[index]: per kind the nearest match counts, and the kinds rank
  // ".ignore", ".gitignore", exclude file, global file.
  Match match_rules(std::string_view path, bool is_dir, int index) {
    const bool git = rules_[static_cast<std::size_t>(index)].repository_on_chain;
    Match ignore = Match::none, gitignore = Match::none, exclude = Match::none;
    bool above_repository = false;
    const auto visit = [&](const RuleSet& rules, std::string_view candidate) {
      if (ignore == Match::none) ignore = rules.ignore.matched(candidate, is_dir, scratch_);
      if (git && !above_repository) {
        if (gitignore == Match::none) {
          gitignore = rules.gitignore.matched(candidate, is_dir, scratch_);
        }
        if (exclude == Match::none) exclude = rules.exclude.matched(candidate, is_dir, scratch_);
      }
      above_repository = above_repository || rules.repository;
      return ignore != Match::none;  // nothing can outrank it
    };
    int i = index;
    for (; i >= 0 && !rules_[static_cast<std::size_t>(i)].ancestor;
         i = rules_[static_cast<std::size_t>(i)].parent) {
      if (visit(rules_[static_cast<std::size_t>(i)], path)) return ignore;
    }
    if (i >= 0 && ancestors_have_matchers_) {
      // The ancestors' files see the entry below the canonical root.
      absolute_.assign(canonical_root_);
      if (absolute_.back() != '/') absolute_.push_back('/');
      absolute_.append(path.substr(std::min(root_prefix_, path.size())));
      for (; i >= 0; i = rules_[static_cast<std::size_t>(i)].parent) {
        if (visit(rules_[static_cast<std::size_t>(i)], absolute_)) return ignore;
      }
    }
    if (gitignore != Match::none) return gitignore;
    if (exclude != Match::none) return exclude;
    return git ? global_.matched(path, is_dir, scratch_) : Match::none;
  }

  static WalkItem error(std::string text) { return std::unexpected(WalkError{std::move(text)}); }

  std::string root_;
  std::size_t root_prefix_;  // bytes of an entry's path before its root-relative part
  WalkOptions options_;
  Phase phase_ = Phase::start;

  Matcher global_;
  std::string canonical_root_;
  bool ancestors_have_matchers_ = false;
  std::vector<RuleSet> rules_;  // ancestors first, then one per entered directory that has rules

  std::vector<Frame> frames_;
  std::vector<Slot> slots_;  // the listings of every frame, stacked
  std::string arena_;        // their names' bytes
  Lister lister_;

  std::string path_;          // the current entry's path
  std::string entry_errors_;  // ignore-file errors of the directory just entered
  std::optional<std::string> pending_error_;
  std::string absolute_;      // scratch: an entry's path below the canonical root
  std::vector<std::uint32_t> scratch_;
};

Walker::Walker(std::string root, WalkOptions options)
    : impl_(std::make_unique<Impl>(std::move(root), std::move(options))) {}

Walker::~Walker() = default;

std::optional<WalkItem> Walker::next() { return impl_->next(); }

}  // namespace vorn_walk
