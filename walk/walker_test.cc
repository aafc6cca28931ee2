#include "walk/walker.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "walk/test_tree.h"

namespace vorn_walk {
namespace {

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

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto marker = marker_above(tree)) GTEST_SKIP() << "the rules above the tree meet " << *marker;
    tree.mkdir("w");
  }

  Walked walk_at(const std::string& root, WalkOptions options = {}) {
    Walker walker(root, std::move(options));
    Walked out;
    while (auto item = walker.next()) {
      if (*item) {
        const WalkEntry& entry = **item;
        out.seen.push_back({relative(entry.path), std::string(entry.name), entry.depth, entry.type});
      } else {
        out.errors.push_back(shown(item->error().text));
      }
    }
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

  Matcher exclusions(std::initializer_list<std::string_view> patterns) {
    MatcherBuilder builder(w, UnclosedClass::error);
    for (std::string_view pattern : patterns) {
      EXPECT_TRUE(builder.add_line("!" + std::string(pattern)).has_value());
    }
    return *std::move(builder).build();
  }

  TestTree tree;
  IsolatedHome home{tree};
  std::string w = tree.path("w");
};

TEST_F(WalkTest, YieldsDirectoriesBeforeTheirContentsDepthFirst) {
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

TEST_F(WalkTest, SkipsHiddenEntriesButWalksAHiddenRoot) {
  tree.write("w/.tools/run.py");
  tree.write("w/.tools/.secret");
  tree.write("w/.cache.");
  tree.write("w/v.py");
  EXPECT_EQ(listed(), (Names{".cache.", "v.py"}));
  EXPECT_EQ(walk_at(w + "/.tools").paths(), (Names{".tools", ".tools/run.py"}));
}

TEST_F(WalkTest, GitRulesNeedARepositoryAndDotIgnoreDoesNot) {
  tree.write("w/.gitignore", "build/\n");
  tree.write("w/.ignore", "*.gen\n");
  tree.write("w/build/out.o");
  tree.write("w/src/x.gen");
  EXPECT_EQ(listed(), (Names{"build", "build/out.o", "src"}));
  // A link named ".git" that leads nowhere is no repository.
  tree.link("nowhere", "w/.git");
  EXPECT_EQ(listed(), (Names{"build", "build/out.o", "src"}));
  tree.remove("w/.git");
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

TEST_F(WalkTest, NearestFileWinsWithinEachKindAndDotIgnoreOutranksGit) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "*.log\n*.tmp\n");
  tree.write("w/sub/.gitignore", "!keep.log\n");
  tree.write("w/.ignore", "!*.tmp\n");
  for (const char* name : {"sub/keep.log", "sub/other.log", "keep.log", "sub/a.tmp"}) {
    tree.write("w/" + std::string(name));
  }
  EXPECT_EQ(listed(), (Names{"sub", "sub/a.tmp", "sub/keep.log"}));
}

TEST_F(WalkTest, WhitelistLetsAHiddenEntryThrough) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "!.settings\n");
  tree.write("w/.settings/a.json");
  tree.write("w/.other/b.json");
  EXPECT_EQ(listed(), (Names{".settings", ".settings/a.json"}));
}

TEST_F(WalkTest, GitRulesStopAtTheNearestRepository) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "*.log\n");
  tree.mkdir("w/inner/.git");
  tree.write("w/inner/a.log");
  tree.write("w/b.log");
  EXPECT_EQ(listed(), (Names{"inner", "inner/a.log"}));
  tree.remove("w/.git");
  EXPECT_EQ(listed(), (Names{"b.log", "inner", "inner/a.log"}));
}

