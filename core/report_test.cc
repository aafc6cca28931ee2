#include "core/report.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>

#include <gtest/gtest.h>

namespace vorn_core {
namespace {

std::string json(const Report& report) {
  std::string out;
  const auto written = serialize(report, out);
  EXPECT_TRUE(written.has_value()) << written.error();
  return out;
}

std::string float_text(float value) {
  std::string out;
  append_float(out, value);
  return out;
}

Report five_builtin_scores() {
  Report report;
  for (const auto builtin : {Dimension::maintainability, Dimension::security, Dimension::complexity,
                             Dimension::documentation, Dimension::test_smell}) {
    report.scores.emplace(builtin, Score{100.0f});
  }
  return report;
}

Finding finding_in(std::string file) {
  Finding finding;
  finding.analyzer = "a";
  finding.rule_id = "r";
  finding.message = "m";
  finding.location.file = std::move(file);
  return finding;
}

// The finding object that finding_in writes, with `file` already escaped and
// `lists` the members from "references" on.
std::string finding_json(std::string_view file, std::string_view lists = R"("references":[])") {
  return R"({"analyzer":"a","dimension":"maintainability","rule_id":"r","severity":"info",)"
         R"("message":"m","location":{"file":")" + std::string(file) +
         R"(","span":{"start":0,"end":0},"start":{"line":0,"column":0},)"
         R"("end":{"line":0,"column":0}},"suggestion":null,)" + std::string(lists) + "}";
}

// A report without scores and with zero counts, around `findings`.
std::string report_json(std::string_view findings) {
  return R"({"schema_version":1,"findings":[)" + std::string(findings) +
         R"(],"scores":{},"stats":{"files_scanned":0,"parse_failures":0,"elapsed_ms":0,)"
         R"("suppressed":0,"cache_hits":0}})";
}

TEST(ReportJson, WritesTheReportOfAnEmptyRun) {
  Report report = five_builtin_scores();
  report.stats.elapsed_ms = 7;
  EXPECT_EQ(json(report),
            R"({"schema_version":1,"findings":[],"scores":{"maintainability":100.0,"security":100.0,)"
            R"("complexity":100.0,"documentation":100.0,"test_smell":100.0},"stats":)"
            R"({"files_scanned":0,"parse_failures":0,"elapsed_ms":7,"suppressed":0,"cache_hits":0}})");
}

TEST(ReportJson, WritesTheWorkedExample) {
  Report report = five_builtin_scores();
  Finding first;
  first.analyzer = "a";
  first.dimension = Dimension::Custom{"d"};
  first.rule_id = "r1";
  first.severity = Severity::low;
  first.message = "m1";
  first.location = {"p/x.ext", {40, 171}, {3, 1}, {3, 132}};
  first.suggestion = "s1";
  Finding second;
  second.analyzer = "b";
  second.dimension = Dimension::security;
  second.rule_id = "r2";
  second.severity = Severity::high;
  second.message = "say \"hi\"";
  second.location = {"p/x.ext", {412, 460}, {18, 9}, {18, 57}};
  second.references = {"ref"};
  second.cwe = {"c1"};
  report.findings = {first, second};
  report.scores[Dimension::security] = Score{88.0f};
  report.scores[Dimension::Custom{"d"}] = Score{99.0f};
  report.stats.files_scanned = 1;
  report.stats.elapsed_ms = 4;
  EXPECT_EQ(
      json(report),
      R"({"schema_version":1,"findings":[{"analyzer":"a","dimension":"d","rule_id":"r1","severity":"low","message":"m1","location":{"file":"p/x.ext","span":{"start":40,"end":171},"start":{"line":3,"column":1},"end":{"line":3,"column":132}},"suggestion":"s1","references":[]},{"analyzer":"b","dimension":"security","rule_id":"r2","severity":"high","message":"say \"hi\"","location":{"file":"p/x.ext","span":{"start":412,"end":460},"start":{"line":18,"column":9},"end":{"line":18,"column":57}},"suggestion":null,"references":["ref"],"cwe":["c1"]}],"scores":{"maintainability":100.0,"security":88.0,"complexity":100.0,"documentation":100.0,"test_smell":100.0,"d":99.0},"stats":{"files_scanned":1,"parse_failures":0,"elapsed_ms":4,"suppressed":0,"cache_hits":0}})");
}

