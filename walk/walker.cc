#include "walk/walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include <oneapi/tbb/spin_mutex.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "base/file.h"
#include "base/text.h"

namespace vorn_walk {
namespace {

// Ends `path` with the "/" that a name joins it by, unless it is empty or
// ends in one already.
void add_separator(std::string& path) {
  if (!path.empty() && path.back() != '/') path.push_back('/');
}

std::string join(std::string_view dir, std::string_view name) {
  std::string out(dir);
  add_separator(out);
  out.append(name);
  return out;
}

std::string io_error_text(std::string_view path, std::string_view reason) {
  const std::string shown = vorn_base::lossy_utf8(path);
  return shown + ": IO error for operation on " + shown + ": " + std::string(reason);
}

std::string io_error_text(std::string_view path, int code) {
  return io_error_text(path, vorn_base::os_error_text(code));
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
  if (!value || !vorn_base::is_valid_utf8(*value)) return std::nullopt;
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
  // The buffer is left unwritten: only the pages the system fills count in
  // the process's memory, and most listings fill one.
  Lister() : buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {}

  // Appends the names in the directory at `path` (without "." and "..") to
  // `slots` and `arena` and notes the special names. Returns 0, or the
  // failing call's error number; then nothing is appended and the special
  // names are all unknown. With `identity`, fills it with the directory's
  // device and inode.
  int list(const char* path, std::vector<Slot>& slots, std::string& arena,
           SpecialNames& special, struct stat* identity) {
    const std::size_t slots_mark = slots.size(), arena_mark = arena.size();
    special.clear_to(NameInfo::unknown);
    const vorn_base::FileDescriptor directory(
        ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
    if (!directory) return errno;
    special.clear_to(NameInfo::absent);
    int error = 0;
    if (identity != nullptr && ::fstat(directory.get(), identity) != 0) error = errno;
    while (error == 0) {
      const ssize_t n = ::getdents64(directory.get(), buffer_.get(), kBufferSize);
      if (n == 0) break;
      if (n < 0) {
        if (errno != EINTR) error = errno;
        continue;
      }
      for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
        const char* record = buffer_.get() + at;
        unsigned short length;
        std::memcpy(&length, record + offsetof(dirent64, d_reclen), sizeof length);
        at += length;
        add(record + offsetof(dirent64, d_name),
            static_cast<unsigned char>(record[offsetof(dirent64, d_type)]), slots, arena,
            special);
      }
    }
    if (error != 0) {
      slots.resize(slots_mark);
      arena.resize(arena_mark);
      special.clear_to(NameInfo::unknown);
    }
    return error;
  }

 private:
  // Most directories fit in one call (and one more sees the end).
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

  std::unique_ptr<char[]> buffer_;
};

// --- Rule sets ------------------------------------------------------------

// The rules of one directory. Immutable once made and shared: each holds
// the nearest rule set above it, so a directory's listing, on whichever
// thread it is made, sees its whole chain.
struct RuleSet {
  Matcher ignore;     // ".ignore"
  Matcher gitignore;  // ".gitignore"
  Matcher exclude;    // the repository's "info/exclude"
  bool repository = false;
  bool ancestor = false;             // a rule set of one of the root's ancestors
  bool repository_on_chain = false;  // this or a rule set above holds a repository
  std::shared_ptr<const RuleSet> parent;  // the nearest rule set above, or null

