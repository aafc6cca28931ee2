#include "core/error.h"

#include <sstream>

#include <gtest/gtest.h>

namespace vorn_core {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(ParseError, WritesEachVariantsText) {
  EXPECT_EQ(ParseError::syntax("src/a.py", "unexpected token").text(),
            "syntax error in src/a.py: unexpected token");
  EXPECT_EQ(ParseError::syntax("src/a.py", "").text(), "syntax error in src/a.py: ");
  EXPECT_EQ(ParseError::not_utf8("p/x.ext").text(), "file not utf-8: p/x.ext");
  EXPECT_EQ(ParseError::internal("stack overflow").text(), "internal frontend error: stack overflow");
}

TEST(ParseError, ShowsPathsAsLossyUtf8) {
  EXPECT_EQ(ParseError::not_utf8("a\xFF" "b").text(), "file not utf-8: a" + kReplacement + "b");
  // A truncated sequence is one ill-formed subpart; the next byte stands alone.
  EXPECT_EQ(ParseError::not_utf8("\xE2\x82" "a").text(), "file not utf-8: " + kReplacement + "a");
  EXPECT_EQ(ParseError::not_utf8("\xC0\xAF").text(),
            "file not utf-8: " + kReplacement + kReplacement);
  EXPECT_EQ(ParseError::syntax("caf\xC3\xA9/\x80.py", "bad").text(),
            "syntax error in caf\xC3\xA9/" + kReplacement + ".py: bad");
}

TEST(IoError, ShowsAMessageExactlyAndACodeWithItsDescription) {
  EXPECT_EQ(IoError::message("x").text(), "x");
  EXPECT_EQ(IoError::message("").text(), "");
  // The process never sets a locale, so the C library describes codes in English.
  EXPECT_EQ(IoError::os(2).text(), "No such file or directory (os error 2)");
}

TEST(ConfigError, WritesEachVariantsText) {
  EXPECT_EQ(ConfigError::io(IoError::message("x")).text(), "io error reading config: x");
  EXPECT_EQ(ConfigError::parse("line 3").text(), "config parse error: line 3");
  EXPECT_EQ(ConfigError::validation("bad rule").text(), "config validation error: bad rule");
}

TEST(EngineError, PrefixesOnlyIoErrors) {
  EXPECT_EQ(EngineError::io(IoError::message("x")).text(), "io: x");
  EXPECT_EQ(EngineError::io(IoError::os(13)).text(), "io: Permission denied (os error 13)");
  const ParseError parse = ParseError::syntax("src/a.py", "unexpected token");
  EXPECT_EQ(EngineError::parse(parse).text(), parse.text());
  const ConfigError config = ConfigError::validation("v");
  EXPECT_EQ(EngineError::config(config).text(), "config validation error: v");
  EXPECT_EQ(EngineError::config(ConfigError::io(IoError::message("x"))).text(),
            "io error reading config: x");
}

TEST(EngineError, StreamsItsText) {
  std::ostringstream out;
  out << EngineError::io(IoError::message("walk failed")) << '|'
      << ParseError::not_utf8("\xFF") << '|' << ConfigError::parse("p") << '|'
      << IoError::message("m");
  EXPECT_EQ(out.str(), "io: walk failed|file not utf-8: " + kReplacement + "|config parse error: p|m");
}

}  // namespace
}  // namespace vorn_core
