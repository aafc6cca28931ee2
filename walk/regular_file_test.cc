#include "walk/regular_file.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "walk/test_tree.h"

namespace vorn_walk {
namespace {

TEST(FirstLine, ReadsOnlyTheFirstLine) {
  TestTree tree;
  tree.write("a", "gitdir: x\r\nrest\n");
  tree.write("b", "no newline");
  tree.write("c");
  EXPECT_EQ(read_first_line(tree.path("a")), "gitdir: x");
  EXPECT_EQ(read_first_line(tree.path("b")), "no newline");
  EXPECT_EQ(read_first_line(tree.path("c")), "");
  EXPECT_EQ(read_first_line(tree.path("missing")), std::nullopt);
}

TEST(RegularFile, APipeOrADeviceIsPassedOverWithoutBeingOpened) {
  TestTree tree;
  ASSERT_EQ(::mkfifo(tree.path("fifo").c_str(), 0644), 0);
  tree.link("fifo", "to-fifo");
  tree.link("/dev/null", "to-device");
  tree.link("nowhere", "to-missing");
  const vorn_base::FileDescriptor watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ASSERT_TRUE(watch);
  ASSERT_GE(::inotify_add_watch(watch.get(), tree.path("fifo").c_str(), IN_OPEN), 0);
  for (const char* name : {"fifo", "to-fifo", "to-device", "missing", "to-missing"}) {
    const std::string path = tree.path(name);
    EXPECT_EQ(LineReader::open(path)->has_value(), false) << name;
    EXPECT_EQ(read_first_line(path), std::nullopt) << name;
    EXPECT_EQ(read_regular_file(path), std::nullopt) << name;
  }
  char events[4096];
  EXPECT_EQ(::read(watch.get(), events, sizeof events), -1);
  // The watch does see an open.
  ::close(::open(tree.path("fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  EXPECT_GT(::read(watch.get(), events, sizeof events), 0);
}

TEST(RegularFile, RunningOutOfDescriptorsIsAnErrorNotAnAbsentFile) {
  TestTree tree;
  tree.write("present", "x\n");
  rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<vorn_base::FileDescriptor> taken;
  for (int fd; (fd = ::dup(0)) >= 0;) taken.emplace_back(fd);
  const std::string path = tree.path("present");
  const auto reader = LineReader::open(path);
  const auto line = read_first_line(path);
  const auto whole = read_regular_file(path);
  // A missing file needs no descriptor to be known missing.
  const auto missing = read_regular_file(tree.path("missing"));
  taken.clear();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
  const std::string text =
      path + ": IO error for operation on " + path + ": Too many open files (os error 24)";
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().text, text);
  ASSERT_FALSE(line);
  EXPECT_EQ(line.error().text, text);
  ASSERT_FALSE(whole);
  EXPECT_EQ(whole.error().text, text);
  EXPECT_EQ(missing, std::nullopt);
}

}  // namespace
}  // namespace vorn_walk
