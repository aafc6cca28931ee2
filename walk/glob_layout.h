// The positions of a lowered pattern laid out for its bit-parallel
// automaton (see walk/glob_automaton.h), all in one block of memory: about
// two bytes per position.
//
// Position i stands for "the first i elements of the pattern are matched";
// a byte moves a position to the next one (a literal, `?` or a class) or
// keeps it where it is (the loop of `*` and `**`), and some positions reach
// others without a byte: the next one (a pass) or any later one (a jump).
//
//   literal, `?`, class   one position that advances on its byte; a `*` or
//                         `**` just before it becomes that position's loop
//   `*`, `**` elsewhere   one position that loops and passes
//   `**/`                 an entry that passes to a position looping on any
//                         byte and advancing on "/", and jumps past it
//   a group of K >= 2     an entry that passes to the first alternative and
//   alternatives          jumps to the others; each alternative but the last
//                         ends at a position that jumps past the group
//   the end               the final position
//
// A group of one alternative is its alternative; an empty group is nothing.
// Immutable once built.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
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

// What the 64 positions of a word do, a bit for each.
struct PositionWord {
  std::uint64_t advance_literal = 0;    // to the next position on its literal byte
  std::uint64_t advance_not_slash = 0;  // to the next position on any byte but "/"
  std::uint64_t advance_class = 0;      // to the next position on a byte of its class
  std::uint64_t loop_not_slash = 0;     // stays on any byte but "/"
  std::uint64_t loop_any = 0;           // stays on any byte
  std::uint64_t pass = 0;               // reaches the next position without a byte
  std::uint64_t jump = 0;               // reaches the positions of its jumps without a byte
  std::uint32_t classes_before = 0;     // class positions in the words before this one
  std::uint32_t jumps_before = 0;       // jump positions in the words before this one
};

// The bit of `position` in its word.
inline std::uint64_t position_bit(std::uint32_t position) {
  return std::uint64_t{1} << (position & 63);
}

// The number of bits set in `bits`. (std::popcount calls a library routine
// where the target lacks the instruction, as the baseline x86-64 does.)
inline std::uint32_t count_bits(std::uint64_t bits) {
  bits -= (bits >> 1) & 0x5555555555555555u;
  bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
  bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<std::uint32_t>((bits * 0x0101010101010101u) >> 56);
}

// The bytes of a class, 256 bits.
using ClassBits = std::array<std::uint64_t, 4>;

// The literals are padded to a multiple of this many, so that they can be
// compared so many at a time.
inline constexpr std::uint32_t kLiteralBlock = 16;

class Layout {
 public:
  // Lays out lowered `items` (see lower()) whose classes are `classes`;
  // with `star_first`, the first item (a `**`) is laid out as a `*`. Throws
  // std::bad_alloc when memory does not suffice.
  Layout(std::span<const Item> items, const std::vector<ByteSet>& classes, bool star_first);

  Layout(Layout&&) noexcept;
  Layout& operator=(Layout&&) noexcept;
  ~Layout();

  std::uint32_t positions() const { return sizes_.positions; }
  std::uint32_t word_count() const { return sizes_.words; }
  std::uint32_t final_position() const { return final_; }
  // The fewest bytes that a match has.
  std::uint32_t shortest() const { return shortest_; }
  // How many positions before the final one each advance by one byte (the
  // first of them may loop as well): every match ends with a byte for each.
  std::uint32_t tail() const { return tail_; }
  // Bytes that every match holds, the rarer in paths first.
  const Required& required() const { return required_; }

  const PositionWord* words() const;
  // The pattern's classes, each once.
  const ClassBits* classes() const;
  // For each class position, by its rank among them, its class.
  const std::uint32_t* class_of() const;
  // For each jump position, by its rank among them, where its targets begin
  // in jump_targets(); then where they end.
  const std::uint32_t* jump_first() const;
  const std::uint32_t* jump_targets() const;
  // For each position, its literal byte (when it has one).
  const std::uint8_t* literals() const;

 private:
  struct Sizes {
    std::uint32_t positions = 0;
    std::uint32_t words = 0;
    std::uint32_t class_positions = 0;
    std::uint32_t classes = 0;
    std::uint32_t jump_positions = 0;
    std::uint32_t jumps = 0;
  };
  class Builder;

  Layout() = default;

  Sizes sizes_;
  std::uint32_t final_ = 0;
  std::uint32_t shortest_ = 0;
  std::uint32_t tail_ = 0;
  Required required_;
  // One block: words, classes, class_of, jump_first, jump_targets, literals.
  std::unique_ptr<std::byte[]> data_;
};

}  // namespace vorn_walk::glob
