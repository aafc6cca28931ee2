// The list of paths that discovery returns and the parse stage reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iterator>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

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

}  // namespace vorn_core
