#include "core/walk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "core/path.h"
#include "walk/text.h"
#include "walk/walker.h"

namespace vorn_core {
namespace {

std::optional<std::string_view> extension_of(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  return name.substr(dot + 1);
}

bool is_selected(std::string_view name, std::span<const std::string_view> extensions) {
  const std::optional<std::string_view> extension = extension_of(name);
  if (!extension || !vorn_walk::is_valid_utf8(*extension)) return false;
  return std::ranges::any_of(extensions, [&](std::string_view wanted) {
    return wanted.size() == extension->size() && wanted == *extension;
  });
}

std::unexpected<EngineError> io_failure(std::string text) {
  return std::unexpected(EngineError::io(IoError::message(std::move(text))));
}

}  // namespace

void PathList::push_back(std::string_view path) {
  if (path.size() > UINT16_MAX) throw std::length_error("path longer than a PathList takes");
  if (kBlockSize - used_ < path.size() || used_ == kBlockSize) {
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlockSize));
    used_ = 0;
  }
  std::memcpy(blocks_.back().get() + used_, path.data(), path.size());
  refs_.push_back(Ref{static_cast<std::uint32_t>(blocks_.size() - 1),
                      static_cast<std::uint16_t>(used_), static_cast<std::uint16_t>(path.size())});
  used_ += path.size();
}

void PathList::sort() {
  // Stability cannot matter: the paths of one walk are distinct sequences of
  // names below one root, so no two of them compare equal, and an in-place
  // sort spares the buffer that a stable sort of a large list would take.
  const auto view = [this](Ref ref) {
    return std::string_view(blocks_[ref.block].get() + ref.offset, ref.length);
  };
  std::ranges::sort(refs_, [&](Ref left, Ref right) {
    return compare_components(view(left), view(right)) < 0;
  });
}

std::expected<PathList, EngineError> walk_files(
    std::string_view root, std::span<const std::string_view> extensions, const Config& config) {
  std::string_view override_root = root;
  if (override_root.starts_with("./")) override_root.remove_prefix(2);
  vorn_walk::MatcherBuilder builder(override_root, vorn_walk::UnclosedClass::error);
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
    if (!is_selected(entry.name, extensions)) continue;
    struct stat st;
    if (::stat(entry.path.data(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    paths.push_back(entry.path);
  }
  paths.sort();
  return paths;
}

}  // namespace vorn_core
