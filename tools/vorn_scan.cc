// vorn-scan: runs the engine end to end with one small language and three
// analyzers, for tests and benchmarks.
//
//   vorn-scan [--follow-links] [--ext EXT]... [--exclude PATTERN]...
//             [--rule RULE=WORD]... [--override RULE:PATTERN=WORD]...
//             [--warnings] [--stage-times] [--] ROOT
//
// Prints the report's JSON text and a newline on stdout (exit 0). A failed
// run, or a report that cannot be written, prints the error's text on stderr
// (exit 1), as does memory running out ("out of memory"); a bad command line
// prints the usage (exit 2). With --warnings
// every warning event is printed on stderr as "warning: {message}". With
// --stage-times a last line on stderr gives the milliseconds of each stage,
// "stages walk=W parse=P per-file=F project=J finalise=N score=S release=R
// json=J write=O total=T": `release` is what the run spends after scoring
// (freeing what it made), `json` writing the text, `write` printing it, and
// `total` everything from the start of main.
//
// --rule sets the rule's severity word; --override adds a pattern and its
// word to the rule's overrides (RULE ends at the first ":", PATTERN at the
// last "=").
//
// The language "text" claims exactly the --ext extensions. It refuses a file
// that is not UTF-8, and records each "vorn: ignore RULE" as a suppression of RULE
// on its line (lines count from 1) and "vorn: ignore-file RULE" as one for the
// whole file; RULE runs to the next space, tab, carriage return or line end.
// The analyzers, in this order:
//   "todo"   per file, any language: each line holding TODO (low, maintainability)
//   "fixme"  per file, "text" only: each line holding FIXME (medium, custom
//            dimension "debt", reference "docs/fixme")
//   "empty"  per project: each parsed file with no text (info, documentation)
// A line's finding spans the line without its line feed (a carriage return
// before it stays), from column 1 to its length in bytes plus 1.

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "core/analyzer.h"
#include "core/config.h"
#include "core/engine.h"
#include "core/language.h"
#include "core/log.h"
#include "core/report.h"
#include "tools/options.h"

namespace {

using namespace vorn_core;

// A text to search for. The search jumps between occurrences of the byte at
// `rare`: the first byte of "vorn: ignore" is common in source text, its
// colon far less so.
struct Needle {
  std::string_view text;
  std::size_t rare = 0;
};

// Where `needle` first occurs at or after `from`, or npos.
std::size_t find_needle(std::string_view text, const Needle& needle, std::size_t from) {
  const std::string_view head = needle.text.substr(0, needle.rare);
  const std::string_view tail = needle.text.substr(needle.rare);
  for (std::size_t at = from + head.size(); (at = text.find(tail, at)) != std::string_view::npos;
       ++at) {
    if (text.substr(at - head.size(), head.size()) == head) return at - head.size();
  }
  return std::string_view::npos;
}

// Which occurrences of a needle a search visits.
enum class Hits { every, first_per_line };

// Calls `visit(line_number, line_start, line_end, hit)` for the occurrences of
// `needle`, in order. One pass over the text: the search jumps from hit to hit
// and the line count only covers the bytes passed over.
template <typename Visit>
void for_each_hit(std::string_view text, const Needle& needle, Hits hits, Visit visit) {
  std::uint32_t line = 1;
  std::size_t counted_to = 0;
  for (std::size_t hit = find_needle(text, needle, 0); hit != std::string_view::npos;) {
    const std::size_t newline = text.rfind('\n', hit);
    const std::size_t start = newline == std::string_view::npos ? 0 : newline + 1;
    line += static_cast<std::uint32_t>(
        std::count(text.begin() + counted_to, text.begin() + start, '\n'));
    counted_to = start;
    std::size_t end = text.find('\n', hit);
    if (end == std::string_view::npos) end = text.size();
    visit(line, start, end, hit);
    const std::size_t next = hits == Hits::every ? hit + 1 : end;
    hit = next >= text.size() ? std::string_view::npos : find_needle(text, needle, next);
  }
}

// The rule after a marker: up to the next space, tab, carriage return or line end.
std::string rule_after(std::string_view text, std::size_t from, std::size_t line_end) {
  const std::string_view rest = text.substr(from, line_end - from);
  return std::string(rest.substr(0, rest.find_first_of(" \t\r")));
}

class TextLanguage final : public Language {
 public:
  explicit TextLanguage(std::vector<std::string> extensions)
      : extensions_(std::move(extensions)), views_(extensions_.begin(), extensions_.end()) {}

  std::string_view id() const override { return "text"; }
  std::span<const std::string_view> extensions() const override { return views_; }

