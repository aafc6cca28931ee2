#include "walk/gitignore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>
#include <stdexcept>
#include <utility>

#include "base/file.h"
#include "base/text.h"

namespace vorn_walk {
namespace {

// Length of the Unicode White_Space character that ends `s`, or 0. Lines
// are UTF-8 here, and trailing whitespace of any script is trimmed.
std::size_t trailing_space_length(std::string_view s) {
  if (s.empty()) return 0;
  const auto byte = [&](std::size_t from_end) {
    return static_cast<unsigned char>(s[s.size() - from_end]);
  };
  const unsigned char last = byte(1);
  if (last == ' ' || (last >= '\t' && last <= '\r')) return 1;
  if (s.size() >= 2 && byte(2) == 0xC2 && (last == 0x85 || last == 0xA0)) return 2;
  if (s.size() < 3) return 0;
  const unsigned char first = byte(3), middle = byte(2);
  if (first == 0xE1 && middle == 0x9A && last == 0x80) return 3;  // U+1680
  if (first == 0xE2 && middle == 0x80 &&
      ((last >= 0x80 && last <= 0x8A) || last == 0xA8 || last == 0xA9 || last == 0xAF)) {
    return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
  }
  if (first == 0xE2 && middle == 0x81 && last == 0x9F) return 3;  // U+205F
  if (first == 0xE3 && middle == 0x80 && last == 0x80) return 3;  // U+3000
  return 0;
}

std::string_view trim_trailing_space(std::string_view s) {
  while (std::size_t n = trailing_space_length(s)) s.remove_suffix(n);
  return s;
}

std::string_view strip_dot_slash(std::string_view path) {
  if (path.starts_with("./")) path.remove_prefix(2);
  return path;
}

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

}  // namespace

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

std::optional<PatternLine> parse_line(std::string_view line) {
  if (line.starts_with('#')) return std::nullopt;
  if (!line.ends_with("\\ ")) line = trim_trailing_space(line);
  if (line.empty()) return std::nullopt;

  PatternLine out;
  out.original = std::string(line);
  bool anchored = false;
  if (line.starts_with("\\!") || line.starts_with("\\#")) {
    line.remove_prefix(1);
  } else {
    if (line.starts_with('!')) {
      out.whitelist = true;
      line.remove_prefix(1);
    }
    if (line.starts_with('/')) {
      anchored = true;
      line.remove_prefix(1);
    }
  }
  if (line.ends_with('/')) {
    out.dir_only = true;
    line.remove_suffix(1);
    if (line.ends_with('\\')) line.remove_suffix(1);
  }
  if (!anchored && line.find('/') == std::string_view::npos && !line.starts_with("**/")) {
    out.glob = "**/";
  }
  out.glob += line;
  if (out.glob.ends_with("/**")) out.glob += "/*";
  return out;
}

Matcher::Matcher() = default;
Matcher::Matcher(Matcher&&) noexcept = default;
Matcher& Matcher::operator=(Matcher&&) noexcept = default;
Matcher::~Matcher() = default;

std::string_view Matcher::candidate(std::string_view path) const {
  path = strip_dot_slash(path);
  if (base_ != "." && path.find('/') != std::string_view::npos && path.starts_with(base_)) {
    path.remove_prefix(base_.size());
    if (path.starts_with('/')) path.remove_prefix(1);
  }
  return path;
}

Match Matcher::matched(std::string_view path, bool is_dir,
                       std::vector<std::uint32_t>& scratch) const {
  if (!set_) return Match::none;
  scratch.clear();
  set_->matches(candidate(path), scratch);
  for (auto it = scratch.rbegin(); it != scratch.rend(); ++it) {
    const PatternLine& line = lines_[*it];
    if (!line.dir_only || is_dir) return line.whitelist ? Match::whitelist : Match::ignore;
  }
  return Match::none;
}

MatcherBuilder::MatcherBuilder(std::string_view base, UnclosedClass unclosed)
    : base_(strip_dot_slash(base)), unclosed_(unclosed) {}

std::expected<void, GlobError> MatcherBuilder::add_line(std::string_view text) {
  std::optional<PatternLine> line = parse_line(text);
  if (!line) return {};
  auto glob = Glob::compile(line->glob, unclosed_);
  // The error names the line as written, not the glob made from it.
  if (!glob) return std::unexpected(GlobError{line->original, glob.error().reason});
  lines_.push_back(*std::move(line));
  globs_.push_back(*std::move(glob));
  return {};
}

std::expected<Matcher, std::string> MatcherBuilder::build() && {
  Matcher matcher;
  matcher.base_ = std::move(base_);
  if (lines_.empty()) return matcher;
  auto set = GlobSet::build(std::move(globs_));
  if (!set) return std::unexpected(set.error());
  matcher.set_ = *std::move(set);
  matcher.lines_ = std::move(lines_);
  return matcher;
}

namespace {

// The file at `path` opened for reading when it is a regular one (links
// followed), else none. O_NONBLOCK: opening a pipe must not wait for a writer.
vorn_base::FileDescriptor open_regular(const std::string& path) {
  vorn_base::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat st;
  if (file && (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))) return {};
  return file;
}

// Appends `more` to `text`; false when memory does not suffice, which makes
// the file being read one that cannot be read rather than a failed run.
bool append_within_memory(std::string& text, std::string_view more) {
  try {
    text.append(more);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

// No pattern is anywhere near this long; a file with a longer line (a large
// binary or a sparse file of zeros named like an ignore file) is one that
// cannot be read, instead of one that exhausts memory.
constexpr std::size_t kLongestLine = std::size_t{16} << 20;

// Calls `on_line(line)` for each line of the regular file at `path`, without
// its "\n" (and without a "\r" before it), until `on_line` returns false.
// Only a chunk and the line being read are held at a time. False when the
// file cannot be opened, is not a regular file, a read fails or a line is
// longer than kLongestLine.
template <typename OnLine>
bool for_each_line(const std::string& path, OnLine on_line) {
  const vorn_base::FileDescriptor file = open_regular(path);
  if (!file) return false;
  char chunk[1 << 16];
  std::string carried;  // the beginning of a line that runs past a chunk
  for (;;) {
    const std::expected<std::size_t, int> n = vorn_base::read_fully(file.get(), chunk);
    if (!n) return false;
    std::string_view rest(chunk, *n);
    for (std::size_t end; (end = rest.find('\n')) != std::string_view::npos;) {
      std::string_view line = rest.substr(0, end);
      rest.remove_prefix(end + 1);
      if (!carried.empty()) {
        if (!append_within_memory(carried, line)) return false;
        line = carried;
      }
      if (line.ends_with('\r')) line.remove_suffix(1);
      const bool more = on_line(line);
      carried.clear();
      if (!more) return true;
    }
    if (carried.size() + rest.size() > kLongestLine) return false;
    if (!append_within_memory(carried, rest)) return false;
    if (*n < sizeof chunk) {  // the end of the file
      if (!carried.empty()) on_line(std::string_view(carried));
      return true;
    }
  }
}

}  // namespace

IgnoreFile read_ignore_file(const std::string& path, std::string_view base) {
  IgnoreFile out;
  MatcherBuilder builder(base, UnclosedClass::literal);
  const auto error_at = [&](std::size_t number, std::string_view what) {
    return vorn_base::lossy_utf8(path) + ": line " + std::to_string(number) + ": " + std::string(what);
  };
  std::size_t number = 0;
  std::size_t bad_utf8_line = 0;
  const bool read = for_each_line(path, [&](std::string_view line) {
    ++number;
    if (!vorn_base::is_valid_utf8(line)) {
      bad_utf8_line = number;
      return false;
    }
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    if (auto added = builder.add_line(line); !added) {
      out.errors.push_back(error_at(number, added.error().text()));
    }
    return true;
  });
  // A file that cannot be read through is passed over whole.
  if (!read) return {};
  if (bad_utf8_line != 0 && !out.errors.empty()) {
    out.errors.push_back(error_at(bad_utf8_line, "stream did not contain valid UTF-8"));
  }
  if (auto matcher = std::move(builder).build()) {
    out.matcher = *std::move(matcher);
  } else {
    out.errors.push_back(matcher.error());
  }
  return out;
}

std::optional<std::string> read_first_line(const std::string& path) {
  std::optional<std::string> first;
  if (!for_each_line(path, [&](std::string_view line) {
        first.emplace(line);
        return false;
      })) {
    return std::nullopt;
  }
  return first ? first : std::string();
}

std::optional<std::string> read_regular_file(const std::string& path) {
  const vorn_base::FileDescriptor file = open_regular(path);
  if (!file) return std::nullopt;
  std::string data;
  char chunk[1 << 16];
  for (;;) {
    const std::expected<std::size_t, int> n = vorn_base::read_fully(file.get(), chunk);
    if (!n) return std::nullopt;
    if (!append_within_memory(data, {chunk, *n})) return std::nullopt;
    if (*n < sizeof chunk) return data;
  }
}

}  // namespace vorn_walk
