#include "core/engine.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/pool.h"
#include "walk/test_tree.h"

namespace vorn_core {
namespace {

using vorn_walk::TestTree;
using Ids = std::vector<std::string_view>;

// Claims `extensions`. A text beginning "FAIL" does not parse; one beginning
// "THROW" throws; one beginning "DROP" gives a parsed file without its
// source. Notes its destruction in `destroyed`, when given.
class FakeLanguage final : public Language {
 public:
  FakeLanguage(std::string_view id, Ids extensions, std::vector<std::string>* destroyed = nullptr)
      : id_(id), extensions_(std::move(extensions)), destroyed_(destroyed) {}
  ~FakeLanguage() override {
    if (destroyed_ != nullptr) destroyed_->push_back("language " + std::string(id_));
  }
  std::string_view id() const override { return id_; }
  std::span<const std::string_view> extensions() const override { return extensions_; }
  std::expected<ParsedFile, ParseError> parse(
      std::shared_ptr<const SourceFile> source) const override {
    if (source->text.starts_with("THROW")) throw std::runtime_error("parse threw");
    if (source->text.starts_with("DROP")) return ParsedFile(nullptr, {}, nullptr, id_);
    if (source->text.starts_with("FAIL"))
      return std::unexpected(ParseError::syntax(std::string(source->path), "x"));
    return ParsedFile(std::move(source), {}, nullptr, id_);
  }

 private:
  std::string_view id_;
  Ids extensions_;
  std::vector<std::string>* destroyed_;
};

struct CallCounts {
  std::atomic<int> is_project_level = 0, target_languages = 0, analyze_file = 0,
                   analyze_project = 0;
};

enum class Throws { never, in_file_stage, in_project_stage };

// Counts its calls and reports two findings per call, all with one sort key
// (file "k", offset 0, rule "r") so that finalisation keeps the stages'
// order; the messages say who reported them on what.
class CountingAnalyzer final : public Analyzer {
 public:
  CountingAnalyzer(std::string name, bool project_level, std::optional<Ids> targets,
                   CallCounts& counts, Throws throws = Throws::never,
                   std::vector<std::string>* destroyed = nullptr)
      : name_(std::move(name)),
        project_level_(project_level),
        targets_(std::move(targets)),
        counts_(counts),
        throws_(throws),
        destroyed_(destroyed) {}
  ~CountingAnalyzer() override {
    if (destroyed_ != nullptr) destroyed_->push_back("analyzer " + name_);
  }
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
    return two_findings(std::string(file.source->path));
  }
  std::vector<Finding> analyze_project(const AnalysisContext&,
                                       const Project& project) const override {
    ++counts_.analyze_project;
    if (throws_ == Throws::in_project_stage) throw std::runtime_error("analyze_project threw");
    return two_findings("project " + project.root + " " + std::to_string(project.files.size()));
  }

 private:
  std::vector<Finding> two_findings(const std::string& about) const {
    std::vector<Finding> made(2);
    for (std::size_t i = 0; i < made.size(); ++i) {
      made[i].rule_id = "r";
      made[i].location.file = "k";
      made[i].message = name_ + " on " + about + " #" + std::to_string(i);
    }
    return made;
  }

