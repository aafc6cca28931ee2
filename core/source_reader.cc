#include "core/source_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <expected>
#include <new>

#include <oneapi/tbb/scalable_allocator.h>

#include "base/file.h"

namespace vorn_core {

// The memory that files are read into: blocks that each worker
// fills one after the other, a block unmapped when the last file in it goes.
// Allocating per file would cost twice: glibc grows a worker thread's heap a
// page at a time, one mprotect each, which serialises every worker on the
// process's memory map lock; and the run's end would free each buffer on its
// own, which takes longer than unmapping a few blocks.
class SourceReader::Block {
 public:
  explicit Block(std::size_t size) : size_(size) {
    void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<char*>(data);
  }
  ~Block() { ::munmap(data_, size_); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  char* data_;
  std::size_t size_;
};

char* SourceReader::room_for(std::size_t size) {
  if (block_ == nullptr || block_->size() - taken_ < size) {
    block_ = std::make_shared<Block>(std::max(size, kBlockSize));
    taken_ = 0;
  }
  return block_->data() + taken_;
}

std::shared_ptr<const SourceFile> SourceReader::read(std::string_view path) {
  // open() refuses a name this long (ENAMETOOLONG) anyway.
  char name[PATH_MAX];
  if (path.size() >= sizeof name) return nullptr;
  name[path.copy(name, path.size())] = '\0';
  // Discovery selected a regular file; should the path have become a pipe
  // or a device since, opening must not wait for a writer, and reading it
  // might never end, so it counts as a file that cannot be read.
  const vorn_base::FileDescriptor file(::open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return nullptr;
  struct stat status;
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;

  // The path goes first, then the text; one byte more than fstat promises
  // lets an unchanged file meet its end without asking for more room.
  std::size_t room = path.size() + static_cast<std::size_t>(std::max<off_t>(status.st_size, 0)) + 1;
  char* data = room_for(room);
  std::size_t filled = path.copy(data, path.size());
  for (;;) {
    if (filled == room) {
      const std::shared_ptr<const void> old_block = block_;  // alive while copying
      char* const moved = room_for(room *= 2);
      if (moved != data) data = static_cast<char*>(std::memcpy(moved, data, filled));
    }
    const std::expected<std::size_t, int> got =
        vorn_base::read_fully(file.get(), {data + filled, room - filled});
    if (!got) return nullptr;
    filled += *got;
    if (filled < room) break;  // the end of the file
  }
  taken_ += filled;
  // The SourceFile itself comes from TBB's allocator, to spare the heap
  // growth that Block explains.
  return std::allocate_shared<const SourceFile>(
      tbb::scalable_allocator<SourceFile>(), std::string_view(data, path.size()),
      std::string_view(data + path.size(), filled - path.size()), block_);
}

}  // namespace vorn_core
