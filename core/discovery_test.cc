#include "core/discovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <gtest/gtest.h>

#include "walk/test_tree.h"

namespace vorn_core {
namespace {

using vorn_walk::IsolatedHome;
using vorn_walk::ScopedCwd;
using vorn_walk::TestTree;
using Paths = std::vector<std::string>;

class WalkFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto marker = vorn_walk::marker_above(tree)) {
      GTEST_SKIP() << "the rules above the tree meet " << *marker;
    }
    tree.mkdir("w");
  }

  // Discovery below `w`, run from inside it so that roots are relative.
  std::expected<Paths, std::string> files(std::string_view root,
                                          std::vector<std::string_view> extensions,
                                          const Config& config = {}) {
    ScopedCwd cwd(tree.path("w"));
    auto paths = walk_files(root, extensions, config);
    if (!paths) return std::unexpected(paths.error().text());
    return Paths(paths->begin(), paths->end());
  }

  static Config excluding(std::vector<std::string> patterns) {
    Config config;
    config.general.exclude = std::move(patterns);
    return config;
  }

  static Config following() {
    Config config;
    config.general.follow_links = true;
    return config;
  }

  TestTree tree;
  IsolatedHome home{tree};
};

TEST_F(WalkFilesTest, SelectsByExactExtensionOfTheFinalName) {
  for (const char* name : {"Makefile", ".bashrc", "README", "x.PY", "a.py", "notes.", "a.tar.gz",
                           "b.\xFF", "c.py.bak", "d.pyc", "e.x/f"}) {
    tree.write(std::string("w/") + name);
  }
  EXPECT_EQ(files(".", {"py"}), (Paths{"./a.py"}));
  EXPECT_EQ(files(".", {"gz", ""}), (Paths{"./a.tar.gz", "./notes."}));
  EXPECT_EQ(files(".", {"\xFF"}), Paths{});
  EXPECT_EQ(files(".", {"bashrc", "Makefile", "PY", "py"}), (Paths{"./a.py", "./x.PY"}));
  EXPECT_EQ(files(".", {}), Paths{});
}

TEST_F(WalkFilesTest, SortsComponentWise) {
  for (const char* name : {"a-b.py", "a0.py", "a/z.py", "a/b.py", "b.py", "A.py", "a.b.py"}) {
    tree.write(std::string("w/") + name);
  }
  EXPECT_EQ(files(tree.path("w"), {"py"})->front(), tree.path("w/A.py"));
  EXPECT_EQ(files(".", {"py"}),
            (Paths{"./A.py", "./a/b.py", "./a/z.py", "./a-b.py", "./a.b.py", "./a0.py", "./b.py"}));
}

TEST_F(WalkFilesTest, KeepsTheRootAsWritten) {
  tree.write("w/src/gen/g.py");
  tree.write("w/src/a.py");
  EXPECT_EQ(files("src", {"py"}), (Paths{"src/a.py", "src/gen/g.py"}));
  EXPECT_EQ(files("./src/", {"py"}), (Paths{"./src/a.py", "./src/gen/g.py"}));
  // The exclusion lines are anchored at the root.
  EXPECT_EQ(files("./src", {"py"}, excluding({"/gen"})), (Paths{"./src/a.py"}));
  EXPECT_EQ(files("src//", {"py"}, excluding({"/gen"})), (Paths{"src//a.py"}));
  EXPECT_EQ(files("././src", {"py"}, excluding({"/gen"})), (Paths{"././src/a.py"}));
  EXPECT_EQ(files("././src", {"py"}, excluding({"gen/g.py"})), (Paths{"././src/a.py"}));
}

