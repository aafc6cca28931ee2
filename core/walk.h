// File discovery: the list of source files that a run will parse.
//
//   const std::string_view extensions[] = {"py", "pyi"};
//   auto paths = walk_files("./src", extensions, config);
//   if (!paths) return std::unexpected(paths.error());  // "io: ..."
//
// Runs on the calling thread, helped by the workers of its oneTBB arena (see
// vorn_walk::Walker), and shares nothing; any number of calls may run at once
// on different threads. Every worker task it starts has ended when it
// returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.h"
#include "core/error.h"

namespace vorn_core {

// An owned list of the paths of one walk, stored compactly (the list of a
// large tree is most of discovery's memory): the bytes of all paths in a few
// large blocks and 8 bytes per path. Elements are read as std::string_view,
// valid while the list lives; the list may be moved but not copied. Reading
// from several threads at once is safe.
class PathList {
 public:
  class iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using reference = std::string_view;
    using pointer = void;

    iterator() = default;
    std::string_view operator*() const { return (*list_)[index_]; }
    iterator& operator++() {
      ++index_;
      return *this;
    }
    iterator operator++(int) {
      iterator before = *this;
      ++index_;
      return before;
    }
    friend bool operator==(const iterator&, const iterator&) = default;

   private:
    friend class PathList;
    iterator(const PathList* list, std::size_t index) : list_(list), index_(index) {}

    const PathList* list_ = nullptr;
    std::size_t index_ = 0;
  };

  PathList() = default;
  PathList(PathList&&) noexcept = default;
  PathList& operator=(PathList&&) noexcept = default;

  std::size_t size() const { return refs_.size(); }
  bool empty() const { return refs_.empty(); }
  std::string_view operator[](std::size_t index) const {
    const Ref ref = refs_[index];
    return {blocks_[ref.block].get() + ref.offset, ref.length};
  }
  iterator begin() const { return {this, 0}; }
  iterator end() const { return {this, refs_.size()}; }

  // Appends a copy of `path`, which must be shorter than 64 KiB (every path
  // that passed a status call is); a longer one throws std::length_error.
  void push_back(std::string_view path);
  // Keeps the paths whose flag in `keep` (one per path, in order) is not 0,
  // in their order, and drops the others.
  void keep_only(std::span<const std::uint8_t> keep);
  // Orders the paths by compare_components. They must be paths of one walk:
  // one root, then names without "/" that are neither "." nor "..".
  void sort();

 private:
  static constexpr std::size_t kBlockSize = 64 * 1024;
  struct Ref {
    std::uint32_t block;
    std::uint16_t offset;
    std::uint16_t length;
  };

  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = kBlockSize;  // bytes taken in the last block
  // A deque grows without copying, so a long list never holds its index
  // twice while growing.
  std::deque<Ref> refs_;
};

// The regular files (links to them included) below `root` whose extension is
// one of `extensions`, found by the gitignore-aware walk of vorn_walk::Walker
// and sorted by the path order (compare_components; no two paths of one walk
// compare equal, so the order is total).
//
// `root` is used exactly as written: every path begins with it, followed by
// the names below it joined with "/" (none is added after a root that ends
// in "/"); a root that is itself a selected file comes back unchanged. A root
// "-" gives an empty list.
//
// A file is selected when its file_extension is present and equals an entry
// of `extensions` byte for byte. An empty `extensions` selects nothing, but
// the walk still runs to its end and can still fail.
//
// Of `config`, only `general.exclude` and `general.follow_links` are read.
// Each exclude pattern p becomes the exclusion line "!p", matched relative to
// `root` less one leading "./"; a matching entry is skipped (a directory with
// all it holds) whatever the ignore files say.
//
// Fails with the I/O EngineError made from the message, whose text is "io: "
// and then:
//   "error parsing glob '!{pattern}': {reason}" for the first exclude pattern
//       that does not compile (an unclosed "[" included);
//   the first error the walk reports (a root that cannot be examined, a
//       directory that cannot be listed, with `follow_links` a link that
//       cannot be followed or leads back to a directory containing it, or a
//       bad line in an ignore file of one of the root's ancestors).
// Errors in ignore files inside the walked tree are dropped.
std::expected<PathList, EngineError> walk_files(
    std::string_view root, std::span<const std::string_view> extensions, const Config& config);

// The extension of the file named `name` (a path's final component) that
// discovery selects by, and languages are chosen by: the text after the last
// ".", unless that dot begins the name ("Makefile" and ".bashrc" have none,
// "notes." has the empty one). nullopt when there is none or it is not valid
// UTF-8. The view points into `name`.
std::optional<std::string_view> file_extension(std::string_view name);

}  // namespace vorn_core
