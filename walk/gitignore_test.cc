#include "walk/gitignore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "walk/test_tree.h"

namespace vorn_walk {
namespace {

Matcher build(std::initializer_list<std::string_view> lines,
              UnclosedClass unclosed = UnclosedClass::literal) {
  MatcherBuilder builder(unclosed);
  for (std::string_view line : lines) EXPECT_TRUE(builder.add_line(line).has_value()) << line;
  return *std::move(builder).build();
}

Match match(const Matcher& matcher, std::string_view path, bool is_dir = false) {
  std::vector<std::uint32_t> scratch;
  return matcher.matched(path, is_dir, scratch);
}

std::string glob_of(std::string_view line) { return parse_line(line).value().glob; }

TEST(PatternLine, DropsCommentsAndBlankLines) {
  EXPECT_FALSE(parse_line("#x"));
  EXPECT_FALSE(parse_line("# x"));
  EXPECT_FALSE(parse_line(""));
  EXPECT_FALSE(parse_line(" \t "));
  // Only a "#" in the first place makes a comment.
  EXPECT_EQ(glob_of(" #x"), "**/ #x");
}

TEST(PatternLine, TrimsTrailingWhitespaceUnlessEscaped) {
  EXPECT_EQ(parse_line("a.py   ")->original, "a.py");
  EXPECT_EQ(parse_line("a.py\t\r")->original, "a.py");
  EXPECT_EQ(parse_line("a.py\xC2\xA0\xE3\x80\x80")->original, "a.py");  // U+00A0, U+3000
  EXPECT_EQ(parse_line("a\\ ")->original, "a\\ ");
  EXPECT_EQ(parse_line("a \\ ")->glob, "**/a \\ ");
}

TEST(PatternLine, EscapedBangAndHashAreLiteralAndUnanchored) {
  const PatternLine hash = *parse_line("\\#x");
  EXPECT_EQ(hash.glob, "**/#x");
  EXPECT_FALSE(hash.whitelist);
  const PatternLine bang = *parse_line("\\!x");
  EXPECT_EQ(bang.glob, "**/!x");
  EXPECT_FALSE(bang.whitelist);
  EXPECT_EQ(bang.original, "\\!x");
}

TEST(PatternLine, BangWhitelistsAndSlashAnchors) {
  const PatternLine line = *parse_line("!/build/");
  EXPECT_TRUE(line.whitelist);
  EXPECT_TRUE(line.dir_only);
  EXPECT_EQ(line.glob, "build");
  EXPECT_EQ(line.original, "!/build/");
  // A line with an inner "/" is relative to the base, as if anchored.
  EXPECT_EQ(glob_of("src/gen"), "src/gen");
  EXPECT_EQ(glob_of("**/gen"), "**/gen");
  EXPECT_EQ(glob_of("gen"), "**/gen");
  EXPECT_EQ(glob_of("/gen"), "gen");
  // An empty pattern after "!" keeps the prefix that matches no entry.
  EXPECT_EQ(glob_of("!"), "**/");
}

TEST(PatternLine, TrailingSlashMakesDirectoryOnly) {
  const PatternLine line = *parse_line("docs/");
  EXPECT_TRUE(line.dir_only);
  EXPECT_EQ(line.glob, "**/docs");
  EXPECT_EQ(glob_of("dir\\/"), "**/dir");
  EXPECT_EQ(glob_of("a/**"), "a/**/*");
  EXPECT_EQ(glob_of("/**"), "**");
}

TEST(Matcher, LastApplicableLineDecides) {
  const Matcher keep = build({"*.log", "!keep.log"});
  EXPECT_EQ(match(keep, "a/keep.log"), Match::whitelist);
  EXPECT_EQ(match(keep, "a/x.log"), Match::ignore);
  EXPECT_EQ(match(keep, "a/x.txt"), Match::none);
  const Matcher reversed = build({"!keep.log", "*.log"});
  EXPECT_EQ(match(reversed, "keep.log"), Match::ignore);
}

TEST(Matcher, DirectoryOnlyLinesSkipFilesAndLetEarlierLinesDecide) {
  const Matcher matcher = build({"build", "!build/"});
  EXPECT_EQ(match(matcher, "build", true), Match::whitelist);
  EXPECT_EQ(match(matcher, "build", false), Match::ignore);
  const Matcher docs = build({"docs/"});
  EXPECT_EQ(match(docs, "x/docs", false), Match::none);
  EXPECT_EQ(match(docs, "x/docs", true), Match::ignore);
}

TEST(Matcher, AnchoredLinesAndLinesWithASlashMatchFromTheTopOfTheCandidate) {
  const Matcher matcher = build({"/gen", "a/*.py"});
  EXPECT_EQ(match(matcher, "gen", true), Match::ignore);
  EXPECT_EQ(match(matcher, "a/b/gen"), Match::none);
  EXPECT_EQ(match(matcher, "a/x.py"), Match::ignore);
  EXPECT_EQ(match(matcher, "b/a/x.py"), Match::none);
}

TEST(Matcher, EmptyMatcherMatchesNothing) {
  const Matcher empty;
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(match(empty, "x", true), Match::none);
  // A bare "!" keeps nothing either.
  EXPECT_EQ(match(build({"!"}), "x"), Match::none);
}

TEST(MatcherBuilder, ErrorNamesTheTrimmedLine) {
  MatcherBuilder builder(UnclosedClass::error);
  const auto result = builder.add_line("![abc  ");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().text(), "error parsing glob '![abc': unclosed character class; missing ']'");
  EXPECT_TRUE(builder.add_line("ok").has_value());
  const Matcher matcher = *std::move(builder).build();
  EXPECT_EQ(match(matcher, "ok"), Match::ignore);
  EXPECT_EQ(match(matcher, "[abc"), Match::none);
}

TEST(MatcherBuilder, UnclosedClassIsLiteralInIgnoreFiles) {
  const Matcher matcher = build({"[abc"});
  EXPECT_EQ(match(matcher, "[abc"), Match::ignore);
  EXPECT_EQ(match(matcher, "a"), Match::none);
}

// The ignore file `name` holding `text`, read.
IgnoreFile ignore_file(const TestTree& tree, std::string_view name, std::string_view text) {
  tree.write(name, text);
  return read_ignore_file(tree.path(name)).value();
}

TEST(IgnoreFile, KeepsGoodLinesAndReportsBadOnesByNumber) {
  TestTree tree;
  const IgnoreFile file = ignore_file(tree, ".gitignore", "a\nsrc/{a\n\n*.py\nb}\n");
  const std::string path = tree.path(".gitignore");
  EXPECT_EQ(file.errors, (std::vector<std::string>{
      path + ": line 2: error parsing glob 'src/{a': unclosed alternate group; missing '}' "
      "(maybe escape '{' with '[{]'?)",
      path + ": line 5: error parsing glob 'b}': unopened alternate group; missing '{' "
      "(maybe escape '}' with '[}]'?)"}));
  EXPECT_EQ(match(file.matcher, "x.py"), Match::ignore);
  EXPECT_EQ(match(file.matcher, "a"), Match::ignore);
}

TEST(IgnoreFile, DropsByteOrderMarkAndCarriageReturns) {
  TestTree tree;
  const IgnoreFile file = ignore_file(tree, "f", "\xEF\xBB\xBF" "a.py\r\nb.py\r\nc.py\r");
  EXPECT_TRUE(file.errors.empty());
  EXPECT_EQ(match(file.matcher, "a.py"), Match::ignore);
  EXPECT_EQ(match(file.matcher, "b.py"), Match::ignore);
  // A "\r" that no line feed follows is trailing whitespace, trimmed as such.
  EXPECT_EQ(match(file.matcher, "c.py"), Match::ignore);
  // A mark on a later line is part of the pattern.
  const IgnoreFile later = ignore_file(tree, "g", "x\n\xEF\xBB\xBF" "c.py\n");
  EXPECT_EQ(match(later.matcher, "c.py"), Match::none);
}

TEST(IgnoreFile, StopsAtFirstLineThatIsNotUtf8) {
  TestTree tree;
  const IgnoreFile quiet = ignore_file(tree, "f", "a\n\xFF\nb\n");
  EXPECT_TRUE(quiet.errors.empty());
  EXPECT_EQ(match(quiet.matcher, "a"), Match::ignore);
  EXPECT_EQ(match(quiet.matcher, "b"), Match::none);
  // With another problem in the file, the stop is reported too.
  const IgnoreFile loud = ignore_file(tree, "f\xFF", "x}\n\xFF\nb\n");
  ASSERT_EQ(loud.errors.size(), 2u);
  EXPECT_EQ(loud.errors[1], tree.path("f") + "\xEF\xBF\xBD: line 2: stream did not contain valid UTF-8");
}

TEST(IgnoreFile, ReadsLinesLongerThanOneChunk) {
  TestTree tree;
  // Lines that straddle the reader's chunks, a long one among them.
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "dir" + std::to_string(i) + "/\r\n";
  const std::string long_name(200000, 'n');
  text += long_name + "\n" + "last";
  const IgnoreFile file = ignore_file(tree, ".ignore", text);
  EXPECT_TRUE(file.errors.empty());
  EXPECT_EQ(match(file.matcher, "dir19999", true), Match::ignore);
  EXPECT_EQ(match(file.matcher, "dir19999", false), Match::none);
  EXPECT_EQ(match(file.matcher, long_name), Match::ignore);
  EXPECT_EQ(match(file.matcher, "last"), Match::ignore);
}

TEST(IgnoreFile, ALineTooLongToHoldIsPassedOverAlone) {
  TestTree tree;
  const std::string text = "a.py\n" + std::string(std::size_t{17} << 20, 'x') + "\nb.py\nc}\n";
  tree.write(".ignore", text);
  // Sparse: megabytes of zero bytes, which are valid UTF-8, as the last line.
  ASSERT_EQ(::truncate(tree.path(".ignore").c_str(), off_t{64} << 20), 0);
  const IgnoreFile file = read_ignore_file(tree.path(".ignore")).value();
  EXPECT_EQ(match(file.matcher, "a.py"), Match::ignore);
  EXPECT_EQ(match(file.matcher, "b.py"), Match::ignore);
  EXPECT_EQ(match(file.matcher, "xx"), Match::none);
  EXPECT_EQ(file.errors, std::vector<std::string>{tree.path(".ignore") +
                                                  ": line 4: error parsing glob 'c}': unopened "
                                                  "alternate group; missing '{' (maybe escape '}' "
                                                  "with '[}]'?)"});
}

TEST(IgnoreFile, UnreadableOrSpecialFilesArePassedOverSilently) {
  TestTree tree;
  tree.write("a.ignore", "x\n");
  tree.mkdir("dir.ignore");
  ASSERT_EQ(::mkfifo(tree.path("fifo.ignore").c_str(), 0644), 0);
  EXPECT_EQ(match(read_ignore_file(tree.path("a.ignore"))->matcher, "x"), Match::ignore);
  for (const char* name : {"dir.ignore", "fifo.ignore", "missing.ignore"}) {
    const IgnoreFile file = read_ignore_file(tree.path(name)).value();
    EXPECT_TRUE(file.matcher.empty()) << name;
    EXPECT_TRUE(file.errors.empty()) << name;
  }
}

}  // namespace
}  // namespace vorn_walk