TEST_F(WalkFilesTest, AnchoredLinesApplyBelowTheirDirectoryHoweverTheRootIsSpelled) {
  for (const char* name : {"x.py", "y.py", "src/x.py", "src/y.py"}) {
    tree.write(std::string("w/") + name);
  }
  tree.write("w/.ignore", "/y.py\n");
  const auto under = [](std::string root, std::vector<std::string> names) {
    if (!root.ends_with('/')) root.push_back('/');
    for (std::string& name : names) name.insert(0, root);
    return names;
  };
  for (const char* root : {".", "./", "./.", ".//.", "././.", "./././"}) {
    EXPECT_EQ(files(root, {"py"}, excluding({"/x.py"})), under(root, {"src/x.py", "src/y.py"}))
        << root;
  }
  // The ".ignore" above is an ancestor's: its line stays anchored where it is.
  for (const char* root : {"src", "./src", "././src", "src/.", "./src//", "src/./"}) {
    EXPECT_EQ(files(root, {"py"}, excluding({"/x.py"})), under(root, {"y.py"})) << root;
  }
}

TEST_F(WalkFilesTest, ARootFileIsItsOwnResultWhateverTheRules) {
  tree.write("w/.hidden.py");
  EXPECT_EQ(files(".hidden.py", {"py"}, excluding({"*.py"})), (Paths{".hidden.py"}));
  EXPECT_EQ(files("./.hidden.py", {"rs"}), Paths{});
  tree.link(".hidden.py", "w/link.py");
  EXPECT_EQ(files("link.py", {"py"}), (Paths{"link.py"}));
}

TEST_F(WalkFilesTest, LinksToFilesPassAndDanglingLinksFailOnlyWhenFollowed) {
  tree.write("target/t.py");
  tree.write("w/real.py");
  tree.link("real.py", "w/same.py");
  tree.link(tree.path("target"), "w/dir");
  EXPECT_EQ(files(".", {"py"}), (Paths{"./real.py", "./same.py"}));
  EXPECT_EQ(files(".", {"py"}, following()), (Paths{"./dir/t.py", "./real.py", "./same.py"}));
  tree.link("missing.py", "w/dangling.py");
  EXPECT_EQ(files(".", {"py"}), (Paths{"./real.py", "./same.py"}));
  EXPECT_EQ(files(".", {"py"}, following()).error(),
            "io: ./dangling.py: IO error for operation on ./dangling.py: "
            "No such file or directory (os error 2)");
}

TEST_F(WalkFilesTest, SpecialFilesNeverPass) {
  ASSERT_EQ(::mkfifo(tree.path("w/pipe.py").c_str(), 0644), 0);
  tree.link("pipe.py", "w/to-pipe.py");
  EXPECT_EQ(files(".", {"py"}), Paths{});
}

TEST_F(WalkFilesTest, FirstBadExcludePatternEndsTheRun) {
  tree.write("w/a.py");
  EXPECT_EQ(files(".", {"py"}, excluding({"ok", "[abc  ", "[z-a]"})).error(),
            "io: error parsing glob '![abc': unclosed character class; missing ']'");
  EXPECT_EQ(files(".", {"py"}, excluding({"{a"})).error(),
            "io: error parsing glob '!{a': unclosed alternate group; missing '}' "
            "(maybe escape '{' with '[{]'?)");
  // An empty pattern excludes nothing.
  EXPECT_EQ(files(".", {"py"}, excluding({"", "  "})), (Paths{"./a.py"}));
}

TEST_F(WalkFilesTest, ReportsAMissingRootEvenWithoutExtensions) {
  EXPECT_EQ(files("src", {}).error(),
            "io: src: IO error for operation on src: No such file or directory (os error 2)");
  EXPECT_EQ(files("", {"py"}).error(),
            "io: : IO error for operation on : No such file or directory (os error 2)");
  EXPECT_EQ(files("-", {"py"}), Paths{});
}

TEST_F(WalkFilesTest, BadIgnoreLinesFailOnlyAboveTheRoot) {
  tree.write("w/src/.ignore", "src/{a\nskip.py\n");
  tree.write("w/src/skip.py");
  tree.write("w/src/keep.py");
  EXPECT_EQ(files("src", {"py"}), (Paths{"src/keep.py"}));
  EXPECT_EQ(files("src/..", {"py"}), (Paths{"src/../src/keep.py"}));
  tree.write("w/src/sub/x.py");
  const std::string parent = tree.path("w/src");
  EXPECT_EQ(files("src/sub", {"py"}).error(),
            "io: " + parent + "/.ignore: line 1: error parsing glob 'src/{a': unclosed alternate "
            "group; missing '}' (maybe escape '{' with '[{]'?)");
}

