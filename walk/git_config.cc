#include "walk/git_config.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include <re2/re2.h>

#include "base/text.h"
#include "walk/listing.h"
#include "walk/regular_file.h"

namespace vorn_walk {
namespace {

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

}  // namespace

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

std::optional<std::string_view> excludes_file_value(std::string_view config) {
  // The definition itself, compiled once: immutable, so every thread may
  // match with it. Latin-1 makes it match bytes; \s is spelled out because
  // RE2's own leaves out \v.
  static const RE2 setting(
      R"((?m)^[\t\n\v\f\r ]*(?i:excludesfile)[\t\n\v\f\r ]*=[\t\n\v\f\r ]*"?[\t\n\v\f\r ]*)"
      R"(([^\t\n\v\f\r ]+?)[\t\n\v\f\r ]*"?[\t\n\v\f\r ]*$)",
      RE2::Latin1);
  re2::StringPiece value;
  if (!RE2::PartialMatch(re2::StringPiece(config.data(), config.size()), setting, &value)) {
    return std::nullopt;
  }
  return std::string_view(value.data(), value.size());
}

std::optional<std::string> global_excludes_path() {
  const std::optional<std::string> home = home_directory();
  if (home) {
    if (auto config = read_regular_file(join_path(*home, ".gitconfig"))) {
      if (auto path = excludes_file_setting(*config, home)) return path;
    }
  }
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    base = xdg;
  } else if (home) {
    base = join_path(*home, ".config");
  } else {
    return std::nullopt;
  }
  if (auto config = read_regular_file(join_path(base, "git/config"))) {
    if (auto path = excludes_file_setting(*config, home)) return path;
  }
  return join_path(base, "git/ignore");
}

std::optional<std::string> common_git_directory(const std::string& dir) {
  const std::optional<std::string> line = read_first_line(join_path(dir, ".git"));
  if (!line || !line->starts_with("gitdir: ")) return std::nullopt;
  std::string git_dir = line->substr(8);
  // Git reads a relative gitdir from the directory that holds the file, not
  // from wherever the process happens to run.
  if (!git_dir.starts_with('/')) git_dir = join_path(dir, git_dir);
  const std::optional<std::string> common = read_first_line(join_path(git_dir, "commondir"));
  if (!common || common->empty()) return std::nullopt;
  if (common->starts_with('.')) return join_path(git_dir, *common);
  return common;
}

}  // namespace vorn_walk
