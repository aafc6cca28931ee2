#include "core/engine.h"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <atomic>
#include <limits>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/log.h"
#include "walk/test_tree.h"

namespace vorn_core {
namespace {

using vorn_walk::TestTree;

// Claims its extensions. A text that begins with "FAIL" does not parse; one
// that begins with "THROW" throws. A text "S RULE LINE" gives a suppression.
class FakeLanguage final : public Language {
 public:
  FakeLanguage(std::string_view id, std::vector<std::string_view> extensions,
               std::vector<std::string>* destroyed = nullptr)
      : id_(id), extensions_(std::move(extensions)), destroyed_(destroyed) {}
  ~FakeLanguage() override {
    if (destroyed_ != nullptr) destroyed_->push_back("language " + std::string(id_));
  }

  std::string_view id() const override { return id_; }
  std::span<const std::string_view> extensions() const override { return extensions_; }

  std::expected<ParsedFile, ParseError> parse(std::shared_ptr<const SourceFile> source) const override {
    const std::string_view text = source->text;
    if (text.starts_with("THROW")) throw std::runtime_error("parse threw");
    if (text.starts_with("FAIL")) return std::unexpected(ParseError::syntax(source->path, "bad"));
    SemanticIndex index;
    if (text.starts_with("S ")) {
      const std::size_t space = text.find(' ', 2);
      index.suppressions.push_back({std::string(text.substr(2, space - 2)),
                                    static_cast<std::uint32_t>(std::stoul(std::string(text.substr(space + 1)))),
                                    false});
    }
    return ParsedFile(std::move(source), std::move(index), nullptr, id_);
  }

 private:
  std::string_view id_;
  std::vector<std::string_view> extensions_;
  std::vector<std::string>* destroyed_;
};

struct CallCounts {
  std::atomic<int> is_project_level = 0;
  std::atomic<int> target_languages = 0;
  std::atomic<int> analyze_file = 0;
  std::atomic<int> analyze_project = 0;
};

enum class Throws { never, in_file_stage, in_project_stage };

// Counts its calls. Each call that reports gives two findings with the same
// sort key (file "k", offset 0, rule "r"), so finalisation keeps the order
// in which the stages produced them; their messages say who made them.
class CountingAnalyzer final : public Analyzer {
 public:
  CountingAnalyzer(std::string name, bool project_level,
                   std::optional<std::vector<std::string_view>> targets, CallCounts& counts,
                   Throws throws = Throws::never)
      : name_(std::move(name)), project_level_(project_level), targets_(std::move(targets)),
        counts_(counts), throws_(throws) {}

  std::string_view id() const override { return name_; }
  std::optional<std::span<const std::string_view>> target_languages() const override {
    ++counts_.target_languages;
    if (!targets_) return std::nullopt;
    return std::span<const std::string_view>(*targets_);
  }
  bool is_project_level() const override {
    ++counts_.is_project_level;
    return project_level_;
  }
  std::vector<Finding> analyze_file(const AnalysisContext&, const ParsedFile& file) const override {
    ++counts_.analyze_file;
    if (throws_ == Throws::in_file_stage) throw std::runtime_error("analyze_file threw");
    return two_findings(file.source->path);
  }
  std::vector<Finding> analyze_project(const AnalysisContext&, const Project& project) const override {
    ++counts_.analyze_project;
    if (throws_ == Throws::in_project_stage) throw std::runtime_error("analyze_project threw");
    return two_findings("project " + project.root + " " + std::to_string(project.files.size()));
  }

 private:
  std::vector<Finding> two_findings(const std::string& about) const {
    std::vector<Finding> made(2);
    for (std::size_t i = 0; i < made.size(); ++i) {
      made[i].analyzer = name_;
      made[i].rule_id = "r";
      made[i].location.file = "k";
      made[i].message = name_ + " on " + about + " #" + std::to_string(i);
    }
    return made;
  }

