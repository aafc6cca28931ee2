// Reading the small files that the walk consults: ignore files, git metadata
// and git configuration.
//
//   auto reader = LineReader::open(".gitignore");
//   if (!reader) return fail(reader.error());  // the walk ends
//   if (!*reader) return;                      // passed over
//   for (;;) {
//     auto line = (*reader)->next();
//     if (!line) return fail(line.error());
//     if (!*line) break;  // the end
//     use((*reader)->number(), **line);
//   }
//
// A file is passed over when it is missing (a link that leads nowhere
// included), cannot be opened for lack of permission, or is not a regular
// file once links are followed. Its status is taken first, and only a regular
// file is ever opened: a pipe or a device is never touched. Anything else
// that goes wrong (running out of descriptors, of memory or of the system's
// file table, a read that fails) is an error that ends the walk, in its form
// "{path}: IO error for operation on {path}: {os error}": a file that cannot
// be read is never taken for an absent one.
//
// Any number of threads may read at once, each with its own reader.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/file.h"
#include "walk/walk_error.h"

namespace vorn_walk {

// Whether a status call or an open that failed with the error number `code`
// means that the file is passed over rather than that the walk fails.
bool passed_over(int code);

// Reads a regular file line by line, holding one chunk of it and the line
// being read, however long the file.
class LineReader {
 public:
  // The reader of the file at `path`, or nullopt when it is passed over.
  static std::expected<std::optional<LineReader>, WalkError> open(std::string path);

  // The next line, without its "\n" (and without a "\r" before it; the last
  // line of a file that does not end in "\n" keeps its bytes as they are);
  // nullopt after the last line. The view is valid until the next call.
  // A line longer than 16 MiB is passed over (it still counts in number()):
  // no pattern is anywhere near that long, and a large binary or a sparse
  // file of zeros named like an ignore file must not exhaust memory.
  std::expected<std::optional<std::string_view>, WalkError> next();

  // The number of the line that next() returned last, counted from 1.
  std::size_t number() const { return number_; }

 private:
  LineReader(std::string path, vorn_base::FileDescriptor file, std::size_t chunk);

  // Reads the next chunk; false at the end of the file.
  std::expected<bool, WalkError> refill();

  std::string path_;
  vorn_base::FileDescriptor file_;
  std::size_t chunk_size_;
  std::unique_ptr<char[]> chunk_;
  std::size_t at_ = 0;      // the first byte of the chunk not yet returned
  std::size_t filled_ = 0;  // bytes of the chunk read
  bool at_end_ = false;     // the file holds nothing after the chunk
  std::string carried_;     // the beginning of a line that runs past a chunk
  std::size_t number_ = 0;
};

// The first line of the regular file at `path` (as LineReader::next gives
// it; empty for an empty file), read no further; nullopt when the file is
// passed over.
std::expected<std::optional<std::string>, WalkError> read_first_line(const std::string& path);

// The whole content of the regular file at `path`; nullopt when it is passed
// over.
std::expected<std::optional<std::string>, WalkError> read_regular_file(const std::string& path);

}  // namespace vorn_walk
