// The engine: one whole analysis of a directory tree, or of a single file.
//
//   std::vector<std::unique_ptr<Language>> languages;
//   languages.push_back(std::make_unique<MyLanguage>());
//   Engine engine(std::move(languages), {});
//   auto report = engine.analyze_path("./src", Config{});
//   if (!report) fail(report.error().text());  // discovery failed: "io: ..."
//
// A run goes: discovery of the files whose extension a language claims; the
// parse stage; the per-file analysis stage; the project stage; finalisation
// (suppressions, per-rule severities, order); scoring. The walk and the three
// stages run in parallel on a pool of threads, the process-wide one
// (vorn_base::Pool::process()) unless another is given, and put their results
// together in input order, so a report never depends on the number of
// workers or on scheduling, apart from elapsed_ms.
//
// Only discovery can fail a run. A file that cannot be read or parsed is
// counted in parse_failures and left out. An exception thrown by a plug-in
// object is not caught: it leaves analyze_path, and everything the run
// created is released on the way.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/pool.h"
#include "core/analyzer.h"
#include "core/config.h"
#include "core/discovery.h"
#include "core/error.h"
#include "core/language.h"
#include "core/parsed.h"
#include "core/report.h"

namespace vorn_core {

// How long each stage of one run took, for benchmarks that look for where a
// run's time goes. Filling it changes nothing else about the run.
struct StageTimes {
  using Duration = std::chrono::steady_clock::duration;
  Duration walk{}, parse{}, per_file{}, project{}, finalise{}, score{};
};

class Engine {
 public:
  // No languages and no analyzers: a run walks the tree and parses nothing.
  Engine() = default;
  // List order matters: of several languages that claim an extension the
  // last one parses the file; analyzers report in list order.
  Engine(std::vector<std::unique_ptr<Language>> languages,
         std::vector<std::unique_ptr<Analyzer>> analyzers)
      : languages_(std::move(languages)), analyzers_(std::move(analyzers)) {}

  Engine(Engine&&) noexcept = default;
  Engine& operator=(Engine&& other) noexcept;
  // Destroys the languages in list order, then the analyzers in list order.
  ~Engine();

  // Analyses the directory or file `root`, used exactly as written (never
  // canonicalised: every path in the report begins with it). Only reads the
  // engine and `config`, so runs may overlap on different threads; nothing
  // is kept from one run to the next. Fails only with the EngineError of
  // discovery (core/discovery.h). When `times` is given, the stages that ran
  // are timed into it.
  std::expected<Report, EngineError> analyze_path(
      std::string_view root, const Config& config, StageTimes* times = nullptr,
      vorn_base::Pool& pool = vorn_base::Pool::process()) const;

  // The parse stage: for each path, the last language that claims its
  // extension (the file_extension of its final name, the empty text when it
  // has none; compared byte for byte) reads and parses the file. A path no
  // language claims yields nothing and counts nowhere; one that cannot be
  // read (for any reason, a failure to allocate the room included) or parsed
  // (a ParseError, or a ParsedFile without its source) yields nothing and
  // adds 1 to `failures` (relaxed, modulo 2^32). The result is in the order
  // of `paths`.
  std::vector<ParsedFile> parse_files_parallel(
      const PathList& paths, std::atomic<std::uint32_t>& failures,
      vorn_base::Pool& pool = vorn_base::Pool::process()) const;

 private:
  void release();
  const Language* language_for(std::string_view extension) const;

  std::vector<std::unique_ptr<Language>> languages_;
  std::vector<std::unique_ptr<Analyzer>> analyzers_;
};

// The per-file stage: for each file, each analyzer in order that is not
// project-level and whose target languages are absent or name the file's
// language (byte for byte) reports on it. Findings come by file, then by
// analyzer, then in each analyzer's own order.
std::vector<Finding> analyze_files_parallel(
    std::span<const ParsedFile> files, std::span<const Analyzer* const> analyzers,
    const AnalysisContext& context, vorn_base::Pool& pool = vorn_base::Pool::process());

// The project stage: each project-level analyzer reports once on `project`;
// findings come in analyzer order.
std::vector<Finding> analyze_project_parallel(
    std::span<const Analyzer* const> analyzers, const AnalysisContext& context,
    const Project& project, vorn_base::Pool& pool = vorn_base::Pool::process());

// The size measure that scoring divides by: the total bytes rounded to a
// float, divided by 80, then by 1000 (two float divisions, which can differ
// in the last bit from one division by 80000).
float kloc_of(std::uint64_t total_bytes);

// A count for RunStats: `count`, or 4294967295 when it is larger.
std::uint32_t saturating_count(std::size_t count);

// Whole milliseconds of `elapsed`, the fraction dropped.
std::uint64_t whole_milliseconds(std::chrono::steady_clock::duration elapsed);

}  // namespace vorn_core
