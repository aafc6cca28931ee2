// Glob matching speed: a typical ignore file against realistic paths, the
// cost of compiling such a file, hostile patterns on long candidates (whose
// bytes per second must not fall as the candidate grows), ignore lines that
// defeat an automaton of all lines at once, and compiling long lines.
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

std::string repeat(std::string_view unit, std::size_t times) {
  std::string text;
  for (std::size_t i = 0; i < times; ++i) text += unit;
  return text;
}

std::string repeat_to(std::string_view unit, std::size_t length) {
  return repeat(unit, (length + unit.size() - 1) / unit.size()).substr(0, length);
}

// Patterns that make a backtracking matcher take exponential or polynomial
// time, or an automaton of all states at once grow without bound, each with
// the text its candidates repeat and the byte they end with: long runs that
// it can almost match, which hold the bytes it requires and end as it ends,
// so that nothing spares the automaton its work.
struct Hostile {
  std::string name;
  std::string pattern;
  std::string unit;
  std::string end;
};
const std::vector<Hostile> kHostile = {
    {"*a*a*a*a*a*a*a*a*b", "*a*a*a*a*a*a*a*a*b", "a", "b"},
    {"{a,{a,{a,{a,b}}}}*", "{a,{a,{a,{a,b}}}}*", "a", ""},
    {"*a?????????????????b", "*a?????????????????b", "a", "b"},
    {"**/a/**/a/**/a/**/b", "**/a/**/a/**/a/**/b", "a/", "b"},
    {"(*a)x500 b", repeat("*a", 500) + "b", "a", "b"},
    {"(**/a/)x200 **/b", repeat("**/a/", 200) + "**/b", "a/", "b"},
    {"{a,...3000 deep...b}*", repeat("{a,", 3000) + "b" + repeat("}", 3000) + "*", "a", ""},
    {"[100 KB class]*z", "[" + repeat("abcdefghijklmnopqrstuvwxy", 4000) + "]*z", "a", "z"},
};

GlobSet hostile_set() {
  std::vector<std::string> patterns;
  for (const Hostile& h : kHostile) patterns.push_back(h.pattern);
  return compile_set(patterns);
}

void BM_HostileSet(benchmark::State& state) {
  static const GlobSet set = hostile_set();
  const std::string candidate =
      repeat_to(state.range(0) ? "a/" : "a", static_cast<std::size_t>(state.range(1) - 1)) + "b";
  std::vector<std::uint32_t> hits;
  for (auto _ : state) {
    hits.clear();
    set.matches(candidate, hits);
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * candidate.size()));
  state.SetLabel(state.range(0) ? "a/a/a/...b" : "aaa...b");
}
BENCHMARK(BM_HostileSet)->ArgsProduct({{0, 1}, {1 << 10, 1 << 12, 1 << 14, 1 << 16}});

// One glob alone takes the automaton of its own, the route that every
// pattern can take.
void BM_HostileGlob(benchmark::State& state) {
  const Hostile& hostile = kHostile[static_cast<std::size_t>(state.range(0))];
  const Glob glob = *Glob::compile(hostile.pattern, UnclosedClass::error);
  const std::string candidate =
      repeat_to(hostile.unit, static_cast<std::size_t>(state.range(1)) - hostile.end.size()) +
      hostile.end;
  for (auto _ : state) benchmark::DoNotOptimize(glob.is_match(candidate));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * candidate.size()));
  state.SetLabel(hostile.name);
}
BENCHMARK(BM_HostileGlob)
    ->ArgsProduct({benchmark::CreateDenseRange(0, static_cast<int>(kHostile.size()) - 1, 1),
                   {1 << 10, 1 << 12, 1 << 14}});

// The ignore lines of `scripts/bench hostile`, as an ignore file hands them
// to the compiler: '*a' + '?' * (20 + k % 30) + 'b*x' + '?' * (k // 30),
// which no automaton of all lines at once can hold.
std::vector<std::string> defeating_lines(std::size_t count) {
  std::vector<std::string> lines;
  for (std::size_t k = 0; k < count; ++k) {
    lines.push_back("**/*a" + std::string(20 + k % 30, '?') + "b*x" + std::string(k / 30, '?'));
  }
  return lines;
}

// Those lines against paths of 15 folders and a file, each name 240 random
// letters a, b and x: every name holds every byte that the lines require and
// is long enough for all of them. Items are paths.
void BM_DefeatingLines(benchmark::State& state) {
  const GlobSet set = compile_set(defeating_lines(static_cast<std::size_t>(state.range(0))));
  std::mt19937 rng(5);
  std::vector<std::string> paths;
  std::string folder;
  for (int level = 0; level < 15; ++level) {
    std::string name(240, 'a');
    for (char& c : name) c = "abx"[std::uniform_int_distribution<int>(0, 2)(rng)];
    folder += name + "/";
    paths.push_back(folder + name + ".py");
  }
  std::size_t bytes = 0;
  for (const std::string& path : paths) bytes += path.size();
  std::vector<std::uint32_t> hits;
  for (auto _ : state) {
    for (const std::string& path : paths) {
      hits.clear();
      set.matches(path, hits);
      benchmark::DoNotOptimize(hits);
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * paths.size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_DefeatingLines)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

// Compiling one long wildcard line: bytes per second must not fall as it grows.
void BM_CompileLongLine(benchmark::State& state) {
  const std::string line = repeat_to("*a?", static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(compile_set({line}));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_CompileLongLine)
    ->Arg(1 << 16)
    ->Arg(1 << 20)
    ->Arg(1 << 24)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
