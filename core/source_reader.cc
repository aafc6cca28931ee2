#include "core/source_reader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <expected>
#include <limits>
#include <new>

#include "base/file.h"

namespace vorn_core {

// Memory for file texts, mapped from the kernel: shared blocks that each
// reader fills one file after the other (each SourceFile object beside its
// text), and blocks of their own for large files. A block is unmapped when
// the last file in it goes.
//
// Allocating per file would cost twice: glibc grows a worker thread's heap a
// page at a time, one mprotect each, which serialises every worker on the
// process's memory map lock; and the run's end would free each buffer on its
// own. Blocks ask for transparent huge pages: a run reads its whole input
// into fresh memory, and with small pages every 4 KiB of it costs a page
// fault on the way in and a page to free on the way out, which together took
// more time than reading.
class SourceReader::Block {
 public:
  // A block of at least `size` bytes, made of whole huge pages and starting
  // at a huge page boundary (huge pages back only whole, aligned stretches
  // of a mapping); null when the kernel gives no such mapping.
  static std::shared_ptr<Block> make(std::size_t size) {
    if (size > std::numeric_limits<std::size_t>::max() - 2 * kHugePage) return nullptr;
    size = round_up(size, kHugePage);
    // One huge page more than needed, so that the block can begin at a
    // boundary; the ends around it are given back at once.
    const std::size_t mapped = size + kHugePage;
    void* got = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (got == MAP_FAILED) return nullptr;
    char* const start = static_cast<char*>(got);
    char* const data = start + (round_up(reinterpret_cast<std::uintptr_t>(start), kHugePage) -
                                reinterpret_cast<std::uintptr_t>(start));
    if (data != start) ::munmap(start, static_cast<std::size_t>(data - start));
    if (start + mapped != data + size) {
      ::munmap(data + size, static_cast<std::size_t>(start + mapped - (data + size)));
    }
    // Only advice: without huge pages the block works the same.
    ::madvise(data, size, MADV_HUGEPAGE);
    return std::make_shared<Block>(data, size);
  }

  Block(char* data, std::size_t size) : data_(data), size_(size) {}
  ~Block() { ::munmap(data_, size_); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;

  // Grows the block to at least `size` bytes (whole huge pages), moving it,
  // its bytes with it, when it cannot grow in place; false, the block
  // unchanged, when it cannot grow.
  bool grow(std::size_t size) {
    if (size > std::numeric_limits<std::size_t>::max() - kHugePage) return false;
    size = round_up(size, kHugePage);
    void* data = ::mremap(data_, size_, size, MREMAP_MAYMOVE);
    if (data == MAP_FAILED) return false;
    data_ = static_cast<char*>(data);
    size_ = size;
    return true;
  }

  // Gives back the pages after the first `used` bytes. A huge page that
  // they cut is split, and what lies beyond the cut is freed.
  void trim(std::size_t used) {
    const std::size_t kept = round_up(used, kPage);
    if (kept >= size_) return;
    if (::munmap(data_ + kept, size_ - kept) == 0) size_ = kept;
  }

  // Gives back the whole pages between `from` and `to`, which nothing uses
  // or will use, though a huge page around them may have been touched.
  void give_back(std::size_t from, std::size_t to) {
    from = round_up(from, kPage);
    to = to / kPage * kPage;
    if (from < to) ::munmap(data_ + from, to - from);
  }

  char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kPage = 4096;
  static constexpr std::size_t kHugePage = std::size_t{2} << 20;

  static std::size_t round_up(std::size_t size, std::size_t unit) {
    return (size + unit - 1) / unit * unit;
  }

  char* data_;
  std::size_t size_;
};

// Hands out room for the one object that std::allocate_shared makes with it
// (a SourceFile and its reference counts) at the end of the reader's shared
// block, which every copy holds: the object then costs no call of the heap,
// the objects of a block lie together, and nothing is freed on its own at the
// end. The shared pointer destroys the object while a copy of this allocator
// is still alive, so the block outlives it.
template <typename T>
class SourceReader::InSharedBlock {
 public:
  using value_type = T;

