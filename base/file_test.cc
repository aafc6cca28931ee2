#include "base/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace vorn_base {
namespace {

// A pipe holding `text`, its writing end closed so that reading meets the end.
FileDescriptor pipe_holding(const std::string& text) {
  int ends[2];
  EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  EXPECT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(ends[1]);
  return FileDescriptor(ends[0]);
}

TEST(FileDescriptor, ClosesWithItsLastOwner) {
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  const FileDescriptor writer(ends[1]);
  {
    FileDescriptor reader(ends[0]);
    FileDescriptor moved = std::move(reader);
    EXPECT_FALSE(reader);
    EXPECT_TRUE(moved);
    reader = std::move(moved);  // the descriptor survives a move back
    EXPECT_NE(::fcntl(ends[0], F_GETFD), -1);
  }
  EXPECT_EQ(::fcntl(ends[0], F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(ReadFully, FillsTheBufferAndStopsShortOnlyAtTheEnd) {
  const FileDescriptor file = pipe_holding("abcdef");
  char block[4];
  EXPECT_EQ(read_fully(file.get(), block), 4u);
  EXPECT_EQ(std::string(block, 4), "abcd");
  EXPECT_EQ(read_fully(file.get(), block), 2u);
  EXPECT_EQ(std::string(block, 2), "ef");
  EXPECT_EQ(read_fully(file.get(), block), 0u);
}

TEST(ReadFully, ReportsTheErrorNumberOfAFailedRead) {
  char block[4];
  EXPECT_EQ(read_fully(-1, block), std::unexpected(EBADF));
}

}  // namespace
}  // namespace vorn_base
