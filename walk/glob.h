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
// Compiled globs and sets are immutable and safe for concurrent use by
// multiple threads. Matching time is linear in the candidate's length for
// every pattern.
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
  static std::expected<Glob, GlobError> compile(std::string_view pattern,
                                                UnclosedClass unclosed);

  const std::string& pattern() const { return pattern_; }

  // Whether the pattern matches the whole of `candidate`.
  bool is_match(std::string_view candidate) const;

  struct Program;  // the compiled form; defined in glob.cc

 private:
  Glob(std::string pattern, std::shared_ptr<const Program> program);
  friend class GlobSet;

  std::string pattern_;
  std::shared_ptr<const Program> program_;
};

// Globs numbered 0, 1, 2, ... in the order given, matched all at once.
class GlobSet {
 public:
  // Fails only when the matching engine's own limits are exceeded; the text
  // then says why.
  static std::expected<GlobSet, std::string> build(std::vector<Glob> globs);

  GlobSet(GlobSet&&) noexcept;
  GlobSet& operator=(GlobSet&&) noexcept;
  ~GlobSet();

  std::size_t size() const;

  // Appends to `out` the numbers of every member that matches `candidate`,
  // ascending, each once. A set without members matches nothing.
  void matches(std::string_view candidate, std::vector<std::uint32_t>& out) const;

  struct Engine;  // defined in glob.cc

 private:
  explicit GlobSet(std::unique_ptr<const Engine> engine);

  std::unique_ptr<const Engine> engine_;
};

}  // namespace vorn_walk
