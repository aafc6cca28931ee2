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

// The file at `path` opened for reading when it is a regular one (links
// followed), else none. O_NONBLOCK: opening a pipe must not wait for a writer.
vorn_base::FileDescriptor open_regular(const std::string& path) {
  vorn_base::FileDescriptor file(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  struct stat st;
  if (file && (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))) return {};
  return file;
}

// Appends `more` to `text`; false when memory does not suffice.
bool append_within_memory(std::string& text, std::string_view more) {
  try {
    text.append(more);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
}

}  // namespace

LineReader::LineReader(vorn_base::FileDescriptor file)
    : file_(std::move(file)), chunk_(std::make_unique_for_overwrite<char[]>(kChunkSize)) {}

std::optional<LineReader> LineReader::open(const std::string& path) {
  vorn_base::FileDescriptor file = open_regular(path);
  if (!file) return std::nullopt;
  return LineReader(std::move(file));
}

std::expected<bool, int> LineReader::refill() {
  if (at_end_) return false;
  const std::expected<std::size_t, int> n =
      vorn_base::read_fully(file_.get(), {chunk_.get(), kChunkSize});
  if (!n) return std::unexpected(n.error());
  at_ = 0;
  filled_ = *n;
  at_end_ = *n < kChunkSize;
  return true;
}

std::expected<std::optional<std::string_view>, int> LineReader::next() {
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
        if (!append_within_memory(carried_, line)) return std::unexpected(ENOMEM);
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
    if (!passing_over && !append_within_memory(carried_, rest)) return std::unexpected(ENOMEM);
    at_ = filled_;
    const std::expected<bool, int> more = refill();
    if (!more) return std::unexpected(more.error());
    if (!*more) {
      if (passing_over) ++number_;
      if (carried_.empty()) return std::nullopt;
      ++number_;
      return std::string_view(carried_);
    }
  }
}

std::optional<std::string> read_first_line(const std::string& path) {
  std::optional<LineReader> reader = LineReader::open(path);
  if (!reader) return std::nullopt;
  const auto line = reader->next();
  if (!line) return std::nullopt;
  return std::string(line->value_or(std::string_view()));
}

std::optional<std::string> read_regular_file(const std::string& path) {
  const vorn_base::FileDescriptor file = open_regular(path);
  if (!file) return std::nullopt;
  std::string data;
  char chunk[1 << 16];
  for (;;) {
    const std::expected<std::size_t, int> n = vorn_base::read_fully(file.get(), chunk);
    if (!n) return std::nullopt;
    if (!append_within_memory(data, {chunk, *n})) return std::nullopt;
    if (*n < sizeof chunk) return data;
  }
}

}  // namespace vorn_walk