  bool has_matchers() const { return !ignore.empty() || !gitignore.empty() || !exclude.empty(); }
};

// The chain seen from a directory with its own `rules` below the chain
// `parent`: the rules join it only when they can change a decision.
std::shared_ptr<const RuleSet> chain(RuleSet rules, std::shared_ptr<const RuleSet> parent) {
  if (!rules.repository && !rules.has_matchers()) return parent;
  rules.repository_on_chain = rules.repository || (parent && parent->repository_on_chain);
  rules.parent = std::move(parent);
  return std::make_shared<const RuleSet>(std::move(rules));
}

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
  const std::optional<std::string> line = read_first_line(join(dir, ".git"));
  if (!line || !line->starts_with("gitdir: ")) return std::nullopt;
  std::string git_dir = line->substr(8);
  // Git reads a relative gitdir from the directory that holds the file, not
  // from wherever the process happens to run.
  if (!git_dir.starts_with('/')) git_dir = join(dir, git_dir);
  const std::optional<std::string> common = read_first_line(join(git_dir, "commondir"));
  if (!common || common->empty()) return std::nullopt;
  if (common->starts_with('.')) return join(git_dir, *common);
  return common;
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

// --- Listing ahead of the walk ---------------------------------------------
//
// Listing a directory, loading its rules and judging its entries need
// nothing but the directory's chain of ancestors, so that work is done per
// directory (a Node) by whichever thread claims it first: the walk itself,
// when it reaches a directory nobody has listed yet, or one of the pool's
// workers, which list the directories the walk will need next, the earliest
// in depth-first order first, as long as not too much lies ready and
// unread. The walk then strings the listings together in depth-first order,
// so its items are the same whoever listed what.

// One item of a listed directory, in listing order: an entry to yield, or
// the error met where an entry stood.
struct Item {
  std::uint32_t name_offset = 0;  // in Node::names
  std::uint32_t name_length = 0;
  std::uint32_t index = 0;  // in Node::children for a directory, in Node::errors for an error
  FileType type = FileType::other;
  bool error = false;
};

// A directory of the walk. Its listing is made once, by whichever thread
// claims it; the others wait until it is ready and then only read it.
struct Node {
  Node(std::string path, std::size_t depth, const Node* parent)
      : path(std::move(path)), depth(depth), parent(parent) {}

  const std::string path;  // spelled as the walk spells it
  const std::size_t depth;
  // The directory that holds it, null for the root. It outlives the listing
  // of each of its children: the walk leaves a directory only after it has
  // taken every child's listing.
  const Node* const parent;

  // The listing: written by the thread that claims the node.
  std::shared_ptr<const RuleSet> rules;  // the nearest rule set on its chain
  std::vector<Item> items;
  std::string names;                          // the items' names, end to end
  std::vector<std::string> errors;            // the error items' texts
  std::vector<std::shared_ptr<Node>> children;  // one per directory item, in order
  std::string ignore_errors;
  std::optional<std::string> listing_error;
  dev_t device = 0;  // identity, kept when following links
  ino_t inode = 0;
  std::exception_ptr failure;  // thrown while listing; rethrown to the walk's caller
  std::size_t footprint = 0;   // bytes held, counted while it waits for the walk

  bool claim() {
    int expected = kPending;
    return state_.compare_exchange_strong(expected, kClaimed, std::memory_order_acquire);
  }
  void publish() {
    state_.store(kReady, std::memory_order_release);
    state_.notify_all();
  }
  bool ready() const { return state_.load(std::memory_order_acquire) == kReady; }
  void wait() const {
    for (int now; (now = state_.load(std::memory_order_acquire)) != kReady;) state_.wait(now);
  }

 private:
  enum State : int { kPending, kClaimed, kReady };
  std::atomic<int> state_{kPending};
};

// A directory the workers may list, with its place in depth-first order:
// the ordinals of the directories entered from the root down to it, four
// big-endian bytes each, so that positions compare as byte strings.
struct Wanted {
  std::string position;
  std::shared_ptr<Node> node;
};

void append_ordinal(std::string& position, std::uint32_t ordinal) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    position.push_back(static_cast<char>(ordinal >> shift));
  }
}

// Heap order that keeps the earliest position on top.
bool later(const Wanted& left, const Wanted& right) { return left.position > right.position; }

// How many bytes of listings the workers may hold ready ahead of the walk.
// Ahead of it they only save time when it catches up; a few hundred
// directories of a large tree keep every worker busy meanwhile.
constexpr std::size_t kPrefetchBytes = 128 * 1024;

std::size_t footprint_of(const Node& node) {
  return sizeof(Node) + node.items.capacity() * sizeof(Item) + node.names.capacity() +
         node.children.size() *
             (sizeof(std::shared_ptr<Node>) + sizeof(Node) + 16 + node.path.size());
}

// A thread's working space, kept across the directories it lists.
struct Scratch {
  Lister lister;
  std::vector<Slot> slots;
  std::string arena;  // the slots' names
  std::vector<Item> items;
  std::string names;
  std::string path;      // an entry's path
  std::string absolute;  // an entry's path below the canonical root
  std::vector<std::uint32_t> matches;
  std::vector<Wanted> offers;  // a listed directory's children, offered to the workers
};

}  // namespace

