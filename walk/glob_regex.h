// The patterns that no shape answers, as RE2 expressions, and what lets a
// candidate skip RE2 altogether.
#pragma once

#include <string>
#include <vector>

#include "walk/glob_syntax.h"

namespace vorn_walk::glob {

// The pattern as an RE2 expression over Latin-1, so that each byte of the
// candidate is one character; the caller anchors it at both ends.
std::string to_regex(const std::vector<Item>& items, const std::vector<ByteSet>& classes);

// Two adjacent bytes that every text the pattern matches contains, as
// (first << 8 | second), or -1 when there are none to be had.
int required_pair(const std::vector<Item>& items);

}  // namespace vorn_walk::glob