  std::string name_;
  bool project_level_;
  std::optional<Ids> targets_;
  CallCounts& counts_;
  Throws throws_;
  std::vector<std::string>* destroyed_;
};

template <typename Base, typename... Plugins>
std::vector<std::unique_ptr<Base>> owned(std::unique_ptr<Plugins>... plugins) {
  std::vector<std::unique_ptr<Base>> list;
  (list.push_back(std::move(plugins)), ...);
  return list;
}

Engine one_language_engine(std::vector<std::unique_ptr<Analyzer>> analyzers = {}) {
  return Engine(owned<Language>(std::make_unique<FakeLanguage>("x", Ids{"x"})),
                std::move(analyzers));
}

std::vector<std::string> parse(const Engine& engine, const std::vector<std::string>& paths,
                               std::atomic<std::uint32_t>& failures) {
  PathList list;
  for (const std::string& path : paths) list.push_back(path);
  std::vector<std::string> parsed;
  for (const ParsedFile& file : engine.parse_files_parallel(list, failures)) {
    std::string line(file.source->path);
    line.append(" ").append(file.language).append(" ").append(file.source->text);
    parsed.push_back(std::move(line));
  }
  return parsed;
}

std::vector<std::string> messages(const std::vector<Finding>& findings) {
  std::vector<std::string> out;
  for (const Finding& found : findings) out.push_back(found.message);
  return out;
}

std::string json_without_time(Report report) {
  report.stats.elapsed_ms = 0;
  std::string out;
  EXPECT_TRUE(serialize(report, out).has_value());
  return out;
}

TEST(ParseStage, TheLastLanguageClaimingTheExactExtensionParses) {
  TestTree tree;
  for (const char* name : {"a.py", "b.RS", "c.rs", "d."}) tree.write(name, name);
  const Engine engine(owned<Language>(std::make_unique<FakeLanguage>("first", Ids{"py", "rs"}),
                                      std::make_unique<FakeLanguage>("second", Ids{"txt", "py"}),
                                      std::make_unique<FakeLanguage>("dot", Ids{""}),
                                      std::make_unique<FakeLanguage>("none", Ids{})),
                      {});
  std::atomic<std::uint32_t> failures = 0;
  EXPECT_EQ(
      parse(engine, {tree.path("a.py"), tree.path("b.RS"), tree.path("c.rs"), tree.path("d.")},
            failures),
      (std::vector<std::string>{tree.path("a.py") + " second a.py",
                                tree.path("c.rs") + " first c.rs", tree.path("d.") + " dot d."}));
  EXPECT_EQ(failures, 0u);
}

TEST(ParseStage, CountsUnreadableAndUnparsableFilesAndKeepsPathOrder) {
  TestTree tree;
  std::vector<std::string> paths, expected;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "f" + std::to_string(i) + ".x";
    paths.push_back(tree.path(name));
    if (i % 7 == 3) continue;  // never written: as if deleted after discovery
    tree.write(name, i % 5 == 1 ? "FAIL" : name);
    if (i % 5 != 1) expected.push_back(tree.path(name) + " x " + name);
  }
  // A parsed file without its source counts as a failed parse.
  tree.write("f2.x", "DROP");
  expected.erase(expected.begin() + 1);
  paths.push_back(tree.path(std::string(5000, 'n') + ".x"));  // too long to open: counted
  paths.push_back(tree.path("unclaimed.y"));  // neither read nor counted
  std::atomic<std::uint32_t> failures = 0;
  EXPECT_EQ(parse(one_language_engine(), paths, failures), expected);
  EXPECT_EQ(failures, 301u - expected.size());

  // The counter wraps rather than saturates.
  failures = std::numeric_limits<std::uint32_t>::max();
  EXPECT_TRUE(
      parse(one_language_engine(), {tree.path("f6.x"), tree.path("f3.x")}, failures).empty());
  EXPECT_EQ(failures, 1u);
}

// The exit code of a process that, under a memory limit, parses a 100 GB
// sparse file and one that another thread keeps growing while the run goes
// on: 0 when both were counted as failed reads and nothing aborted.
int parse_under_a_memory_limit() {
  TestTree tree;
  tree.write("sparse.x");
  vorn_walk::check_call(::truncate(tree.path("sparse.x").c_str(), off_t{100} << 30) == 0,
                        "truncate");
  tree.write("growing.x");
  const int growing = ::open(tree.path("growing.x").c_str(), O_WRONLY | O_CLOEXEC);
  std::atomic<bool> done = false;
  std::atomic<off_t> grown = 0;
  // Sparse growth outruns any reader; a terabyte costs no disk.
  std::thread grower([&] {
    for (off_t size = 0; !done && size < (off_t{1} << 40);) {
      if (::ftruncate(growing, size += off_t{64} << 20) != 0) break;
      grown = size;
    }
    grown = std::numeric_limits<off_t>::max();  // no more growth: stop waiting
  });
  // Past what the limit below leaves room for, so that no reader can ever
  // reach its end, however the threads are scheduled.
  while (grown < (off_t{512} << 20)) std::this_thread::yield();

  // What the process has mapped, and 256 MiB more.
  std::ifstream status("/proc/self/status");
  std::uint64_t mapped_kib = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmSize:")) mapped_kib = std::stoull(line.substr(7));
  }
  const rlimit limit{(mapped_kib << 10) + (std::uint64_t{256} << 20), RLIM_INFINITY};
  vorn_walk::check_call(mapped_kib > 0 && ::setrlimit(RLIMIT_AS, &limit) == 0, "setrlimit");

  const Engine engine = one_language_engine();
  std::atomic<std::uint32_t> failures = 0;
  PathList paths;
  paths.push_back(tree.path("sparse.x"));
  paths.push_back(tree.path("growing.x"));
  const bool parsed_none = engine.parse_files_parallel(paths, failures).empty();
  done = true;
  grower.join();
  ::close(growing);
  return parsed_none && failures == 2 ? 0 : 1;
}