  // The shared block must have kObjectRoom bytes of room.
  explicit InSharedBlock(SourceReader& reader) : reader_(&reader), block_(reader.shared_) {}
  template <typename U>
  InSharedBlock(const InSharedBlock<U>& other) : reader_(other.reader_), block_(other.block_) {}

  T* allocate(std::size_t count) {
    static_assert(sizeof(T) <= kObjectRoom && alignof(T) <= 16);
    if (count != 1) throw std::bad_alloc();
    reader_->objects_ += (sizeof(T) + 15) / 16 * 16;
    return reinterpret_cast<T*>(block_->data() + block_->size() - reader_->objects_);
  }
  // The room goes with the block.
  void deallocate(T*, std::size_t) noexcept {}

  template <typename U>
  bool operator==(const InSharedBlock<U>& other) const {
    return block_ == other.block_;
  }

 private:
  template <typename>
  friend class InSharedBlock;

  SourceReader* reader_;  // used by allocate() only, while the reader reads
  std::shared_ptr<Block> block_;
};

SourceReader::~SourceReader() { leave_shared(); }

void SourceReader::leave_shared() {
  // With the objects at its end, a block has its last huge page in memory
  // from its first file on: the room between texts and objects goes back.
  if (shared_ != nullptr) shared_->give_back(taken_, shared_->size() - objects_);
}

std::shared_ptr<const SourceFile> SourceReader::read(std::string_view path) {
  try {
    return read_whole(path);
  } catch (const std::bad_alloc&) {
    // Memory for the file or its SourceFile: a read that failed like any other.
    return nullptr;
  }
}

char* SourceReader::shared_room(std::size_t size) {
  if (shared_ == nullptr || shared_->size() - taken_ - objects_ < size) {
    leave_shared();
    shared_ = Block::make(kSharedBlockSize);
    taken_ = objects_ = 0;
    if (shared_ == nullptr) return nullptr;
  }
  return shared_->data() + taken_;
}

std::shared_ptr<const SourceFile> SourceReader::read_whole(std::string_view path) {
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
  const auto size = static_cast<std::size_t>(std::max<off_t>(status.st_size, 0));
  if (size > std::numeric_limits<std::size_t>::max() / 2 - path.size()) return nullptr;
  std::size_t room = path.size() + size + 1;
  // A file of its own block, or null while the file uses the shared one.
  std::shared_ptr<Block> own;
  char* data;
  if (room <= kSharedUpTo) {
    data = shared_room(room);
  } else if ((own = Block::make(room)) != nullptr) {
    data = own->data();
    room = own->size();
  } else {
    data = nullptr;
  }
  if (data == nullptr) return nullptr;

  std::size_t filled = path.copy(data, path.size());
  for (;;) {
    if (filled == room) {
      // The file has grown since fstat: it goes on in a block of its own,
      // at least twice as large, as often as it must, while there is memory.
      if (room > std::numeric_limits<std::size_t>::max() / 4) return nullptr;
      if (own != nullptr) {
        if (!own->grow(2 * room)) return nullptr;
      } else {
        own = Block::make(2 * room);
        if (own == nullptr) return nullptr;
        std::memcpy(own->data(), data, filled);
      }
      data = own->data();
      room = own->size();
    }
    const std::expected<std::size_t, int> got =
        vorn_base::read_fully(file.get(), {data + filled, room - filled});
    if (!got) return nullptr;
    filled += *got;
    if (filled < room) break;  // the end of the file
  }
  std::shared_ptr<const void> storage = own;
  if (own != nullptr) {
    own->trim(filled);
  } else {
    taken_ += filled;
    storage = shared_;
  }
  if (shared_room(kObjectRoom) == nullptr) return nullptr;
  // The object keeps its own block.
  if (storage == shared_) storage = nullptr;
  return std::allocate_shared<const SourceFile>(
      InSharedBlock<SourceFile>(*this), std::string_view(data, path.size()),
      std::string_view(data + path.size(), filled - path.size()), std::move(storage));
}

}  // namespace vorn_core
