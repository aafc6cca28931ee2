// Where a finding stands in a source file. Plain values, freely copied.
#pragma once

#include <cstdint>
#include <string>

namespace vorn_core {

// Offsets into the file's text. Their unit (bytes, by convention) is the
// business of the front ends and analyzers that create them.
struct Span {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
};

// Whether lines and columns count from 0 or 1 is a convention between the
// front ends (which record suppressions by line) and the analyzers; they must
// agree for in-file suppressions to work.
struct LineCol {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
};

struct Location {
  // The file's path as the engine handed it over: raw bytes, not necessarily
  // UTF-8. Suppressions match it by the path order; the report writes it
  // unchanged (and fails when it is not UTF-8).
  std::string file;
  Span span;
  LineCol start;
  LineCol end;
};

}  // namespace vorn_core
