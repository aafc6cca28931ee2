#include "walk/walker.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "base/pool.h"
#include "walk/test_tree.h"

// Memory that runs out on demand, on a worker: while armed with a size, the
// first allocation of exactly that many bytes made by a thread other than the
// one that armed it throws std::bad_alloc. Every other allocation goes to
// malloc, and every form of delete that can meet one of them to free.
namespace {
std::atomic<std::size_t> failing_size{0};
std::atomic<bool> failed_on_worker{false};
thread_local bool arming_thread = false;

void* allocate(std::size_t size) noexcept {
  std::size_t armed = failing_size.load(std::memory_order_relaxed);
  if (armed != 0 && size == armed && !arming_thread &&
      failing_size.compare_exchange_strong(armed, 0)) {
    failed_on_worker = true;
    return nullptr;
  }
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(std::size_t size) {
  if (void* memory = allocate(size)) return memory;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
// Not inlined: the compiler would take the free() that new memory meets for
// a mismatch.
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}

namespace vorn_walk {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Names = std::vector<std::string>;

// What an entry said, kept beyond the next call of Walker::next.
struct Seen {
  std::string path;  // relative to the test's `w` ("." for `w` itself)
  std::string name;
  std::size_t depth;
  FileType type;
};

struct Walked {
  std::vector<Seen> seen;  // in walk order
  Names errors;            // with `w` shown as "W"

  Names paths() const {
    Names out;
    for (const Seen& seen : seen) out.push_back(seen.path);
    return out;
  }
};

// A walk lists directories ahead on its pool when that lets more than one
// thread work and on the calling thread alone otherwise; the tests run walks
// on a pool of `threads` to see both.
constexpr int kSequential = 1;
constexpr int kParallel = 4;

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto marker = marker_above(tree)) GTEST_SKIP() << "the rules above the tree meet " << *marker;
    tree.mkdir("w");
  }

  // A walker on a pool of `threads`.
  std::expected<Walker, WalkError> create(const std::string& root, WalkOptions options = {}) {
    return Walker::create(root, std::move(options),
                          threads == kSequential ? sequential_ : parallel_);
  }

  Walked walk_at(const std::string& root, WalkOptions options = {}) {
    Walked out;
    [&] {
      auto walker = create(root, std::move(options));
      ASSERT_TRUE(walker) << walker.error().text;
      while (auto item = walker->next()) {
        if (*item) {
          const WalkEntry& entry = **item;
          out.seen.push_back({relative(entry.path), std::string(entry.name), entry.depth, entry.type});
        } else {
          out.errors.push_back(shown(item->error().text));
        }
      }
    }();
    return out;
  }

  Walked walk(WalkOptions options = {}) { return walk_at(w, std::move(options)); }

  // The entries below `w`, sorted.
  Names listed(WalkOptions options = {}) {
    Names paths = walk(std::move(options)).paths();
    paths.erase(paths.begin());
    std::ranges::sort(paths);
    return paths;
  }

  std::string relative(std::string_view path) const {
    if (path == w) return ".";
    return std::string(path.starts_with(w + "/") ? path.substr(w.size() + 1) : path);
  }

  std::string shown(std::string text) const {
    for (std::size_t at; (at = text.find(w)) != std::string::npos;) text.replace(at, w.size(), "W");
    return text;
  }

  TestTree tree;
  IsolatedHome home{tree};
  std::string w = tree.path("w");
  int threads = kSequential;

 private:
  vorn_base::Pool sequential_{kSequential};
  vorn_base::Pool parallel_{kParallel};
};

// The tests that hold in both modes.
class EveryModeTest : public WalkTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    threads = GetParam();
    WalkTest::SetUp();
  }
};

std::string mode_name(const ::testing::TestParamInfo<int>& info) {
  return info.param == kSequential ? "Sequential" : "Parallel";
}

INSTANTIATE_TEST_SUITE_P(Walk, EveryModeTest, ::testing::Values(kSequential, kParallel), mode_name);

