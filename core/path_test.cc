#include "core/path.h"

#include <algorithm>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

namespace vorn_core {
namespace {

static_assert(std::ranges::forward_range<Components>);
static_assert(std::ranges::view<Components>);

// -1, 0 or 1, so that failures print readably.
int sign(std::strong_ordering order) { return order < 0 ? -1 : order > 0 ? 1 : 0; }

std::string kinds_and_names(std::string_view path) {
  std::string out;
  for (const Component& c : components(path)) {
    switch (c.kind) {
      case ComponentKind::root: out += "[root]"; break;
      case ComponentKind::current_dir: out += "[cur]"; break;
      case ComponentKind::parent_dir: out += "[up]"; break;
      case ComponentKind::name: out += "<" + std::string(c.name) + ">"; break;
    }
  }
  return out;
}

TEST(PathComponents, SplitsAtSlashOnly) {
  EXPECT_EQ(kinds_and_names(""), "");
  EXPECT_EQ(kinds_and_names("/"), "[root]");
  EXPECT_EQ(kinds_and_names("///"), "[root]");
  EXPECT_EQ(kinds_and_names("."), "[cur]");
  EXPECT_EQ(kinds_and_names("./"), "[cur]");
  EXPECT_EQ(kinds_and_names(".//a/./b/"), "[cur]<a><b>");
  EXPECT_EQ(kinds_and_names("a/./."), "<a>");
  EXPECT_EQ(kinds_and_names("/./a"), "[root]<a>");
  EXPECT_EQ(kinds_and_names("a/../b"), "<a>[up]<b>");
  EXPECT_EQ(kinds_and_names("../.."), "[up][up]");
  EXPECT_EQ(kinds_and_names(".a/..a/.../x"), "<.a><..a><...><x>");
  EXPECT_EQ(kinds_and_names("a\\b"), "<a\\b>");
  EXPECT_EQ(kinds_and_names(std::string_view("a\0b/c", 5)), std::string("<a\0b><c>", 8));
}

TEST(PathComponents, NamesPointIntoThePath) {
  const std::string path = "src//main.rs";
  auto it = components(path).begin();
  EXPECT_EQ(it->name.data(), path.data());
  ++it;
  EXPECT_EQ(it->name.data(), path.data() + 5);
  ++it;
  EXPECT_TRUE(it == std::default_sentinel);
  EXPECT_TRUE(it == ComponentIterator());
}

// Each row orders strictly before the next one.
TEST(PathOrder, OrdersComponentWiseNotByText) {
  const std::vector<std::string> ascending = {
      "",      "/",     "/a",    ".",       "./a",  "./x",   "../a",  ".a/x",
      "A.rs",  "a",     "a/../b", "a/b",    "a/b/c", "a/z.rs", "a-b",  "a.b",
      "a0",    "a\\b",  "b.rs",  "src/z",   "src-old", "src.bak", "\xC3\xA9",
  };
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    for (std::size_t j = 0; j < ascending.size(); ++j) {
      EXPECT_EQ(sign(compare_components(ascending[i], ascending[j])), sign(i <=> j))
          << '"' << ascending[i] << "\" vs \"" << ascending[j] << '"';
    }
  }
}

TEST(PathOrder, NameBytesAreUnsigned) {
  EXPECT_EQ(sign(compare_components("z", "\x80")), -1);
  EXPECT_EQ(sign(compare_components("a/\x7F", "a/\xFF")), -1);
  EXPECT_EQ(sign(compare_components("\xC3\xA9t\xC3\xA9", "zzz")), 1);
}

TEST(PathOrder, EquivalentSpellingsAreEqualAndHashAlike) {
  const std::vector<std::vector<std::string>> classes = {
      {"a/b", "a//b", "a/./b", "a/b/", "a/b/.", "a/b//", "a/././/b/./"},
      {"./a", ".//a", "././a", "./a/", "./a/."},
      {"/", "//", "///", "/."},
      {".", "./", ".//", "./."},
  };
  for (const auto& spellings : classes) {
    for (const std::string& left : spellings) {
      for (const std::string& right : spellings) {
        EXPECT_TRUE(paths_equal(left, right)) << left << " vs " << right;
        EXPECT_EQ(sign(compare_components(left, right)), 0);
        EXPECT_EQ(path_hash(left), path_hash(right)) << left << " vs " << right;
      }
    }
  }
  EXPECT_FALSE(paths_equal("./a", "a"));
  EXPECT_FALSE(paths_equal("a/../b", "b"));
  EXPECT_FALSE(paths_equal("a/../b", "a/b"));
  EXPECT_FALSE(paths_equal("/a", "a"));
  EXPECT_FALSE(paths_equal("", "."));
}

TEST(PathOrder, HashTableFindsAnySpelling) {
  std::unordered_map<std::string, int, PathHash, PathEqual> table;
  table.emplace("src/a.rs", 1);
  table.emplace("./src/a.rs", 2);
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(table.find(std::string_view("src//a.rs/"))->second, 1);
  EXPECT_EQ(table.find(std::string_view(".//src/./a.rs"))->second, 2);
  EXPECT_EQ(table.count(std::string_view("src/b.rs")), 0u);
  EXPECT_FALSE(table.emplace("src/./a.rs", 3).second);
}

// A random path: a start and components, spelled in one of many equivalent
// ways (doubled slashes, "." pieces, a trailing slash).
struct RandomPath {
  std::vector<Component> parts;  // the canonical components
  std::string spelled;
};

class PathMaker {
 public:
  explicit PathMaker(std::uint32_t seed) : random_(seed) {}