// --- The walk ---------------------------------------------------------------

class Walker::Impl {
 public:
  Impl(std::string root, WalkOptions options)
      : root_(std::move(root)),
        options_(std::move(options)),
        max_workers_(tbb::this_task_arena::max_concurrency() - 1) {
    root_prefix_ = root_.size() + (root_.empty() || root_.ends_with('/') ? 0 : 1);
  }

  ~Impl() {
    {
      tbb::spin_mutex::scoped_lock lock(mutex_);
      stopping_ = true;
    }
    if (max_workers_ > 0) {
      group_.cancel();
      group_.wait();
    }
    // Released one by one: a chain of listings made ahead can be as deep as
    // the tree, too deep for destructors that recurse.
    std::vector<std::shared_ptr<Node>> doomed;
    for (Frame& frame : frames_) doomed.push_back(std::move(frame.node));
    while (!doomed.empty()) {
      const std::shared_ptr<Node> node = std::move(doomed.back());
      doomed.pop_back();
      for (std::shared_ptr<Node>& child : node->children) {
        if (child) doomed.push_back(std::move(child));
      }
    }
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

  // A directory being walked and where the walk stands in its items.
  struct Frame {
    std::shared_ptr<Node> node;
    std::size_t cursor = 0;
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
      ancestors_have_matchers_ = ancestors_have_matchers_ || rules.has_matchers();
      ancestor_rules_ = chain(std::move(rules), std::move(ancestor_rules_));
    }
    return join_lines(errors);
  }

  std::optional<WalkItem> root_entry() {
    phase_ = Phase::done;  // unless the root can be examined
    struct stat st;
    const char* root = root_.c_str();
    if ((options_.follow_links ? ::stat(root, &st) : ::lstat(root, &st)) != 0) {
      return error(io_error_text(root_, errno));
    }
    FileType type = type_of(st.st_mode);
    // Even unfollowed, a root link is followed to decide whether to descend,
    // and a root that leads to a regular file is taken as that file.
    if (type == FileType::symlink) {
      if (::stat(root, &st) != 0) return error(io_error_text(root_, errno));
      if (S_ISREG(st.st_mode)) type = FileType::file;
    }
    const bool descend = S_ISDIR(st.st_mode);
    phase_ = Phase::walking;
    path_ = root_;
    WalkEntry entry{path_, final_name(path_), 0, type, {}};
    if (descend) {
      enter(std::make_shared<Node>(root_, 0, nullptr), 0);
      entry.ignore_errors = entry_errors_;
    }
    return entry;
  }

  std::optional<WalkItem> walk() {
    if (pending_error_) {
      std::string text = *std::move(pending_error_);
      pending_error_.reset();
      return error(std::move(text));
    }
    while (!frames_.empty()) {
      Frame& top = frames_.back();
      Node& dir = *top.node;
      if (top.cursor == dir.items.size()) {
        frames_.pop_back();
        if (!position_.empty()) position_.resize(position_.size() - 4);
        continue;
      }
      const Item& item = dir.items[top.cursor++];
      if (item.error) return error(std::move(dir.errors[item.index]));
      path_.resize(dir.path.size());
      add_separator(path_);
      const std::size_t name_at = path_.size();
      path_.append(dir.names, item.name_offset, item.name_length);
      WalkEntry entry{path_, std::string_view(path_).substr(name_at), dir.depth + 1, item.type, {}};
      if (item.type == FileType::directory) {
        enter(std::move(dir.children[item.index]), item.index);
        entry.ignore_errors = entry_errors_;
      }
      return entry;
    }
    phase_ = Phase::done;
    return std::nullopt;
  }

  // Takes the listing of `node`, the `ordinal`-th directory of the current
  // frame (or the root), and makes it the current frame unless listing it
  // failed; that error is reported after the directory's own entry.
  void enter(std::shared_ptr<Node> node, std::uint32_t ordinal) {
    take(*node, ordinal);
    entry_errors_ = std::move(node->ignore_errors);
    if (node->listing_error) {
      pending_error_ = std::move(node->listing_error);
      return;
    }
    if (node->depth > 0) append_ordinal(position_, ordinal);
    frames_.push_back(Frame{std::move(node), 0});
  }

