#include "walk/walker.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "walk/directory.h"
#include "walk/read_ahead.h"
#include "walk/rules.h"

namespace vorn_walk {
namespace {

// How many bytes of filled directories the workers may hold ready ahead of
// the walk. Ahead of it they only save time when it catches up; a few
// hundred directories of a large tree keep every worker busy meanwhile.
constexpr std::size_t kReadAheadBytes = 128 * 1024;

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

}  // namespace

class Walker::Impl {
 public:
  Impl(std::string root, bool follow_links, Matcher exclusions, vorn_base::Pool& pool)
      : root_(std::move(root)),
        follow_links_(follow_links),
        filler_(rules_, follow_links_,
                root_.size() + (root_.empty() || root_.ends_with('/') ? 0 : 1)),
        read_ahead_(filler_, kReadAheadBytes, pool) {
    rules_.exclusions = std::move(exclusions);
  }

  ~Impl() {
    read_ahead_.stop();
    // Released one by one: a chain of directories filled ahead can be as
    // deep as the tree, too deep for destructors that recurse.
    std::vector<std::shared_ptr<DirectoryNode>> doomed;
    for (Frame& frame : frames_) doomed.push_back(std::move(frame.node));
    while (!doomed.empty()) {
      const std::shared_ptr<DirectoryNode> node = std::move(doomed.back());
      doomed.pop_back();
      for (std::shared_ptr<DirectoryNode>& child : node->children) {
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
    std::shared_ptr<DirectoryNode> node;
    std::size_t cursor = 0;
  };

  static WalkItem error(std::string text) { return std::unexpected(WalkError{std::move(text)}); }

  std::optional<WalkItem> start() {
    if (is_stdin_root(root_)) {
      phase_ = Phase::done;
      return WalkEntry{"<stdin>", "<stdin>", 0, FileType::stdin, {}};
    }
    if (root_.find('\0') != std::string::npos) {
      phase_ = Phase::done;
      return std::unexpected(io_error(root_, "file name contained an unexpected NUL byte"));
    }
    // Rules that could not be read would judge the whole walk wrongly: such
    // a failure ends it.
    phase_ = Phase::done;
    std::expected<GlobalRules, WalkError> global = load_global_excludes(root_);
    if (!global) return std::unexpected(std::move(global.error()));
    rules_.global = *std::move(global);
    struct stat st;
    if (::stat(root_.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::expected<AncestorRules, WalkError> ancestors = load_ancestors(root_);
      if (!ancestors) return std::unexpected(std::move(ancestors.error()));
      rules_.ancestors = *std::move(ancestors);
    }
    phase_ = Phase::root;
    if (!rules_.ancestors.errors.empty()) return error(rules_.ancestors.errors);
    return root_entry();
  }

  std::optional<WalkItem> root_entry() {
    phase_ = Phase::done;  // unless the root can be examined
    struct stat st;
    const char* root = root_.c_str();
    if ((follow_links_ ? ::stat(root, &st) : ::lstat(root, &st)) != 0) {
      return std::unexpected(io_error(root_, errno));
    }
    FileType type = type_of(st.st_mode);
    // Even unfollowed, a root link is followed to decide whether to descend,
    // and a root that leads to a regular file is taken as that file.
    if (type == FileType::symlink) {
      if (::stat(root, &st) != 0) return std::unexpected(io_error(root_, errno));
      if (S_ISREG(st.st_mode)) type = FileType::file;
    }
    const bool descend = S_ISDIR(st.st_mode);
    phase_ = Phase::walking;
    path_ = root_;
    WalkEntry entry{path_, final_name(path_), 0, type, {}};
    if (descend) {
      enter(std::make_shared<DirectoryNode>(root_, 0, nullptr), 0);
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
      DirectoryNode& dir = *top.node;
      if (top.cursor == dir.items.size()) {
        frames_.pop_back();
        if (!frames_.empty()) position_.ascend();
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

  // Takes `node`, the `ordinal`-th directory of the current frame (or the
  // root), and makes it the current frame unless listing it failed; that
  // error is reported after the directory's own entry.
  void enter(std::shared_ptr<DirectoryNode> node, std::uint32_t ordinal) {
    if (node->depth > 0) position_.descend(ordinal);
    read_ahead_.take(*node, position_);
    entry_errors_ = std::move(node->ignore_errors);
    if (node->enter_error) {
      pending_error_ = std::move(node->enter_error);
      if (node->depth > 0) position_.ascend();
      return;
    }
    frames_.push_back(Frame{std::move(node), 0});
  }

  // Fixed before the first directory is listed; read by every thread.
  const std::string root_;
  const bool follow_links_;
  WalkRules rules_;
  const DirectoryFiller filler_;

  // The walk's own state, on the calling thread.
  Phase phase_ = Phase::start;
  std::vector<Frame> frames_;
  std::string path_;          // the current entry's path
  Position position_;         // the current frame's place
  std::string entry_errors_;  // ignore-file errors of the directory just entered
  std::optional<std::string> pending_error_;

  ReadAhead<DirectoryFiller> read_ahead_;  // last: stopped before the rest goes
};

std::expected<Walker, WalkError> Walker::create(std::string root, WalkOptions options,
                                                vorn_base::Pool& pool) {
  std::expected<Matcher, WalkError> exclusions = exclusion_matcher(options.exclude);
  if (!exclusions) return std::unexpected(std::move(exclusions.error()));
  return Walker(std::make_unique<Impl>(std::move(root), options.follow_links,
                                       *std::move(exclusions), pool));
}

Walker::Walker(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Walker::Walker(Walker&&) noexcept = default;
Walker& Walker::operator=(Walker&&) noexcept = default;
Walker::~Walker() = default;

std::optional<WalkItem> Walker::next() { return impl_->next(); }

}  // namespace vorn_walk
