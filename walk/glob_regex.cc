#include "walk/glob_regex.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace vorn_walk::glob {
namespace {

// ---------------------------------------------------------------- regex

constexpr std::string_view kNotSlash = "[\\x00-\\x2e\\x30-\\xff]";
constexpr std::string_view kAnyByte = "[\\x00-\\xff]";

void append_byte(std::string& re, unsigned b) {
  if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z')) {
    re += static_cast<char>(b);
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  re += "\\x";
  re += kHex[b >> 4];
  re += kHex[b & 15];
}

void append_class(std::string& re, const ByteSet& set) {
  if (set.none()) {
    re += "[^\\x00-\\xff]";
    return;
  }
  re += '[';
  for (unsigned b = 0; b < 256;) {
    if (!set[b]) {
      ++b;
      continue;
    }
    unsigned last = b;
    while (last + 1 < 256 && set[last + 1]) ++last;
    append_byte(re, b);
    if (last > b) {
      re += '-';
      append_byte(re, last);
    }
    b = last + 1;
  }
  re += ']';
}

// The pattern as an RE2 expression over Latin-1, so that each byte of the

}  // namespace

std::string to_regex(const std::vector<Item>& items, const std::vector<ByteSet>& classes) {
  std::string re;
  for (const Item& item : items) {
    switch (item.kind) {
      case Kind::literal: append_byte(re, item.byte); break;
      case Kind::any: re += kNotSlash; break;
      case Kind::star: re += kNotSlash; re += '*'; break;
      case Kind::any_text: re += kAnyByte; re += '*'; break;
      case Kind::opt_dirs: re += "(?:"; re += kAnyByte; re += "*/)?"; break;
      case Kind::cls: append_class(re, classes[item.cls]); break;
      case Kind::open: re += "(?:"; break;
      case Kind::alt: re += '|'; break;
      case Kind::close: re += ')'; break;
      case Kind::double_star:
      case Kind::comma: break;  // gone after lowering
    }
  }
  return re;
}

// ---------------------------------------------------------------- prefilter

// Two adjacent bytes that every text the pattern matches contains, as
// (first << 8 | second), or -1 when there are none to be had. They come from
// the longest run of literals outside groups; of its pairs, the one least
// likely to occur in paths by a rough guess (separators and dots are common,
// lower-case letters fairly so).
int required_pair(const std::vector<Item>& items) {
  std::size_t depth = 0, run = 0, best_run = 0, best_end = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].kind == Kind::open) ++depth;
    if (items[i].kind == Kind::close) --depth;
    run = items[i].kind == Kind::literal && depth == 0 ? run + 1 : 0;
    if (run > best_run) {
      best_run = run;
      best_end = i + 1;
    }
  }
  if (best_run < 2) return -1;
  const auto commonness = [](unsigned b) {
    return b == '/' ? 3 : b == '.' ? 2 : (b >= 'a' && b <= 'z') ? 1 : 0;
  };
  int best = -1, best_score = 99;
  for (std::size_t i = best_end - best_run; i + 1 < best_end; ++i) {
    const unsigned first = items[i].byte, second = items[i + 1].byte;
    const int score = commonness(first) + commonness(second);
    if (score < best_score) {
      best_score = score;
      best = static_cast<int>(first << 8 | second);
    }
  }
  return best;
}

}  // namespace vorn_walk::glob
