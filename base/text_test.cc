#include "base/text.h"

#include <gtest/gtest.h>

namespace vorn_base {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Utf8, AcceptsWellFormedAndRejectsIllFormed) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain/ascii"));
  EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"));
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xFF"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));      // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // a surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));          // truncated at the end
  EXPECT_FALSE(is_valid_utf8("a\x80"));             // stray continuation byte
  // Long ASCII runs are passed over a word at a time: a fault after one, or
  // a sequence that straddles a word's end, is still seen.
  EXPECT_TRUE(is_valid_utf8("0123456\xE2\x82\xAC" "0123456789"));
  EXPECT_TRUE(is_valid_utf8("01234567\xC3\xA9" "01234567"));
  EXPECT_FALSE(is_valid_utf8("0123456789abcdef\xFF"));
  EXPECT_FALSE(is_valid_utf8("0123456789abcde\xE2\x82"));
  EXPECT_FALSE(is_valid_utf8("01234567\xC3\xA9" "01234567\xED\xA0\x80" "01234567"));
}

TEST(Utf8, LossyReplacesEachMaximalSubpartOnce) {
  EXPECT_EQ(lossy_utf8("caf\xC3\xA9"), "caf\xC3\xA9");
  EXPECT_EQ(lossy_utf8("a\xFF" "b"), "a" + kReplacement + "b");
  // A truncated sequence is one subpart, the byte after it starts afresh.
  EXPECT_EQ(lossy_utf8("\xE2\x82" "a"), kReplacement + "a");
  EXPECT_EQ(lossy_utf8("\xE2\x82"), kReplacement);
  // No valid sequence begins with C0, so each byte is its own subpart.
  EXPECT_EQ(lossy_utf8("\xC0\xAF"), kReplacement + kReplacement);
  // A surrogate's encoding stops being well-formed at its second byte.
  EXPECT_EQ(lossy_utf8("\xED\xA0\x80"), kReplacement + kReplacement + kReplacement);
  EXPECT_EQ(lossy_utf8("\xF0\x9F\x98" "\xF0\x9F\x98\x80"), kReplacement + "\xF0\x9F\x98\x80");
}

TEST(OsError, ShowsDescriptionAndCode) {
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(13), "Permission denied (os error 13)");
}

}  // namespace
}  // namespace vorn_base
