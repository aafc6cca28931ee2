#include "base/file.h"

#include <unistd.h>

#include <cerrno>

namespace vorn_base {

void FileDescriptor::close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::expected<std::size_t, int> read_fully(int fd, std::span<char> into) {
  std::size_t filled = 0;
  while (filled < into.size()) {
    const ssize_t got = ::read(fd, into.data() + filled, into.size() - filled);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      return std::unexpected(errno);
    }
  }
  return filled;
}

}  // namespace vorn_base
