// Glob matching speed: a typical ignore file against realistic paths, the
// cost of compiling such a file, and hostile patterns on long candidates
// (whose bytes per second must not fall as the candidate grows).
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "walk/glob.h"

namespace {

using vorn_walk::Glob;
using vorn_walk::GlobSet;
using vorn_walk::UnclosedClass;

// Lines of typical ignore files as the ignore rules hand them to the
// compiler: a line without "/" gets "**/" in front, an anchored one loses
// its "/", a trailing "/" (directory only) is dropped, a trailing "/**" gets
// "/*" appended.
const std::vector<std::string> kIgnoreGlobs = {
    "**/*.o", "**/*.a", "**/*.so", "**/*.pyc", "**/*.py[cod]", "**/__pycache__", "**/build",
    "**/dist", "target", "**/node_modules", "**/.DS_Store", "**/*.log", "**/*.tmp", "**/*.swp",
    "**/*~", "**/.idea", "**/.vscode", "**/*.egg-info", "**/.env", "**/.venv", "**/venv",
    "**/coverage", "**/.coverage", "**/htmlcov", "**/.pytest_cache", "**/.mypy_cache",
    "**/*.class", "**/*.jar", "out", "bin", "docs/_build", "docs/**/*.md", "**/*.min.js",
    "**/*.map", "**/npm-debug.log*", "**/yarn-error.log", "**/.cache", "**/tmp", "vendor",
    "**/*.exe", "**/*.dll", "**/Thumbs.db", "**/*.bak", "**/CMakeFiles", "**/CMakeCache.txt",
    "**/cmake-build-*", "**/*.gcda", "generated/**/*", "src/**/*.gen.ts", "**/.#*",
    "**/*.sw?", "**/important.log"};

// Paths relative to a project root, shaped like those a walk meets: a few
// levels of source directories, common extensions, now and then a file or
// directory that the ignore file names.
std::vector<std::string> realistic_paths(std::size_t count) {
  static const std::vector<std::string> kDirs = {
      "src", "lib", "tests", "docs", "pkg", "internal", "cmd", "app", "components", "utils",
      "core", "api", "server", "client", "models", "views", "handlers", "config", "scripts",
      "examples", "include", "vendor", "node_modules", "build", "generated", "assets"};
  static const std::vector<std::string> kStems = {
      "main", "index", "utils", "helpers", "parser", "lexer", "config", "server", "client",
      "test_parser", "README", "model", "view", "handler", "errors", "types", "mod", "lib"};
  static const std::vector<std::string> kExtensions = {
      ".rs", ".py", ".c", ".h", ".cc", ".js", ".ts", ".md", ".json", ".toml", ".yaml",
      ".go", ".java", ".o", ".pyc", ".log", ".min.js", ".gen.ts", ".txt", ""};
  std::mt19937 rng(42);
  const auto pick = [&](const std::vector<std::string>& from) -> const std::string& {
    return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(rng)];
  };
  std::vector<std::string> paths;
  paths.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::string path;
    const int depth = std::uniform_int_distribution<int>(0, 5)(rng);
    for (int d = 0; d < depth; ++d) path += pick(kDirs) + "/";
    path += pick(kStems);
    if (std::uniform_int_distribution<int>(0, 9)(rng) == 0) path += std::to_string(i % 100);
    path += pick(kExtensions);
    paths.push_back(std::move(path));
  }
  return paths;
}

GlobSet compile_set(const std::vector<std::string>& patterns) {
  std::vector<Glob> globs;
  for (const std::string& p : patterns) globs.push_back(*Glob::compile(p, UnclosedClass::literal));
  return *GlobSet::build(std::move(globs));
}

void BM_IgnoreFileAgainstPaths(benchmark::State& state) {
  const GlobSet set = compile_set(kIgnoreGlobs);
  static const std::vector<std::string> paths = realistic_paths(1'000'000);
  std::vector<std::uint32_t> hits;
  std::size_t matched = 0;
  for (auto _ : state) {
    for (const std::string& path : paths) {
      hits.clear();
      set.matches(path, hits);
      matched += !hits.empty();
    }
  }
  benchmark::DoNotOptimize(matched);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * paths.size()));
  state.counters["matched"] =
      static_cast<double>(matched) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_IgnoreFileAgainstPaths)->Unit(benchmark::kMillisecond);

void BM_CompileIgnoreFile(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(compile_set(kIgnoreGlobs));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kIgnoreGlobs.size()));
}
BENCHMARK(BM_CompileIgnoreFile)->Unit(benchmark::kMicrosecond);

// Patterns that make a backtracking matcher take exponential or polynomial
// time, each with the text its candidates repeat: long runs that it can
// almost, but never quite, match.
struct Hostile {
  std::string pattern;
  std::string unit;
};
const std::vector<Hostile> kHostile = {{"*a*a*a*a*a*a*a*a*b", "a"},
                                       {"{a,{a,{a,{a,b}}}}*", "a"},
                                       {"*a?????????????????b", "a"},
                                       {"**/a/**/a/**/a/**/b", "a/"}};

std::string repeat(std::string_view unit, std::size_t length) {
  std::string c;
  while (c.size() < length) c += unit;
  return c;
}

void BM_HostileSet(benchmark::State& state) {
  std::vector<std::string> patterns;
  for (const Hostile& h : kHostile) patterns.push_back(h.pattern);
  const GlobSet set = compile_set(patterns);
  const std::string candidate =
      repeat(state.range(0) ? "a/" : "a", static_cast<std::size_t>(state.range(1)));
  std::vector<std::uint32_t> hits;
  for (auto _ : state) {
    hits.clear();
    set.matches(candidate, hits);
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * candidate.size()));
  state.SetLabel(state.range(0) ? "a/a/a/..." : "aaa...");
}
BENCHMARK(BM_HostileSet)->ArgsProduct({{0, 1}, {1 << 10, 1 << 12, 1 << 14, 1 << 16}});

// One glob alone takes the automaton that is simulated state set by state
// set, the slower but always available route.
void BM_HostileGlob(benchmark::State& state) {
  const Hostile& hostile = kHostile[static_cast<std::size_t>(state.range(0))];
  const Glob glob = *Glob::compile(hostile.pattern, UnclosedClass::error);
  const std::string candidate = repeat(hostile.unit, static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(glob.is_match(candidate));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * candidate.size()));
  state.SetLabel(hostile.pattern);
}
BENCHMARK(BM_HostileGlob)->ArgsProduct({{0, 1, 2, 3}, {1 << 10, 1 << 12, 1 << 14}});

}  // namespace

BENCHMARK_MAIN();