TEST_F(WalkTest, ReadsTheRepositoryExcludeFileThroughGitFiles) {
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

TEST_F(WalkTest, ExclusionsWinAndTheirDirectoriesAreNeverListed) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "!docs\n");
  tree.write("w/docs/a.md");
  tree.write("w/x/docs/b.md");
  tree.write("w/x/y/docs");
  EXPECT_EQ(listed({.exclusions = exclusions({"docs"})}), (Names{"x", "x/y"}));
  EXPECT_EQ(listed({.exclusions = exclusions({"/docs"})}),
            (Names{"x", "x/docs", "x/docs/b.md", "x/y", "x/y/docs"}));
  EXPECT_EQ(listed({.exclusions = exclusions({"docs/"})}), (Names{"x", "x/y", "x/y/docs"}));
  // Followed, this link would fail; in an excluded directory it is never met.
  tree.link("nowhere", "w/docs/dangling");
  EXPECT_TRUE(walk({.follow_links = true, .exclusions = exclusions({"docs"})}).errors.empty());
}

TEST_F(WalkTest, AncestorIgnoreFilesSeeThePathBelowTheirDirectory) {
  tree.mkdir(".git");
  tree.write(".gitignore", "/w/sub/x.txt\n");
  tree.write(".ignore", "y.txt\n");
  tree.write("w/sub/x.txt");
  tree.write("w/sub/y.txt");
  tree.write("w/x.txt");
  EXPECT_EQ(listed(), (Names{"sub", "x.txt"}));
  EXPECT_EQ(walk_at(w + "/sub").paths(), Names{"sub"});
}

