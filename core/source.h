// One source file as read by the parse stage, shared between the stage, its
// language front end and the parsed file.
//
//   auto source = std::make_shared<const SourceFile>("src/a.txt", "text\n");
//   const auto& starts = source->line_starts.get_or_init([&] { return lines_of(source->text); });
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace vorn_core {

// A value that is filled at most once, through a const reference, and then
// never changes. Safe for concurrent use by multiple threads: of several
// threads that ask to fill it at the same time one runs its function and the
// others wait for that value. When the function throws, the cell stays
// unfilled and the exception reaches that caller; a later call may try again.
//
// Not copyable or movable: threads may be waiting on it.
template <typename T>
class OnceCell {
 public:
  OnceCell() = default;
  OnceCell(const OnceCell&) = delete;
  OnceCell& operator=(const OnceCell&) = delete;

  // The value, or nullptr while the cell is unfilled. Never waits.
  const T* get() const { return filled_.load(std::memory_order_acquire) ? &*value_ : nullptr; }

  // The value, filling the cell with `make()` first if nobody has.
  template <typename Make>
  const T& get_or_init(Make&& make) const {
    std::call_once(once_, [&] {
      value_.emplace(std::forward<Make>(make)());
      filled_.store(true, std::memory_order_release);
    });
    return *value_;
  }

 private:
  // Filling through a const reference is the point of the cell; call_once
  // and the release store make the write visible to every reader.
  mutable std::once_flag once_;
  mutable std::optional<T> value_;
  mutable std::atomic<bool> filled_{false};
};

// A file's path and raw bytes. Made by the parse stage and always held
// through std::shared_ptr<const SourceFile>, never copied. Apart from
// `line_starts`, nothing changes after construction, so any number of threads
// may read it at once.
class SourceFile {
 public:
  // Copies `path` and `text` into memory of its own.
  SourceFile(std::string_view path, std::string_view text);

  // Views `path` and `text` where they lie, in memory that `storage` keeps
  // alive: the parse stage reads a file straight into the memory that then
  // holds it, shared with other files.
  SourceFile(std::string_view path, std::string_view text, std::shared_ptr<const void> storage)
      : path(path), text(text), storage_(std::move(storage)) {}

  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  // The path discovery produced: it begins with the root exactly as the
  // caller of the run wrote it.
  const std::string_view path;
  // The whole content as read: no decoding, no UTF-8 check, line ends and a
  // byte-order mark kept.
  const std::string_view text;
  // Offsets at which lines begin, for front ends and analyzers that want
  // them; unfilled at creation. The engine neither fills nor reads it.
  OnceCell<std::vector<std::uint32_t>> line_starts;

 private:
  SourceFile(const std::shared_ptr<const char[]>& bytes, std::size_t path_size,
             std::size_t text_size);

  std::shared_ptr<const void> storage_;
};

}  // namespace vorn_core
