// Temporary directory trees for the tests of the walk and of discovery.
// Included by tests only.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vorn_walk {

inline void check_call(bool ok, std::string_view what) {
  if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// A fresh directory under $TMPDIR (or /tmp), spelled canonically, removed
// with everything in it, at any depth, when the object dies. It holds a
// folder "home" that IsolatedHome may use; tests build their trees beside it.
class TestTree {
 public:
  TestTree() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/vorn-walk-XXXXXX";
    check_call(::mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    char* canonical = ::realpath(pattern.c_str(), nullptr);
    check_call(canonical != nullptr, "realpath");
    root_ = canonical;
    std::free(canonical);
  }
  ~TestTree() { remove(""); }
  TestTree(const TestTree&) = delete;
  TestTree& operator=(const TestTree&) = delete;

  const std::string& root() const { return root_; }

  std::string path(std::string_view relative) const {
    return relative.empty() ? root_ : root_ + "/" + std::string(relative);
  }

  // Creates the directory and any missing parents.
  void mkdir(std::string_view relative) const {
    std::string full = path(relative);
    for (std::size_t at = root_.size() + 1; at <= full.size(); ++at) {
      if (at == full.size() || full[at] == '/') {
        const std::string prefix = full.substr(0, at);
        check_call(::mkdir(prefix.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + prefix);
      }
    }
  }

  // Writes a file, creating its parents.
  void write(std::string_view relative, std::string_view content = {}) const {
    make_parent(relative);
    const std::string full = path(relative);
    const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check_call(fd >= 0, "open " + full);
    const bool ok = ::write(fd, content.data(), content.size()) ==
                    static_cast<ssize_t>(content.size());
    ::close(fd);
    check_call(ok, "write " + full);
  }

  // Makes `relative` a symbolic link holding `target`.
  void link(std::string_view target, std::string_view relative) const {
    make_parent(relative);
    const std::string full = path(relative);
    check_call(::symlink(std::string(target).c_str(), full.c_str()) == 0, "symlink " + full);
  }

  // Removes `relative` with all it holds; paths longer than the system's
  // limit included.
  void remove(std::string_view relative) const {
    const std::string full = path(relative);
    const pid_t child = ::fork();
    if (child == 0) {
      ::execlp("rm", "rm", "-rf", "--", full.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    if (child > 0) ::waitpid(child, &status, 0);
  }

  // Creates a chain of `levels` directories each named `name` below
  // `relative`, walking down by descriptor so that the chain may grow longer
  // than the system's path limit.
  void mkdir_chain(std::string_view relative, const std::string& name, int levels) const {
    mkdir(relative);
    int fd = ::open(path(relative).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check_call(fd >= 0, "open");
    for (int i = 0; i < levels; ++i) {
      check_call(::mkdirat(fd, name.c_str(), 0755) == 0, "mkdirat");
      const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      ::close(fd);
      check_call(child >= 0, "openat");
      fd = child;
    }
    ::close(fd);
  }

 private:
  void make_parent(std::string_view relative) const {
    const std::size_t slash = relative.rfind('/');
    if (slash != std::string_view::npos) mkdir(relative.substr(0, slash));
  }

  std::string root_;
};

// The first ignore file or repository marker ("/.git", "/tmp/.ignore", ...)
// in the real ancestors of the tree, which every walk below it consults;
// nullopt when they hold none, as the rule tests assume.
inline std::optional<std::string> marker_above(const TestTree& tree) {
  std::string dir = tree.root();
  while (dir != "/") {
    dir = dir.substr(0, std::max<std::size_t>(dir.rfind('/'), 1));
    for (const char* name : {".git", ".jj", ".ignore", ".gitignore"}) {
      const std::string path = (dir == "/" ? "" : dir) + "/" + name;
      struct stat st;
      if (::lstat(path.c_str(), &st) == 0) return path;
    }
  }
  return std::nullopt;
}

// Changes the current directory for as long as it lives.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir) {
    char* old = ::getcwd(nullptr, 0);
    check_call(old != nullptr, "getcwd");
    old_ = old;
    std::free(old);
    check_call(::chdir(dir.c_str()) == 0, "chdir " + dir);
  }
  ~ScopedCwd() { (void)::chdir(old_.c_str()); }
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::string old_;
};

// Sets an environment variable for as long as it lives, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    set(value);
  }
  ~ScopedEnv() { set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

  const char* name_;
  std::optional<std::string> old_;
};

// Points "HOME" at the tree's empty "home" folder and "XDG_CONFIG_HOME" at
// "home/.config", so that no test reads the real user's git configuration.
class IsolatedHome {
 public:
  explicit IsolatedHome(const TestTree& tree)
      : home_("HOME", (tree.mkdir("home"), tree.path("home"))),
        config_("XDG_CONFIG_HOME", tree.path("home/.config")) {}

 private:
  ScopedEnv home_;
  ScopedEnv config_;
};

}  // namespace vorn_walk