  RandomPath make() {
    RandomPath path;
    const int start = pick(4);  // 0: none, 1: root, 2: current dir
    if (start == 1) {
      path.parts.push_back({ComponentKind::root, {}});
      path.spelled = std::string(1 + pick(2), '/');
    } else if (start == 2) {
      path.parts.push_back({ComponentKind::current_dir, {}});
      path.spelled = ".";
    }
    const int count = pick(4);
    for (int i = 0; i < count; ++i) {
      const bool needs_slash = !path.spelled.empty() && path.spelled.back() != '/';
      if (needs_slash || (!path.spelled.empty() && pick(3) == 0)) path.spelled += std::string(1 + pick(2), '/');
      if (pick(4) == 0 && !path.spelled.empty()) path.spelled += "./";
      const std::string_view name = kNames[pick(kNames.size())];
      path.parts.push_back(name == ".." ? Component{ComponentKind::parent_dir, {}}
                                        : Component{ComponentKind::name, name});
      path.spelled += name;
    }
    // Only "." or "./..." may start a path that begins with a current dir.
    if (start == 2 && count == 0 && pick(2) == 0) path.spelled += "/";
    if (count > 0 && pick(3) == 0) path.spelled += pick(2) == 0 ? "/" : "/.";
    return path;
  }

 private:
  static constexpr std::array<std::string_view, 9> kNames = {
      "a", "ab", "b", "..", "a-b", ".a", "A", "\xC3\xA9", "\x80"};

  int pick(std::size_t n) { return static_cast<int>(random_() % n); }

  std::mt19937 random_;
};

std::strong_ordering compare_parts(const RandomPath& l, const RandomPath& r) {
  return std::lexicographical_compare_three_way(l.parts.begin(), l.parts.end(), r.parts.begin(),
                                                r.parts.end());
}

TEST(PathOrder, IsATotalOrderOnRandomSpellings) {
  PathMaker maker(20240601);
  std::vector<RandomPath> paths;
  for (int i = 0; i < 300; ++i) paths.push_back(maker.make());
  for (const RandomPath& l : paths) {
    ASSERT_EQ(kinds_and_names(l.spelled).empty(), l.parts.empty()) << l.spelled;
    for (const RandomPath& r : paths) {
      const auto order = compare_components(l.spelled, r.spelled);
      // Agrees with comparing the components the spelling was made from...
      ASSERT_EQ(sign(order), sign(compare_parts(l, r))) << l.spelled << " vs " << r.spelled;
      // ...is antisymmetric, and equal paths hash alike.
      ASSERT_EQ(sign(compare_components(r.spelled, l.spelled)), -sign(order));
      if (order == 0) {
        ASSERT_EQ(path_hash(l.spelled), path_hash(r.spelled));
      }
    }
  }
  // Transitive, checked on every triple of a sample.
  const std::size_t sample = 60;
  for (std::size_t a = 0; a < sample; ++a) {
    for (std::size_t b = 0; b < sample; ++b) {
      for (std::size_t c = 0; c < sample; ++c) {
        const auto& [x, y, z] = std::tie(paths[a].spelled, paths[b].spelled, paths[c].spelled);
        if (compare_components(x, y) <= 0 && compare_components(y, z) <= 0) {
          ASSERT_TRUE(compare_components(x, z) <= 0) << x << " / " << y << " / " << z;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vorn_core