  // Lists `node` unless a worker has claimed it; then waits for its listing.
  void take(Node& node, std::uint32_t ordinal) {
    if (node.claim()) {
      fill(node, walk_scratch_);
      if (max_workers_ > 0) {
        std::string position = position_;
        if (node.depth > 0) append_ordinal(position, ordinal);
        forget_wanted_through(position);
        want_children(node, position, walk_scratch_);
      }
      node.publish();
    } else {
      // Rather than idle while a worker lists it, list what comes next.
      while (!node.ready() && list_ahead(Role::walk, walk_scratch_)) {
      }
      node.wait();
      ahead_.fetch_sub(node.footprint, std::memory_order_relaxed);
      wake_workers();
    }
    if (node.failure) std::rethrow_exception(node.failure);
  }

  // --- The workers' side ---

  // Offers the directories of the listed `node`, at `position`, to the
  // workers.
  void want_children(const Node& node, const std::string& position, Scratch& scratch) {
    if (node.children.empty()) return;
    std::vector<Wanted>& offers = scratch.offers;
    offers.clear();
    for (std::size_t i = 0; i < node.children.size(); ++i) {
      offers.push_back(Wanted{position, node.children[i]});
      append_ordinal(offers.back().position, static_cast<std::uint32_t>(i));
    }
    int idle;
    {
      tbb::spin_mutex::scoped_lock lock(mutex_);
      for (Wanted& wanted : offers) {
        wanted_.push_back(std::move(wanted));
        std::ranges::push_heap(wanted_, later);
      }
      idle = enlist_workers();
    }
    run_workers(idle);
  }

  // The walk has reached `position` and listed that directory itself: the
  // directories wanted up to there are all taken, so no worker need meet
  // them, and they should not stay alive until one does.
  void forget_wanted_through(const std::string& position) {
    tbb::spin_mutex::scoped_lock lock(mutex_);
    while (!wanted_.empty() && wanted_.front().position <= position) {
      std::ranges::pop_heap(wanted_, later);
      wanted_.pop_back();
    }
  }

  // Puts idle workers back to work after the walk took a listing they made.
  void wake_workers() {
    if (workers_.load(std::memory_order_relaxed) == max_workers_) return;
    int idle;
    {
      tbb::spin_mutex::scoped_lock lock(mutex_);
      idle = enlist_workers();
    }
    run_workers(idle);
  }

  // With mutex_ held: counts in the idle workers that may start now, while
  // there is work to do and room to hold its results. Workers stop at the
  // budget but start again only below half of it, or each listing the walk
  // took would start a worker for one more.
  int enlist_workers() {
    if (stopping_ || ahead_.load(std::memory_order_relaxed) >= kPrefetchBytes / 2) return 0;
    const int wanted = static_cast<int>(std::min<std::size_t>(wanted_.size(), max_workers_));
    const int idle = std::max(0, wanted - workers_.load(std::memory_order_relaxed));
    workers_.fetch_add(idle, std::memory_order_relaxed);
    return idle;
  }

  // Spawning may wake threads: it happens outside the lock.
  void run_workers(int count) {
    for (; count > 0; --count) group_.run([this] { work(); });
  }

  enum class Role { worker, walk };

  // Lists the earliest wanted directory unless none is left or enough lie
  // ready: then returns false, and a worker counts itself out.
  bool list_ahead(Role role, Scratch& scratch) {
    Wanted next;
    {
      tbb::spin_mutex::scoped_lock lock(mutex_);
      if (stopping_ || wanted_.empty() ||
          ahead_.load(std::memory_order_relaxed) >= kPrefetchBytes) {
        if (role == Role::worker) workers_.fetch_sub(1, std::memory_order_relaxed);
        return false;
      }
      std::ranges::pop_heap(wanted_, later);
      next = std::move(wanted_.back());
      wanted_.pop_back();
    }
    Node& node = *next.node;
    if (!node.claim()) return true;  // the walk got there first
    fill(node, scratch);
    node.footprint = footprint_of(node);
    ahead_.fetch_add(node.footprint, std::memory_order_relaxed);
    try {
      want_children(node, next.position, scratch);
    } catch (...) {
      // Listing ahead only saves time: the walk lists what nobody did.
    }
    node.publish();
    return true;
  }

  void work() {
    Scratch scratch;
    while (list_ahead(Role::worker, scratch)) {
    }
  }

