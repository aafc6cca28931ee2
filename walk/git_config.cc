#include "walk/git_config.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
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

std::expected<std::optional<std::string>, WalkError> home_directory() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home);
  }
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  int error;
  while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) ==
         ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  // These say that the user has no entry; anything else, that the database
  // could not be read.
  if (error != 0 && error != ENOENT && error != ESRCH && error != EBADF && error != EPERM) {
    return std::unexpected(io_error("/etc/passwd", error));
  }
  if (found == nullptr || found->pw_dir == nullptr) return std::nullopt;
  return std::string(found->pw_dir);
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

std::expected<std::optional<std::string>, WalkError> global_excludes_path() {
  const auto home = home_directory();
  if (!home) return std::unexpected(home.error());
  // The setting of the configuration file at `path`, if any.
  const auto setting_in = [&](const std::string& path)
      -> std::expected<std::optional<std::string>, WalkError> {
    const auto config = read_regular_file(path);
    if (!config) return std::unexpected(config.error());
    if (!*config) return std::nullopt;
    return excludes_file_setting(**config, *home);
  };
  if (*home) {
    auto path = setting_in(join_path(**home, ".gitconfig"));
    if (!path || *path) return path;
  }
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
    base = xdg;
  } else if (*home) {
    base = join_path(**home, ".config");
  } else {
    return std::nullopt;
  }
  auto path = setting_in(join_path(base, "git/config"));
  if (!path || *path) return path;
  return join_path(base, "git/ignore");
}

std::expected<std::optional<std::string>, WalkError> common_git_directory(
    const std::string& dir) {
  const auto line = read_first_line(join_path(dir, ".git"));
  if (!line) return std::unexpected(line.error());
  if (!*line || !(*line)->starts_with("gitdir: ")) return std::nullopt;
  std::string git_dir = (*line)->substr(8);
  // Git reads a relative gitdir from the directory that holds the file, not
  // from wherever the process happens to run.
  if (!git_dir.starts_with('/')) git_dir = join_path(dir, git_dir);
  auto common = read_first_line(join_path(git_dir, "commondir"));
  if (!common) return std::unexpected(common.error());
  if (!*common || (*common)->empty()) return std::nullopt;
  if ((*common)->starts_with('.')) return join_path(git_dir, **common);
  return common;
}

}  // namespace vorn_walk
