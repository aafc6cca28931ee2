#include "walk/directory.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>
#include <utility>

namespace vorn_walk {
namespace {

// The loop error when the directory a followed link leads to (`target`) is
// `dir` or one of the directories that contain it, the nearest first.
std::optional<WalkError> find_loop(const DirectoryNode& dir, const struct stat& target,
                                   std::string_view link) {
  for (const DirectoryNode* node = &dir; node != nullptr; node = node->parent) {
    if (node->device == target.st_dev && node->inode == target.st_ino) {
      return loop_error(link, node->path);
    }
  }
  return std::nullopt;
}

}  // namespace

FileType type_of(mode_t mode) {
  if (S_ISREG(mode)) return FileType::file;
  if (S_ISDIR(mode)) return FileType::directory;
  if (S_ISLNK(mode)) return FileType::symlink;
  return FileType::other;
}

void DirectoryFiller::fill(DirectoryNode& node, DirectoryScratch& scratch) const {
  const int failure = scratch.lister.list(node.path.c_str(), scratch.listing, follow_links_);
  std::expected<RuleSet, WalkError> rules =
      load_rule_set(node.path, failure == 0 ? &scratch.listing : nullptr, node.ignore_errors);
  if (failure != 0) {
    node.enter_error = io_error(node.path, failure).text;
    return;
  }
  if (!rules) {
    node.enter_error = std::move(rules.error().text);
    return;
  }
  if (follow_links_) {
    node.device = scratch.listing.device;
    node.inode = scratch.listing.inode;
  }
  rules->prefix = node.depth == 0 ? 0 : node.path.size() + 1 - root_prefix_;
  const DirectoryNode* parent = node.parent;
  node.rules =
      chain(*std::move(rules), parent != nullptr ? parent->rules : rules_.ancestors.nearest);
  judge(node, scratch);
}

std::size_t DirectoryFiller::footprint(const DirectoryNode& node) const {
  const std::size_t per_child =
      sizeof(std::shared_ptr<DirectoryNode>) + sizeof(DirectoryNode) + 16 + node.path.size();
  return sizeof(DirectoryNode) + node.items.capacity() * sizeof(Item) + node.names.capacity() +
         node.children.size() * per_child;
}

// Turns the listing in `scratch` into the node's items: the entries that
// survive the rules and the errors met examining entries.
void DirectoryFiller::judge(DirectoryNode& node, DirectoryScratch& scratch) const {
  scratch.items.clear();
  scratch.names.clear();
  std::string& path = scratch.path;
  path.assign(node.path);
  add_separator(path);
  const std::size_t name_at = path.size();
  std::uint32_t directories = 0;
  const Listing& listing = scratch.listing;
  for (const ListedName& entry : listing.entries) {
    path.resize(name_at);
    path.append(listing.names, entry.offset, entry.length);
    std::expected<FileType, WalkError> type = observe(node, entry.type, path);
    if (!type) {
      scratch.items.push_back(
          Item{.index = static_cast<std::uint32_t>(node.errors.size()), .error = true});
      node.errors.push_back(std::move(type.error().text));
      continue;
    }
    const std::string_view name(path.data() + name_at, entry.length);
    const bool is_dir = *type == FileType::directory;
    const std::string_view relative = std::string_view(path).substr(root_prefix_);
    if (rules_.skips(node.rules.get(), relative, name, is_dir, scratch.judge)) continue;
    const std::uint32_t index = is_dir ? directories++ : 0;
    scratch.items.push_back(
        Item{static_cast<std::uint32_t>(scratch.names.size()), entry.length, index, *type, false});
    scratch.names.append(name);
  }
  node.items.assign(scratch.items.begin(), scratch.items.end());
  node.names.assign(scratch.names);
  node.children.reserve(directories);
  for (const Item& item : node.items) {
    if (item.error || item.type != FileType::directory) continue;
    path.resize(name_at);
    path.append(node.names, item.name_offset, item.name_length);
    node.children.push_back(std::make_shared<DirectoryNode>(path, node.depth + 1, &node));
  }
}

// The type of the entry at `path` in the directory `dir`, as the walk sees
// it, from its listing's `d_type`; or the error that examining or following
// it met.
std::expected<FileType, WalkError> DirectoryFiller::observe(const DirectoryNode& dir,
                                                            unsigned char d_type,
                                                            const std::string& path) const {
  FileType type;
  switch (d_type) {
    case DT_DIR: type = FileType::directory; break;
    case DT_REG: type = FileType::file; break;
    case DT_LNK: type = FileType::symlink; break;
    case DT_UNKNOWN: {
      struct stat st;
      if (::lstat(path.c_str(), &st) != 0) return std::unexpected(io_error(path, errno));
      type = type_of(st.st_mode);
      break;
    }
    default: type = FileType::other; break;
  }
  if (type == FileType::symlink && follow_links_) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::unexpected(io_error(path, errno));
    type = type_of(st.st_mode);
    if (type == FileType::directory) {
      if (auto loop = find_loop(dir, st, path)) return std::unexpected(*std::move(loop));
    }
  }
  return type;
}

}  // namespace vorn_walk