  // --- Listing one directory, on any thread ---

  void fill(Node& node, Scratch& scratch) noexcept {
    try {
      list(node, scratch);
    } catch (...) {
      node.failure = std::current_exception();
    }
  }

  // Lists the directory, loads its rule set (even when the listing fails;
  // the errors met go on the directory's entry) and judges its entries.
  void list(Node& node, Scratch& scratch) {
    scratch.slots.clear();
    scratch.arena.clear();
    SpecialNames special;
    struct stat identity;
    const int failure = scratch.lister.list(node.path.c_str(), scratch.slots, scratch.arena,
                                            special, options_.follow_links ? &identity : nullptr);
    std::vector<std::string> errors;
    RuleSet rules = load_rule_set(node.path, special, errors);
    node.ignore_errors = join_lines(errors);
    if (failure != 0) {
      node.listing_error = io_error_text(node.path, failure);
      return;
    }
    if (options_.follow_links) {
      node.device = identity.st_dev;
      node.inode = identity.st_ino;
    }
    node.rules =
        chain(std::move(rules), node.parent != nullptr ? node.parent->rules : ancestor_rules_);
    judge(node, scratch);
  }

  // Turns the listing in `scratch` into the node's items: the entries that
  // survive the rules and the errors met examining entries.
  void judge(Node& node, Scratch& scratch) const {
    scratch.items.clear();
    scratch.names.clear();
    std::string& path = scratch.path;
    path.assign(node.path);
    add_separator(path);
    const std::size_t name_at = path.size();
    std::uint32_t directories = 0;
    for (const Slot& slot : scratch.slots) {
      path.resize(name_at);
      path.append(scratch.arena, slot.offset, slot.length);
      std::expected<FileType, std::string> type = observe(node, slot.type, path);
      if (!type) {
        scratch.items.push_back(
            Item{.index = static_cast<std::uint32_t>(node.errors.size()), .error = true});
        node.errors.push_back(std::move(type.error()));
        continue;
      }
      const std::string_view name(path.data() + name_at, slot.length);
      if (skip(scratch, path, name, *type == FileType::directory, node.rules.get())) continue;
      const std::uint32_t index = *type == FileType::directory ? directories++ : 0;
      scratch.items.push_back(
          Item{static_cast<std::uint32_t>(scratch.names.size()), slot.length, index, *type, false});
      scratch.names.append(name);
    }
    node.items.assign(scratch.items.begin(), scratch.items.end());
    node.names.assign(scratch.names);
    node.children.reserve(directories);
    for (const Item& item : node.items) {
      if (item.error || item.type != FileType::directory) continue;
      path.resize(name_at);
      path.append(node.names, item.name_offset, item.name_length);
      node.children.push_back(std::make_shared<Node>(path, node.depth + 1, &node));
    }
  }

  // The type of the entry at `path` in the directory `dir`, as the walk
  // sees it, from its listing's `d_type`; or the error that examining or
  // following it met.
  std::expected<FileType, std::string> observe(const Node& dir, unsigned char d_type,
                                               const std::string& path) const {
    FileType type;
    switch (d_type) {
      case DT_DIR: type = FileType::directory; break;
      case DT_REG: type = FileType::file; break;
      case DT_LNK: type = FileType::symlink; break;
      case DT_UNKNOWN: {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return std::unexpected(io_error_text(path, errno));
        type = type_of(st.st_mode);
        break;
      }
      default: type = FileType::other; break;
    }
    if (type == FileType::symlink && options_.follow_links) {
      struct stat st;
      if (::stat(path.c_str(), &st) != 0) return std::unexpected(io_error_text(path, errno));
      type = type_of(st.st_mode);
      if (type == FileType::directory) {
        if (auto loop = find_loop(dir, st, path)) return std::unexpected(*std::move(loop));
      }
    }
    return type;
  }

  // The loop error when the directory a followed link leads to (`target`)
  // is `dir` or one of the directories that contain it, the nearest first.
  static std::optional<std::string> find_loop(const Node& dir, const struct stat& target,
                                              std::string_view link) {
    for (const Node* node = &dir; node != nullptr; node = node->parent) {
      if (node->device == target.st_dev && node->inode == target.st_ino) {
        return "File system loop found: " + vorn_base::lossy_utf8(link) + " points to an ancestor " +
               vorn_base::lossy_utf8(node->path);
      }
    }
    return std::nullopt;
  }