  std::expected<ParsedFile, ParseError> parse(
      std::shared_ptr<const SourceFile> source) const override {
    if (!vorn_base::is_valid_utf8(source->text))
      return std::unexpected(ParseError::not_utf8(std::string(source->path)));
    SemanticIndex index;
    add_suppressions(source->text, index.suppressions);
    return ParsedFile(std::move(source), std::move(index), nullptr, id());
  }

 private:
  // Both markers in one pass over the text.
  static void add_suppressions(std::string_view text, std::vector<Suppression>& out) {
    constexpr Needle kMarker{"vorn: ignore", 4};
    for_each_hit(
        text, kMarker, Hits::every,
        [&](std::uint32_t line, std::size_t, std::size_t end, std::size_t hit) {
          const std::string_view rest = text.substr(hit + kMarker.text.size());
          for (const auto& [tail, file_level] : {std::pair{" ", false}, {"-file ", true}}) {
            if (!rest.starts_with(tail)) continue;
            const std::size_t rule = hit + kMarker.text.size() + std::string_view(tail).size();
            out.push_back({rule_after(text, rule, end), line, file_level});
          }
        });
  }

  std::vector<std::string> extensions_;
  std::vector<std::string_view> views_;
};

// What a line marker analyzer reports.
struct MarkerRule {
  std::string_view analyzer;
  std::string_view marker;
  Dimension dimension;
  std::string_view rule_id;
  Severity severity;
  std::string_view message;
  std::vector<std::string> references;
};

// One finding for every line that holds the marker.
class MarkerAnalyzer final : public Analyzer {
 public:
  MarkerAnalyzer(MarkerRule rule, std::optional<std::span<const std::string_view>> targets)
      : rule_(std::move(rule)), targets_(targets) {}

  std::string_view id() const override { return rule_.analyzer; }
  std::optional<std::span<const std::string_view>> target_languages() const override {
    return targets_;
  }
  bool is_project_level() const override { return false; }

  std::vector<Finding> analyze_file(const AnalysisContext&, const ParsedFile& file) const override {
    std::vector<Finding> found;
    const std::string_view text = file.source->text;
    for_each_hit(text, {rule_.marker}, Hits::first_per_line,
                 [&](std::uint32_t line, std::size_t start, std::size_t end, std::size_t) {
                   Finding& finding = found.emplace_back();
                   finding.analyzer = rule_.analyzer;
                   finding.dimension = rule_.dimension;
                   finding.rule_id = rule_.rule_id;
                   finding.severity = rule_.severity;
                   finding.message = rule_.message;
                   finding.location = {
                       std::string(file.source->path),
                       {static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)},
                       {line, 1},
                       {line, static_cast<std::uint32_t>(end - start + 1)}};
                   finding.references = rule_.references;
                 });
    return found;
  }

  std::vector<Finding> analyze_project(const AnalysisContext&, const Project&) const override {
    return {};
  }

 private:
  MarkerRule rule_;
  std::optional<std::span<const std::string_view>> targets_;
};

class EmptyFileAnalyzer final : public Analyzer {
 public:
  std::string_view id() const override { return "empty"; }
  std::optional<std::span<const std::string_view>> target_languages() const override {
    return std::nullopt;
  }
  bool is_project_level() const override { return true; }

  std::vector<Finding> analyze_file(const AnalysisContext&, const ParsedFile&) const override {
    return {};
  }

  std::vector<Finding> analyze_project(const AnalysisContext&,
                                       const Project& project) const override {
    std::vector<Finding> found;
    for (const ParsedFile& file : project.files) {
      if (!file.source->text.empty()) continue;
      Finding& finding = found.emplace_back();
      finding.analyzer = id();
      finding.dimension = Dimension::documentation;
      finding.rule_id = "empty-file";
      finding.severity = Severity::info;
      finding.message = "empty file";
      finding.location = {std::string(file.source->path), {0, 0}, {1, 1}, {1, 1}};
    }
    return found;
  }
};

constexpr std::array<std::string_view, 1> kTextOnly = {"text"};

Engine make_engine(std::vector<std::string> extensions) {
  std::vector<std::unique_ptr<Language>> languages;
  languages.push_back(std::make_unique<TextLanguage>(std::move(extensions)));
  std::vector<std::unique_ptr<Analyzer>> analyzers;
  analyzers.push_back(std::make_unique<MarkerAnalyzer>(
      MarkerRule{
          "todo", "TODO", Dimension::maintainability, "todo", Severity::low, "TODO marker", {}},
      std::nullopt));
  analyzers.push_back(std::make_unique<MarkerAnalyzer>(MarkerRule{"fixme",
                                                                  "FIXME",
                                                                  Dimension::Custom{"debt"},
                                                                  "fixme",
                                                                  Severity::medium,
                                                                  "FIXME marker",
                                                                  {"docs/fixme"}},
                                                       kTextOnly));
  analyzers.push_back(std::make_unique<EmptyFileAnalyzer>());
  return Engine(std::move(languages), std::move(analyzers));
}

