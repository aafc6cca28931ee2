// Open file descriptors and the one loop that reads from them.
//
//   FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
//   if (!file) return errno;
//   char block[4096];
//   auto got = read_fully(file.get(), block);  // bytes read, or the errno
//
// Both may be used by any number of threads at once, each on its own
// descriptor.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <utility>

namespace vorn_base {

// Owns one open file descriptor (or none, as -1) and closes it with itself.
// Moving hands the descriptor over; the source is left holding none.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~FileDescriptor() { close(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  // A failed close loses nothing here: every descriptor is only read from.
  void close() noexcept;

  int fd_ = -1;
};

// Reads from `fd` into `into` until it is full or the file ends, resuming
// reads that a signal interrupted. Returns the number of bytes read, which is
// less than into.size() only when the file ended, or the error number of the
// read that failed (the bytes read before it are then lost to the caller).
std::expected<std::size_t, int> read_fully(int fd, std::span<char> into);

}  // namespace vorn_base
