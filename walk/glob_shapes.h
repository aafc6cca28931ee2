// The shapes of the common ignore-file patterns, which need no automaton,
// and the index that finds the shapes a candidate may match by a few hash
// lookups.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "walk/glob_syntax.h"

namespace vorn_walk::glob {

// A pattern shape that needs no automaton.
struct Shape {
  enum class Form : std::uint8_t {
    exact,   // the text `head`
    within,  // `head`, any text, `tail` (`dir/**`, `**/*.ext`, `dir/**/*.ext`)
    below,   // `tail` at any depth (`**/name`)
    top,     // `tail` after bytes without "/" (`*.ext`)
  };
  Form form;
  std::string text;  // `head` then `tail`
  std::uint32_t head_size = 0;

  std::string_view head() const { return std::string_view(text).substr(0, head_size); }
  std::string_view tail() const { return std::string_view(text).substr(head_size); }
  bool matches(std::string_view candidate) const;
};

// The shapes whose union the lowered `items` match, or nothing when some
// part of them has no shape.
std::vector<Shape> shapes_of(const std::vector<Item>& items, const std::vector<ByteSet>& classes);

// The shapes of a set's members. A candidate looks up its whole text, its
// last component and its extension, each in a table of its own; the shapes
// that no such key finds are tried one by one. The texts of all shapes share
// one buffer, so a shape costs a few dozen bytes besides its text.
//
// Built by one thread, then only read: safe for concurrent matches.
class ShapeIndex {
 public:
  // Adds a shape of member `member`.
  void add(std::uint32_t member, const Shape& shape);
  // Builds the tables; called once, after the last add.
  void freeze();

  // Appends the members of the shapes that match `candidate`, in no order,
  // a member once for each of its shapes that matches.
  void matches(std::string_view candidate, std::vector<std::uint32_t>& out) const;

 private:
  struct Stored {
    std::uint32_t member;
    std::uint32_t hash;  // the low bits of its key's hash
    std::uint32_t text;  // where its text begins in `texts_`
    std::uint32_t head_size;
    std::uint32_t tail_size;
    std::uint32_t key_size;  // its key is the end of its text
    Shape::Form form;
  };

  // Shapes keyed by one part of their text, in buckets by the key's hash,
  // with a mask of the key lengths so that most candidates are turned away
  // before they are hashed.
  class Table {
   public:
    void add(const Stored& stored) { stored_.push_back(stored); }
    void freeze(std::string_view texts);
    void probe(std::string_view key, std::string_view candidate, std::string_view texts,
               std::vector<std::uint32_t>& out) const;

   private:
    std::vector<Stored> stored_;         // by bucket
    std::vector<std::uint32_t> first_;   // the first of each bucket's shapes, and the end
    std::uint64_t lengths_ = 0;
  };

  static bool matches(const Stored& stored, std::string_view texts, std::string_view candidate);
  static std::string_view key_of(const Stored& stored, std::string_view texts);

  std::string texts_;
  Table whole_;           // `exact`, by the whole text
  Table names_;           // `below` of a name without "/", by the name
  Table top_extensions_;  // `top`, by the extension
  Table extensions_;      // `within` without head, by the extension
  std::vector<Stored> others_;  // tried one by one
};

}  // namespace vorn_walk::glob