TEST(ReportJson, LeavesOutOnlyEmptyCweAndOwasp) {
  Report report;
  Finding finding = finding_in("f");
  report.findings.push_back(finding);
  finding.owasp = {"A01", "A03"};
  report.findings.push_back(finding);
  finding.cwe = {"CWE-79"};
  finding.references = {"x", ""};
  report.findings.push_back(finding);
  finding.owasp.clear();
  report.findings.push_back(finding);
  EXPECT_EQ(json(report),
            report_json(finding_json("f") + "," +
                        finding_json("f", R"("references":[],"owasp":["A01","A03"])") + "," +
                        finding_json("f", R"("references":["x",""],"cwe":["CWE-79"],)"
                                          R"("owasp":["A01","A03"])") + "," +
                        finding_json("f", R"("references":["x",""],"cwe":["CWE-79"])")));
}

TEST(ReportJson, EscapesQuotesBackslashesAndControlBytesOnly) {
  std::string all_controls;
  for (int byte = 0; byte < 0x20; ++byte) all_controls.push_back(static_cast<char>(byte));
  Report report;
  report.findings.push_back(finding_in("t\tq\"b\\/caf\xC3\xA9"));
  report.findings.push_back(finding_in(all_controls + "\"\\/\x7F\xE2\x82\xAC plain"));
  EXPECT_EQ(json(report),
            report_json(finding_json(R"(t\tq\"b\\/caf)" "\xC3\xA9") + "," +
                        finding_json(R"(\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007)"
                                     R"(\b\t\n\u000b\f\r\u000e\u000f\u0010\u0011\u0012\u0013)"
                                     R"(\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c)"
                                     R"(\u001d\u001e\u001f\"\\/)" "\x7F\xE2\x82\xAC plain")));
}

