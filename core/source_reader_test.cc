#include "core/source_reader.h"

#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "walk/test_tree.h"

namespace vorn_core {
namespace {

using vorn_walk::TestTree;

// "path: text" of what the reader made of `path`, or "path: unreadable".
std::string read_as_text(SourceReader& reader, const std::string& path) {
  const std::shared_ptr<const SourceFile> source = reader.read(path);
  if (source == nullptr) return path + ": unreadable";
  return std::string(source->path) + ": " + std::string(source->text);
}

// Files of sizes like a repository's, of random bytes, read one after the
// other into the memory they share, each kept: every byte comes unchanged,
// none disturbs another, in a shared block or in one of its own, and they
// outlive the reader.
TEST(SourceReader, FilesOfEverySizeKeepTheirOwnBytes) {
  TestTree tree;
  std::mt19937 random(5);
  std::vector<std::string> paths, texts;
  // Some 15 MB in shared blocks of 4 MiB, and files of their own from 256 KiB.
  for (int i = 0; i < 300; ++i) {
    const std::size_t size = i == 0         ? 0
                             : i % 100 == 99 ? 3'000'000 + random() % 2'000'000
                             : i % 10 == 9   ? 150'000 + random() % 200'000
                                             : random() % 50'000;
    std::string text(size, '\0');
    for (std::size_t at = 0; at < size; at += 4) {
      const std::uint32_t word = random();
      std::memcpy(text.data() + at, &word, std::min<std::size_t>(4, size - at));
    }
    paths.push_back(tree.path("f" + std::to_string(i) + ".x"));
    tree.write("f" + std::to_string(i) + ".x", text);
    texts.push_back(std::move(text));
  }
  std::vector<std::shared_ptr<const SourceFile>> sources;
  {
    SourceReader reader;
    for (const std::string& path : paths) sources.push_back(reader.read(path));
  }
  for (std::size_t i = 0; i < paths.size(); ++i) {
    ASSERT_NE(sources[i], nullptr) << paths[i];
    EXPECT_EQ(sources[i]->path, paths[i]);
    EXPECT_TRUE(sources[i]->text == texts[i]) << paths[i];
  }
}

// A shell that waits, with `args` after its own name on its command line,
// until the object goes.
class WaitingShell {
 public:
  explicit WaitingShell(const std::vector<std::string>& args) {
    int ends[2];
    vorn_walk::check_call(::pipe2(ends, O_CLOEXEC) == 0, "pipe2");
    input_ = ends[1];
    std::vector<char*> argv = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                               const_cast<char*>("read line")};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
    // glibc returns once the child has run the shell, so its command line is
    // the shell's from here on.
    const int spawned = ::posix_spawn(&pid_, "/bin/sh", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[0]);
    vorn_walk::check_call(spawned == 0, "posix_spawn");
  }
  ~WaitingShell() {
    ::close(input_);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = 0;
  int input_ = -1;
};

TEST(SourceReader, ReadsPastTheSizeThatStatReports) {
  // Files under /proc report the size 0 whatever they hold: a command line
  // of 5 MB outgrows the room it is first given, then the block it moves to,
  // twice.
  std::vector<std::string> args;
  std::string expected("sh\0-c\0read line\0", 16);
  for (int i = 0; i < 50; ++i) {
    args.emplace_back(100'000, static_cast<char>('a' + i % 26));
    expected.append(args.back()).push_back('\0');
  }
  // exec takes arguments up to a quarter of the stack limit, at most 6 MB.
  rlimit stack;
  vorn_walk::check_call(::getrlimit(RLIMIT_STACK, &stack) == 0, "getrlimit");
  rlimit raised = stack;
  raised.rlim_cur = std::min<rlim_t>(stack.rlim_max, rlim_t{32} << 20);
  vorn_walk::check_call(::setrlimit(RLIMIT_STACK, &raised) == 0, "setrlimit");
  const WaitingShell shell(args);
  ::setrlimit(RLIMIT_STACK, &stack);
  const std::string cmdline = "/proc/" + std::to_string(shell.pid()) + "/cmdline";
  SourceReader reader;
  EXPECT_TRUE(read_as_text(reader, cmdline) == cmdline + ": " + expected);
}

TEST(SourceReader, RefusesWhatIsNoLongerARegularFileWithoutWaiting) {
  // Discovery selects regular files only; one replaced by a pipe afterwards
  // would block a reader until some writer came.
  TestTree tree;
  const std::string fifo = tree.path("pipe.x");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string directory = tree.path("dir.x");
  ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0);
  const std::string too_long = tree.path(std::string(5000, 'n') + ".x");
  SourceReader reader;
  for (const std::string& path : {fifo, directory, too_long, tree.path("missing.x")}) {
    EXPECT_EQ(read_as_text(reader, path), path + ": unreadable");
  }
}

}  // namespace
}  // namespace vorn_core
