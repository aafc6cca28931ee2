// Fuzz target for the glob dialect: compiles arbitrary patterns under both
// meanings of an unclosed "[", builds a set of those that compile, and matches
// arbitrary candidates against it, against each glob alone, and against each
// pattern's bit-parallel automaton built directly. It must never crash, hang
// or touch memory it does not own, and all three must agree: the set answers
// by shapes and RE2 where it can, a glob alone by its shapes or automaton.
//
// Input: the first byte picks the meaning of an unclosed "["; the rest is
// split at NUL bytes into up to four patterns, and the remaining pieces are
// candidates.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "walk/glob.h"
#include "walk/glob_automaton.h"
#include "walk/glob_syntax.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorn_walk;
  if (size == 0) return 0;
  const UnclosedClass unclosed = data[0] & 1 ? UnclosedClass::literal : UnclosedClass::error;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string_view> pieces;
  for (std::size_t nul; (nul = rest.find('\0')) != std::string_view::npos;) {
    pieces.push_back(rest.substr(0, nul));
    rest.remove_prefix(nul + 1);
  }
  pieces.push_back(rest);

  constexpr std::size_t kPatterns = 4;
  std::vector<Glob> globs;
  std::vector<glob::BitAutomaton> automata;
  for (std::size_t i = 0; i < pieces.size() && i < kPatterns; ++i) {
    auto compiled = Glob::compile(pieces[i], unclosed);
    auto lexed = glob::lex(pieces[i], unclosed);
    if (compiled.has_value() != lexed.has_value()) std::abort();
    if (compiled) {
      globs.push_back(*compiled);
      automata.emplace_back(glob::lower(std::move(lexed->items)), lexed->classes);
    } else if (compiled.error().text().empty()) {
      std::abort();
    }
  }
  auto set = GlobSet::build(globs);
  if (!set) std::abort();
  std::vector<std::uint32_t> hits;
  for (std::size_t i = std::min(pieces.size(), kPatterns) - 1; i < pieces.size(); ++i) {
    hits.clear();
    set->matches(pieces[i], hits);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t m = 0; m < globs.size(); ++m) {
      const bool alone = globs[m].is_match(pieces[i]);
      if (alone != automata[m].matches(pieces[i])) std::abort();
      if (alone) expected.push_back(m);
    }
    if (hits != expected) std::abort();
  }
  return 0;
}
