// Reading files whole into SourceFiles, for the parse stage.
//
//   SourceReader reader;
//   if (auto source = reader.read("src/a.py")) parse(source);
//
// A reader is used by one thread at a time (the parse stage keeps one per
// worker); different readers may read at the same time. The SourceFiles it
// makes share its memory, which stays alive as long as any of them does, so
// they may outlive the reader and be used on any thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "core/source.h"

namespace vorn_core {

class SourceReader {
 public:
  // The file at `path` (a link followed), read whole, or null when it cannot
  // be read: it cannot be opened, is no longer a regular file, or a read
  // fails. The size from fstat is only a first guess (the file may change),
  // so reading goes on until the end of the file.
  std::shared_ptr<const SourceFile> read(std::string_view path);

 private:
  class Block;
  static constexpr std::size_t kBlockSize = std::size_t{4} << 20;

  // At least `size` bytes of room after what has been taken: in the current
  // block, or at the start of a new one (as large as needed).
  char* room_for(std::size_t size);

  std::shared_ptr<Block> block_;
  std::size_t taken_ = 0;
};

}  // namespace vorn_core
