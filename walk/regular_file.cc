#include "walk/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <stdexcept>
#include <utility>

namespace vorn_walk {
namespace {

constexpr std::size_t kChunkSize = 64 * 1024;
constexpr std::size_t kLongestLine = std::size_t{16} << 20;

// A regular file opened for reading (none when it is passed over), and how
// many bytes to read it by: its size and one more, so that most files are
// read whole and their end met at once, but no more than kChunkSize.
struct Opened {
  vorn_base::FileDescriptor file;
  std::size_t chunk = 0;
};

// Opens the file at `path` if it is a regular one. O_NONBLOCK and the second
// status guard the moment between the two calls: should the file have been
// replaced by a pipe, its open must not wait for a writer, and what was
// opened is not read.
std::expected<Opened, WalkError> open_regular(const std::string& path) {
  struct stat before;
  if (::stat(path.c_str(), &before) != 0) {
    if (passed_over(errno)) return Opened{};
    return std::unexpected(io_error(path, errno));
  }
  if (!S_ISREG(before.st_mode)) return Opened{};
  vorn_base::FileDescriptor file(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!file) {
    if (passed_over(errno)) return Opened{};
    return std::unexpected(io_error(path, errno));
  }
  struct stat after;
  if (::fstat(file.get(), &after) != 0) return std::unexpected(io_error(path, errno));
  if (!S_ISREG(after.st_mode) || after.st_dev != before.st_dev || after.st_ino != before.st_ino) {
    return Opened{};
  }
  const auto size = static_cast<std::size_t>(std::max<off_t>(after.st_size, 0));
  return Opened{std::move(file), std::min(size, kChunkSize - 1) + 1};
}

// Runs `grow`, which enlarges a text read from the file at `path`; the
// error when memory does not suffice.
template <typename Grow>
std::expected<void, WalkError> within_memory(const std::string& path, Grow grow) {
  try {
    grow();
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

LineReader::LineReader(std::string path, vorn_base::FileDescriptor file, std::size_t chunk)
    : path_(std::move(path)),
      file_(std::move(file)),
      chunk_size_(chunk),
      chunk_(std::make_unique_for_overwrite<char[]>(chunk)) {}

std::expected<std::optional<LineReader>, WalkError> LineReader::open(std::string path) {
  std::expected<Opened, WalkError> opened = open_regular(path);
  if (!opened) return std::unexpected(std::move(opened.error()));
  if (!opened->file) return std::nullopt;
  return LineReader(std::move(path), std::move(opened->file), opened->chunk);
}

std::expected<bool, WalkError> LineReader::refill() {
  if (at_end_) return false;
  const std::expected<std::size_t, int> n =
      vorn_base::read_fully(file_.get(), {chunk_.get(), chunk_size_});
  if (!n) return std::unexpected(io_error(path_, n.error()));
  at_ = 0;
  filled_ = *n;
  at_end_ = *n < chunk_size_;
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
        if (auto grown = within_memory(path_, [&] { carried_.append(line); }); !grown) {
          return std::unexpected(std::move(grown.error()));
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
      if (auto grown = within_memory(path_, [&] { carried_.append(rest); }); !grown) {
        return std::unexpected(std::move(grown.error()));
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
  std::expected<Opened, WalkError> opened = open_regular(path);
  if (!opened) return std::unexpected(std::move(opened.error()));
  if (!opened->file) return std::nullopt;
  // Read straight into the text, which is on the heap: the caller's thread
  // may have a small stack.
  std::string data;
  for (;;) {
    const std::size_t at = data.size();
    if (auto grown = within_memory(path, [&] { data.resize(at + opened->chunk); }); !grown) {
      return std::unexpected(std::move(grown.error()));
    }
    const std::expected<std::size_t, int> n =
        vorn_base::read_fully(opened->file.get(), {data.data() + at, opened->chunk});
    if (!n) return std::unexpected(io_error(path, n.error()));
    data.resize(at + *n);
    if (*n < opened->chunk) return data;
  }
}

}  // namespace vorn_walk