TEST_F(WalkTest, AncestorErrorsComeFirstNearestTheTopFirst) {
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

TEST_F(WalkTest, ErrorsInWalkedIgnoreFilesRideOnTheirDirectory) {
  tree.write("w/sub/.ignore", "ok.txt\n[z-a]\n");
  tree.write("w/sub/ok.txt");
  tree.write("w/sub/x.txt");
  Walker walker(w, {});
  std::string errors;
  Names paths;
  while (auto item = walker.next()) {
    ASSERT_TRUE(*item);
    paths.push_back(relative((*item)->path));
    if (paths.back() == "sub") errors = (*item)->ignore_errors;
  }
  EXPECT_EQ(shown(errors), "W/sub/.ignore: line 2: error parsing glob '[z-a]': invalid range; 'z' > 'a'");
  std::ranges::sort(paths);
  EXPECT_EQ(paths, (Names{".", "sub", "sub/x.txt"}));
}

class GlobalExcludesTest : public WalkTest {
 protected:
  void SetUp() override {
    WalkTest::SetUp();
    if (IsSkipped()) return;
    tree.mkdir("w/.git");
    tree.write("w/a.log");
    tree.write("w/b.txt");
  }
};

TEST_F(GlobalExcludesTest, UsesXdgIgnoreByDefaultAndOnlyInARepository) {
  tree.write("home/.config/git/ignore", "*.log\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  tree.remove("w/.git");
  EXPECT_EQ(listed(), (Names{"a.log", "b.txt"}));
}

TEST_F(GlobalExcludesTest, HomeGitconfigComesFirstWithTildeExpanded) {
  tree.write("home/.gitconfig", "[core]\n\tExcludesFile = \"~/global\" \n");
  tree.write("home/global", "*.log\n");
  tree.write("home/.config/git/config", "[core]\nexcludesfile=" + tree.path("g") + "\n");
  tree.write("g", "*.txt\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  // A value that is not UTF-8 names nothing: the XDG file is next.
  tree.write("home/.gitconfig", "[core]\n  excludesfile = \xFF\n");
  EXPECT_EQ(listed(), (Names{"a.log"}));
}

TEST_F(GlobalExcludesTest, AnchoredLinesAreRelativeToTheCurrentDirectory) {
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
}

TEST_F(WalkTest, LinksAreLeavesUnlessFollowedExceptAtTheRoot) {
  tree.write("target/t.txt");
  tree.link(tree.path("target"), "w/dir");
  tree.link(tree.path("target/t.txt"), "w/file");
  const Walked plain = walk();
  ASSERT_EQ(plain.seen.size(), 3u);
  EXPECT_EQ(plain.seen[1].type, FileType::symlink);
  EXPECT_EQ(plain.seen[2].type, FileType::symlink);
  EXPECT_EQ(listed({.follow_links = true, .exclusions = {}}), (Names{"dir", "dir/t.txt", "file"}));
  const Walked root = walk_at(w + "/dir");
  EXPECT_EQ(root.paths(), (Names{"dir", "dir/t.txt"}));
  EXPECT_EQ(root.seen[0].type, FileType::symlink);
}

TEST_F(WalkTest, FollowedLinksReportDanglingLinksAndLoops) {
  tree.write("w/a/x.txt");
  tree.link("..", "w/a/up");
  tree.link("missing", "w/.dangling");  // hidden, yet it is followed first
  Names errors = walk({.follow_links = true, .exclusions = {}}).errors;
  std::ranges::sort(errors);
  EXPECT_EQ(errors, (Names{"File system loop found: W/a/up points to an ancestor W",
                           "W/.dangling: IO error for operation on W/.dangling: "
                           "No such file or directory (os error 2)"}));
  EXPECT_TRUE(walk().errors.empty());
}

TEST_F(WalkTest, RootsThatCannotBeWalked) {
  tree.link("nowhere", "w/dangling");
  for (const bool follow : {false, true}) {
    EXPECT_EQ(walk_at(w + "/dangling", {.follow_links = follow, .exclusions = {}}).errors,
              Names{"W/dangling: IO error for operation on W/dangling: No such file or directory (os error 2)"});
  }
  for (const char* root : {"-", "-/", "-//."}) {
    const Walked walked = walk_at(root);
    ASSERT_EQ(walked.seen.size(), 1u);
    EXPECT_EQ(walked.seen[0].path, "<stdin>");
    EXPECT_EQ(walked.seen[0].type, FileType::stdin);
  }
}

TEST_F(WalkTest, ARootWithANulByteFailsWithoutWalkingItsBeginning) {
  tree.write("w/a.py");
  const Walked walked = walk_at(w + std::string("\0b", 2));
  EXPECT_TRUE(walked.seen.empty());
  EXPECT_EQ(walked.errors,
            Names{"W\0b: IO error for operation on W\0b: file name contained an unexpected NUL byte"s});
}

TEST_F(WalkTest, EntriesThatVanishAfterListingStillComeButADirectoryFailsToList) {
  tree.write("w/gone.txt");
  tree.write("w/gone/x.txt");
  Walker walker(w, {});
  ASSERT_TRUE(walker.next()->has_value());  // the root, listed already
  tree.remove("w/gone.txt");
  tree.remove("w/gone");
  Names items;
  while (auto item = walker.next()) items.push_back(*item ? relative((*item)->path) : shown(item->error().text));
  const auto dir = std::ranges::find(items, "gone");
  ASSERT_LT(dir + 1, items.end());
  EXPECT_EQ(dir[1], "W/gone: IO error for operation on W/gone: No such file or directory (os error 2)");
  EXPECT_NE(std::ranges::find(items, "gone.txt"), items.end());
}

TEST_F(WalkTest, WalksTwoThousandLevelsWithFewDescriptors) {
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

TEST_F(WalkTest, PathsBeyondTheSystemLimitFailWithTheSystemText) {
  tree.mkdir_chain("w", std::string(200, 'n'), 30);
  const Walked walked = walk();
  ASSERT_EQ(walked.errors.size(), 1u);
  EXPECT_TRUE(walked.errors[0].ends_with(": File name too long (os error 36)")) << walked.errors[0];
}

TEST_F(WalkTest, NamesThatAreNotUtf8ComeBackUnchanged) {
  tree.write("w/\xFF\xFE.py");
  tree.write("w/d\x80/x");
  EXPECT_EQ(listed(), (Names{"d\x80", "d\x80/x", "\xFF\xFE.py"}));
}

TEST_F(WalkTest, HandlesAHundredThousandEntriesInOneDirectory) {
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

}  // namespace
}  // namespace vorn_walk
