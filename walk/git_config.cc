#include "walk/git_config.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "base/text.h"
#include "walk/listing.h"
#include "walk/regular_file.h"

namespace vorn_walk {
namespace {

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::size_t skip_blanks(std::string_view text, std::size_t at) {
  while (at < text.size() && is_blank(text[at])) ++at;
  return at;
}

// Whether blanks from `at` reach the end of a line: a line break among them,
// or the end of the text.
bool blanks_to_line_end(std::string_view text, std::size_t at) {
  const std::size_t end = skip_blanks(text, at);
  return end == text.size() || text.substr(at, end - at).find('\n') != std::string_view::npos;
}

// The capture of `\S+?\s*"?\s*$` with the value starting at `at`: the
// shortest run of non-blanks after which only blanks, at most one quote, and
// a line end follow.
std::optional<std::string_view> value_at(std::string_view text, std::size_t at) {
  std::size_t end = at;
  while (end < text.size() && !is_blank(text[end])) ++end;
  if (end == at) return std::nullopt;
  // A closing quote at the end of the run is left out of the value.
  if (end - at >= 2 && text[end - 1] == '"' && blanks_to_line_end(text, end)) {
    return text.substr(at, end - 1 - at);
  }
  const std::size_t after = skip_blanks(text, end);
  if (blanks_to_line_end(text, end) ||
      (after < text.size() && text[after] == '"' && blanks_to_line_end(text, after + 1))) {
    return text.substr(at, end - at);
  }
  return std::nullopt;
}

bool has_key_at(std::string_view text, std::size_t at) {
  constexpr std::string_view kKey = "excludesfile";
  if (text.size() - at < kKey.size()) return false;
  for (std::size_t i = 0; i < kKey.size(); ++i) {
    const char c = text[at + i];
    if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != kKey[i]) return false;
  }
  return true;
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

// Read by hand rather than by the regular expression that defines it: a
// compiled RE2, and the code of the library it runs, would add some 600 KiB
// to the peak memory of every walk that finds a git configuration, an eighth
// of a whole walk's. A test compares the two on many texts.
std::optional<std::string_view> excludes_file_value(std::string_view config) {
  for (std::size_t line = 0; line <= config.size();) {
    const std::size_t key = skip_blanks(config, line);
    if (has_key_at(config, key)) {
      const std::size_t equals = skip_blanks(config, key + 12);
      if (equals < config.size() && config[equals] == '=') {
        const std::size_t value = skip_blanks(config, equals + 1);
        // An opening quote is left out when that lets the line match.
        if (value < config.size() && config[value] == '"') {
          if (auto found = value_at(config, skip_blanks(config, value + 1))) return found;
        }
        if (auto found = value_at(config, value)) return found;
      }
    }
    const std::size_t next = config.find('\n', line);
    if (next == std::string_view::npos) break;
    line = next + 1;
  }
  return std::nullopt;
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