void print(std::FILE* to, std::string_view text) { std::fwrite(text.data(), 1, text.size(), to); }

using Clock = std::chrono::steady_clock;

// The --stage-times line.
std::string stage_line(const StageTimes& stages, Clock::duration call, Clock::duration json,
                       Clock::duration write, Clock::duration total) {
  const Clock::duration run = stages.walk + stages.parse + stages.per_file + stages.project +
                              stages.finalise + stages.score;
  const std::pair<const char*, Clock::duration> parts[] = {
      {"walk", stages.walk},         {"parse", stages.parse},   {"per-file", stages.per_file},
      {"project", stages.project},   {"finalise", stages.finalise}, {"score", stages.score},
      {"release", call - run},       {"json", json},            {"write", write},
      {"total", total}};
  std::string line = "stages";
  for (const auto& [name, took] : parts) {
    char figure[32];
    std::snprintf(figure, sizeof figure, " %s=%.3f", name,
                  std::chrono::duration<double, std::milli>(took).count());
    line.append(figure);
  }
  return line + "\n";
}

constexpr std::string_view kUsage =
    "usage: vorn-scan [--follow-links] [--ext EXT]... [--exclude PATTERN]... "
    "[--rule RULE=WORD]... [--override RULE:PATTERN=WORD]... [--warnings] [--stage-times] "
    "[--] ROOT\n";

// Splits "RULE=WORD" at its first "=".
bool add_rule(Config& config, std::string_view setting) {
  const std::size_t equals = setting.find('=');
  if (equals == std::string_view::npos) return false;
  config.rules[std::string(setting.substr(0, equals))].severity =
      std::string(setting.substr(equals + 1));
  return true;
}

// Splits "RULE:PATTERN=WORD" at its first ":" and its last "=".
bool add_override(Config& config, std::string_view setting) {
  const std::size_t colon = setting.find(':');
  const std::size_t equals = setting.rfind('=');
  if (colon == std::string_view::npos || equals == std::string_view::npos || equals < colon) {
    return false;
  }
  config.rules[std::string(setting.substr(0, colon))].overrides.insert_or_assign(
      std::string(setting.substr(colon + 1, equals - colon - 1)),
      std::string(setting.substr(equals + 1)));
  return true;
}

int run(int argc, char** argv) {
  const Clock::time_point start = Clock::now();
  vorn_tools::DiscoveryOptions options;
  bool warnings = false;
  bool stage_times = false;
  const bool read = vorn_tools::read_options(
      argc, argv, options, [&](std::string_view option, vorn_tools::OptionValue& value) {
        if (option == "--warnings" || option == "--stage-times") {
          (option == "--warnings" ? warnings : stage_times) = true;
          return true;
        }
        if (option != "--rule" && option != "--override") return false;
        const std::optional<std::string_view> given = value();
        if (!given) return false;
        return option == "--rule" ? add_rule(options.config, *given)
                                  : add_override(options.config, *given);
      });
  if (!read) return vorn_tools::usage_error(kUsage);

  std::optional<ScopedWarningSink> sink;
  if (warnings) {
    sink.emplace([](const WarningEvent& event) {
      std::string line = "warning: ";
      line.append(event.message).push_back('\n');
      print(stderr, line);
    });
  }

  const Engine engine =
      make_engine(std::vector<std::string>(options.extensions.begin(), options.extensions.end()));
  StageTimes stages;
  const Clock::time_point called = Clock::now();
  const auto report =
      engine.analyze_path(options.root, options.config, stage_times ? &stages : nullptr);
  if (!report) {
    print(stderr, report.error().text() + "\n");
    return 1;
  }
  const Clock::time_point analysed = Clock::now();
  std::string json;
  if (const auto written = serialize(*report, json); !written) {
    print(stderr, written.error() + "\n");
    return 1;
  }
  json.push_back('\n');
  const Clock::time_point serialised = Clock::now();
  // Unbuffered, the report goes out in one write; buffered, stdio would write
  // the bulk and keep a tail for a second one.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  print(stdout, json);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    print(stderr, std::string("cannot write the report: ") + std::strerror(errno) + "\n");
    return 1;
  }
  if (stage_times) {
    const Clock::time_point written = Clock::now();
    print(stderr, stage_line(stages, analysed - called, serialised - analysed,
                             written - serialised, written - start));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return vorn_tools::run_tool([&] { return run(argc, argv); });
}
