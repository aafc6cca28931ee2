#include "core/discovery.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/extension.h"
#include "walk/walker.h"

namespace vorn_core {
namespace {

bool is_selected(std::string_view name, std::span<const std::string_view> extensions) {
  const std::optional<std::string_view> extension = file_extension(name);
  return extension && std::ranges::find(extensions, *extension) != extensions.end();
}

// Whether each of `paths` names a regular file after following links (a
// status call that fails says no). The calls wait until the walk is over:
// made as the walk goes they would hold it up, made here they run on every
// core.
std::vector<std::uint8_t> regular_files(const PathList& paths, vorn_base::Pool& pool) {
  std::vector<std::uint8_t> regular(paths.size());
  // Each thread's path, with the NUL the system call needs.
  pool.parallel_for_with<std::string>(paths.size(), [&](std::string& path, std::size_t i) {
    path.assign(paths[i]);
    struct stat st;
    regular[i] = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  });
  return regular;
}

std::unexpected<EngineError> io_failure(std::string text) {
  return std::unexpected(EngineError::io(IoError::message(std::move(text))));
}

}  // namespace

std::expected<PathList, EngineError> walk_files(
    std::string_view root, std::span<const std::string_view> extensions, const Config& config,
    vorn_base::Pool& pool) {
  auto walker = vorn_walk::Walker::create(
      std::string(root),
      {.follow_links = config.general.follow_links, .exclude = config.general.exclude}, pool);
  if (!walker) return io_failure(std::move(walker.error().text));
  PathList paths;
  while (auto item = walker->next()) {
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
  paths.keep_only(regular_files(paths, pool));
  paths.sort();
  return paths;
}

}  // namespace vorn_core
