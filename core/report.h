// The result of a run and its JSON text, the system's only output format.
//
//   std::string json;
//   if (auto written = serialize(report, json); !written) fail(written.error());
//
// The text is compact (no blanks or line breaks); members appear in the
// declaration order of the fields below, with "cwe" and "owasp" left out of a
// finding when empty; "scores" holds one member per entry of the map in
// Dimension order (a custom dimension spelled like a built-in gives a second
// member of that name). Writing only reads the report.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <vector>

#include "core/finding.h"
#include "core/score.h"

namespace vorn_core {

// Counts of one run.
struct RunStats {
  std::uint32_t files_scanned = 0;   // parsed successfully; saturates
  std::uint32_t parse_failures = 0;  // claimed by a language, unreadable or unparsable
  std::uint64_t elapsed_ms = 0;      // whole milliseconds, start of run to end of scoring
  std::uint32_t suppressed = 0;      // removed by in-file suppressions only
  std::uint32_t cache_hits = 0;      // always 0
};

// Everything a run returns. Built once at the end of a run and only read
// afterwards; it owns its findings and scores.
struct Report {
  std::uint32_t schema_version = 1;
  std::vector<Finding> findings;  // in the finding order
  std::map<Dimension, Score> scores;
  RunStats stats;
};

// Each `serialize` appends the JSON text of one value to `out`; the report's
// calls the others in member order. Severity, Span, LineCol and RunStats
// cannot fail.
void serialize(Severity severity, std::string& out);
void serialize(const Span& span, std::string& out);
void serialize(const LineCol& position, std::string& out);
void serialize(const RunStats& stats, std::string& out);

// Texts are written unchanged apart from JSON escaping, so one that is not
// valid UTF-8 would make the text invalid JSON: writing fails instead, with
// "{what} contains invalid UTF-8 characters", where `what` names the first
// such text in member order: "analyzer", "dimension" (a custom name),
// "rule_id", "message", "path" (the location's file), "suggestion",
// "reference", "cwe" or "owasp". On failure `out` holds again what it held
// before the call.
std::expected<void, std::string> serialize(const Location& location, std::string& out);
std::expected<void, std::string> serialize(const Finding& finding, std::string& out);

// Appends the JSON text of `report` to `out` in one pass. Fails as a finding
// does, for the first finding that fails, or with "dimension contains invalid
// UTF-8 characters" for a custom dimension of the scores that is not valid
// UTF-8; `out` then holds again what it held before the call.
std::expected<void, std::string> serialize(const Report& report, std::string& out);

// Appends the JSON text of one score: null for NaN and infinities, "0.0" and
// "-0.0" for the zeros, otherwise the shortest digits that read back as the
// same float, laid out plainly for decimal exponents -6 to 12 ("100.0",
// "0.000001", "123456790000.0") and in exponent form beyond ("1e-7",
// "1.5e+13", "3.4028235e+38").
void append_float(std::string& out, float value);

}  // namespace vorn_core
