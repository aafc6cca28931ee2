// The glob dialect of ignore files, exclusion lines and override patterns.
//
// A pattern must match the whole candidate. Candidates are byte strings (not
// necessarily UTF-8); matching is case-sensitive and byte-wise. `*` and `?`
// never match "/", backslash escapes are on and empty alternatives inside
// braces are dropped; only the meaning of an unclosed "[" varies by user.
//
//   auto glob = Glob::compile("**/*.rs", UnclosedClass::error);
//   auto set = GlobSet::build({*glob});
//   std::vector<std::uint32_t> hits;
//   set->matches("src/a.rs", hits);  // hits == {0}
//
// Elements:
//   c        an ordinary byte matches itself; a character outside ASCII
//            stands for its own UTF-8 bytes
//   \c       the character c, literally; a backslash that ends the pattern
//            is an error
//   ?        one byte other than "/"
//   *        a run of bytes without "/"
//   **       as a whole component (see below) any number of components;
//            anywhere else the same as `*`
//   [...]    one byte of a set; `[!...]` and `[^...]` one byte outside it.
//            Members are characters and ranges such as `a-z` (by character
//            code); "]" right after the opening (or the negation mark) and
//            "-" at either end are members; a backslash is an ordinary member.
//            A class may admit "/" even though `*` and `?` never do.
//   {a,b}    any one of the alternatives; groups nest; an empty alternative
//            is dropped, and a group of only empty alternatives matches the
//            empty text
//
// `**` is a whole component when what stands before it is the start of the
// pattern or a "/" and what follows it is the end of the pattern or a "/":
// `**` alone matches everything, `**/x` matches x at any depth (and `**/`
// alone the empty text or a text ending in "/"), `x/**` everything below x
// but not x itself, `x/**/y` zero or more directories between x and y.
// Inside braces, the start of an alternative stands where its group stands
// (so `src/{**/*.rs,*.md}` matches src/a/b.rs), and the end of an alternative
// counts as the end of the pattern only when nothing follows its group; a
// "/" after a group does not make a `**` that ends an alternative whole.
//
// Characters outside ASCII in a class: a class still matches exactly one
// byte. A member character stands for every byte of its UTF-8 encoding, and
// a range for every byte that occurs in the encoding of a character inside
// it, so `[é]` matches one of the two bytes of "é" (`[é][é]` matches "é").
// A pattern byte that is not part of valid UTF-8 stands for itself and has
// its byte value as its character code.
//
// Compiled globs and sets are immutable and safe for concurrent use by
// multiple threads. Matching a candidate against a glob or a set takes time
// at most linear in the candidate's length times the patterns' size, with a
// small constant, whatever the patterns; it allocates nothing that grows
// with the patterns, and a compiled pattern keeps a few bytes per byte.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_walk {

// What a "[" that is never closed means.
enum class UnclosedClass {
  error,    // a compile error (override patterns and exclusion lines)
  literal,  // the "[" stands for itself (ignore-file lines)
};

// Why a pattern did not compile.
struct GlobError {
  std::string pattern;  // the pattern as handed to the compiler
  std::string reason;   // e.g. "unclosed character class; missing ']'"

  // "error parsing glob '{pattern}': {reason}"
  std::string text() const;
};

// One compiled pattern.
class Glob {
 public:
  // Fails only with one of the dialect's five reasons: an unclosed class
  // (when `unclosed` refuses it), an invalid range, an unopened or unclosed
  // group, or a dangling backslash. The first fault from the left is reported,
  // except that a "[" never closed is unclosed before any range inside it is
  // judged.
  static std::expected<Glob, GlobError> compile(std::string_view pattern,
                                                UnclosedClass unclosed);

  // Whether the pattern matches the whole of `candidate`.
  bool is_match(std::string_view candidate) const;

 private:
  friend class GlobSet;
  struct Program;  // the compiled form; defined in glob.cc

  explicit Glob(std::shared_ptr<const Program> program);

  std::shared_ptr<const Program> program_;
};

// Globs numbered 0, 1, 2, ... in the order given, matched all at once.
//
// The common shapes of ignore files (a literal path, `**/name`, `*.ext`,
// `**/*.ext`, `dir/**`, `dir/**/*.ext`, ...) are answered by hash lookups and
// byte comparisons; the other members share a few RE2 automata, up to a
// budget, and beyond it, or where RE2 would be slow, each is matched by an
// automaton of its own (see walk/glob_regex.h).
class GlobSet {
 public:
  // Fails only when the matching engine's own limits are exceeded; the text
  // then says why. (The present engine has no such limit: members that RE2
  // cannot hold are matched by automata of their own.)
  static std::expected<GlobSet, std::string> build(std::vector<Glob> globs);

  GlobSet(GlobSet&&) noexcept;
  GlobSet& operator=(GlobSet&&) noexcept;
  ~GlobSet();

  std::size_t size() const;

  // Appends to `out` the numbers of every member that matches `candidate`,
  // ascending, each once. A set without members matches nothing.
  void matches(std::string_view candidate, std::vector<std::uint32_t>& out) const;

 private:
  struct Engine;  // defined in glob.cc

  explicit GlobSet(std::unique_ptr<const Engine> engine);

  std::unique_ptr<const Engine> engine_;
};

}  // namespace vorn_walk