  bool skip(Scratch& scratch, std::string_view path, std::string_view name, bool is_dir,
            const RuleSet* rules) const {
    if (!options_.exclusions.empty()) {
      switch (options_.exclusions.matched(path, is_dir, scratch.matches)) {
        case Match::whitelist: return true;  // inverted: an exclusion
        case Match::ignore: return false;
        case Match::none: break;
      }
    }
    if (rules != nullptr) {
      const Match decision = match_rules(scratch, path, is_dir, *rules);
      if (decision != Match::none) return decision == Match::ignore;
    }
    return name.starts_with('.') && !name.ends_with('.');
  }

  // The ignore files' decision for an entry whose nearest rule set is
  // `nearest`: per kind the nearest match counts, and the kinds rank
  // ".ignore", ".gitignore", exclude file, global file.
  Match match_rules(Scratch& scratch, std::string_view path, bool is_dir,
                    const RuleSet& nearest) const {
    const bool git = nearest.repository_on_chain;
    Match ignore = Match::none, gitignore = Match::none, exclude = Match::none;
    bool above_repository = false;
    const auto visit = [&](const RuleSet& rules, std::string_view candidate) {
      if (ignore == Match::none) ignore = rules.ignore.matched(candidate, is_dir, scratch.matches);
      if (git && !above_repository) {
        if (gitignore == Match::none) {
          gitignore = rules.gitignore.matched(candidate, is_dir, scratch.matches);
        }
        if (exclude == Match::none) {
          exclude = rules.exclude.matched(candidate, is_dir, scratch.matches);
        }
      }
      above_repository = above_repository || rules.repository;
      return ignore != Match::none;  // nothing can outrank it
    };
    const RuleSet* rules = &nearest;
    for (; rules != nullptr && !rules->ancestor; rules = rules->parent.get()) {
      if (visit(*rules, path)) return ignore;
    }
    if (rules != nullptr && ancestors_have_matchers_) {
      // The ancestors' files see the entry below the canonical root.
      std::string& absolute = scratch.absolute;
      absolute.assign(canonical_root_);
      add_separator(absolute);
      absolute.append(path.substr(std::min(root_prefix_, path.size())));
      for (; rules != nullptr; rules = rules->parent.get()) {
        if (visit(*rules, absolute)) return ignore;
      }
    }
    if (gitignore != Match::none) return gitignore;
    if (exclude != Match::none) return exclude;
    return git ? global_.matched(path, is_dir, scratch.matches) : Match::none;
  }

  static WalkItem error(std::string text) { return std::unexpected(WalkError{std::move(text)}); }

  // Fixed before the first directory is listed; read by every thread.
  std::string root_;
  std::size_t root_prefix_;  // bytes of an entry's path before its root-relative part
  WalkOptions options_;
  Matcher global_;
  std::string canonical_root_;
  bool ancestors_have_matchers_ = false;
  std::shared_ptr<const RuleSet> ancestor_rules_;  // the nearest ancestor's, or null
  const int max_workers_;  // 0: the calling thread lists every directory itself

  // The walk's own state, on the calling thread.
  Phase phase_ = Phase::start;
  std::vector<Frame> frames_;
  std::string path_;          // the current entry's path
  std::string position_;      // the current frame's position (see Wanted)
  std::string entry_errors_;  // ignore-file errors of the directory just entered
  std::optional<std::string> pending_error_;

  // Shared with the workers.
  Scratch walk_scratch_;  // the calling thread's
  std::atomic<std::size_t> ahead_{0};  // bytes listed by workers and not yet taken
  // Held for a few heap steps at a time, so waiting threads spin rather
  // than sleep.
  tbb::spin_mutex mutex_;
  std::vector<Wanted> wanted_;  // a heap by `later`; guarded by mutex_
  std::atomic<int> workers_{0};  // changed with mutex_ held
  bool stopping_ = false;       // guarded by mutex_
  tbb::task_group group_;
};

Walker::Walker(std::string root, WalkOptions options)
    : impl_(std::make_unique<Impl>(std::move(root), std::move(options))) {}

Walker::~Walker() = default;

std::optional<WalkItem> Walker::next() { return impl_->next(); }

}  // namespace vorn_walk
