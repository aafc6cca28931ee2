// The members of a set that no shape answers, matched many at a time by RE2
// sets, and their translation into RE2 expressions.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "walk/glob.h"
#include "walk/glob_automaton.h"
#include "walk/glob_syntax.h"

namespace vorn_walk::glob {

// The pattern as an RE2 expression over Latin-1, so that each byte of the
// candidate is one character; the caller anchors it at both ends.
std::string to_regex(const std::vector<Item>& items, const std::vector<ByteSet>& classes);

// Two adjacent bytes that every text the pattern matches contains, as
// (first << 8 | second), or -1 when there are none to be had.
int required_pair(const std::vector<Item>& items);

// What RegexSets hands to RE2 and how long RE2 may take.
struct RegexLimits {
  // RE2 is handed expressions of at most this many bytes in all, a few
  // thousand typical lines: its program and state cache take tens of
  // bytes per byte of expression, an automaton about two per byte of
  // pattern.
  std::size_t regex_bytes = 256 << 10;
  // The memory of one RE2 set: enough for a few thousand typical lines
  // with room for its state cache. A set that needs more is split.
  std::int64_t set_memory = 32 << 20;
  // A set gives up once its timed calls took longer than this many
  // nanoseconds, plus `nanos_per_word_byte` for each byte that they were
  // asked about and each word of the members' automata, some ten times
  // what the automata would take.
  std::uint64_t slow_start_nanos = 20'000'000;
  std::uint64_t nanos_per_word_byte = 32;
};

// Members matched by RE2 sets, a few thousand to a set, each set one pass
// over the candidate. A member goes to its own bit-parallel automaton
// instead when RE2 cannot hold it, when its shape would make RE2's
// automaton grow with every byte, when the sets already hold their budget
// of expressions, and, for good, once its set has run out of memory or has
// taken far longer than the automata would: an RE2 set whose automaton
// needs a new state at nearly every byte keeps building them, each at the
// cost of a pass over all its members, and never falls back by itself.
//
// Built by one thread, then only read: safe for concurrent matches (the mark
// of a set that gave up is atomic).
class RegexSets {
 public:
  explicit RegexSets(RegexLimits limits = {});
  RegexSets(RegexSets&&) noexcept;
  RegexSets& operator=(RegexSets&&) noexcept;
  ~RegexSets();

  // A longer pattern is never handed to RE2, so its text need not be kept.
  static constexpr std::size_t kLongestPattern = 64 << 10;

  // Adds member `member`, compiled from `pattern` with `unclosed` (or from
  // a pattern longer than kLongestPattern, when `pattern` is empty), whose
  // automaton is `automaton` (which must outlive the sets).
  void add(std::uint32_t member, std::string_view pattern, UnclosedClass unclosed,
           const BitAutomaton& automaton);
  // Compiles the sets; called once, after the last add.
  void compile();

  // Appends the members that match `candidate`, in no order, each once.
  void matches(std::string_view candidate, std::vector<std::uint32_t>& out) const;

 private:
  // A member as its automaton answers it. The bytes that it requires are
  // kept beside it: most members are turned away without a look at their
  // automata, which lie elsewhere in memory.
  struct Alone {
    std::uint32_t number;
    Required required;
    const BitAutomaton* automaton;
  };
  struct Member {
    Alone alone;
    std::string regex;
    int pair;  // see required_pair()
  };
  struct Chunk;

  // Appends those of `members` that match `candidate`.
  static void match_alone(std::span<const Alone> members, std::string_view candidate,
                          std::vector<std::uint32_t>& out);
  void compile_chunks(std::span<Member> members);
  bool ask_set(const Chunk& chunk, std::string_view candidate,
               std::vector<std::uint32_t>& out) const;
  void match_chunk(const Chunk& chunk, std::string_view candidate,
                   std::vector<std::uint32_t>& out) const;

  RegexLimits limits_;
  std::vector<Member> pending_;  // until compile()
  std::size_t regex_bytes_ = 0;
  std::vector<std::unique_ptr<Chunk>> chunks_;
  std::vector<Alone> alone_;  // matched by their automata only
};

}  // namespace vorn_walk::glob
