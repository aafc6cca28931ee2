// A Thompson automaton that matches one pattern alone.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "walk/glob_syntax.h"

namespace vorn_walk::glob {

// A Thompson automaton over bytes, simulated state set by state set: time
// O(candidate length x pattern size), no backtracking. It serves single
// globs and the members that RE2 cannot hold.
class Nfa {
 public:
  Nfa() = default;
  Nfa(const std::vector<Item>& items, std::vector<ByteSet> classes);

  bool matches(std::string_view candidate) const;

 private:
  enum class Op : std::uint8_t { byte, set, split, jump, match };
  struct Inst {
    Op op;
    std::uint8_t byte = 0;
    std::uint32_t x = 0, y = 0;  // set: class; split: both targets; jump: target
  };

  std::uint32_t next() const { return static_cast<std::uint32_t>(insts_.size()); }
  void loop(std::uint32_t set);

  std::vector<Inst> insts_;
  std::vector<ByteSet> sets_;  // the pattern's classes, then "not /", then "any"
};

}  // namespace vorn_walk::glob