TEST(ParseStageDeathTest, CountsFilesTooLargeForMemoryAsFailedReads) {
  // A process of its own: the limit must not reach the other tests. Started
  // afresh, since the pool's threads do not survive a fork.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(parse_under_a_memory_limit()), testing::ExitedWithCode(0), "");
}

TEST(AnalysisStages, AskEachQuestionOncePerFileAndAnalyzer) {
  CallCounts counts;
  const CountingAnalyzer every("every", false, std::nullopt, counts);
  const CountingAnalyzer only_a("only_a", false, Ids{"a"}, counts);
  const CountingAnalyzer nothing("nothing", false, Ids{}, counts);
  const CountingAnalyzer near_misses("near", false, Ids{"A", "", "a ", "b", "b"}, counts);
  const CountingAnalyzer project("project", true, std::nullopt, counts);
  const std::vector<const Analyzer*> list = {&every, &only_a, &nothing, &project, &near_misses};
  std::vector<ParsedFile> files;
  for (const char* language : {"a", "a", "b"}) {
    files.emplace_back(std::make_shared<const SourceFile>("f", ""), SemanticIndex(), nullptr,
                       language);
  }
  const Config config;
  const AnalysisContext context{config};

  // F = 3 files, A = 5 analyzers, P = 1 project-level.
  EXPECT_EQ(analyze_files_parallel(files, list, context).size(), 2u * (3 + 2 + 0 + 1));
  EXPECT_EQ(counts.is_project_level, 3 * 5);
  EXPECT_EQ(counts.target_languages, 3 * 4);
  EXPECT_EQ(counts.analyze_file, 3 + 2 + 0 + 1);
  EXPECT_EQ(counts.analyze_project, 0);

  const Project empty{"root", {}};
  EXPECT_EQ(
      messages(analyze_project_parallel(list, context, empty)),
      (std::vector<std::string>{"project on project root 0 #0", "project on project root 0 #1"}));
  EXPECT_EQ(counts.is_project_level, 3 * 5 + 5);
  EXPECT_EQ(counts.target_languages, 3 * 4);
  EXPECT_EQ(counts.analyze_project, 1);
}

TEST(AnalyzePath, ReportsByFileThenAnalyzerWithProjectFindingsLast) {
  TestTree tree;
  tree.write("1.a");
  tree.write("2.b");
  CallCounts counts;
  const Engine engine(
      owned<Language>(std::make_unique<FakeLanguage>("la", Ids{"a"}),
                      std::make_unique<FakeLanguage>("lb", Ids{"b"})),
      owned<Analyzer>(std::make_unique<CountingAnalyzer>("X", false, std::nullopt, counts),
                      std::make_unique<CountingAnalyzer>("Y", true, std::nullopt, counts),
                      std::make_unique<CountingAnalyzer>("Z", false, Ids{"la"}, counts)));
  const auto report = engine.analyze_path(tree.root(), Config{});
  ASSERT_TRUE(report.has_value()) << report.error().text();
  const std::string one = tree.path("1.a"), two = tree.path("2.b"), root = tree.root();
  EXPECT_EQ(messages(report->findings),
            (std::vector<std::string>{
                "X on " + one + " #0", "X on " + one + " #1", "Z on " + one + " #0",
                "Z on " + one + " #1", "X on " + two + " #0", "X on " + two + " #1",
                "Y on project " + root + " 2 #0", "Y on project " + root + " 2 #1"}));
}

