// The automaton that matches one lowered pattern alone, whatever its shape
// or size. Kept beside RE2 because RE2 cannot serve where its sets give up:
// a pattern too large for its memory budget does not compile, and its own
// fallback from DFA to NFA allocates per match as much as the pattern.
//
// The set of positions reached (see walk/glob_layout.h) is kept as
// bits and advanced 64 positions per machine word, in the manner of
// Shift-And: each byte costs a few word operations per 64 positions between
// the lowest and the highest reached.
//
// A pattern of `**/` or `**` and a rest that never matches "/" (the usual
// ignore line without "/") is matched against the candidate's last
// component only, which the walk's long paths make much the shorter.
//
// Matching takes O(candidate length x (pattern size / 64 + jumps taken))
// word operations, never backtracks and allocates nothing once the thread
// has matched a pattern as large. The automaton keeps about two bytes per
// position (one position per element of the pattern, two for `**/`, one more
// per alternative of a group).
//
// Immutable once built; safe for concurrent use by multiple threads.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "walk/glob_layout.h"
#include "walk/glob_syntax.h"

namespace vorn_walk::glob {

class BitAutomaton {
 public:
  // The automaton of lowered `items` (see lower()) whose classes are
  // `classes`. Throws std::bad_alloc when memory does not suffice.
  BitAutomaton(const std::vector<Item>& items, const std::vector<ByteSet>& classes);

  BitAutomaton(BitAutomaton&&) noexcept;
  BitAutomaton& operator=(BitAutomaton&&) noexcept;
  ~BitAutomaton();

  // Bytes that every text the pattern matches holds, the rarer in paths
  // first: a candidate without them need not be matched.
  const Required& required() const { return layout_.required(); }

  // Whether the pattern matches the whole of `candidate`.
  bool matches(std::string_view candidate) const;

  // The automaton's size in words of 64 positions: matching costs a few
  // word operations per byte of candidate and word.
  std::uint32_t size_in_words() const { return layout_.word_count(); }

 private:
  class Run;  // one match

  // The pattern was `**/` or `**` and a rest that never matches "/": the
  // layout is the rest's (with `*` for `**`), matched against the
  // candidate's last component.
  bool last_component_;
  Layout layout_;
};

}  // namespace vorn_walk::glob
