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

// What an entry said, kept beyond the next call of Walker::next.
struct Seen {
  std::string path;
  std::string name;
  std::size_t depth;
  FileType type;
};

struct Walked {
  std::vector<std::string> entries;  // relative to `w`, in walk order
  std::vector<Seen> seen;            // the same entries in full
  std::vector<std::string> errors;
};

class WalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto marker = marker_above(tree)) GTEST_SKIP() << "the rules above the tree meet " << *marker;
    tree.mkdir("w");
  }

  // Walks `root` to its end. Entries are shown relative to `w` ("." for w
  // itself); errors keep their full text with `w` shown as "W".
  Walked walk_at(const std::string& root, WalkOptions options = {}) {
    Walker walker(root, std::move(options));
    Walked out;
    while (auto item = walker.next()) {
      if (item->has_value()) {
        const WalkEntry& entry = **item;
        out.entries.push_back(relative(std::string(entry.path)));
        out.seen.push_back({std::string(entry.path), std::string(entry.name), entry.depth, entry.type});
      } else {
        out.errors.push_back(shown(item->error().text));
      }
    }
    return out;
  }

  Walked walk(WalkOptions options = {}) { return walk_at(w, std::move(options)); }

  // The entries below the root, sorted.
  std::vector<std::string> listed(WalkOptions options = {}) {
    std::vector<std::string> entries = walk(std::move(options)).entries;
    entries.erase(entries.begin());
    std::sort(entries.begin(), entries.end());
    return entries;
  }

  std::string relative(const std::string& path) const {
    if (path == w) return ".";
    return path.starts_with(w + "/") ? path.substr(w.size() + 1) : path;
  }

  std::string shown(std::string text) const {
    for (std::size_t at; (at = text.find(w)) != std::string::npos;) text.replace(at, w.size(), "W");
    return text;
  }

  Matcher exclusions(std::initializer_list<std::string_view> patterns, std::string_view base) {
    MatcherBuilder builder(base, UnclosedClass::error);
    for (std::string_view pattern : patterns) {
      EXPECT_TRUE(builder.add_line("!" + std::string(pattern)).has_value());
    }
    return *std::move(builder).build();
  }

  TestTree tree;
  IsolatedHome home{tree};
  std::string w = tree.path("w");
};

using Names = std::vector<std::string>;

TEST_F(WalkTest, YieldsDirectoriesBeforeTheirContentsDepthFirst) {
  tree.write("w/a/b/c.txt");
  tree.write("w/a/d.txt");
  tree.write("w/e/f.txt");
  const Walked walked = walk();
  EXPECT_TRUE(walked.errors.empty());
  ASSERT_EQ(walked.entries.size(), 7u);
  EXPECT_EQ(walked.entries[0], ".");
  EXPECT_EQ(walked.seen[0].depth, 0u);
  EXPECT_EQ(walked.seen[0].type, FileType::directory);
  EXPECT_EQ(walked.seen[0].name, "w");
  // Every entry follows its directory, with nothing but that directory's
  // contents in between.
  for (std::size_t i = 1; i < walked.entries.size(); ++i) {
    const std::string& entry = walked.entries[i];
    const std::size_t slash = entry.rfind('/');
    if (slash == std::string::npos) continue;
    const std::string dir = entry.substr(0, slash);
    const auto at = std::find(walked.entries.begin(), walked.entries.end(), dir);
    ASSERT_LT(at - walked.entries.begin(), static_cast<std::ptrdiff_t>(i)) << entry;
    for (auto between = at + 1; between != walked.entries.begin() + static_cast<std::ptrdiff_t>(i); ++between) {
      EXPECT_TRUE(between->starts_with(dir + "/")) << *between << " inside " << dir;
    }
  }
  const auto deep = std::find(walked.entries.begin(), walked.entries.end(), "a/b/c.txt");
  ASSERT_NE(deep, walked.entries.end());
  const Seen& seen = walked.seen[static_cast<std::size_t>(deep - walked.entries.begin())];
  EXPECT_EQ(seen.depth, 3u);
  EXPECT_EQ(seen.name, "c.txt");
  EXPECT_EQ(seen.type, FileType::file);
}

TEST_F(WalkTest, JoinsNamesOntoTheRootAsWritten) {
  tree.write("w/src/a.py");
  for (const std::string& root : {w + "/src", w + "/src/", w + "//src", w + "/./src"}) {
    const Walked walked = walk_at(root);
    ASSERT_EQ(walked.seen.size(), 2u) << root;
    EXPECT_EQ(walked.seen[0].path, root);
    EXPECT_EQ(walked.seen[1].path, root + (root.ends_with('/') ? "" : "/") + "a.py");
  }
}

