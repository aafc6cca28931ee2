#include "walk/gitignore.h"

#include <utility>

#include "base/text.h"
#include "walk/regular_file.h"

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

}  // namespace

std::optional<PatternLine> parse_line(std::string_view line) {
  if (line.starts_with('#')) return std::nullopt;
  if (!line.ends_with("\\ ")) line = trim_trailing_space(line);
  if (line.empty()) return std::nullopt;

  PatternLine out;
  out.original = line;
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

Match Matcher::matched(std::string_view candidate, bool is_dir,
                       std::vector<std::uint32_t>& scratch) const {
  if (!set_) return Match::none;
  scratch.clear();
  set_->matches(candidate, scratch);
  for (auto it = scratch.rbegin(); it != scratch.rend(); ++it) {
    const LineEffect& line = lines_[*it];
    if (!line.dir_only || is_dir) return line.whitelist ? Match::whitelist : Match::ignore;
  }
  return Match::none;
}

MatcherBuilder::MatcherBuilder(UnclosedClass unclosed) : unclosed_(unclosed) {}

std::expected<void, GlobError> MatcherBuilder::add_line(std::string_view text) {
  std::optional<PatternLine> line = parse_line(text);
  if (!line) return {};
  auto glob = Glob::compile(line->glob, unclosed_);
  // The error names the line as written, not the glob made from it.
  if (!glob) return std::unexpected(GlobError{std::string(line->original), glob.error().reason});
  lines_.push_back({line->whitelist, line->dir_only});
  globs_.push_back(*std::move(glob));
  return {};
}

std::expected<Matcher, std::string> MatcherBuilder::build() && {
  Matcher matcher;
  if (lines_.empty()) return matcher;
  auto set = GlobSet::build(std::move(globs_));
  if (!set) return std::unexpected(set.error());
  matcher.set_ = *std::move(set);
  matcher.lines_ = std::move(lines_);
  return matcher;
}

std::expected<IgnoreFile, WalkError> read_ignore_file(const std::string& path) {
  IgnoreFile out;
  MatcherBuilder builder(UnclosedClass::literal);
  const auto error_at = [&](std::size_t number, std::string_view what) {
    return vorn_base::lossy_utf8(path) + ": line " + std::to_string(number) + ": " +
           std::string(what);
  };
  std::expected<std::optional<LineReader>, WalkError> opened = LineReader::open(path);
  if (!opened) return std::unexpected(std::move(opened.error()));
  if (!*opened) return out;
  LineReader& reader = **opened;
  std::size_t bad_utf8_line = 0;
  for (;;) {
    const auto next = reader.next();
    if (!next) return std::unexpected(next.error());
    if (!*next) break;
    std::string_view line = **next;
    if (!vorn_base::is_valid_utf8(line)) {
      bad_utf8_line = reader.number();
      break;
    }
    if (reader.number() == 1 && line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
    if (auto added = builder.add_line(line); !added) {
      out.errors.push_back(error_at(reader.number(), added.error().text()));
    }
  }
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

}  // namespace vorn_walk
