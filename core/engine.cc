#include "core/engine.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <optional>

#include "core/extension.h"
#include "core/finalize.h"
#include "core/score.h"
#include "core/source_reader.h"

namespace vorn_core {
namespace {

// The extension of the path's final name as discovery selects by it; the
// empty text when it has none.
std::string_view extension_of(std::string_view path) {
  return file_extension(path.substr(path.rfind('/') + 1)).value_or(std::string_view());
}

void append_findings(std::vector<Finding>& to, std::vector<Finding>&& from) {
  if (to.empty()) {
    to = std::move(from);
  } else {
    // A sized range: the vector grows at most once for it.
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
  }
}

// Per-index slots joined in index order, moved, with one allocation.
std::vector<Finding> join_in_order(std::vector<std::vector<Finding>>& slots) {
  std::size_t total = 0;
  for (const auto& slot : slots) total += slot.size();
  std::vector<Finding> joined;
  joined.reserve(total);
  for (auto& slot : slots) std::ranges::move(slot, std::back_inserter(joined));
  return joined;
}

bool accepts_language(const Analyzer& analyzer, std::string_view language) {
  const std::optional<std::span<const std::string_view>> targets = analyzer.target_languages();
  return !targets || std::ranges::find(*targets, language) != targets->end();
}

std::vector<Finding> analyze_one_file(const ParsedFile& file,
                                      std::span<const Analyzer* const> analyzers,
                                      const AnalysisContext& context) {
  std::vector<Finding> found;
  const std::string_view language = file.language;
  for (const Analyzer* analyzer : analyzers) {
    if (analyzer->is_project_level() || !accepts_language(*analyzer, language)) continue;
    append_findings(found, analyzer->analyze_file(context, file));
  }
  return found;
}

// Times the stages of a run one after the other, when asked to.
class StageClock {
 public:
  explicit StageClock(StageTimes* times) : times_(times) {}
  // The stage that has just ended took the time since the previous one ended.
  void lap(StageTimes::Duration StageTimes::*stage) {
    if (times_ == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    times_->*stage = now - last_;
    last_ = now;
  }

 private:
  StageTimes* times_;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

std::uint64_t total_bytes(std::span<const ParsedFile> files) {
  std::uint64_t total = 0;
  for (const ParsedFile& file : files) total += file.source->text.size();
  return total;
}

}  // namespace

Engine& Engine::operator=(Engine&& other) noexcept {
  if (this != &other) {
    release();
    languages_ = std::move(other.languages_);
    analyzers_ = std::move(other.analyzers_);
  }
  return *this;
}

Engine::~Engine() { release(); }

void Engine::release() {
  for (auto& language : languages_) language.reset();
  for (auto& analyzer : analyzers_) analyzer.reset();
  languages_.clear();
  analyzers_.clear();
}

const Language* Engine::language_for(std::string_view extension) const {
  for (auto language = languages_.rbegin(); language != languages_.rend(); ++language) {
    const std::span<const std::string_view> claimed = (*language)->extensions();
    if (std::ranges::find(claimed, extension) != claimed.end()) return language->get();
  }
  return nullptr;
}

std::vector<ParsedFile> Engine::parse_files_parallel(const PathList& paths,
                                                     std::atomic<std::uint32_t>& failures,
                                                     vorn_base::Pool& pool) const {
  if (languages_.empty()) return {};
  // One place per path, in path order, filled where the path yields a file;
  // the others are dropped at the end. Usually every path yields one, and
  // then nothing moves.
  std::vector<ParsedFile> files;
  files.reserve(paths.size());
  for (std::size_t i = 0; i < paths.size(); ++i) {
    files.emplace_back(nullptr, SemanticIndex(), nullptr, std::string_view());
  }
  std::vector<char> yielded(paths.size(), false);
  // A reader per thread, gone when the thread has no more paths to read: the
  // files it made keep what they need of it.
  pool.parallel_for_with<SourceReader>(paths.size(), [&](SourceReader& reader, std::size_t i) {
    // Choosing first means files no language claims are never opened.
    const Language* language = language_for(extension_of(paths[i]));
    if (language == nullptr) return;
    const std::shared_ptr<const SourceFile> source = reader.read(paths[i]);
    if (source == nullptr) {
      failures.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    std::expected<ParsedFile, ParseError> parsed = language->parse(source);
    // Finalisation and the size measure read every file's source: a result
    // without one is no parsed file.
    if (!parsed || parsed->source == nullptr) {
      failures.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    files[i] = std::move(*parsed);
    yielded[i] = true;
  });

  std::size_t kept = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!yielded[i]) continue;
    if (kept != i) files[kept] = std::move(files[i]);
    ++kept;
  }
  files.erase(files.begin() + static_cast<std::ptrdiff_t>(kept), files.end());
  return files;
}

// Each task of the two analysis stages writes only its own slot.
std::vector<Finding> analyze_files_parallel(std::span<const ParsedFile> files,
                                            std::span<const Analyzer* const> analyzers,
                                            const AnalysisContext& context,
                                            vorn_base::Pool& pool) {
  std::vector<std::vector<Finding>> slots(files.size());
  pool.parallel_for(files.size(), [&](std::size_t i) {
    slots[i] = analyze_one_file(files[i], analyzers, context);
  });
  return join_in_order(slots);
}

std::vector<Finding> analyze_project_parallel(std::span<const Analyzer* const> analyzers,
                                              const AnalysisContext& context,
                                              const Project& project, vorn_base::Pool& pool) {
  std::vector<std::vector<Finding>> slots(analyzers.size());
  pool.parallel_for(analyzers.size(), [&](std::size_t i) {
    if (analyzers[i]->is_project_level())
      slots[i] = analyzers[i]->analyze_project(context, project);
  });
  return join_in_order(slots);
}

float kloc_of(std::uint64_t total_bytes) {
  return static_cast<float>(total_bytes) / 80.0f / 1000.0f;
}

std::uint32_t saturating_count(std::size_t count) {
  constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(std::min(count, kMax));
}

std::uint64_t whole_milliseconds(std::chrono::steady_clock::duration elapsed) {
  // duration_cast truncates toward zero: the fraction is dropped.
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

std::expected<Report, EngineError> Engine::analyze_path(std::string_view root,
                                                        const Config& config, StageTimes* times,
                                                        vorn_base::Pool& pool) const {
  const auto start = std::chrono::steady_clock::now();
  StageClock clock(times);

  std::vector<std::string_view> extensions;
  for (const auto& language : languages_) {
    const std::span<const std::string_view> claimed = language->extensions();
    extensions.insert(extensions.end(), claimed.begin(), claimed.end());
  }

  std::expected<PathList, EngineError> paths = walk_files(root, extensions, config, pool);
  if (!paths) return std::unexpected(std::move(paths.error()));
  clock.lap(&StageTimes::walk);

  std::atomic<std::uint32_t> failures = 0;
  std::vector<ParsedFile> parsed = parse_files_parallel(*paths, failures, pool);
  clock.lap(&StageTimes::parse);
  RunStats stats;
  stats.files_scanned = saturating_count(parsed.size());
  stats.parse_failures = failures.load(std::memory_order_relaxed);

  std::vector<const Analyzer*> analyzers;
  analyzers.reserve(analyzers_.size());
  for (const auto& analyzer : analyzers_) analyzers.push_back(analyzer.get());
  const AnalysisContext context{config};

  std::vector<Finding> findings = analyze_files_parallel(parsed, analyzers, context, pool);
  clock.lap(&StageTimes::per_file);
  // Declared last so that it is released first, before the analyzer list,
  // the paths and the extensions.
  const Project project{std::string(root), std::move(parsed)};
  append_findings(findings, analyze_project_parallel(analyzers, context, project, pool));
  clock.lap(&StageTimes::project);

  stats.suppressed = finalize_findings(findings, project.files, config, root);
  clock.lap(&StageTimes::finalise);
  std::map<Dimension, Score> scores = compute_scores(findings, kloc_of(total_bytes(project.files)));
  clock.lap(&StageTimes::score);
  stats.elapsed_ms = whole_milliseconds(std::chrono::steady_clock::now() - start);

  return Report{.schema_version = 1,
                .findings = std::move(findings),
                .scores = std::move(scores),
                .stats = stats};
}

}  // namespace vorn_core