TEST_F(WalkTest, SkipsHiddenEntriesButWalksAHiddenRoot) {
  tree.write("w/.tools/run.py");
  tree.write("w/.tools/.secret");
  tree.write("w/.cache.");
  tree.write("w/.hidden/x.py");
  tree.write("w/v.py");
  EXPECT_EQ(listed(), (Names{".cache.", "v.py"}));
  const Walked walked = walk_at(w + "/.tools");
  EXPECT_EQ(walked.entries, (Names{".tools", ".tools/run.py"}));
}

TEST_F(WalkTest, GitignoreAppliesOnlyInsideARepository) {
  tree.write("w/.gitignore", "build/\n");
  tree.write("w/build/out.o");
  tree.write("w/src/build/x");
  EXPECT_EQ(listed(), (Names{"build", "build/out.o", "src", "src/build", "src/build/x"}));
  tree.mkdir("w/.git");
  EXPECT_EQ(listed(), (Names{"src"}));
}

TEST_F(WalkTest, JjOfAnyTypeMarksARepositoryButADanglingGitLinkDoesNot) {
  tree.write("w/.gitignore", "*.o\n");
  tree.write("w/a.o");
  tree.link("nowhere", "w/.git");
  EXPECT_EQ(listed(), (Names{"a.o"}));
  tree.write("w/.jj");
  EXPECT_EQ(listed(), Names{});
  tree.remove("w/.jj");
  tree.remove("w/.git");
  tree.write("w/.git", "not a gitdir line\n");
  EXPECT_EQ(listed(), Names{});
}

TEST_F(WalkTest, DotIgnoreAppliesWithoutARepository) {
  tree.write("w/.ignore", "*.gen.py\n");
  tree.write("w/a.gen.py");
  tree.write("w/sub/b.gen.py");
  tree.write("w/sub/b.py");
  EXPECT_EQ(listed(), (Names{"sub", "sub/b.py"}));
}

TEST_F(WalkTest, NearestIgnoreFileWinsWithinEachKind) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "*.log\n");
  tree.write("w/sub/.gitignore", "!keep.log\n");
  tree.write("w/sub/keep.log");
  tree.write("w/sub/other.log");
  tree.write("w/keep.log");
  EXPECT_EQ(listed(), (Names{"sub", "sub/keep.log"}));
}

TEST_F(WalkTest, DotIgnoreOutranksGitRulesWhereverItStands) {
  tree.mkdir("w/.git");
  tree.write("w/.ignore", "!*.log\n");
  tree.write("w/sub/.gitignore", "*.log\n");
  tree.write("w/sub/a.log");
  EXPECT_EQ(listed(), (Names{"sub", "sub/a.log"}));
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
  // Above the repository's top, a .gitignore has no say at all.
  tree.remove("w/.git");
  EXPECT_EQ(listed(), (Names{"b.log", "inner", "inner/a.log"}));
}

TEST_F(WalkTest, ReadsTheRepositoryExcludeFile) {
  tree.write("w/.git/info/exclude", "*.tmp\n");
  tree.write("w/a.tmp");
  tree.write("w/b.txt");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
}

