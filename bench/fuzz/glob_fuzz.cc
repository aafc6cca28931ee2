// Fuzz target for the glob dialect: compiles arbitrary patterns under both
// meanings of an unclosed "[", builds a set of those that compile, and matches
// arbitrary candidates against it and against each glob alone. It must never
// crash, hang or touch memory it does not own, and the set must agree with
// the globs taken one at a time.
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
  for (std::size_t i = 0; i < pieces.size() && i < kPatterns; ++i) {
    auto glob = Glob::compile(pieces[i], unclosed);
    if (glob) {
      globs.push_back(*glob);
    } else if (glob.error().text().empty()) {
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
      if (globs[m].is_match(pieces[i])) expected.push_back(m);
    }
    if (hits != expected) std::abort();
  }
  return 0;
}