  std::string name_;
  bool project_level_;
  std::optional<std::vector<std::string_view>> targets_;
  CallCounts& counts_;
  Throws throws_;
};

PathList path_list(const std::vector<std::string>& paths) {
  PathList list;
  for (const std::string& path : paths) list.push_back(path);
  return list;
}

std::vector<std::string> messages(const std::vector<Finding>& findings) {
  std::vector<std::string> out;
  for (const Finding& found : findings) out.push_back(found.message);
  return out;
}

// The report's JSON with the measured time left out.
std::string json_without_time(const Report& report) {
  Report copy = report;
  copy.stats.elapsed_ms = 0;
  std::string out;
  EXPECT_TRUE(serialize(copy, out).has_value());
  return out;
}

template <typename... Plugins>
std::vector<std::unique_ptr<Language>> languages(std::unique_ptr<Plugins>... plugins) {
  std::vector<std::unique_ptr<Language>> list;
  (list.push_back(std::move(plugins)), ...);
  return list;
}

template <typename... Plugins>
std::vector<std::unique_ptr<Analyzer>> analyzers(std::unique_ptr<Plugins>... plugins) {
  std::vector<std::unique_ptr<Analyzer>> list;
  (list.push_back(std::move(plugins)), ...);
  return list;
}

TEST(ParseStage, TheLastLanguageClaimingAnExtensionParsesTheFile) {
  TestTree tree;
  for (const char* name : {"a.py", "b.RS", "c.rs", "d.", "e.txt"}) tree.write(name);
  const std::vector<std::string> paths = {tree.path("a.py"), tree.path("b.RS"), tree.path("c.rs"),
                                          tree.path("d."), tree.path("e.txt")};
  const Engine engine(languages(std::make_unique<FakeLanguage>("first", std::vector<std::string_view>{"py", "rs"}),
                                std::make_unique<FakeLanguage>("second", std::vector<std::string_view>{"txt", "py"}),
                                std::make_unique<FakeLanguage>("dot", std::vector<std::string_view>{""}),
                                std::make_unique<FakeLanguage>("none", std::vector<std::string_view>{})),
                      {});
  std::atomic<std::uint32_t> failures = 0;
  const std::vector<ParsedFile> parsed = engine.parse_files_parallel(path_list(paths), failures);
  std::vector<std::string> got;
  for (const ParsedFile& file : parsed) got.push_back(file.source->path + " " + std::string(file.language));
  EXPECT_EQ(got, (std::vector<std::string>{tree.path("a.py") + " second", tree.path("c.rs") + " first",
                                           tree.path("d.") + " dot", tree.path("e.txt") + " second"}));
  EXPECT_EQ(failures, 0u);
}

TEST(ParseStage, CountsFilesThatCannotBeReadOrParsedAndKeepsPathOrder) {
  TestTree tree;
  std::vector<std::string> paths;
  std::vector<std::string> expected;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "f" + std::to_string(i) + ".x";
    paths.push_back(tree.path(name));
    if (i % 7 == 3) continue;  // never created: deleted after discovery
    tree.write(name, i % 5 == 1 ? "FAIL" : "ok " + std::to_string(i));
    if (i % 5 != 1) expected.push_back("ok " + std::to_string(i));
  }
  paths.push_back(tree.path("unclaimed.y"));  // not read, not counted
  const Engine engine(languages(std::make_unique<FakeLanguage>("x", std::vector<std::string_view>{"x"})), {});
  std::atomic<std::uint32_t> failures = 0;
  const std::vector<ParsedFile> parsed = engine.parse_files_parallel(path_list(paths), failures);
  std::vector<std::string> texts;
  for (const ParsedFile& file : parsed) texts.push_back(file.source->text);
  EXPECT_EQ(texts, expected);
  EXPECT_EQ(failures, 300u - expected.size());
}

TEST(ParseStage, TheFailureCounterWrapsInsteadOfSaturating) {
  TestTree tree;
  tree.write("bad.x", "FAIL");
  const Engine engine(languages(std::make_unique<FakeLanguage>("x", std::vector<std::string_view>{"x"})), {});
  std::atomic<std::uint32_t> failures = std::numeric_limits<std::uint32_t>::max();
  const std::vector<std::string> paths = {tree.path("bad.x"), tree.path("missing.x")};
  EXPECT_TRUE(engine.parse_files_parallel(path_list(paths), failures).empty());
  EXPECT_EQ(failures, 1u);
}

TEST(ParseStage, ReadsEveryByteUnchanged) {
  TestTree tree;
  std::string bytes;
  for (std::uint64_t i = 0; i < 3'000'000; ++i) bytes.push_back(static_cast<char>(i * 7919 % 251));
  bytes.insert(0, "ok\r\n\xEF\xBB\xBF\0", 8);
  tree.write("big.x", bytes);
  tree.write("empty.x");
  const Engine engine(languages(std::make_unique<FakeLanguage>("x", std::vector<std::string_view>{"x"})), {});
  std::atomic<std::uint32_t> failures = 0;
  const std::vector<std::string> paths = {tree.path("big.x"), tree.path("empty.x")};
  const std::vector<ParsedFile> parsed = engine.parse_files_parallel(path_list(paths), failures);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_TRUE(parsed[0].source->text == bytes);
  EXPECT_EQ(parsed[1].source->text, "");
}

// Three parsed files: the first two of language "a", the third of "b".
std::vector<ParsedFile> three_files() {
  std::vector<ParsedFile> files;
  for (const auto& [path, language] : {std::pair{"one", "a"}, {"two", "a"}, {"three", "b"}}) {
    files.emplace_back(std::make_shared<const SourceFile>(path, ""), SemanticIndex(), nullptr,
                       language);
  }
  return files;
}

TEST(AnalysisStages, AskEachQuestionOncePerFileAndAnalyzer) {
  CallCounts counts;
  const std::vector<std::string_view> a_only = {"a"};
  const std::vector<std::string_view> none = {};
  const std::vector<std::string_view> near_misses = {"A", "", "a ", "b", "b"};
  const CountingAnalyzer every("every", false, std::nullopt, counts);
  const CountingAnalyzer only_a("only_a", false, a_only, counts);
  const CountingAnalyzer nothing("nothing", false, none, counts);
  const CountingAnalyzer b_twice("b_twice", false, near_misses, counts);
  const CountingAnalyzer project("project", true, std::nullopt, counts);
  const std::vector<const Analyzer*> list = {&every, &only_a, &nothing, &project, &b_twice};
  const Config config;
  const AnalysisContext context{config};
  const std::vector<ParsedFile> files = three_files();

  const std::vector<Finding> per_file = analyze_files_parallel(files, list, context);
  // F = 3 files, A = 5 analyzers, P = 1 project-level.
  EXPECT_EQ(counts.is_project_level, 3 * 5);
  EXPECT_EQ(counts.target_languages, 3 * (5 - 1));
  EXPECT_EQ(counts.analyze_file, 3 + 2 + 0 + 1);
  EXPECT_EQ(counts.analyze_project, 0);
  EXPECT_EQ(per_file.size(), 2u * 6);

  const Project whole{"root", {}};
  const std::vector<Finding> from_project = analyze_project_parallel(list, context, whole);
  EXPECT_EQ(counts.is_project_level, 3 * 5 + 5);
  EXPECT_EQ(counts.target_languages, 3 * 4);
  EXPECT_EQ(counts.analyze_project, 1);
  EXPECT_EQ(messages(from_project),
            (std::vector<std::string>{"project on project root 0 #0", "project on project root 0 #1"}));
}

TEST(AnalysisStages, ReportInFileThenAnalyzerOrderWithProjectFindingsLast) {
  TestTree tree;
  tree.write("1.a", "first");
  tree.write("2.b", "second");
  CallCounts counts;
  const std::vector<std::string_view> first_language = {"la"};
  const Engine engine(
      languages(std::make_unique<FakeLanguage>("la", std::vector<std::string_view>{"a"}),
                std::make_unique<FakeLanguage>("lb", std::vector<std::string_view>{"b"})),
      analyzers(std::make_unique<CountingAnalyzer>("X", false, std::nullopt, counts),
                std::make_unique<CountingAnalyzer>("Y", true, std::nullopt, counts),
                std::make_unique<CountingAnalyzer>("Z", false, first_language, counts)));
  const auto report = engine.analyze_path(tree.root(), Config{});
  ASSERT_TRUE(report.has_value()) << report.error().text();
  const std::string one = tree.path("1.a"), two = tree.path("2.b");
  EXPECT_EQ(messages(report->findings),
            (std::vector<std::string>{"X on " + one + " #0", "X on " + one + " #1",
                                      "Z on " + one + " #0", "Z on " + one + " #1",
                                      "X on " + two + " #0", "X on " + two + " #1",
                                      "Y on project " + tree.root() + " 2 #0",
                                      "Y on project " + tree.root() + " 2 #1"}));
}

TEST(AnalyzePath, WithoutPluginsWalksAndScoresEveryBuiltinFully) {
  TestTree tree;
  tree.write("a.py", "TODO");
  const auto report = Engine().analyze_path(tree.root(), Config{});
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(json_without_time(*report),
            "{\"schema_version\":1,\"findings\":[],\"scores\":{\"maintainability\":100.0,"
            "\"security\":100.0,\"complexity\":100.0,\"documentation\":100.0,\"test_smell\":100.0},"
            "\"stats\":{\"files_scanned\":0,\"parse_failures\":0,\"elapsed_ms\":0,\"suppressed\":0,"
            "\"cache_hits\":0}}");

  const auto missing = Engine().analyze_path(tree.path("nope"), Config{});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().text(), "io: " + tree.path("nope") + ": IO error for operation on " +
                                        tree.path("nope") + ": No such file or directory (os error 2)");
}

