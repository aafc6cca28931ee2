// Gitignore-style pattern lines and the matchers built from them.
//
// A matcher holds the lines of one ignore file (or the exclusion lines of a
// walk), all compiled into one GlobSet so that a candidate is tested against
// every line in one pass. A candidate is the entry's path below the matcher's
// base directory (the one that holds the ignore file), which the walk knows
// from where the entry stands, whatever the spelling of its root:
//
//   MatcherBuilder builder(UnclosedClass::literal);
//   builder.add_line("*.log");
//   builder.add_line("!keep.log");
//   Matcher matcher = *std::move(builder).build();
//   std::vector<std::uint32_t> scratch;
//   matcher.matched("a/keep.log", false, scratch);  // Match::whitelist
//   matcher.matched("a/x.log", false, scratch);     // Match::ignore
//
// Matchers are immutable once built and safe for concurrent use by multiple
// threads, provided each thread passes its own scratch vector.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "walk/glob.h"
#include "walk/walk_error.h"

namespace vorn_walk {

// What a matcher says about an entry.
enum class Match : std::uint8_t {
  none,       // no line decides
  ignore,     // a plain line decides: the entry is skipped
  whitelist,  // a "!" line decides: the entry is kept
};

// One pattern line, turned into the glob that gets compiled.
struct PatternLine {
  // The line after trimming, a leading "!" included; it points into the text
  // handed to parse_line.
  std::string_view original;
  std::string glob;        // the glob actually compiled
  bool whitelist = false;  // the line began with "!"
  bool dir_only = false;   // the line ended with "/": it applies to directories only
};

// Turns one line into a pattern line, or nullopt for a comment ("#" first)
// or a line that is empty once trailing whitespace is removed. Does not
// compile the glob.
//
// Trailing whitespace is kept when the line ends with a backslash and a
// space. "\!" and "\#" at the start lose the backslash and make a plain,
// unanchored line; otherwise "!" whitelists and a following "/" anchors the
// line to the base. A trailing "/" (and a backslash just before it) is
// removed and makes the line directory-only. An unanchored line without "/"
// gets "**/" in front (unless it begins with it) so that it matches at any
// depth; a line ending in "/**" gets "/*" appended so that it matches inside
// the directory but not the directory itself.
std::optional<PatternLine> parse_line(std::string_view line);

// The lines of one ignore file, or the exclusion lines.
class Matcher {
 public:
  // An empty matcher: no lines, matches nothing.
  Matcher();

  Matcher(Matcher&&) noexcept;
  Matcher& operator=(Matcher&&) noexcept;
  ~Matcher();

  bool empty() const { return lines_.empty(); }

  // The decision for the entry at `candidate`, its path below the base: of
  // the lines whose glob matches it, the last in file order that is not
  // directory-only, or is while `is_dir`, decides. `scratch` is working
  // space, overwritten.
  Match matched(std::string_view candidate, bool is_dir,
                std::vector<std::uint32_t>& scratch) const;

 private:
  friend class MatcherBuilder;

  // What a line says when its glob matches. Two bytes a line: an ignore
  // file may hold millions of lines, and their texts are not needed once
  // compiled.
  struct LineEffect {
    bool whitelist = false;
    bool dir_only = false;
  };

  std::vector<LineEffect> lines_;  // in file order
  std::optional<GlobSet> set_;  // absent exactly when there are no lines
};

// Collects lines for one matcher.
class MatcherBuilder {
 public:
  // `unclosed` says what a "[" that is never closed means: `literal` for
  // ignore files, `error` for exclusion lines.
  explicit MatcherBuilder(UnclosedClass unclosed);

  // Adds one line (see parse_line). A glob that does not compile leaves the
  // line out and fails with an error naming the trimmed line, whose text is
  // "error parsing glob '{line}': {reason}".
  std::expected<void, GlobError> add_line(std::string_view line);

  // Completes the matcher. Fails, with the glob engine's own text, only when
  // the engine's limits are exceeded.
  std::expected<Matcher, std::string> build() &&;

 private:
  UnclosedClass unclosed_;
  std::vector<Matcher::LineEffect> lines_;
  std::vector<Glob> globs_;
};

// An ignore file read into a matcher.
struct IgnoreFile {
  Matcher matcher;
  // "{path}: line {n}: {error}" for each line left out, in line order.
  std::vector<std::string> errors;
};

// Reads the ignore file at `path` line by line into a matcher (ignore-file
// options: an unclosed "[" is literal). Lines end at "\n" (a
// "\r" before it is dropped too); a byte-order mark opening the first line is
// dropped. Reading stops at the first line that is not valid UTF-8; that is
// recorded as the error "stream did not contain valid UTF-8" only when some
// other line failed as well. Paths in error texts are shown as lossy UTF-8.
// A file that LineReader passes over gives an empty matcher and no error; a
// line of more than 16 MiB is passed over alone. Fails when the file cannot
// be read through (see LineReader).
std::expected<IgnoreFile, WalkError> read_ignore_file(const std::string& path);

}  // namespace vorn_walk
