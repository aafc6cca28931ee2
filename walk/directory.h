// One directory of the walk, made ready once by whichever thread claims it
// (see ReadAhead): listed, its rule set loaded and chained, and each of its
// entries observed (following links when asked, detecting loops) and judged.
// What is left is a list of items the walk yields in order without touching
// the file system again.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "walk/listing.h"
#include "walk/read_ahead.h"
#include "walk/rules.h"
#include "walk/walk_error.h"
#include "walk/walker.h"

namespace vorn_walk {

// One item of a listed directory, in listing order: an entry to yield, or
// the error met where an entry stood.
struct Item {
  std::uint32_t name_offset = 0;  // in DirectoryNode::names
  std::uint32_t name_length = 0;
  // In DirectoryNode::children for a directory, in DirectoryNode::errors for
  // an error.
  std::uint32_t index = 0;
  FileType type = FileType::other;
  bool error = false;
};

// A directory of the walk. Filled once by the thread that claims it; read by
// the others only once it is ready.
struct DirectoryNode : ReadAheadNode<DirectoryNode> {
  DirectoryNode(std::string path, std::size_t depth, const DirectoryNode* parent)
      : path(std::move(path)), depth(depth), parent(parent) {}

  const std::string path;  // spelled as the walk spells it
  const std::size_t depth;
  // The directory that holds it, null for the root. It outlives the filling
  // of each of its children: the walk leaves a directory only after it has
  // taken every child.
  const DirectoryNode* const parent;

  std::shared_ptr<const RuleSet> rules;  // the nearest rule set on its chain
  std::vector<Item> items;
  std::string names;                // the items' names, end to end
  std::vector<std::string> errors;  // the error items' texts
  std::string ignore_errors;        // the errors in its ignore files, one per line
  // Why it cannot be entered: it could not be listed, or a file its rule set
  // depends on could not be read.
  std::optional<std::string> enter_error;
  dev_t device = 0;  // identity, kept when following links
  ino_t inode = 0;
};

// The type that a status of mode `mode` shows.
FileType type_of(mode_t mode);

// A thread's working space, kept across the directories it fills.
struct DirectoryScratch {
  DirectoryLister lister;
  Listing listing;
  std::vector<Item> items;
  std::string names;
  std::string path;  // an entry's path
  JudgeScratch judge;
};

// Fills the directories of one walk; used by ReadAhead.
class DirectoryFiller {
 public:
  using Node = DirectoryNode;
  using Scratch = DirectoryScratch;

  // `rules` must outlive the filler; `root_prefix` is the number of bytes
  // of an entry's path before its path below the root.
  DirectoryFiller(const WalkRules& rules, bool follow_links, std::size_t root_prefix)
      : rules_(rules), follow_links_(follow_links), root_prefix_(root_prefix) {}

  // Lists the directory, loads its rule set (even when the listing fails;
  // the errors met in lines of its ignore files go on the directory's
  // entry), and observes and judges its entries. A directory that cannot be
  // listed, or whose rule set cannot be loaded, gets its enter_error.
  void fill(DirectoryNode& node, DirectoryScratch& scratch) const;

  // The bytes a filled node holds, its children included.
  std::size_t footprint(const DirectoryNode& node) const;

 private:
  void judge(DirectoryNode& node, DirectoryScratch& scratch) const;
  std::expected<FileType, WalkError> observe(const DirectoryNode& dir, unsigned char d_type,
                                             const std::string& path) const;

  const WalkRules& rules_;
  const bool follow_links_;
  const std::size_t root_prefix_;
};

}  // namespace vorn_walk
