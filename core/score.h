// The score of one dimension, and how a run's findings are scored.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <span>

#include "core/finding.h"

namespace vorn_core {

// The engine's scores run from 0 to 100, higher is better; the type itself
// enforces no range, and the report writes a non-finite value as null.
struct Score {
  float value = 0.0f;
};

// What one finding of each severity costs, indexed by the severity's value.
inline constexpr auto SEVERITY_WEIGHTS = std::to_array<std::uint32_t>({0, 1, 4, 12, 30});
static_assert(SEVERITY_WEIGHTS.size() == kSeverityLevels);

// One score per dimension: the five built-ins always, and each custom
// dimension that some finding names. A dimension scores
//
//   100 - min(weighted sum of its findings / max(kloc, 1), 100)
//
// with every step in 32-bit arithmetic: the weights summed in an unsigned
// 32-bit accumulator (wrapping), the sum rounded to a float, one float
// division and one float subtraction, so results match bit for bit what the
// report promises (88.666664, not 88.66666666666667). A `kloc` below 1, zero,
// negative or NaN divides by 1; an infinite one gives 100 everywhere.
//
// Reads only each finding's dimension and severity. Pure; cannot fail.
std::map<Dimension, Score> compute_scores(std::span<const Finding> findings, float kloc);

}  // namespace vorn_core
