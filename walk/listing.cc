#include "walk/listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/file.h"

namespace vorn_walk {
namespace {

// Most directories fit in one call (and one more sees the end).
constexpr std::size_t kBufferSize = 64 * 1024;

void add(const char* name, unsigned char type, Listing& listing) {
  const std::size_t length = std::strlen(name);
  if (name[0] == '.' && (length == 1 || (length == 2 && name[1] == '.'))) return;
  listing.entries.push_back(
      ListedName{listing.names.size(), static_cast<std::uint32_t>(length), type});
  listing.names.append(name, length);
}

}  // namespace

void add_separator(std::string& path) {
  if (!path.empty() && path.back() != '/') path.push_back('/');
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  add_separator(out);
  out.append(name);
  return out;
}

// The buffer is left unwritten: only the pages the system fills count in the
// process's memory, and most listings fill one.
DirectoryLister::DirectoryLister() : buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {}

int DirectoryLister::list(const char* path, Listing& listing, bool identify) {
  listing.entries.clear();
  listing.names.clear();
  const vorn_base::FileDescriptor directory(
      ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOCTTY));
  if (!directory) return errno;
  int error = 0;
  if (identify) {
    struct stat st;
    if (::fstat(directory.get(), &st) == 0) {
      listing.device = st.st_dev;
      listing.inode = st.st_ino;
    } else {
      error = errno;
    }
  }
  while (error == 0) {
    const ssize_t n = ::getdents64(directory.get(), buffer_.get(), kBufferSize);
    if (n == 0) break;
    if (n < 0) {
      if (errno != EINTR) error = errno;
      continue;
    }
    for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
      const char* record = buffer_.get() + at;
      unsigned short length;
      std::memcpy(&length, record + offsetof(dirent64, d_reclen), sizeof length);
      at += length;
      add(record + offsetof(dirent64, d_name),
          static_cast<unsigned char>(record[offsetof(dirent64, d_type)]), listing);
    }
  }
  if (error != 0) {
    listing.entries.clear();
    listing.names.clear();
  }
  return error;
}

}  // namespace vorn_walk