TEST(AnalyzePath, WithoutPluginsScoresEveryBuiltinFullyAndPassesDiscoveryErrorsOn) {
  TestTree tree;
  tree.write("a.py", "TODO");
  const auto report = Engine().analyze_path(tree.root(), Config{});
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(json_without_time(*report),
            "{\"schema_version\":1,\"findings\":[],\"scores\":{\"maintainability\":100.0,"
            "\"security\":100.0,\"complexity\":100.0,\"documentation\":100.0,\"test_smell\":100.0},"
            "\"stats\":{\"files_scanned\":0,\"parse_failures\":0,\"elapsed_ms\":0,\"suppressed\":0,"
            "\"cache_hits\":0}}");
  const std::string missing = tree.path("nope");
  EXPECT_EQ(Engine().analyze_path(missing, Config{}).error().text(),
            "io: " + missing + ": IO error for operation on " + missing +
                ": No such file or directory (os error 2)");
}

TEST(AnalyzePath, CountsFailuresAndSizesOnlyParsedFiles) {
  TestTree tree;
  tree.write("a.x", std::string(80'002, 'a'));
  tree.write("b.x", "FAIL" + std::string(80'000, 'b'));
  tree.write("c.x", "c");
  tree.write("d.other", std::string(1000, 'd'));
  tree.write("e.x", "DROP" + std::string(1000, 'e'));
  CallCounts counts;
  const Engine engine = one_language_engine(
      owned<Analyzer>(std::make_unique<CountingAnalyzer>("X", false, std::nullopt, counts)));
  // Four findings of weight 4 over 80,003 parsed bytes.
  Config config;
  config.rules["r"].severity = "medium";
  const auto report = engine.analyze_path(tree.root(), config);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->stats.files_scanned, 2u);
  EXPECT_EQ(report->stats.parse_failures, 2u);
  EXPECT_EQ(report->findings.size(), 4u);
  EXPECT_EQ(report->scores.at(Dimension::maintainability).value, 100.0f - 16.0f / kloc_of(80'003));
  EXPECT_NE(report->scores.at(Dimension::maintainability).value, 100.0f - 16.0f / kloc_of(80'004));
}

TEST(AnalyzePath, AReportDoesNotDependOnTheNumberOfWorkers) {
  TestTree tree;
  for (int i = 0; i < 200; ++i) {
    tree.write("d" + std::to_string(i % 7) + "/f" + std::to_string(i) + ".x",
               i % 11 ? "text" : "FAIL");
  }
  CallCounts counts;
  const Engine engine = one_language_engine(
      owned<Analyzer>(std::make_unique<CountingAnalyzer>("X", false, std::nullopt, counts),
                      std::make_unique<CountingAnalyzer>("Y", true, std::nullopt, counts)));
  const auto parallel = engine.analyze_path(tree.root(), Config{});
  ASSERT_TRUE(parallel.has_value());
  EXPECT_EQ(parallel->findings.size(), 2u * (200 - 19) + 2);
  vorn_base::Pool one_thread(1);
  EXPECT_EQ(json_without_time(*engine.analyze_path(tree.root(), Config{}, nullptr, one_thread)),
            json_without_time(*parallel));
}

TEST(AnalyzePath, RunsOnSeveralThreadsAtOnceEachGetItsOwnReport) {
  // Trees of different sizes and failures, so that no two reports agree.
  std::vector<std::unique_ptr<TestTree>> trees(4);
  for (int t = 0; t < 4; ++t) {
    trees[t] = std::make_unique<TestTree>();
    for (int i = 0; i < 20 + 15 * t; ++i) {
      trees[t]->write("d" + std::to_string(i % (t + 2)) + "/f" + std::to_string(i) + ".x",
                      i % (t + 3) ? std::string(i * 100, 'x') : "FAIL");
    }
  }
  CallCounts counts;
  const Engine engine = one_language_engine(
      owned<Analyzer>(std::make_unique<CountingAnalyzer>("X", false, std::nullopt, counts),
                      std::make_unique<CountingAnalyzer>("Y", true, std::nullopt, counts)));
  const auto report_of = [&](int t) {
    return json_without_time(*engine.analyze_path(trees[t]->root(), Config{}));
  };
  std::vector<std::vector<std::string>> together(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int run = 0; run < 5; ++run) together[t].push_back(report_of(t));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) {
    EXPECT_EQ(together[t], std::vector<std::string>(5, report_of(t))) << "tree " << t;
  }
}

// Under the sanitizer build, LeakSanitizer checks that nothing of the failed
// runs is left behind.
TEST(AnalyzePath, AnExceptionFromAPluginReachesTheCaller) {
  TestTree tree;
  for (int i = 0; i < 50; ++i) tree.write("f" + std::to_string(i) + ".x", "text");
  tree.write("g.t", "THROW");
  CallCounts counts;
  const auto engine_with = [&](Throws throws) {
    return Engine(owned<Language>(std::make_unique<FakeLanguage>("x", Ids{"x"}),
                                  std::make_unique<FakeLanguage>("t", Ids{"t"})),
                  owned<Analyzer>(
                      std::make_unique<CountingAnalyzer>("X", false, std::nullopt, counts, throws),
                      std::make_unique<CountingAnalyzer>("Y", true, std::nullopt, counts, throws)));
  };
  EXPECT_THROW(engine_with(Throws::never).analyze_path(tree.root(), Config{}), std::runtime_error);
  tree.remove("g.t");
  const Engine throwing_in_files = engine_with(Throws::in_file_stage);
  EXPECT_THROW(throwing_in_files.analyze_path(tree.root(), Config{}), std::runtime_error);
  EXPECT_THROW(engine_with(Throws::in_project_stage).analyze_path(tree.root(), Config{}),
               std::runtime_error);
  EXPECT_TRUE(engine_with(Throws::never).analyze_path(tree.root(), Config{}).has_value());
}

TEST(Engine, DestroysLanguagesThenAnalyzersEachInListOrder) {
  std::vector<std::string> destroyed;
  CallCounts counts;
  {
    Engine engine(
        owned<Language>(std::make_unique<FakeLanguage>("l1", Ids{}, &destroyed),
                        std::make_unique<FakeLanguage>("l2", Ids{}, &destroyed)),
        owned<Analyzer>(std::make_unique<CountingAnalyzer>("a1", false, std::nullopt, counts,
                                                           Throws::never, &destroyed),
                        std::make_unique<CountingAnalyzer>("a2", false, std::nullopt, counts,
                                                           Throws::never, &destroyed)));
    const Engine moved = std::move(engine);
    EXPECT_TRUE(destroyed.empty());
  }
  EXPECT_EQ(destroyed,
            (std::vector<std::string>{"language l1", "language l2", "analyzer a1", "analyzer a2"}));
}

TEST(RunArithmetic, KlocDividesTwiceInFloats) {
  EXPECT_EQ(kloc_of(0), 0.0f);
  EXPECT_EQ(kloc_of(80'000), 1.0f);
  EXPECT_EQ(kloc_of(40'000), 0.5f);
  EXPECT_EQ(static_cast<double>(kloc_of(80'003)), 1.0000374317169189);
  EXPECT_NE(kloc_of(80'003), 80'003.0f / 80'000.0f);
  // 16,777,217 is no float: it rounds to 16,777,216 before dividing.
  EXPECT_EQ(kloc_of(16'777'217), 16'777'216.0f / 80.0f / 1000.0f);
}

TEST(RunArithmetic, CountsSaturateAndTimesTruncate) {
  EXPECT_EQ(saturating_count(4'294'967'295u), 4'294'967'295u);
  EXPECT_EQ(saturating_count(4'294'967'296u), 4'294'967'295u);
  EXPECT_EQ(saturating_count(std::numeric_limits<std::size_t>::max()), 4'294'967'295u);
  EXPECT_EQ(whole_milliseconds(std::chrono::nanoseconds(999'999)), 0u);
  EXPECT_EQ(whole_milliseconds(std::chrono::nanoseconds(1'999'999)), 1u);
  EXPECT_EQ(whole_milliseconds(std::chrono::seconds(5'000'000'000)), 5'000'000'000'000u);
}

}  // namespace
}  // namespace vorn_core
