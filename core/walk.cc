#include "core/walk.h"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <stdexcept>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "base/text.h"
#include "walk/walker.h"

namespace vorn_core {
namespace {

bool is_selected(std::string_view name, std::span<const std::string_view> extensions) {
  const std::optional<std::string_view> extension = file_extension(name);
  return extension && std::ranges::find(extensions, *extension) != extensions.end();
}

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

// Whether each of `paths` names a regular file after following links (a
// status call that fails says no). The calls wait until the walk is over:
// made as the walk goes they would hold it up, made here they run on every
// core.
std::vector<std::uint8_t> regular_files(const PathList& paths) {
  std::vector<std::uint8_t> regular(paths.size());
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, paths.size()),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      std::string path;  // with the NUL the system call needs
                      for (std::size_t i = range.begin(); i != range.end(); ++i) {
                        path.assign(paths[i]);
                        struct stat st;
                        regular[i] = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
                      }
                    });
  return regular;
}

std::unexpected<EngineError> io_failure(std::string text) {
  return std::unexpected(EngineError::io(IoError::message(std::move(text))));
}

}  // namespace

std::optional<std::string_view> file_extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view extension = name.substr(dot + 1);
  if (!vorn_base::is_valid_utf8(extension)) return std::nullopt;
  return extension;
}

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

std::expected<PathList, EngineError> walk_files(
    std::string_view root, std::span<const std::string_view> extensions, const Config& config) {
  // The builder anchors the lines at the root less one leading "./".
  vorn_walk::MatcherBuilder builder(root, vorn_walk::UnclosedClass::error);
  for (const std::string& pattern : config.general.exclude) {
    if (auto added = builder.add_line("!" + pattern); !added) {
      return io_failure(added.error().text());
    }
  }
  auto exclusions = std::move(builder).build();
  if (!exclusions) return io_failure(std::move(exclusions.error()));

  vorn_walk::Walker walker(std::string(root), {.follow_links = config.general.follow_links,
                                               .exclusions = *std::move(exclusions)});
  PathList paths;
  while (auto item = walker.next()) {
    if (!*item) return io_failure(std::move(item->error().text));
    const vorn_walk::WalkEntry& entry = **item;
    // Only a regular file (after following links) passes. A listing that
    // says directory, pipe, socket or device settles that without a status
    // call; the extension, which needs none, is looked at before the call.
    if (entry.type != vorn_walk::FileType::file && entry.type != vorn_walk::FileType::symlink) {
      continue;
    }
    if (is_selected(entry.name, extensions)) paths.push_back(entry.path);
  }
  paths.keep_only(regular_files(paths));
  paths.sort();
  return paths;
}

}  // namespace vorn_core
