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
  SourceReader() = default;
  // What its files do not use of the memory it took for them goes back.
  ~SourceReader();
  SourceReader(const SourceReader&) = delete;
  SourceReader& operator=(const SourceReader&) = delete;

  // The file at `path` (a link followed), read whole, or null when it cannot
  // be read for any reason: it cannot be opened, is no longer a regular
  // file, a read fails, or there is no memory to hold it (a file larger than
  // the memory the process may have, or one that keeps growing while it is
  // read until there is none). The size from fstat is only a first guess
  // (the file may change), so reading goes on until the end of the file.
  std::shared_ptr<const SourceFile> read(std::string_view path);

 private:
  class Block;
  // Files up to kSharedUpTo bytes (with their path) share blocks of
  // kSharedBlockSize; a larger one gets a block of its own, so that it never
  // leaves the rest of a shared block unused.
  static constexpr std::size_t kSharedBlockSize = std::size_t{4} << 20;
  static constexpr std::size_t kSharedUpTo = std::size_t{256} << 10;

  template <typename T>
  class InSharedBlock;
  // Room in the shared block for a SourceFile with its reference counts.
  static constexpr std::size_t kObjectRoom = 256;

  // `read`, failing with std::bad_alloc when memory runs out.
  std::shared_ptr<const SourceFile> read_whole(std::string_view path);
  // At least `size` bytes of room between the texts and the objects taken
  // from the shared block, in a new one when it has not as much left; null
  // when no block can be had.
  char* shared_room(std::size_t size);
  // Gives back what no text or object of the shared block will use.
  void leave_shared();

  std::shared_ptr<Block> shared_;
  // Texts are taken from the shared block's start, objects from its end.
  std::size_t taken_ = 0;
  std::size_t objects_ = 0;  // a multiple of 16
};

}  // namespace vorn_core
