// The automaton that matches one lowered pattern alone, whatever its shape
// or size.
//
// Position i of the automaton stands for "the first i elements of the
// pattern are matched"; a byte moves a position to the next one (a literal,
// `?` or a class) or keeps it where it is (the loop of `*` and `**`), and
// some positions reach others without a byte (a wildcard that matches the
// empty text, the alternatives of a group, the end of an alternative). The
// set of positions reached is kept as bits and advanced 64 positions per
// machine word, in the manner of Shift-And: each byte costs a few word
// operations per 64 positions between the lowest and the highest reached.
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

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "walk/glob_syntax.h"

namespace vorn_walk::glob {

// The bytes that `text` holds, for Required::met_by().
ByteSet bytes_of(std::string_view text);

// Up to four bytes that every text a pattern matches holds.
struct Required {
  std::array<std::uint8_t, 4> bytes{};
  std::uint8_t count = 0;

  // False when a required byte is missing from `present`, the bytes of a
  // candidate: the candidate cannot match.
  bool met_by(const ByteSet& present) const;
};

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
  const Required& required() const { return required_; }

  // Whether the pattern matches the whole of `candidate`.
  bool matches(std::string_view candidate) const;

  // The automaton's size in words of 64 positions: matching costs a few
  // word operations per byte of candidate and word.
  std::uint32_t size_in_words() const { return sizes_.words; }

 private:
  struct Word;
  struct Sizes {
    std::uint32_t positions = 0;
    std::uint32_t words = 0;
    std::uint32_t class_positions = 0;
    std::uint32_t classes = 0;
    std::uint32_t jump_positions = 0;
    std::uint32_t jumps = 0;
  };
  class Builder;
  class Run;  // one match

  BitAutomaton() = default;

  Sizes sizes_;
  std::uint32_t final_ = 0;     // the position that accepts
  std::uint32_t shortest_ = 0;  // the fewest bytes that a match has
  // The pattern was `**/` or `**` and a rest that never matches "/": the
  // automaton is the rest's (with `*` for `**`), matched against the
  // candidate's last component.
  bool last_component_ = false;
  Required required_;
  // One block: words, classes, class_of, jump_first, jump_targets, literals.
  std::unique_ptr<std::byte[]> data_;
};

}  // namespace vorn_walk::glob
