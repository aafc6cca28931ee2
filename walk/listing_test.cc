#include "walk/listing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "walk/test_tree.h"

namespace vorn_walk {
namespace {

using Named = std::vector<std::pair<std::string, unsigned char>>;

Named named(const Listing& listing) {
  Named out;
  for (const ListedName& entry : listing.entries) out.emplace_back(listing.name(entry), entry.type);
  std::ranges::sort(out);
  return out;
}

TEST(DirectoryLister, ListsEveryNameButDotAndDotDotWithItsType) {
  TestTree tree;
  tree.write("d/file");
  tree.write("d/.hidden");
  tree.mkdir("d/sub");
  tree.link("file", "d/link");
  tree.write("d/..x");
  DirectoryLister lister;
  Listing listing;
  ASSERT_EQ(lister.list(tree.path("d").c_str(), listing, false), 0);
  // Some file systems leave the type to a status call: DT_UNKNOWN then.
  for (const ListedName& entry : listing.entries) {
    if (entry.type == DT_UNKNOWN) GTEST_SKIP() << "the file system reports no types";
  }
  EXPECT_EQ(named(listing), (Named{{"..x", DT_REG}, {".hidden", DT_REG}, {"file", DT_REG},
                                   {"link", DT_LNK}, {"sub", DT_DIR}}));
}

TEST(DirectoryLister, ReadsListingsLongerThanItsBufferAndIdentifiesTheDirectory) {
  TestTree tree;
  tree.mkdir("big");
  std::vector<std::string> names;
  for (int i = 0; i < 1200; ++i) {
    names.push_back(std::string(60, 'n') + std::to_string(i));
    tree.write("big/" + names.back());
  }
  DirectoryLister lister;
  Listing listing;
  ASSERT_EQ(lister.list(tree.path("big").c_str(), listing, true), 0);
  std::vector<std::string> listed;
  for (const ListedName& entry : listing.entries) listed.emplace_back(listing.name(entry));
  std::ranges::sort(listed);
  std::ranges::sort(names);
  EXPECT_EQ(listed, names);
  struct stat st;
  ASSERT_EQ(::stat(tree.path("big").c_str(), &st), 0);
  EXPECT_EQ(listing.device, st.st_dev);
  EXPECT_EQ(listing.inode, st.st_ino);
}

TEST(DirectoryLister, FailsWithTheErrorNumberAndAnEmptyListing) {
  TestTree tree;
  tree.write("d/x");
  tree.write("file");
  DirectoryLister lister;
  Listing listing;
  ASSERT_EQ(lister.list(tree.path("d").c_str(), listing, false), 0);
  EXPECT_EQ(lister.list(tree.path("missing").c_str(), listing, false), ENOENT);
  EXPECT_TRUE(listing.entries.empty());
  EXPECT_TRUE(listing.names.empty());
  EXPECT_EQ(lister.list(tree.path("file").c_str(), listing, false), ENOTDIR);
}

}  // namespace
}  // namespace vorn_walk