TEST_P(EveryModeTest, YieldsDirectoriesBeforeTheirContentsDepthFirst) {
  tree.write("w/a/b/c.txt");
  tree.write("w/a/d.txt");
  tree.write("w/e/f.txt");
  const Walked walked = walk();
  const Names paths = walked.paths();
  ASSERT_EQ(paths.size(), 7u);
  EXPECT_TRUE(walked.errors.empty());
  EXPECT_EQ(paths[0], ".");
  EXPECT_EQ(walked.seen[0].type, FileType::directory);
  EXPECT_EQ(walked.seen[0].name, "w");
  // Every entry follows its directory with nothing but that directory's
  // contents in between.
  for (std::size_t i = 1; i < paths.size(); ++i) {
    const std::size_t slash = paths[i].rfind('/');
    if (slash == std::string::npos) continue;
    const std::string dir = paths[i].substr(0, slash);
    const auto at = std::ranges::find(paths, dir);
    ASSERT_LT(at - paths.begin(), static_cast<std::ptrdiff_t>(i)) << paths[i];
    for (auto between = at + 1; between != paths.begin() + static_cast<std::ptrdiff_t>(i); ++between) {
      EXPECT_TRUE(between->starts_with(dir + "/")) << *between << " inside " << dir;
    }
  }
  const Seen& deep = walked.seen[static_cast<std::size_t>(std::ranges::find(paths, "a/b/c.txt") - paths.begin())];
  EXPECT_EQ(deep.depth, 3u);
  EXPECT_EQ(deep.name, "c.txt");
  EXPECT_EQ(deep.type, FileType::file);
}

TEST_P(EveryModeTest, SkipsHiddenEntriesButWalksAHiddenRoot) {
  tree.write("w/.tools/run.py");
  tree.write("w/.tools/.secret");
  tree.write("w/.cache.");
  tree.write("w/v.py");
  EXPECT_EQ(listed(), (Names{".cache.", "v.py"}));
  EXPECT_EQ(walk_at(w + "/.tools").paths(), (Names{".tools", ".tools/run.py"}));
}

TEST_P(EveryModeTest, GitRulesNeedARepositoryAndDotIgnoreDoesNot) {
  tree.write("w/.gitignore", "build/\n");
  tree.write("w/.ignore", "*.gen\n");
  tree.write("w/build/out.o");
  tree.write("w/src/x.gen");
  EXPECT_EQ(listed(), (Names{"build", "build/out.o", "src"}));
  // A link named ".git" or ".jj" that leads nowhere is no repository; one
  // that leads to a directory is.
  for (const char* marker : {"w/.git", "w/.jj"}) {
    tree.link("nowhere", marker);
    EXPECT_EQ(listed(), (Names{"build", "build/out.o", "src"})) << marker;
    tree.remove(marker);
    tree.link(tree.path("w/src"), marker);
    EXPECT_EQ(listed(), (Names{"src"})) << marker;
    tree.remove(marker);
  }
  // A ".git" directory, or a file named ".git" or ".jj", makes one.
  tree.mkdir("w/.git");
  EXPECT_EQ(listed(), (Names{"src"}));
  tree.remove("w/.git");
  for (const char* marker : {"w/.git", "w/.jj"}) {
    tree.write(marker);
    EXPECT_EQ(listed(), (Names{"src"})) << marker;
    tree.remove(marker);
  }
}

TEST_P(EveryModeTest, NearestFileWinsWithinEachKindAndDotIgnoreOutranksGit) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "*.log\n*.tmp\n");
  tree.write("w/sub/.gitignore", "!keep.log\n");
  tree.write("w/.ignore", "!*.tmp\n");
  for (const char* name : {"sub/keep.log", "sub/other.log", "keep.log", "sub/a.tmp"}) {
    tree.write("w/" + std::string(name));
  }
  EXPECT_EQ(listed(), (Names{"sub", "sub/a.tmp", "sub/keep.log"}));
}

TEST_P(EveryModeTest, WhitelistLetsAHiddenEntryThrough) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "!.settings\n");
  tree.write("w/.settings/a.json");
  tree.write("w/.other/b.json");
  EXPECT_EQ(listed(), (Names{".settings", ".settings/a.json"}));
}

TEST_P(EveryModeTest, GitRulesStopAtTheNearestRepository) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "*.log\n");
  tree.mkdir("w/inner/.git");
  tree.write("w/inner/a.log");
  tree.write("w/b.log");
  EXPECT_EQ(listed(), (Names{"inner", "inner/a.log"}));
  tree.remove("w/.git");
  EXPECT_EQ(listed(), (Names{"b.log", "inner", "inner/a.log"}));
}

