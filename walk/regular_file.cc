#include "walk/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <new>
#include <stdexcept>
#include <utility>

namespace vorn_walk {
namespace {

constexpr std::size_t kChunkSize = 64 * 1024;
constexpr std::size_t kLongestLine = std::size_t{16} << 20;

// The regular file at `path` opened for reading, none when it is passed
// over, or the error. O_NONBLOCK and the second status guard the moment
// between the two calls: should the file have been replaced by a pipe, its
// open must not wait for a writer, and what was opened is not read.
std::expected<vorn_base::FileDescriptor, WalkError> open_regular(const std::string& path) {
  struct stat before;
  if (::stat(path.c_str(), &before) != 0) {
    if (passed_over(errno)) return vorn_base::FileDescriptor();
    return std::unexpected(io_error(path, errno));
  }
  if (!S_ISREG(before.st_mode)) return vorn_base::FileDescriptor();
  vorn_base::FileDescriptor file(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file) {
    if (passed_over(errno)) return vorn_base::FileDescriptor();
    return std::unexpected(io_error(path, errno));
  }
  struct stat after;
  if (::fstat(file.get(), &after) != 0) return std::unexpected(io_error(path, errno));
  if (!S_ISREG(after.st_mode) || after.st_dev != before.st_dev || after.st_ino != before.st_ino) {
    return vorn_base::FileDescriptor();
  }
  return file;
}

// Appends `more` to `text`; the error when memory does not suffice.
std::expected<void, WalkError> append(std::string& text, std::string_view more,
                                      const std::string& path) {
  try {
    text.append(more);
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(io_error(path, ENOMEM));
  } catch (const std::length_error&) {
    return std::unexpected(io_error(path, ENOMEM));
  }
}

}  // namespace

bool passed_over(int code) {
  return code == ENOENT || code == ENOTDIR || code == ELOOP || code == EACCES || code == EPERM;
}

LineReader::LineReader(std::string path, vorn_base::FileDescriptor file)
    : path_(std::move(path)),
      file_(std::move(file)),
      chunk_(std::make_unique_for_overwrite<char[]>(kChunkSize)) {}

std::expected<std::optional<LineReader>, WalkError> LineReader::open(std::string path) {
  std::expected<vorn_base::FileDescriptor, WalkError> file = open_regular(path);
  if (!file) return std::unexpected(std::move(file.error()));
  if (!*file) return std::nullopt;
  return LineReader(std::move(path), *std::move(file));
}

std::expected<bool, WalkError> LineReader::refill() {
  if (at_end_) return false;
  const std::expected<std::size_t, int> n =
      vorn_base::read_fully(file_.get(), {chunk_.get(), kChunkSize});
  if (!n) return std::unexpected(io_error(path_, n.error()));
  at_ = 0;
  filled_ = *n;
  at_end_ = *n < kChunkSize;
  return true;
}

std::expected<std::optional<std::string_view>, WalkError> LineReader::next() {
  carried_.clear();
  bool passing_over = false;  // a line too long to hold
  for (;;) {
    const std::string_view rest(chunk_.get() + at_, filled_ - at_);
    if (const std::size_t end = rest.find('\n'); end != std::string_view::npos) {
      std::string_view line = rest.substr(0, end);
      at_ += end + 1;
      if (passing_over) {
        ++number_;
        passing_over = false;
        continue;
      }
      if (!carried_.empty()) {
        if (auto appended = append(carried_, line, path_); !appended) {
          return std::unexpected(std::move(appended.error()));
        }
        line = carried_;
      }
      if (line.ends_with('\r')) line.remove_suffix(1);
      ++number_;
      return line;
    }
    if (carried_.size() + rest.size() > kLongestLine) {
      passing_over = true;
      carried_.clear();
    }
    if (!passing_over) {
      if (auto appended = append(carried_, rest, path_); !appended) {
        return std::unexpected(std::move(appended.error()));
      }
    }
    at_ = filled_;
    const std::expected<bool, WalkError> more = refill();
    if (!more) return std::unexpected(more.error());
    if (!*more) {
      if (passing_over) ++number_;
      if (carried_.empty()) return std::nullopt;
      ++number_;
      return std::string_view(carried_);
    }
  }
}

std::expected<std::optional<std::string>, WalkError> read_first_line(const std::string& path) {
  auto reader = LineReader::open(path);
  if (!reader) return std::unexpected(std::move(reader.error()));
  if (!*reader) return std::nullopt;
  const auto line = (*reader)->next();
  if (!line) return std::unexpected(line.error());
  return std::string(line->value_or(std::string_view()));
}

std::expected<std::optional<std::string>, WalkError> read_regular_file(const std::string& path) {
  std::expected<vorn_base::FileDescriptor, WalkError> file = open_regular(path);
  if (!file) return std::unexpected(std::move(file.error()));
  if (!*file) return std::nullopt;
  // The chunk is not on the stack: the caller's thread may have a small one.
  const auto chunk = std::make_unique_for_overwrite<char[]>(kChunkSize);
  std::string data;
  for (;;) {
    const std::expected<std::size_t, int> n =
        vorn_base::read_fully(file->get(), {chunk.get(), kChunkSize});
    if (!n) return std::unexpected(io_error(path, n.error()));
    if (auto appended = append(data, {chunk.get(), *n}, path); !appended) {
      return std::unexpected(std::move(appended.error()));
    }
    if (*n < kChunkSize) return data;
  }
}

}  // namespace vorn_walk
