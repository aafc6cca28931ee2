#include "core/path_list.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace vorn_core {
namespace {

// Where `left` and `right` first differ, or the length of the shorter.
// Paths of one walk share long beginnings: compare eight bytes at a time.
std::size_t first_difference(std::string_view left, std::string_view right) {
  const std::size_t length = std::min(left.size(), right.size());
  std::size_t at = 0;
  for (; at + 8 <= length; at += 8) {
    std::uint64_t l, r;
    std::memcpy(&l, left.data() + at, 8);
    std::memcpy(&r, right.data() + at, 8);
    if (l != r) {
      if constexpr (std::endian::native == std::endian::little) {
        return at + static_cast<std::size_t>(std::countr_zero(l ^ r)) / 8;
      }
      break;
    }
  }
  while (at < length && left[at] == right[at]) ++at;
  return at;
}

}  // namespace

void PathList::push_back(std::string_view path) {
  if (path.size() > UINT16_MAX) throw std::length_error("path longer than a PathList takes");
  // A full block takes nothing more, not even an empty path: its offset
  // would not fit in 16 bits.
  if (kBlockSize - used_ < path.size() || used_ == kBlockSize) {
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
    used_ = 0;
  }
  std::memcpy(blocks_.back().get() + used_, path.data(), path.size());
  refs_.push_back(Ref{static_cast<std::uint32_t>(blocks_.size() - 1),
                      static_cast<std::uint16_t>(used_), static_cast<std::uint16_t>(path.size())});
  used_ += path.size();
}

void PathList::keep_only(std::span<const std::uint8_t> keep) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < refs_.size(); ++i) {
    if (keep[i] != 0) refs_[kept++] = refs_[i];
  }
  refs_.resize(kept);
}

void PathList::sort() {
  const auto view = [this](Ref ref) {
    return std::string_view(blocks_[ref.block].get() + ref.offset, ref.length);
  };
  // The paths of one walk are its root followed by names that hold no "/"
  // and are neither "." nor "..", so they differ first after the shared
  // root, where the component order is the byte order with "/" below every
  // other byte: a name that ends first is shorter, and a path that ends
  // first is a prefix. No NUL can occur, so "/" counts as 0 and every other
  // byte as itself plus one. No two paths compare equal, so stability cannot
  // matter, and an in-place sort spares the buffer a stable one would take.
  const auto rank = [](char byte) {
    return byte == '/' ? 0u : static_cast<unsigned char>(byte) + 1u;
  };
  std::ranges::sort(refs_, [&](Ref left_ref, Ref right_ref) {
    const std::string_view left = view(left_ref), right = view(right_ref);
    const std::size_t at = first_difference(left, right);
    if (at == right.size()) return false;
    if (at == left.size()) return true;
    return rank(left[at]) < rank(right[at]);
  });
}

}  // namespace vorn_core
