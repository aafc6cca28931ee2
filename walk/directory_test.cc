#include "walk/directory.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "walk/test_tree.h"

namespace vorn_walk {
namespace {

// The names in `dir`'s listing, in the system's order.
std::vector<std::string> listed(const std::string& dir) {
  DirectoryLister lister;
  Listing listing;
  EXPECT_EQ(lister.list(dir.c_str(), listing, false), 0);
  std::vector<std::string> names;
  for (const ListedName& entry : listing.entries) names.emplace_back(listing.name(entry));
  return names;
}

TEST(DirectoryFiller, ItemsFollowTheListingAndEachDirectoryGetsItsChild) {
  TestTree tree;
  for (const char* name : {"d/a.txt", "d/.hidden", "d/sub1/x", "d/sub2/y", "d/z.txt"}) {
    tree.write(name);
  }
  tree.link(".", "d/up");
  const WalkRules rules;
  const DirectoryFiller filler(rules, true, tree.path("d").size() + 1);
  DirectoryScratch scratch;
  DirectoryNode node(tree.path("d"), 0, nullptr);
  filler.fill(node, scratch);
  ASSERT_FALSE(node.enter_error);

  std::vector<std::string> expected;
  for (const std::string& name : listed(tree.path("d"))) {
    if (name != ".hidden") expected.push_back(name);
  }
  std::vector<std::string> items;
  std::size_t children = 0;
  for (const Item& item : node.items) {
    if (item.error) {
      items.push_back("up");
      EXPECT_EQ(node.errors[item.index], "File system loop found: " + tree.path("d/up") +
                                             " points to an ancestor " + tree.path("d"));
      continue;
    }
    items.push_back(node.names.substr(item.name_offset, item.name_length));
    if (item.type != FileType::directory) continue;
    // The directories' children come in the order of their items.
    const DirectoryNode& child = *node.children.at(children++);
    EXPECT_EQ(item.index + 1, children);
    EXPECT_EQ(child.path, tree.path("d/" + items.back()));
    EXPECT_EQ(child.depth, 1u);
    EXPECT_EQ(child.parent, &node);
  }
  EXPECT_EQ(items, expected);
  EXPECT_EQ(children, 2u);
  EXPECT_GT(filler.footprint(node), sizeof(DirectoryNode) + 2 * sizeof(DirectoryNode));
}

}  // namespace
}  // namespace vorn_walk