// Runs `walk` as an unprivileged user when the tests run as root, whom
// permissions do not bind; returns its error text, or nullopt when no such
// user can be had.
std::optional<std::string> unprivileged(const std::function<std::string()>& walk) {
  if (::geteuid() != 0) return walk();
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) return std::nullopt;
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    std::string text = "\x01";  // could not drop privileges
    if (::setgid(65534) == 0 && ::setuid(65534) == 0) text = walk();
    (void)!::write(pipe_ends[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(pipe_ends[0]);
  ::waitpid(child, nullptr, 0);
  if (text == "\x01") return std::nullopt;
  return text;
}

// A listing can name a regular file whose status cannot be taken; such a
// file is not selected, and the run goes on.
TEST_F(WalkFilesTest, FilesWhoseStatusCannotBeTakenAreLeftOut) {
  tree.write("w/a.py");
  // A file in a directory whose path is just within the system's limit,
  // with a name that takes its own path beyond it.
  const std::string name(250, 'n');
  tree.mkdir_chain("w", name, 16);
  int fd = ::open(tree.path("w").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < 16 && fd >= 0; ++level) {
    const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = child;
  }
  ASSERT_GE(fd, 0);
  const int file = ::openat(fd, (std::string(100, 'f') + ".py").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ::close(fd);
  ASSERT_GE(file, 0);
  ::close(file);
  EXPECT_EQ(files(".", {"py"}), Paths{"./a.py"});
  tree.remove("w/" + name);
  // A file in a directory that can be read but not searched.
  tree.write("w/blind/b.py");
  ASSERT_EQ(::chmod(tree.root().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(tree.path("w/blind").c_str(), 0444), 0);
  const std::string root = tree.path("w");
  const auto text = unprivileged([&] {
    auto paths = walk_files(root, std::vector<std::string_view>{"py"}, Config{});
    if (!paths) return paths.error().text();
    std::string listed;
    for (const std::string_view path : *paths) listed.append(path).push_back(';');
    return listed;
  });
  ASSERT_EQ(::chmod(tree.path("w/blind").c_str(), 0755), 0);
  if (!text) GTEST_SKIP() << "running as root and cannot become an unprivileged user";
  EXPECT_EQ(*text, root + "/a.py;");
}

TEST_F(WalkFilesTest, AnUnreadableDirectoryFailsTheRun) {
  tree.write("w/open/a.py");
  tree.write("w/locked/b.py");
  ASSERT_EQ(::chmod(tree.root().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(tree.path("w/locked").c_str(), 0), 0);
  const std::string root = tree.path("w");
  const auto text = unprivileged([&] {
    auto paths = walk_files(root, std::vector<std::string_view>{"py"}, Config{});
    return paths ? std::string("no error") : paths.error().text();
  });
  ASSERT_EQ(::chmod(tree.path("w/locked").c_str(), 0755), 0);
  if (!text) GTEST_SKIP() << "running as root and cannot become an unprivileged user";
  const std::string locked = root + "/locked";
  EXPECT_EQ(*text, "io: " + locked + ": IO error for operation on " + locked +
                       ": Permission denied (os error 13)");
  // A directory the rules skip is never listed.
  ASSERT_EQ(::chmod(tree.path("w/locked").c_str(), 0), 0);
  const auto skipped = unprivileged([&] {
    Config config;
    config.general.exclude = {"locked"};
    auto paths = walk_files(root, std::vector<std::string_view>{"py"}, config);
    return paths && paths->size() == 1 ? std::string("ok") : std::string("failed");
  });
  ASSERT_EQ(::chmod(tree.path("w/locked").c_str(), 0755), 0);
  EXPECT_EQ(skipped, "ok");
}

}  // namespace
}  // namespace vorn_core
