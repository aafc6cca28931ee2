#include "walk/git_config.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <re2/re2.h>

namespace vorn_walk {
namespace {

TEST(ExcludesFileValue, FindsTheSettingOnItsOwnLine) {
  EXPECT_EQ(excludes_file_value("[core]\n\texcludesFile = ~/.ignore\n"), "~/.ignore");
  EXPECT_EQ(excludes_file_value("EXCLUDESFILE=\"a b\"\nexcludesfile = \" c \" \n"), "c");
  EXPECT_EQ(excludes_file_value("x excludesfile = a\n"), std::nullopt);
  EXPECT_EQ(excludes_file_value("excludesfile = a b\n"), std::nullopt);
  EXPECT_EQ(excludes_file_value("excludesfile = \"\""), "\"");
}

// The setting is defined by a regular expression: compare with it on many
// generated texts.
TEST(ExcludesFileValue, AgreesWithTheRegularExpression) {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_case_sensitive(false);
  const RE2 pattern(
      R"((?m)^[\t\n\v\f\r ]*excludesfile[\t\n\v\f\r ]*=[\t\n\v\f\r ]*"?[\t\n\v\f\r ]*)"
      R"(([^\t\n\v\f\r ]+?)[\t\n\v\f\r ]*"?[\t\n\v\f\r ]*$)",
      options);
  ASSERT_TRUE(pattern.ok());
  // Texts shaped like settings, with every part sometimes left out and
  // blanks, quotes and line breaks thrown in where they decide.
  const std::vector<std::string_view> blanks = {"", " ", "\t", "\n", "\v", "\f", "\r\n", " \n "};
  const std::vector<std::string_view> keys = {"excludesfile", "ExcludesFile", "excludesfil", "x"};
  const std::vector<std::string_view> values = {"a", "~/x", "\"", "\xFF", "=", "[core]", "b\""};
  std::uint32_t seed = 12345;
  const auto random = [&seed](std::size_t below) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % static_cast<std::uint32_t>(below);
  };
  const auto pick = [&](const std::vector<std::string_view>& from) {
    return from[random(from.size())];
  };
  int matches = 0;
  for (int round = 0; round < 50000; ++round) {
    std::string text;
    for (std::uint32_t line = 1 + random(3); line > 0; --line) {
      text += pick(blanks);
      if (random(8) != 0) text += pick(keys);
      text += pick(blanks);
      if (random(8) != 0) text += "=";
      text += pick(blanks);
      for (std::uint32_t part = random(4); part > 0; --part) {
        text += pick(values);
        if (random(3) == 0) text += pick(blanks);
      }
      text += pick(blanks);
    }
    re2::StringPiece capture;
    const bool matched = RE2::PartialMatch(text, pattern, &capture);
    const std::optional<std::string_view> value = excludes_file_value(text);
    matches += matched;
    ASSERT_EQ(value.has_value(), matched) << testing::PrintToString(text);
    if (matched) {
      ASSERT_EQ(*value, std::string_view(capture.data(), capture.size()))
          << testing::PrintToString(text);
    }
  }
  EXPECT_GT(matches, 5000);  // the texts do reach the interesting cases
}

}  // namespace
}  // namespace vorn_walk
