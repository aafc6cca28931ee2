// Facts that a language front end finds in one file.
//
// Plain values: each list owns its records and each record its texts. The
// engine reads only `suppressions` (to drop the findings they cover); the
// other lists are for analyzers, which receive the whole ParsedFile.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/span.h"

namespace vorn_core {

// One in-file suppression of a rule.
struct Suppression {
  // Compared byte for byte with a finding's rule id: no wildcard, no folding.
  std::string rule_id;
  // Covers findings of the rule that start on this line or the next one (the
  // next computed modulo 2^32). Lines count as the analyzers count a
  // finding's start line.
  std::uint32_t line = 0;
  // Covers the rule everywhere in the file, whatever `line` holds.
  bool file_level = false;
};

// An import of another module or of names from it.
struct Import {
  std::optional<std::string> module;  // absent for a relative import without one
  std::optional<std::string> alias;   // the local name, when renamed
  Span span;
  LineCol start;
};

// A name that the file defines.
struct Definition {
  enum class Kind : std::uint8_t { function, type, variable, constant, other };

  std::string name;
  Kind kind = Kind::other;
  Span span;
  LineCol start;
  LineCol end;
  bool exported = false;
};

// A named place in the text; the records of the five lists that follow the
// definitions share this shape.
struct Occurrence {
  std::string text;
  Span span;
};

struct SemanticIndex {
  std::vector<Import> imports;
  std::vector<Definition> definitions;
  std::vector<Occurrence> calls;
  std::vector<Occurrence> reads;
  std::vector<Occurrence> writes;
  std::vector<Occurrence> string_literals;
  std::vector<Occurrence> comments;
  std::vector<Suppression> suppressions;
};

}  // namespace vorn_core
