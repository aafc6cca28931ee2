// Reading the small files that the walk consults: ignore files, git metadata
// and git configuration. Only regular files are read (links followed); a
// pipe or a device is never waited on.
//
//   auto reader = LineReader::open(".gitignore");
//   if (!reader) return;  // missing, not a regular file, or unreadable
//   while (auto line = reader->next()) {
//     if (!*line) return;  // a read failed
//     if (!**line) break;  // the end
//     use(reader->number(), ***line);
//   }
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

namespace vorn_walk {

// Reads a regular file line by line, holding one chunk of it and the line
// being read, however long the file.
class LineReader {
 public:
  // The reader of the file at `path`; nullopt when it is missing, cannot be
  // opened or is not a regular file.
  static std::optional<LineReader> open(const std::string& path);

  // The next line, without its "\n" (and without a "\r" before it; the last
  // line of a file that does not end in "\n" keeps its bytes as they are);
  // nullopt after the last line. The view is valid until the next call.
  // A line longer than 16 MiB is passed over (it still counts in number()):
  // no pattern is anywhere near that long, and a large binary or a sparse
  // file of zeros named like an ignore file must not exhaust memory. Fails
  // with an error number when a read fails or memory does not suffice.
  std::expected<std::optional<std::string_view>, int> next();

  // The number of the line that next() returned last, counted from 1.
  std::size_t number() const { return number_; }

 private:
  explicit LineReader(vorn_base::FileDescriptor file);

  // Reads the next chunk; false at the end of the file.
  std::expected<bool, int> refill();

  vorn_base::FileDescriptor file_;
  std::unique_ptr<char[]> chunk_;
  std::size_t at_ = 0;      // the first byte of the chunk not yet returned
  std::size_t filled_ = 0;  // bytes of the chunk read
  bool at_end_ = false;     // the file holds nothing after the chunk
  std::string carried_;     // the beginning of a line that runs past a chunk
  std::size_t number_ = 0;
};

// The first line of the regular file at `path` (as LineReader::next gives
// it; empty for an empty file), read no further; nullopt when the file is
// missing, unreadable or not a regular file.
std::optional<std::string> read_first_line(const std::string& path);

// The whole content of the regular file at `path`, or nullopt when it is
// missing, unreadable, not a regular file or too large for memory.
std::optional<std::string> read_regular_file(const std::string& path);

}  // namespace vorn_walk