TEST_P(EveryModeTest, ReadsTheRepositoryExcludeFileThroughGitFiles) {
  tree.write("w/a.tmp");
  tree.write("w/b.txt");
  tree.write("w/.git/info/exclude", "*.tmp\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  tree.remove("w/.git");
  // A linked worktree: ".git" names the git directory, whose "commondir"
  // names the common one.
  tree.write("main/.git/info/exclude", "*.tmp\n");
  tree.write("main/.git/worktrees/wt/commondir", "../..\n");
  tree.write("w/.git", "gitdir: " + tree.path("main/.git/worktrees/wt") + "\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  // A relative gitdir is read from the directory holding the file.
  tree.write("w/.git", "gitdir: ../main/.git/worktrees/wt\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  tree.write("main/.git/worktrees/wt/commondir", tree.path("main/.git") + "\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  tree.remove("main/.git/worktrees/wt/commondir");
  EXPECT_EQ(listed(), (Names{"a.tmp", "b.txt"}));
}

TEST_P(EveryModeTest, ExclusionsWinAndTheirDirectoriesAreNeverListed) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "!docs\n");
  tree.write("w/docs/a.md");
  tree.write("w/x/docs/b.md");
  tree.write("w/x/y/docs");
  EXPECT_EQ(listed({.exclude = {"docs"}}), (Names{"x", "x/y"}));
  EXPECT_EQ(listed({.exclude = {"/docs"}}),
            (Names{"x", "x/docs", "x/docs/b.md", "x/y", "x/y/docs"}));
  EXPECT_EQ(listed({.exclude = {"docs/"}}), (Names{"x", "x/y", "x/y/docs"}));
  // Followed, this link would fail; in an excluded directory it is never met.
  tree.link("nowhere", "w/docs/dangling");
  EXPECT_TRUE(walk({.follow_links = true, .exclude = {"docs"}}).errors.empty());
}

TEST_P(EveryModeTest, AncestorIgnoreFilesSeeThePathBelowTheirDirectory) {
  tree.mkdir(".git");
  tree.write(".gitignore", "/w/sub/x.txt\n");
  tree.write(".ignore", "y.txt\n");
  tree.write("w/sub/x.txt");
  tree.write("w/sub/y.txt");
  tree.write("w/x.txt");
  EXPECT_EQ(listed(), (Names{"sub", "x.txt"}));
  EXPECT_EQ(walk_at(w + "/sub").paths(), Names{"sub"});
}

TEST_P(EveryModeTest, AncestorErrorsComeFirstNearestTheTopFirst) {
  tree.write(".ignore", "a}\n");
  tree.write("w/.gitignore", "{b\n");
  tree.write("w/sub/x.txt");
  const Walked walked = walk_at(w + "/sub");
  EXPECT_EQ(walked.errors,
            Names{tree.root() + "/.ignore: line 1: error parsing glob 'a}': unopened alternate group; "
                  "missing '{' (maybe escape '}' with '[}]'?)\n"
                  "W/.gitignore: line 1: error parsing glob '{b': unclosed alternate group; "
                  "missing '}' (maybe escape '{' with '[{]'?)"});
  EXPECT_EQ(walked.paths(), (Names{"sub", "sub/x.txt"}));  // the walk goes on
}

TEST_P(EveryModeTest, ErrorsInWalkedIgnoreFilesRideOnTheirDirectory) {
  tree.write("w/sub/.ignore", "ok.txt\n[z-a]\n");
  tree.write("w/sub/ok.txt");
  tree.write("w/sub/x.txt");
  std::string errors;
  Names paths;
  auto walker = create(w);
  while (auto item = walker->next()) {
    ASSERT_TRUE(*item);
    paths.push_back(relative((*item)->path));
    if (paths.back() == "sub") errors = (*item)->ignore_errors;
  }
  EXPECT_EQ(shown(errors), "W/sub/.ignore: line 2: error parsing glob '[z-a]': invalid range; 'z' > 'a'");
  std::ranges::sort(paths);
  EXPECT_EQ(paths, (Names{".", "sub", "sub/x.txt"}));
}

class GlobalExcludesTest : public EveryModeTest {
 protected:
  void SetUp() override {
    EveryModeTest::SetUp();
    if (IsSkipped()) return;
    tree.mkdir("w/.git");
    tree.write("w/a.log");
    tree.write("w/b.txt");
  }
};

INSTANTIATE_TEST_SUITE_P(Walk, GlobalExcludesTest, ::testing::Values(kSequential, kParallel), mode_name);

TEST_P(GlobalExcludesTest, UsesXdgIgnoreByDefaultAndOnlyInARepository) {
  tree.write("home/.config/git/ignore", "*.log\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  tree.remove("w/.git");
  EXPECT_EQ(listed(), (Names{"a.log", "b.txt"}));
}

TEST_P(GlobalExcludesTest, HomeGitconfigComesFirstWithTildeExpanded) {
  tree.write("home/.gitconfig", "[core]\n\tExcludesFile = \"~/global\" \n");
  tree.write("home/global", "*.log\n");
  tree.write("home/.config/git/config", "[core]\nexcludesfile=" + tree.path("g") + "\n");
  tree.write("g", "*.txt\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  // A value that is not UTF-8 names nothing: the XDG file is next.
  tree.write("home/.gitconfig", "[core]\n  excludesfile = \xFF\n");
  EXPECT_EQ(listed(), (Names{"a.log"}));
}

TEST_P(GlobalExcludesTest, AnchoredLinesAreRelativeToTheCurrentDirectory) {
  tree.write("home/.config/git/ignore", "/a.log\n");
  Names inside, outside;
  {
    ScopedCwd cwd(w);
    inside = listed();
  }
  {
    ScopedCwd cwd(tree.root());
    outside = listed();
  }
  EXPECT_EQ(inside, (Names{"b.txt"}));
  EXPECT_EQ(outside, (Names{"a.log", "b.txt"}));
  // However the root spells the current directory.
  ScopedCwd cwd(w);
  for (const std::string root : {"./.", ".//.", "././"}) {
    Names paths = walk_at(root).paths();
    std::ranges::sort(paths);
    const std::string joined = root.ends_with('/') ? root : root + "/";
    EXPECT_EQ(paths, (Names{root, joined + "b.txt"})) << root;
  }
}

TEST_P(EveryModeTest, LinksAreLeavesUnlessFollowedExceptAtTheRoot) {
  tree.write("target/t.txt");
  tree.link(tree.path("target"), "w/dir");
  tree.link(tree.path("target/t.txt"), "w/file");
  const Walked plain = walk();
  ASSERT_EQ(plain.seen.size(), 3u);
  EXPECT_EQ(plain.seen[1].type, FileType::symlink);
  EXPECT_EQ(plain.seen[2].type, FileType::symlink);
  EXPECT_EQ(listed({.follow_links = true, .exclude = {}}), (Names{"dir", "dir/t.txt", "file"}));
  const Walked root = walk_at(w + "/dir");
  EXPECT_EQ(root.paths(), (Names{"dir", "dir/t.txt"}));
  EXPECT_EQ(root.seen[0].type, FileType::symlink);
}

TEST_P(EveryModeTest, FollowedLinksReportDanglingLinksAndLoops) {
  tree.write("w/a/x.txt");
  tree.link("..", "w/a/up");
  tree.link("missing", "w/.dangling");  // hidden, yet it is followed first
  Names errors = walk({.follow_links = true, .exclude = {}}).errors;
  std::ranges::sort(errors);
  EXPECT_EQ(errors, (Names{"File system loop found: W/a/up points to an ancestor W",
                           "W/.dangling: IO error for operation on W/.dangling: "
                           "No such file or directory (os error 2)"}));
  EXPECT_TRUE(walk().errors.empty());
}

TEST_P(EveryModeTest, RootsThatCannotBeWalked) {
  tree.link("nowhere", "w/dangling");
  for (const bool follow : {false, true}) {
    EXPECT_EQ(walk_at(w + "/dangling", {.follow_links = follow, .exclude = {}}).errors,
              Names{"W/dangling: IO error for operation on W/dangling: No such file or directory (os error 2)"});
  }
  for (const char* root : {"-", "-/", "-//."}) {
    const Walked walked = walk_at(root);
    ASSERT_EQ(walked.seen.size(), 1u);
    EXPECT_EQ(walked.seen[0].path, "<stdin>");
    EXPECT_EQ(walked.seen[0].type, FileType::stdin);
  }
}

TEST_P(EveryModeTest, ARootWithANulByteFailsWithoutWalkingItsBeginning) {
  tree.write("w/a.py");
  const Walked walked = walk_at(w + std::string("\0b", 2));
  EXPECT_TRUE(walked.seen.empty());
  EXPECT_EQ(walked.errors,
            Names{"W\0b: IO error for operation on W\0b: file name contained an unexpected NUL byte"s});
}

// Only the sequential walk lists each directory exactly when it reaches
// it: workers may list ahead of any change made between two items.
TEST_F(WalkTest, EntriesThatVanishAfterListingStillComeButADirectoryFailsToList) {
  tree.write("w/gone.txt");
  tree.write("w/gone/x.txt");
  Names items;
  auto walker = create(w);
  ASSERT_TRUE(walker->next()->has_value());  // the root, listed already
  tree.remove("w/gone.txt");
  tree.remove("w/gone");
  while (auto item = walker->next()) {
    items.push_back(*item ? relative((*item)->path) : shown(item->error().text));
  }
  const auto dir = std::ranges::find(items, "gone");
  ASSERT_LT(dir + 1, items.end());
  EXPECT_EQ(dir[1], "W/gone: IO error for operation on W/gone: No such file or directory (os error 2)");
  EXPECT_NE(std::ranges::find(items, "gone.txt"), items.end());
}

TEST_F(WalkTest, MemoryRunningOutOnAWorkerReachesTheCallOfNextThatGetsThere) {
  // A directory whose path has a length that nothing else a worker allocates
  // has (strings here allocate their length plus 1, vectors even sizes): the
  // worker that lists its parent fails to allocate the copy of it.
  constexpr std::size_t kPathLength = 200;
  ASSERT_LT(w.size() + 4, kPathLength) << "TMPDIR is too long for this test";
  const std::string name(kPathLength - w.size() - 3, 'd');
  ASSERT_LT(name.size(), 256u) << "TMPDIR is too short for this test";
  tree.mkdir("w/a/" + name);
  tree.write("w/a/x.txt");
  threads = kParallel;
  arming_thread = true;
  failing_size = kPathLength + 1;
  auto walker = create(w);
  ASSERT_TRUE(walker->next()->has_value());  // the root, which offers "a" to the workers
  // The walk stands still until a worker has listed "a", so that it cannot
  // list it itself.
  for (int i = 0; i < 10000 && !failed_on_worker; ++i) std::this_thread::sleep_for(1ms);
  failing_size = 0;
  ASSERT_TRUE(failed_on_worker);
  EXPECT_THROW(walker->next(), std::bad_alloc);
}

TEST_P(EveryModeTest, WalksTwoThousandLevelsWithFewDescriptors) {
  tree.mkdir_chain("w", "d", 2000);
  rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 32;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  const Walked walked = walk();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_TRUE(walked.errors.empty()) << walked.errors.front();
  ASSERT_EQ(walked.seen.size(), 2001u);
  EXPECT_EQ(walked.seen.back().depth, 2000u);
}

TEST_P(EveryModeTest, PathsBeyondTheSystemLimitFailWithTheSystemText) {
  tree.mkdir_chain("w", std::string(200, 'n'), 30);
  const Walked walked = walk();
  ASSERT_EQ(walked.errors.size(), 1u);
  EXPECT_TRUE(walked.errors[0].ends_with(": File name too long (os error 36)")) << walked.errors[0];
}

// An ignore file that the walk cannot read is never taken for an absent one:
// here a ".gitignore" whose path is too long for the system, in a directory
// whose path is not.
TEST_P(EveryModeTest, AnIgnoreFileThatCannotBeReadEndsTheWalkThere) {
  tree.mkdir_chain("w", std::string(200, 'n'), 19);
  int fd = ::open(w.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::string deep = w;
  for (int level = 0; level < 19 && fd >= 0; ++level) {
    const int child =
        ::openat(fd, std::string(200, 'n').c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = child;
    deep += "/" + std::string(200, 'n');
  }
  ASSERT_GE(fd, 0);
  const std::string last(4090 - deep.size() - 1, 'l');
  ASSERT_EQ(::mkdirat(fd, last.c_str(), 0755), 0);
  deep += "/" + last;
  const int dir = ::openat(fd, last.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ::close(fd);
  ASSERT_GE(dir, 0);
  for (const char* name : {".gitignore", "a.txt"}) {
    const int file = ::openat(dir, name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(file, 0);
    ::close(file);
  }
  ::close(dir);
  const Walked walked = walk();
  const std::string file = shown(deep + "/.gitignore");
  EXPECT_EQ(walked.errors, Names{file + ": IO error for operation on " + file +
                                 ": File name too long (os error 36)"});
  EXPECT_EQ(walked.paths().back(), relative(deep));  // not entered
}

TEST_P(EveryModeTest, NamesThatAreNotUtf8ComeBackUnchanged) {
  tree.write("w/\xFF\xFE.py");
  tree.write("w/d\x80/x");
  EXPECT_EQ(listed(), (Names{"d\x80", "d\x80/x", "\xFF\xFE.py"}));
}

TEST_P(EveryModeTest, HandlesAHundredThousandEntriesInOneDirectory) {
  tree.mkdir("w/big");
  for (int i = 0; i < 100000; ++i) {
    const int fd = ::open(tree.path("w/big/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  tree.write("w/big/.ignore", "f7*\n");
  const Walked walked = walk();
  EXPECT_TRUE(walked.errors.empty());
  // f7 and the 11110 longer names that begin with it are ignored.
  EXPECT_EQ(walked.seen.size(), 2u + 100000u - 11111u);
}


// --- The parallel walk against the sequential one ---------------------------

// Everything a walk said, item by item, in order.
using Said = std::vector<std::string>;

class SameItemsTest : public WalkTest {
 protected:
  Said said(int pool_threads, const WalkOptions& options, std::size_t most = SIZE_MAX) {
    threads = pool_threads;
    Said out;
    auto walker = create(w, options);
    for (; out.size() < most;) {
      const std::optional<WalkItem> item = walker->next();
      if (!item) break;
      if (!*item) {
        out.push_back("error " + shown((*item).error().text));
        continue;
      }
      const WalkEntry& entry = **item;
      out.push_back(relative(entry.path) + " name=" + std::string(entry.name) + " depth=" +
                    std::to_string(entry.depth) + " type=" + std::to_string(static_cast<int>(entry.type)) +
                    (entry.ignore_errors.empty() ? "" : " ignore errors=" + shown(std::string(entry.ignore_errors))));
    }
    return out;
  }

  // Grows a tree below `w` from `seed`: nested directories, files with and
  // without extensions, hidden entries, ".ignore" and ".gitignore" files with
  // whitelists and bad lines, repositories, links to files and directories,
  // links back up (loops when followed), dangling links, and directories that
  // cannot be listed (a path beyond the system's limit; one without
  // permissions, which only an unprivileged user cannot list).
  void grow(std::uint32_t seed) {
    std::mt19937 random(seed);
    const auto chance = [&](unsigned percent) { return random() % 100 < percent; };
    const auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    const std::vector<std::string> dir_names{"src", "build", "lib", "sub", "deep", "top", "node"};
    const std::vector<std::string> stems{"a", "keep", "main", "x", "notes"};
    const std::vector<std::string> extensions{".py", ".log", ".tmp", "", ".rs", "."};
    const std::vector<std::string> lines{"*.log", "!keep.log", "build/", "/top*", "*.tmp", "!.hid*",
                                         "sub*/", "**/deep/**", "[z-a]", "{x", "d?/", "#c", "\\#x",
                                         "!build", "main*", "lib/a*"};
    const auto ignore_file = [&](const std::string& path) {
      std::string text;
      for (unsigned n = 1 + random() % 4; n > 0; --n) text += pick(lines) + "\n";
      tree.write(path, text);
    };
    std::vector<std::string> dirs{"w"};
    for (std::size_t at = 0; at < dirs.size() && dirs.size() < 400; ++at) {
      const std::string dir = dirs[at];
      const auto depth = std::ranges::count(dir, '/');
      for (unsigned i = 0, n = depth < 3 ? 2 + random() % 4 : depth < 7 ? random() % 4 : 0; i < n; ++i) {
        const std::string name = (chance(10) ? "." : "") + pick(dir_names) + std::to_string(i);
        tree.mkdir(dir + "/" + name);
        dirs.push_back(dir + "/" + name);
      }
      for (unsigned i = 0, n = random() % 7; i < n; ++i) {
        tree.write(dir + "/" + (chance(10) ? "." : "") + pick(stems) + std::to_string(i) + pick(extensions));
      }
      if (chance(20)) ignore_file(dir + "/.ignore");
      if (chance(25)) ignore_file(dir + "/.gitignore");
      if (chance(8)) {
        tree.mkdir(dir + "/.git");
        if (chance(50)) tree.write(dir + "/.git/info/exclude", pick(lines) + "\n");
      } else if (chance(3)) {
        tree.write(dir + "/.git", "gitdir: nowhere\n");
      } else if (chance(3)) {
        tree.mkdir(dir + "/.jj");
      }
      if (chance(8)) tree.link("a0.py", dir + "/file-link.py");
      if (chance(5)) tree.link("..", dir + "/up");
      if (chance(4)) tree.link("nowhere", dir + "/dangling");
      if (chance(4) && dirs.size() > 1) tree.link(tree.path(pick(dirs)), dir + "/across");
    }
    tree.mkdir_chain(pick(dirs), std::string(200, 'n'), 21);
    const std::string locked = tree.path(pick(dirs) + "/locked");
    tree.mkdir(locked.substr(tree.root().size() + 1));
    tree.write(locked.substr(tree.root().size() + 1) + "/inside.py");
    check_call(::chmod(locked.c_str(), 0) == 0, "chmod");
    locked_.push_back(locked);
    if (chance(30)) tree.write(".ignore", "{bad\n");
  }

  void TearDown() override {
    for (const std::string& path : locked_) ::chmod(path.c_str(), 0755);
  }

  std::vector<std::string> locked_;
};

// Describes where two sequences of items part, or nothing when they agree.
std::string first_difference(const Said& expected, const Said& actual) {
  const auto [left, right] = std::ranges::mismatch(expected, actual);
  if (left == expected.end() && right == actual.end()) return {};
  return "item " + std::to_string(left - expected.begin()) + ": sequential '" +
         (left == expected.end() ? "(end)" : *left) + "', parallel '" + (right == actual.end() ? "(end)" : *right) + "'";
}

TEST_F(SameItemsTest, ParallelAndSequentialWalksSayTheSameInTheSameOrder) {
  std::size_t entries = 0, errors = 0, loops = 0, ignore_errors = 0;
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    tree.remove("w");
    tree.remove(".ignore");
    tree.mkdir("w");
    grow(seed);
    for (const bool follow : {false, true}) {
      for (const bool exclude : {false, true}) {
        WalkOptions options{.follow_links = follow, .exclude = {}};
        if (exclude) options.exclude = {"build1", "/top0", "deep*/"};
        const Said sequential = said(kSequential, options);
        for (int round = 0; round < 3; ++round) {
          EXPECT_EQ(first_difference(sequential, said(kParallel, options)), "")
              << "seed " << seed << (follow ? ", links followed" : "") << (exclude ? ", exclusions" : "");
        }
        for (const std::string& item : sequential) {
          entries += !item.starts_with("error ");
          errors += item.starts_with("error ");
          loops += item.starts_with("error File system loop found");
          ignore_errors += item.find(" ignore errors=") != std::string::npos;
        }
      }
    }
  }
  // The trees were rich enough to mean something.
  EXPECT_GT(entries, 5000u);
  EXPECT_GT(errors, 100u);
  EXPECT_GT(loops, 30u);
  EXPECT_GT(ignore_errors, 100u);
}

TEST_F(SameItemsTest, AWalkDroppedEarlyBeganAsTheWholeWalk) {
  grow(7);
  const Said whole = said(kSequential, {});
  for (const std::size_t most : {1u, 2u, 10u, 100u}) {
    ASSERT_LT(most, whole.size());
    EXPECT_EQ(said(kParallel, {}, most), Said(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(most)));
  }
}

}  // namespace
}  // namespace vorn_walk