TEST(ReportJson, EscapesEveryCharacterTheSameWhereverItStands) {
  // The text of `message` in the report of one finding that carries it.
  const auto written = [](std::string message) {
    Report report;
    report.findings.push_back(finding_in("f"));
    report.findings.back().message = std::move(message);
    const std::string text = json(report);
    const std::size_t from = text.find(R"("message":")") + 11;
    return text.substr(from, text.find(R"(","location")") - from);
  };
  const std::string plain = "abcdefghijklmnopqrstu";
  // Every ASCII byte, and U+0080 to U+00FF as their two bytes of UTF-8.
  for (int code = 0; code < 256; ++code) {
    const std::string character =
        code < 0x80 ? std::string(1, static_cast<char>(code))
                    : std::string{static_cast<char>(0xC0 | code >> 6),
                                  static_cast<char>(0x80 | (code & 0x3F))};
    const std::string alone = written(character);
    for (std::size_t at = 0; at < plain.size(); ++at) {
      const std::string message = plain.substr(0, at) + character + plain.substr(at + 1);
      ASSERT_EQ(written(message), plain.substr(0, at) + alone + plain.substr(at + 1))
          << "U+" << code << " at " << at;
    }
  }
}

TEST(ReportJson, CustomDimensionsAreSeparateEscapedMembers) {
  Report report;
  report.scores[Dimension::Custom{"security"}] = Score{1.0f};
  report.scores[Dimension::Custom{"q\"\x1b"}] = Score{2.0f};
  report.scores[Dimension::security] = Score{3.0f};
  Finding finding = finding_in("f");
  finding.dimension = Dimension::Custom{"q\"\x1b"};
  report.findings.push_back(finding);
  const std::string text = json(report);
  EXPECT_NE(text.find(R"("dimension":"q\"\u001b",)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("scores":{"security":3.0,"q\"\u001b":2.0,"security":1.0},)"),
            std::string::npos)
      << text;
}

TEST(ReportJson, WritesCountsInFull) {
  Report report;
  report.schema_version = 1;
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  report.stats = {kMax, kMax, std::uint64_t{kMax} * 1000 + 7, kMax, 0};
  Finding finding = finding_in("f");
  finding.location = {"f", {kMax, 0}, {kMax, 10}, {1, kMax}};
  report.findings.push_back(finding);
  const std::string text = json(report);
  EXPECT_NE(text.find(R"("span":{"start":4294967295,"end":0},"start":{"line":4294967295,)"
                      R"("column":10},"end":{"line":1,"column":4294967295}})"),
            std::string::npos);
  EXPECT_TRUE(text.ends_with(R"("stats":{"files_scanned":4294967295,"parse_failures":4294967295,)"
                             R"("elapsed_ms":4294967295007,"suppressed":4294967295,"cache_hits":0}})"));
}

TEST(ReportJson, FailsOnANonUtf8PathWhereverItStands) {
  const std::vector<std::string> bad_paths = {"a\xFF", "\xC0\xAF", "x/\xED\xA0\x80", "\xE2\x82"};
  for (const std::string& bad : bad_paths) {
    for (std::size_t at = 0; at < 3; ++at) {
      Report report = five_builtin_scores();
      for (std::size_t i = 0; i < 3; ++i) report.findings.push_back(finding_in(i == at ? bad : "ok"));
      std::string out = "kept";
      const auto written = serialize(report, out);
      ASSERT_FALSE(written.has_value());
      EXPECT_EQ(written.error(), "path contains invalid UTF-8 characters");
      EXPECT_EQ(out, "kept");
    }
  }
}

TEST(ReportJson, FailsOnAnyOtherTextThatIsNotUtf8NamingTheFirst) {
  // Past the first eight bytes, which the writer passes over a word at a time.
  const std::string bad = "plain text \xC3( more";
  const std::vector<std::pair<std::string, std::function<void(Finding&)>>> spoilers = {
      {"analyzer", [&](Finding& f) { f.analyzer = bad; }},
      {"dimension", [&](Finding& f) { f.dimension = Dimension::Custom{bad}; }},
      {"rule_id", [&](Finding& f) { f.rule_id = bad; }},
      {"message", [&](Finding& f) { f.message = bad; }},
      {"path", [&](Finding& f) { f.location.file = bad; }},
      {"suggestion", [&](Finding& f) { f.suggestion = bad; }},
      {"reference", [&](Finding& f) { f.references = {"ok", bad}; }},
      {"cwe", [&](Finding& f) { f.cwe = {bad}; }},
      {"owasp", [&](Finding& f) { f.owasp = {"A01", bad}; }},
  };
  // In the second of two findings, with every later text spoiled too: the
  // first in member order is named. Last, a custom dimension of the scores.
  for (std::size_t spoiled = 0; spoiled <= spoilers.size(); ++spoiled) {
    Report report = five_builtin_scores();
    report.findings = {finding_in("f"), finding_in("f")};
    for (std::size_t later = spoiled; later < spoilers.size(); ++later) {
      spoilers[later].second(report.findings[1]);
    }
    if (spoiled == spoilers.size()) report.scores[Dimension::Custom{bad}] = Score{1.0f};
    std::string out = "kept";
    const auto written = serialize(report, out);
    ASSERT_FALSE(written.has_value()) << spoiled;
    EXPECT_EQ(written.error(), (spoiled < spoilers.size() ? spoilers[spoiled].first : "dimension") +
                                   " contains invalid UTF-8 characters");
    EXPECT_EQ(out, "kept");
  }
}

TEST(ReportJson, AppendsToWhatTheBufferHolds) {
  Report report;
  report.findings.push_back(finding_in("d/caf\xC3\xA9.rs"));
  std::string out = "[";
  ASSERT_TRUE(serialize(report, out).has_value());
  EXPECT_EQ(out, "[" + report_json(finding_json("d/caf\xC3\xA9.rs")));
}

TEST(ReportJson, WritesEachRecordOnItsOwn) {
  std::string out;
  ASSERT_TRUE(serialize(finding_in("p/x.rs"), out).has_value());
  EXPECT_EQ(out, finding_json("p/x.rs"));

  out = "kept";
  const auto written = serialize(finding_in("p/\xFF.rs"), out);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error(), "path contains invalid UTF-8 characters");
  EXPECT_EQ(out, "kept");

  out.clear();
  serialize(RunStats{1, 2, 3, 4, 0}, out);
  serialize(Severity::critical, out);
  EXPECT_EQ(out,
            R"({"files_scanned":1,"parse_failures":2,"elapsed_ms":3,"suppressed":4,"cache_hits":0})"
            R"("critical")");
}