TEST_F(WalkTest, FollowsAGitFileToTheCommonDirectory) {
  tree.write("main/.git/info/exclude", "*.tmp\n");
  tree.write("main/.git/worktrees/wt/commondir", "../..\n");
  tree.write("w/.git", "gitdir: " + tree.path("main/.git/worktrees/wt") + "\n");
  tree.write("w/a.tmp");
  tree.write("w/b.txt");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  // A relative gitdir is read from the directory holding the file.
  tree.write("w/.git", "gitdir: ../main/.git/worktrees/wt\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  // An absolute commondir is used as it stands.
  tree.write("main/.git/worktrees/wt/commondir", tree.path("main/.git") + "\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
  // Without commondir there is no exclude file, but still a repository.
  tree.remove("main/.git/worktrees/wt/commondir");
  EXPECT_EQ(listed(), (Names{"a.tmp", "b.txt"}));
}

TEST_F(WalkTest, ExclusionsSkipEntriesAndCannotBeUndone) {
  tree.mkdir("w/.git");
  tree.write("w/.gitignore", "!docs\n");
  tree.write("w/docs/a.md");
  tree.write("w/x/docs/b.md");
  tree.write("w/x/y/docs");
  EXPECT_EQ(listed({.exclusions = exclusions({"docs"}, w)}), (Names{"x", "x/y"}));
  EXPECT_EQ(listed({.exclusions = exclusions({"/docs"}, w)}),
            (Names{"x", "x/docs", "x/docs/b.md", "x/y", "x/y/docs"}));
  EXPECT_EQ(listed({.exclusions = exclusions({"docs/"}, w)}), (Names{"x", "x/y", "x/y/docs"}));
}

TEST_F(WalkTest, AnExcludedDirectoryIsNeverListed) {
  tree.link("nowhere", "w/gen/dangling");
  tree.write("w/a.py");
  const Walked walked = walk({.follow_links = true, .exclusions = exclusions({"gen"}, w)});
  EXPECT_TRUE(walked.errors.empty());
  EXPECT_EQ(walked.entries, (Names{".", "a.py"}));
}

TEST_F(WalkTest, AncestorIgnoreFilesSeeThePathBelowTheirDirectory) {
  tree.mkdir(".git");
  tree.write(".gitignore", "/w/sub/x.txt\n");
  tree.write(".ignore", "y.txt\n");
  tree.write("w/sub/x.txt");
  tree.write("w/sub/y.txt");
  tree.write("w/x.txt");
  EXPECT_EQ(listed(), (Names{"sub", "x.txt"}));
  // A nested walk root sees the same rules.
  EXPECT_EQ(walk_at(w + "/sub").entries.size(), 1u);
}

TEST_F(WalkTest, AncestorErrorsComeFirstNearestTheTopFirst) {
  tree.write(".ignore", "a}\n");
  tree.write("w/.gitignore", "{b\n");
  tree.write("w/sub/.ignore", "[z-a]\n");
  tree.write("w/sub/x.txt");
  const std::string& parent = tree.root();
  const Walked walked = walk_at(w + "/sub");
  ASSERT_EQ(walked.errors.size(), 1u);
  EXPECT_EQ(walked.errors[0],
            parent + "/.ignore: line 1: error parsing glob 'a}': unopened alternate group; "
            "missing '{' (maybe escape '}' with '[}]'?)\n"
            "W/.gitignore: line 1: error parsing glob '{b': unclosed alternate group; "
            "missing '}' (maybe escape '{' with '[{]'?)");
  // The walk goes on; the root's own errors ride on its entry.
  EXPECT_EQ(walked.entries, (Names{"sub", "sub/x.txt"}));
}

TEST_F(WalkTest, ErrorsInWalkedIgnoreFilesRideOnTheirDirectory) {
  tree.write("w/sub/.ignore", "ok.txt\n[z-a]\n");
  tree.write("w/sub/ok.txt");
  tree.write("w/sub/x.txt");
  Walker walker(w, {});
  std::string errors;
  std::vector<std::string> names;
  while (auto item = walker.next()) {
    ASSERT_TRUE(item->has_value());
    names.push_back(relative(std::string((*item)->path)));
    if ((*item)->path == w + "/sub") errors = (*item)->ignore_errors;
  }
  EXPECT_EQ(shown(errors), "W/sub/.ignore: line 2: error parsing glob '[z-a]': invalid range; 'z' > 'a'");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Names{".", "sub", "sub/x.txt"}));
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

TEST_F(GlobalExcludesTest, HomeGitconfigNamesTheFileWithTildeExpanded) {
  tree.write("home/.gitconfig", "[core]\n\tExcludesFile = \"~/global\" \n");
  tree.write("home/global", "*.log\n");
  tree.write("home/.config/git/ignore", "*.txt\n");
  EXPECT_EQ(listed(), (Names{"b.txt"}));
}

TEST_F(GlobalExcludesTest, XdgConfigIsReadWhenHomeGitconfigNamesNothing) {
  // A value that is not UTF-8 names nothing.
  tree.write("home/.gitconfig", "[core]\n  excludesfile = \xFF\n");
  tree.write("home/.config/git/config", "[core]\nexcludesfile=" + tree.path("g") + "\n");
  tree.write("g", "*.txt\n");
  EXPECT_EQ(listed(), (Names{"a.log"}));
}

TEST_F(GlobalExcludesTest, AnchoredLinesAreRelativeToTheCurrentDirectory) {
  tree.write("home/.config/git/ignore", "/a.log\n");
  std::vector<std::string> inside, outside;
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

TEST_F(WalkTest, LinksAreLeavesUnlessFollowed) {
  tree.write("target/t.txt");
  tree.link(tree.path("target"), "w/dir");
  tree.link(tree.path("target/t.txt"), "w/file");
  const Walked plain = walk();
  ASSERT_EQ(plain.seen.size(), 3u);
  for (const Seen& seen : plain.seen) {
    if (seen.depth > 0) {
      EXPECT_EQ(seen.type, FileType::symlink) << seen.path;
    }
  }
  EXPECT_EQ(listed({.follow_links = true, .exclusions = {}}), (Names{"dir", "dir/t.txt", "file"}));
}

TEST_F(WalkTest, ARootLinkToADirectoryIsDescended) {
  tree.write("target/t.txt");
  tree.link(tree.path("target"), "w/root");
  const Walked walked = walk_at(w + "/root");
  EXPECT_EQ(walked.entries, (Names{"root", "root/t.txt"}));
  EXPECT_EQ(walked.seen[0].type, FileType::symlink);
}

TEST_F(WalkTest, FollowedLinksReportDanglingLinksAndLoops) {
  tree.write("w/a/x.txt");
  tree.link("..", "w/a/up");
  tree.link("missing", "w/.dangling");  // hidden, yet it is followed first
  const Walked walked = walk({.follow_links = true, .exclusions = {}});
  std::vector<std::string> errors = walked.errors;
  std::sort(errors.begin(), errors.end());
  EXPECT_EQ(errors, (Names{"File system loop found: W/a/up points to an ancestor W",
                           "W/.dangling: IO error for operation on W/.dangling: "
                           "No such file or directory (os error 2)"}));
  // Without following, neither is an error.
  EXPECT_TRUE(walk().errors.empty());
}

TEST_F(WalkTest, ReportsARootThatCannotBeExamined) {
  const Walked missing = walk_at(w + "/src");
  EXPECT_TRUE(missing.entries.empty());
  EXPECT_EQ(missing.errors,
            Names{"W/src: IO error for operation on W/src: No such file or directory (os error 2)"});
  tree.link("nowhere", "w/dangling");
  EXPECT_EQ(walk_at(w + "/dangling").errors.size(), 1u);
  EXPECT_EQ(walk_at(w + "/dangling", {.follow_links = true, .exclusions = {}}).errors.size(), 1u);
}

TEST_F(WalkTest, ARootWithANulByteFailsWithoutWalkingItsBeginning) {
  tree.write("w/a.py");
  const std::string root = w + std::string("\0b", 2);
  const Walked walked = walk_at(root);
  EXPECT_TRUE(walked.entries.empty());
  EXPECT_EQ(walked.errors,
            Names{"W\0b: IO error for operation on W\0b: file name contained an unexpected NUL byte"s});
}

TEST_F(WalkTest, DashRootIsAStdinPseudoEntry) {
  for (const char* root : {"-", "-/", "-//."}) {
    Walker walker(root, {});
    auto item = walker.next();
    ASSERT_TRUE(item && item->has_value());
    EXPECT_EQ((*item)->path, "<stdin>");
    EXPECT_EQ((*item)->type, FileType::stdin);
    EXPECT_FALSE(walker.next());
  }
}

TEST_F(WalkTest, EntriesThatVanishAfterListingStillComeButADirectoryFailsToList) {
  tree.write("w/gone.txt");
  tree.write("w/gone/x.txt");
  Walker walker(w, {});
  ASSERT_TRUE(walker.next()->has_value());  // the root, listed already
  tree.remove("w/gone.txt");
  tree.remove("w/gone");
  std::vector<std::string> items;
  while (auto item = walker.next()) {
    items.push_back(*item ? relative(std::string((*item)->path)) : shown(item->error().text));
  }
  const auto dir = std::find(items.begin(), items.end(), "gone");
  ASSERT_NE(dir, items.end());
  ASSERT_NE(dir + 1, items.end());
  EXPECT_EQ(dir[1], "W/gone: IO error for operation on W/gone: No such file or directory (os error 2)");
  EXPECT_NE(std::find(items.begin(), items.end(), "gone.txt"), items.end());
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
    const std::string name = tree.path("w/big/f" + std::to_string(i));
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  tree.write("w/big/.ignore", "f7*\n");
  const Walked walked = walk();
  EXPECT_TRUE(walked.errors.empty());
  // f7, f70..f79, f700..f799, f7000..f7999, f70000..f79999 are ignored.
  EXPECT_EQ(walked.entries.size(), 2u + 100000u - 11111u);
}

}  // namespace
}  // namespace vorn_walk
