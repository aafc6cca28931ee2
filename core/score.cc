#include "core/score.h"

#include <functional>
#include <unordered_map>

namespace vorn_core {
namespace {

// Groups are keyed by the findings' own dimensions, so no custom name is
// copied until it goes into the result.
using WeightSums = std::unordered_map<std::reference_wrapper<const Dimension>, std::uint32_t,
                                      std::hash<Dimension>, std::equal_to<Dimension>>;

float score_of(std::uint32_t weight_sum, float denominator) {
  const float ratio = static_cast<float>(weight_sum) / denominator;
  const float capped = ratio > 100.0f ? 100.0f : ratio;
  return 100.0f - capped;
}

}  // namespace

std::map<Dimension, Score> compute_scores(std::span<const Finding> findings, float kloc) {
  // Unsigned addition wraps, so the order of the findings cannot matter.
  WeightSums sums;
  for (const Finding& finding : findings) {
    sums[std::cref(finding.dimension)] +=
        SEVERITY_WEIGHTS[static_cast<std::size_t>(finding.severity)];
  }

  // Written as a comparison that is false for NaN, so NaN divides by 1 too.
  const float denominator = kloc > 1.0f ? kloc : 1.0f;

  std::map<Dimension, Score> scores;
  for (std::uint8_t position = 0; position < Dimension::kBuiltins; ++position) {
    const Dimension dimension = static_cast<Dimension::Builtin>(position);
    const auto found = sums.find(std::cref(dimension));
    scores.emplace(dimension,
                   Score{score_of(found == sums.end() ? 0 : found->second, denominator)});
  }
  for (const auto& [dimension, sum] : sums) {
    if (!scores.contains(dimension.get()))
      scores.emplace(dimension.get(), Score{score_of(sum, denominator)});
  }
  return scores;
}

}  // namespace vorn_core
