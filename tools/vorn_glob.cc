// vorn-glob [--allow-unclosed-class] PATTERN... -- CANDIDATE...
//
// Compiles the patterns into one set, in the order given, and prints for each
// candidate one line: the ascending numbers (from 0) of the matching patterns
// separated by single spaces, or an empty line when none matches. Patterns
// are compiled as override patterns (an unclosed "[" is an error), or with
// --allow-unclosed-class as ignore-file lines (it stands for itself).
//
// Exit status: 0 on success; 1 when a pattern does not compile (its error
// text goes to stderr) or the set cannot be built; 2 on a usage error.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "walk/glob.h"

namespace {

int usage() {
  std::cerr << "usage: vorn-glob [--allow-unclosed-class] PATTERN... -- CANDIDATE...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using vorn_walk::UnclosedClass;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto unclosed = UnclosedClass::error;
  std::size_t i = 0;
  if (i < args.size() && args[i] == "--allow-unclosed-class") {
    unclosed = UnclosedClass::literal;
    ++i;
  }
  std::vector<vorn_walk::Glob> globs;
  for (; i < args.size() && args[i] != "--"; ++i) {
    auto glob = vorn_walk::Glob::compile(args[i], unclosed);
    if (!glob) {
      std::cerr << glob.error().text() << '\n';
      return 1;
    }
    globs.push_back(*std::move(glob));
  }
  if (i == args.size()) return usage();
  auto set = vorn_walk::GlobSet::build(std::move(globs));
  if (!set) {
    std::cerr << set.error() << '\n';
    return 1;
  }
  std::string out;
  std::vector<std::uint32_t> hits;
  for (++i; i < args.size(); ++i) {
    hits.clear();
    set->matches(args[i], hits);
    for (std::size_t k = 0; k < hits.size(); ++k) {
      if (k > 0) out += ' ';
      out += std::to_string(hits[k]);
    }
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
