#include "core/score.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/report.h"

namespace vorn_core {
namespace {

Finding finding(Dimension dimension, Severity severity) {
  Finding made;
  made.dimension = std::move(dimension);
  made.severity = severity;
  return made;
}

std::vector<Finding> repeated(const Dimension& dimension, Severity severity, int count) {
  return std::vector<Finding>(count, finding(dimension, severity));
}

// The scores as the report writes them, "key:value" in map order, so that a
// comparison checks the order, the keys and every bit of every value at once.
std::string written(const std::map<Dimension, Score>& scores) {
  std::string out;
  for (const auto& [dimension, score] : scores) {
    if (!out.empty()) out += ',';
    out += std::string(dimension.word()) + ':';
    append_float(out, score.value);
  }
  return out;
}

constexpr float kNearest1point2 = 1.2f;

TEST(ComputeScores, MatchesTheWorkedExamplesBitForBit) {
  const std::vector<Finding> security = {finding(Dimension::security, Severity::high),
                                         finding(Dimension::security, Severity::medium),
                                         finding(Dimension::security, Severity::low)};
  EXPECT_EQ(written(compute_scores(security, 0.5f)),
            "maintainability:100.0,security:83.0,complexity:100.0,documentation:100.0,"
            "test_smell:100.0");

  const std::vector<Finding> maintainability = {
      finding(Dimension::maintainability, Severity::critical),
      finding(Dimension::maintainability, Severity::medium),
      finding(Dimension::maintainability, Severity::info),
      finding(Dimension::maintainability, Severity::info)};
  const float score = compute_scores(maintainability, 3.0f).at(Dimension::maintainability).value;
  EXPECT_EQ(score, 88.666664f);

  std::vector<Finding> custom = repeated(Dimension::Custom{"style"}, Severity::high, 2);
  std::ranges::move(repeated(Dimension::Custom{"perf"}, Severity::critical, 5),
                    std::back_inserter(custom));
  EXPECT_EQ(written(compute_scores(custom, kNearest1point2)),
            "maintainability:100.0,security:100.0,complexity:100.0,documentation:100.0,"
            "test_smell:100.0,perf:0.0,style:80.0");

  EXPECT_EQ(compute_scores(repeated(Dimension::security, Severity::high, 3), 7.0f)
                .at(Dimension::security)
                .value,
            94.85714f);
}

TEST(ComputeScores, CapsAtExactlyOneHundredButNotJustBelow) {
  const auto low_score = [](int lows, float kloc) {
    return compute_scores(repeated(Dimension::complexity, Severity::low, lows), kloc)
        .at(Dimension::complexity)
        .value;
  };
  EXPECT_EQ(low_score(100, 1.0f), 0.0f);
  EXPECT_FALSE(std::signbit(low_score(100, 1.0f)));
  EXPECT_EQ(low_score(150, 1.0f), 0.0f);
  EXPECT_EQ(low_score(99, 0.25f), 1.0f);
  // 120 / 1.2f is 99.99999 in 32 bits: just under the cap.
  std::string text;
  append_float(text, low_score(120, kNearest1point2));
  EXPECT_EQ(text, "0.0000076293945");
}

TEST(ComputeScores, DividesByOneForSmallZeroNegativeAndNanKloc) {
  const std::vector<Finding> findings = repeated(Dimension::documentation, Severity::medium, 5);
  for (const float kloc : {0.0f, 0.5f, 1.0f, -3.0f, std::numeric_limits<float>::quiet_NaN()}) {
    EXPECT_EQ(compute_scores(findings, kloc).at(Dimension::documentation).value, 80.0f) << kloc;
  }
  EXPECT_EQ(compute_scores(findings, 2.0f).at(Dimension::documentation).value, 90.0f);
  const auto infinite = compute_scores(findings, std::numeric_limits<float>::infinity());
  EXPECT_EQ(infinite.at(Dimension::documentation).value, 100.0f);
}

TEST(ComputeScores, KeepsCustomDimensionsApartFromBuiltinsAndOrdersThemByBytes) {
  std::vector<Finding> findings = {
      finding(Dimension::Custom{"style"}, Severity::low),
      finding(Dimension::Custom{"security"}, Severity::critical),
      finding(Dimension::security, Severity::low),
      finding(Dimension::Custom{"Style"}, Severity::info),
      finding(Dimension::Custom{"perf"}, Severity::medium),
      finding(Dimension::Custom{""}, Severity::high),
  };
  const std::string expected =
      "maintainability:100.0,security:99.0,complexity:100.0,documentation:100.0,"
      "test_smell:100.0,:88.0,Style:100.0,perf:96.0,security:70.0,style:99.0";
  EXPECT_EQ(written(compute_scores(findings, 1.0f)), expected);
  // The order of the findings does not matter.
  std::ranges::reverse(findings);
  EXPECT_EQ(written(compute_scores(findings, 1.0f)), expected);
}

}  // namespace
}  // namespace vorn_core
