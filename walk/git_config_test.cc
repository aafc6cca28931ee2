#include "walk/git_config.h"

#include <optional>
#include <string_view>

#include <gtest/gtest.h>

namespace vorn_walk {
namespace {

TEST(ExcludesFileValue, FindsTheSettingOnItsOwnLine) {
  EXPECT_EQ(excludes_file_value("[core]\n\texcludesFile = ~/.ignore\n"), "~/.ignore");
  EXPECT_EQ(excludes_file_value("EXCLUDESFILE=\"a b\"\nexcludesfile = \" c \" \n"), "c");
  EXPECT_EQ(excludes_file_value("x excludesfile = a\n"), std::nullopt);
  EXPECT_EQ(excludes_file_value("excludesfile = a b\n"), std::nullopt);
  EXPECT_EQ(excludes_file_value("excludesfile"), std::nullopt);
  EXPECT_EQ(excludes_file_value("excludesfiles = a"), std::nullopt);
}

TEST(ExcludesFileValue, QuotesAreLeftOutOnlyWhereTheyMayStand) {
  EXPECT_EQ(excludes_file_value("excludesfile = \"a\""), "a");
  EXPECT_EQ(excludes_file_value("excludesfile = a\""), "a");
  EXPECT_EQ(excludes_file_value("excludesfile = \"\""), "\"");
  EXPECT_EQ(excludes_file_value("excludesfile = a\"b\""), "a\"b");
  EXPECT_EQ(excludes_file_value("excludesfile = \"a\" \"\n"), "a\"");
}

TEST(ExcludesFileValue, BlanksAreTheAsciiOnesAndMaySpanLines) {
  EXPECT_EQ(excludes_file_value("excludesfile\v=\va\v\f\r\n"), "a");
  EXPECT_EQ(excludes_file_value("\n \n excludesfile\n=\n\n a\n\nrest"), "a");
  // A no-break space is no blank: it belongs to the value.
  EXPECT_EQ(excludes_file_value("excludesfile = a\xA0"), "a\xA0");
  EXPECT_EQ(excludes_file_value("excludesfile = \xFF\xFE"), "\xFF\xFE");
}

}  // namespace
}  // namespace vorn_walk