TEST(FloatText, FollowsThePlainAndExponentForms) {
  EXPECT_EQ(float_text(100.0f), "100.0");
  EXPECT_EQ(float_text(1.0f), "1.0");
  EXPECT_EQ(float_text(87.5f), "87.5");
  EXPECT_EQ(float_text(0.1f), "0.1");
  EXPECT_EQ(float_text(100.0f / 3.0f), "33.333332");
  EXPECT_EQ(float_text(0.000001f), "0.000001");
  EXPECT_EQ(float_text(0.00000125f), "0.00000125");
  EXPECT_EQ(float_text(0.0000012345678f), "0.0000012345678");
  EXPECT_EQ(float_text(123456789012.0f), "123456790000.0");
  EXPECT_EQ(float_text(1e12f), "1000000000000.0");
  EXPECT_EQ(float_text(9.5e12f), "9500000000000.0");
  EXPECT_EQ(float_text(1e13f), "1e+13");
  EXPECT_EQ(float_text(1.5e13f), "1.5e+13");
  EXPECT_EQ(float_text(std::numeric_limits<float>::max()), "3.4028235e+38");
  EXPECT_EQ(float_text(1e-7f), "1e-7");
  EXPECT_EQ(float_text(1.5e-7f), "1.5e-7");
  EXPECT_EQ(float_text(std::numeric_limits<float>::denorm_min()), "1e-45");
  EXPECT_EQ(float_text(std::numeric_limits<float>::min()), "1.1754944e-38");
  EXPECT_EQ(float_text(-42.25f), "-42.25");
  EXPECT_EQ(float_text(-1.5e-7f), "-1.5e-7");
  EXPECT_EQ(float_text(-std::numeric_limits<float>::max()), "-3.4028235e+38");
  EXPECT_EQ(float_text(0.0f), "0.0");
  EXPECT_EQ(float_text(-0.0f), "-0.0");
}

TEST(FloatText, WritesNullForEveryNonFiniteValue) {
  EXPECT_EQ(float_text(std::numeric_limits<float>::infinity()), "null");
  EXPECT_EQ(float_text(-std::numeric_limits<float>::infinity()), "null");
  for (const std::uint32_t bits : {0x7FC00000u, 0xFFC00000u, 0x7F800001u, 0xFFFFFFFFu}) {
    EXPECT_EQ(float_text(std::bit_cast<float>(bits)), "null") << std::hex << bits;
  }
  Report report;
  report.scores[Dimension::complexity] = Score{std::numeric_limits<float>::quiet_NaN()};
  EXPECT_NE(json(report).find(R"("scores":{"complexity":null})"), std::string::npos);
}

// A sample of all floats: each text reads back as the same float and has the
// form its decimal exponent calls for (the exhaustive check is a benchmark).
TEST(FloatText, ReadsBackExactlyOnARandomSample) {
  std::mt19937 random(7);
  for (int i = 0; i < 200000; ++i) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (!std::isfinite(value) || value == 0.0f) continue;
    const std::string text = float_text(value);
    ASSERT_EQ(std::bit_cast<std::uint32_t>(std::strtof(text.c_str(), nullptr)),
              std::bit_cast<std::uint32_t>(value))
        << text;
    const double magnitude = std::fabs(std::strtod(text.c_str(), nullptr));
    const bool plain = magnitude >= 1e-6 && magnitude < 1e13;
    ASSERT_EQ(text.find('e') == std::string::npos, plain) << text;
    if (plain) {
      ASSERT_NE(text.find('.'), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace vorn_core