TEST(AnalyzePath, CountsFailuresAndSizesOnlyParsedFiles) {
  TestTree tree;
  tree.write("a.x", std::string(80'002, 'a'));
  tree.write("b.x", "FAIL" + std::string(80'000, 'b'));
  tree.write("c.x", "c");
  tree.write("d.other", std::string(1000, 'd'));
  CallCounts counts;
  const Engine engine(languages(std::make_unique<FakeLanguage>("x", std::vector<std::string_view>{"x"})),
                      analyzers(std::make_unique<CountingAnalyzer>("X", false, std::nullopt, counts)));
  const auto report = engine.analyze_path(tree.root(), Config{});
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->stats.files_scanned, 2u);
  EXPECT_EQ(report->stats.parse_failures, 1u);
  EXPECT_EQ(report->findings.size(), 4u);
  // Info findings score 100 whatever the size; give them weight through the
  // configuration to see the size measure: 80,003 bytes were parsed.
  Config config;
  config.rules["r"].severity = "medium";
  const auto weighted = engine.analyze_path(tree.root(), config);
  ASSERT_TRUE(weighted.has_value());
  EXPECT_EQ(weighted->scores.at(Dimension::maintainability).value,
            100.0f - 16.0f / kloc_of(80'003));
  EXPECT_NE(weighted->scores.at(Dimension::maintainability).value,
            100.0f - 16.0f / kloc_of(80'004));
}

TEST(AnalyzePath, AReportDoesNotDependOnTheNumberOfWorkers) {
  TestTree tree;
  for (int i = 0; i < 200; ++i) tree.write("d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".x",
                                           i % 11 == 0 ? "FAIL" : "text");
  CallCounts counts;
  const Engine engine(languages(std::make_unique<FakeLanguage>("x", std::vector<std::string_view>{"x"})),
                      analyzers(std::make_unique<CountingAnalyzer>("X", false, std::nullopt, counts),
                                std::make_unique<CountingAnalyzer>("Y", true, std::nullopt, counts)));
  const auto parallel = engine.analyze_path(tree.root(), Config{});
  ASSERT_TRUE(parallel.has_value());
  std::optional<std::string> sequential;
  {
    tbb::global_control one_worker(tbb::global_control::max_allowed_parallelism, 1);
    const auto report = engine.analyze_path(tree.root(), Config{});
    ASSERT_TRUE(report.has_value());
    sequential = json_without_time(*report);
  }
  EXPECT_EQ(json_without_time(*parallel), *sequential);
  EXPECT_EQ(parallel->findings.size(), 2u * (200 - 19) + 2);
}

TEST(AnalyzePath, AnExceptionFromAPluginReachesTheCaller) {
  TestTree tree;
  for (int i = 0; i < 50; ++i) tree.write("f" + std::to_string(i) + ".x", "text");
  tree.write("g.t", "THROW");
  CallCounts counts;
  const auto engine_with = [&](Throws throws) {
    return Engine(languages(std::make_unique<FakeLanguage>("x", std::vector<std::string_view>{"x"}),
                            std::make_unique<FakeLanguage>("t", std::vector<std::string_view>{"t"})),
                  analyzers(std::make_unique<CountingAnalyzer>("X", false, std::nullopt, counts, throws),
                            std::make_unique<CountingAnalyzer>("Y", true, std::nullopt, counts, throws)));
  };
  EXPECT_THROW(engine_with(Throws::never).analyze_path(tree.root(), Config{}), std::runtime_error);
  tree.remove("g.t");
  EXPECT_THROW(engine_with(Throws::in_file_stage).analyze_path(tree.root(), Config{}),
               std::runtime_error);
  EXPECT_THROW(engine_with(Throws::in_project_stage).analyze_path(tree.root(), Config{}),
               std::runtime_error);
  // Nothing is left behind: the same engine runs normally afterwards.
  const Engine engine = engine_with(Throws::never);
  EXPECT_TRUE(engine.analyze_path(tree.root(), Config{}).has_value());
}

TEST(Engine, DestroysLanguagesThenAnalyzersEachInListOrder) {
  std::vector<std::string> destroyed;
  class Witness final : public Analyzer {
   public:
    Witness(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}
    ~Witness() override { log_.push_back("analyzer " + name_); }
    std::string_view id() const override { return name_; }
    std::optional<std::span<const std::string_view>> target_languages() const override { return {}; }
    bool is_project_level() const override { return false; }
    std::vector<Finding> analyze_file(const AnalysisContext&, const ParsedFile&) const override { return {}; }
    std::vector<Finding> analyze_project(const AnalysisContext&, const Project&) const override { return {}; }

   private:
    std::string name_;
    std::vector<std::string>& log_;
  };
  {
    Engine engine(languages(std::make_unique<FakeLanguage>("l1", std::vector<std::string_view>{}, &destroyed),
                            std::make_unique<FakeLanguage>("l2", std::vector<std::string_view>{}, &destroyed)),
                  analyzers(std::make_unique<Witness>("a1", destroyed), std::make_unique<Witness>("a2", destroyed)));
    Engine moved = std::move(engine);
    EXPECT_TRUE(destroyed.empty());
  }
  EXPECT_EQ(destroyed, (std::vector<std::string>{"language l1", "language l2", "analyzer a1", "analyzer a2"}));
}

TEST(RunArithmetic, KlocDividesTwiceInFloats) {
  EXPECT_EQ(kloc_of(0), 0.0f);
  EXPECT_EQ(kloc_of(80'000), 1.0f);
  EXPECT_EQ(kloc_of(40'000), 0.5f);
  EXPECT_EQ(static_cast<double>(kloc_of(80'003)), 1.0000374317169189);
  EXPECT_NE(kloc_of(80'003), 80'003.0f / 80'000.0f);
  // 16,777,217 is not a float: it rounds to 16,777,216 before dividing.
  EXPECT_EQ(kloc_of(16'777'217), 16'777'216.0f / 80.0f / 1000.0f);
  EXPECT_EQ(kloc_of(16'777'219), 16'777'220.0f / 80.0f / 1000.0f);
}

TEST(RunArithmetic, CountsSaturateAndTimesTruncate) {
  EXPECT_EQ(saturating_count(0), 0u);
  EXPECT_EQ(saturating_count(4'294'967'295u), 4'294'967'295u);
  EXPECT_EQ(saturating_count(4'294'967'296u), 4'294'967'295u);
  EXPECT_EQ(saturating_count(std::numeric_limits<std::size_t>::max()), 4'294'967'295u);
  using std::chrono::nanoseconds;
  EXPECT_EQ(whole_milliseconds(nanoseconds(999'999)), 0u);
  EXPECT_EQ(whole_milliseconds(nanoseconds(1'999'999)), 1u);
  EXPECT_EQ(whole_milliseconds(std::chrono::seconds(5'000'000'000)), 5'000'000'000'000u);
}

}  // namespace
}  // namespace vorn_core
