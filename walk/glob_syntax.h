// The glob dialect's syntax: a pattern lexed into items, its classes turned
// into sets of bytes, and the items lowered into the form that the shape
// indexes and the automata share. See walk/glob.h for the dialect itself.
#pragma once

#include <bitset>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "walk/glob.h"

namespace vorn_walk::glob {

using ByteSet = std::bitset<256>;

// One element of a pattern. The lexer produces literal, any, star,
// double_star, cls, open, comma and close; lowering resolves every
// double_star into star, any_text or opt_dirs and turns comma into alt.
enum class Kind : std::uint8_t {
  literal,      // one byte
  any,          // one byte other than "/"
  star,         // bytes without "/"
  double_star,  // "**", not yet judged
  any_text,     // any bytes at all
  opt_dirs,     // nothing, or any bytes ending in "/"
  cls,          // one byte of a class
  open,
  comma,
  alt,
  close,
};

struct Item {
  Kind kind;
  std::uint8_t byte = 0;   // literal
  std::uint32_t cls = 0;   // cls: index into the pattern's classes
};

struct Lexed {
  std::vector<Item> items;
  std::vector<ByteSet> classes;
};

// A rough guess of how common byte `b` is in paths, from 0 (rare) to 3:
// separators and dots are everywhere, lower-case letters nearly so. The
// checks that turn candidates away look for the rarer bytes of a pattern.
inline int commonness_in_paths(unsigned char b) {
  return b == '/' ? 3 : b == '.' ? 2 : (b >= 'a' && b <= 'z') ? 1 : 0;
}

// Lexes `p` into items and classes, or fails with the reason of the first
// fault (see Glob::compile).
std::expected<Lexed, std::string> lex(std::string_view p, UnclosedClass unclosed);

// Appends `item` to `items`, merging it into a wildcard that ends them when
// the two are one wildcard.
void append(std::vector<Item>& items, const Item& item);

// Resolves each "**", drops empty alternatives and merges wildcard runs.
// The items are lowered in place: a long pattern takes eight bytes per byte.
std::vector<Item> lower(std::vector<Item> items);

}  // namespace vorn_walk::glob
