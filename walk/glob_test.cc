#include "walk/glob.h"

#include <bitset>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "walk/glob_reference.h"

namespace vorn_walk {
namespace {

using testing::random_pattern;
using testing::random_text;
using testing::Reference;
using Numbers = std::vector<std::uint32_t>;

Glob must_compile(std::string_view pattern, UnclosedClass unclosed = UnclosedClass::error) {
  auto glob = Glob::compile(pattern, unclosed);
  EXPECT_TRUE(glob.has_value()) << pattern << ": " << glob.error().text();
  return *std::move(glob);
}

GlobSet must_build(std::vector<Glob> globs) {
  auto set = GlobSet::build(std::move(globs));
  EXPECT_TRUE(set.has_value());
  return *std::move(set);
}

Numbers matches_of(const GlobSet& set, std::string_view candidate) {
  Numbers out;
  set.matches(candidate, out);
  return out;
}

// Checks `pattern` against each candidate both alone and as the only member
// of a set, which take different routes through the engine.
void expect_matches(std::string_view pattern, std::vector<std::string_view> yes,
                    std::vector<std::string_view> no,
                    UnclosedClass unclosed = UnclosedClass::error) {
  const Glob glob = must_compile(pattern, unclosed);
  const GlobSet set = must_build({glob});
  for (std::string_view c : yes) {
    EXPECT_TRUE(glob.is_match(c)) << pattern << " should match '" << c << "'";
    EXPECT_EQ(matches_of(set, c), Numbers{0}) << pattern << " in a set, '" << c << "'";
  }
  for (std::string_view c : no) {
    EXPECT_FALSE(glob.is_match(c)) << pattern << " should not match '" << c << "'";
    EXPECT_EQ(matches_of(set, c), Numbers{}) << pattern << " in a set, '" << c << "'";
  }
}

std::string error_text(std::string_view pattern, UnclosedClass unclosed = UnclosedClass::error) {
  auto glob = Glob::compile(pattern, unclosed);
  return glob ? "compiled" : glob.error().text();
}

TEST(Glob, StarAndQuestionMarkStayInsideOneComponent) {
  expect_matches("*.rs", {"a.rs", ".rs"}, {"src/a.rs", "a.rsx"});
  expect_matches("a?c", {"abc", "a.c"}, {"a/c", "ac", "abbc"});
  expect_matches("a**b", {"ab", "axb", "ax*b"}, {"ax/b"});
  expect_matches("***", {"", "abc"}, {"a/b"});
  expect_matches("*/b", {"a/b", "/b"}, {"b", "x/y/b"});
}

TEST(Glob, DoubleStarSpansComponentsOnlyAsAWholeComponent) {
  expect_matches("**", {"", "a", "a/b/c", "/"}, {});
  expect_matches("**/*.rs", {"a.rs", "src/a.rs", "a/b/c.rs", "/x.rs"}, {"a.rsx", "a.rs/b"});
  expect_matches("src/**", {"src/a", "src/a/b", "src/"}, {"src", "srcx/a", "x/src/a"});
  expect_matches("a/**/b", {"a/b", "a/x/b", "a/x/y/b", "a//b"}, {"ab", "a/xb", "b", "xa/b"});
  expect_matches("**/", {"", "/", "a/", "a/b/"}, {"a", "a/b"});
  expect_matches("**/a", {"a", "/a", "x/a", "x//a", "x/y/a"}, {"xa", "a/x"});
  expect_matches("/**", {"/", "/a", "/a/b"}, {"", "a"});
  expect_matches("x**/y", {"x/y", "xz/y"}, {"x/z/y", "y"});
  expect_matches("**/**/a", {"a", "x/a", "x/y/a"}, {"xa"});
  expect_matches("docs/**/*.md", {"docs/a.md", "docs/x/y.md", "docs/.md"}, {"docs.md", "a/docs/a.md"});
}

TEST(Glob, DoubleStarAtTheEdgesOfAlternatives) {
  // An alternative starts where its group stands.
  expect_matches("src/{**/*.rs,*.md}", {"src/a.rs", "src/x/y.rs", "src/a.md"}, {"src/x/a.md"});
  expect_matches("{**/a,b}", {"a", "x/y/a", "b"}, {"x/b"});
  expect_matches("a/{b,**/c}", {"a/b", "a/c", "a/x/y/c"}, {"a/x/b"});
  expect_matches("x{**/a,b}", {"x/a", "xy/a", "xb"}, {"x/y/a"});
  // It ends the pattern only when nothing follows its group.
  expect_matches("{a/**,b}", {"a/x", "a/x/y", "b"}, {"a"});
  expect_matches("{a/**,b}c", {"a/xc", "bc"}, {"a/x/yc"});
  expect_matches("{a,{x/**}}", {"a", "x/y/z"}, {"x"});
  expect_matches("{**}/a", {"x/a", "/a"}, {"a", "x/y/a"});
}

TEST(Glob, ClassesMatchOneByteAndMayAdmitTheSeparator) {
  expect_matches("[!a]", {"/", "b", "\n", "\xff"}, {"a", "", "bb"});
  expect_matches("[^a]", {"/", "b"}, {"a"});
  expect_matches("[]a]", {"]", "a"}, {"[", "b"});
  expect_matches("[!]]", {"a", "/"}, {"]"});
  expect_matches("[-a]", {"-", "a"}, {"b"});
  expect_matches("[a-]", {"-", "a"}, {"b"});
  expect_matches("[a-c-e]", {"a", "b", "c", "-", "e"}, {"d"});
  expect_matches("[%-0]", {"/", "%", "0"}, {"1"});
  expect_matches("x[/]y", {"x/y"}, {"xy"});
  expect_matches("[\\]", {"\\"}, {"]"});  // no escapes inside a class
  expect_matches("*.py[cod]", {"a.pyc", "a.pyo", "a.pyd"}, {"a.py", "a.pyx", "d/a.pyc"});
  expect_matches("[{},]", {"{", "}", ","}, {"a"});
}

TEST(Glob, UnclosedClassIsLiteralOnlyWhenAllowed) {
  expect_matches("[abc", {"[abc"}, {"a", "[abc]"}, UnclosedClass::literal);
  expect_matches("[!*", {"[!x", "[!"}, {"[!/"}, UnclosedClass::literal);
  expect_matches("[]", {"[]"}, {"]"}, UnclosedClass::literal);
  expect_matches("a[b]c[d", {"abc[d"}, {}, UnclosedClass::literal);
  EXPECT_EQ(error_text("[abc"), "error parsing glob '[abc': unclosed character class; missing ']'");
  EXPECT_EQ(error_text("[]"), "error parsing glob '[]': unclosed character class; missing ']'");
  EXPECT_EQ(error_text("[!"), "error parsing glob '[!': unclosed character class; missing ']'");
  // A "[" never closed is not a class, so no range inside it is judged.
  EXPECT_EQ(error_text("[z-a"), "error parsing glob '[z-a': unclosed character class; missing ']'");
  EXPECT_EQ(error_text("[z-a", UnclosedClass::literal), "compiled");
}

TEST(Glob, GroupsDropEmptyAlternatives) {
  expect_matches("{a,{b,c}}.rs", {"a.rs", "b.rs", "c.rs"}, {".rs", "bc.rs"});
  expect_matches("{,x}", {"x"}, {""});
  expect_matches("{a,,b}", {"a", "b"}, {""});
  expect_matches("{}", {""}, {"a"});
  expect_matches("{,}", {""}, {"a"});
  expect_matches("x{}y", {"xy"}, {"x", "xay"});
  expect_matches("{a,{}}", {"a", ""}, {"b"});
  expect_matches("a,b", {"a,b"}, {"a"});
  expect_matches("*.{jpg,png}", {"a.jpg", "b.png"}, {"a.gif", "d/a.png"});
  expect_matches("{*.c,src/**}", {"a.c", "src/a/b.h"}, {"x/a.c", "src"});
}

TEST(Glob, BackslashMakesTheNextCharacterLiteral) {
  expect_matches("\\*", {"*"}, {"a", ""});
  expect_matches("\\[a]", {"[a]"}, {"a"});
  expect_matches("\\{a,b\\}", {"{a,b}"}, {"a"});
  expect_matches("a\\\\b", {"a\\b"}, {"ab"});
  expect_matches("\\a\\?", {"a?"}, {"ab"});
}

TEST(Glob, ErrorsNameThePatternAndTheFirstFault) {
  EXPECT_EQ(error_text("[z-a]"), "error parsing glob '[z-a]': invalid range; 'z' > 'a'");
  EXPECT_EQ(error_text("[a-c][z-a"), "error parsing glob '[a-c][z-a': unclosed character class; missing ']'");
  EXPECT_EQ(error_text("a}"),
            "error parsing glob 'a}': unopened alternate group; missing '{' (maybe escape '}' with '[}]'?)");
  EXPECT_EQ(error_text("{a"),
            "error parsing glob '{a': unclosed alternate group; missing '}' (maybe escape '{' with '[{]'?)");
  EXPECT_EQ(error_text("{a}}{"),
            "error parsing glob '{a}}{': unopened alternate group; missing '{' (maybe escape '}' with '[}]'?)");
  EXPECT_EQ(error_text("a\\"), "error parsing glob 'a\\': dangling '\\'");
  EXPECT_EQ(error_text("{a\\"), "error parsing glob '{a\\': dangling '\\'");
  EXPECT_EQ(error_text("[\xc3\xa9-a]"),
            "error parsing glob '[\xc3\xa9-a]': invalid range; '\xc3\xa9' > 'a'");
  EXPECT_EQ(error_text("\\\\"), "compiled");
  EXPECT_EQ(error_text("[z-a]", UnclosedClass::literal),
            "error parsing glob '[z-a]': invalid range; 'z' > 'a'");
}

TEST(Glob, NonAsciiCharactersStandForTheirBytes) {
  const std::string e_acute = "\xc3\xa9";  // é
  expect_matches(e_acute, {e_acute}, {"e", "\xc3", "\xe9"});
  expect_matches("?", {"\xc3", "\xff"}, {e_acute});
  expect_matches("??", {e_acute}, {"\xc3"});
  expect_matches("[" + e_acute + "]", {"\xc3", "\xa9"}, {e_acute, "\xe9"});
  expect_matches("[" + e_acute + "][" + e_acute + "]", {e_acute}, {});
  expect_matches("[!" + e_acute + "]", {"a", "\xe9"}, {"\xc3", "\xa9"});
  // U+00E0 to U+00E9 are C3 A0 to C3 A9.
  expect_matches("[\xc3\xa0-\xc3\xa9]", {"\xc3", "\xa0", "\xa9"}, {"\xaa", "\xc2", "a"});
  // U+0100 to U+0101 are C4 80 and C4 81; "a" to U+0101 spans all of C2 80 to C4 81.
  expect_matches("[a-\xc4\x81]", {"a", "z", "\x7f", "\xc2", "\xc4", "\xbf", "\x80"}, {"`", "\xc5", "\xc0"});
  // A byte that is not UTF-8 stands for itself.
  expect_matches("\xff*", {"\xff", "\xff" "abc"}, {"\xc3\xbf"});
  expect_matches("[\xfe-\xff]", {"\xfe", "\xff"}, {"\xfd"});
  expect_matches("*", {"\x80\x81", std::string("a\0b", 3)}, {"a/b"});
}

TEST(Glob, LineFeedIsAnOrdinaryByte) {
  expect_matches("*", {"a\nb", "\n"}, {"a\n/b"});
  expect_matches("?", {"\n"}, {"\n\n"});
  expect_matches("**/x", {"a\n/x", "\n/\n/x"}, {"\nx"});
  expect_matches("a/**", {"a/\n", "a/\n/b"}, {"a\n"});
  expect_matches("**", {"\n/\n"}, {});
  expect_matches("a\n*", {"a\nb"}, {"ab"});
}

TEST(GlobSet, ReportsEveryMatchingPatternAscending) {
  const GlobSet set = must_build({must_compile("*.py"), must_compile("**/x.py"), must_compile("x.py")});
  EXPECT_EQ(set.size(), 3u);
  EXPECT_EQ(matches_of(set, "x.py"), (Numbers{0, 1, 2}));
  EXPECT_EQ(matches_of(set, "a/x.py"), Numbers{1});
  EXPECT_EQ(matches_of(set, "a/y.py"), Numbers{});
}

TEST(GlobSet, AppendsEachMemberOnce) {
  const GlobSet set = must_build({must_compile("{a,a,a*}"), must_compile("[aa]"), must_compile("*")});
  Numbers out{7};
  set.matches("a", out);
  EXPECT_EQ(out, (Numbers{7, 0, 1, 2}));
  const GlobSet empty = must_build({});
  EXPECT_EQ(empty.size(), 0u);
  EXPECT_EQ(matches_of(empty, ""), Numbers{});
}

TEST(GlobSet, HostilePatternsAnswerCorrectlyOnLongCandidates) {
  const std::string long_a(4096, 'a');
  std::string nested = "{a,{a,{a,{a,b}}}}*";
  std::string deep;
  for (int i = 0; i < 3000; ++i) deep += '{';
  deep += "a*b";
  for (int i = 0; i < 3000; ++i) deep += '}';
  const GlobSet set = must_build({must_compile("*a*a*a*a*a*a*a*a*b"), must_compile(nested),
                                  must_compile(deep), must_compile("**/a/**/a/**/b")});
  EXPECT_EQ(matches_of(set, long_a), Numbers{1});
  EXPECT_EQ(matches_of(set, long_a + "b"), (Numbers{0, 1, 2}));
  EXPECT_TRUE(must_compile(deep).is_match(long_a + "b"));
  EXPECT_FALSE(must_compile(deep).is_match(long_a));
}

// Patterns too large for one automaton: the set is split, and a member that
// no automaton can hold is still matched. The long alternatives only make the
// patterns large; the candidates take the short ones.
TEST(GlobSet, MembersBeyondTheAutomatonBudgetStillMatch) {
  const std::string big(200'000, 'b');
  const std::string huge(600'000, 'h');
  const GlobSet set =
      must_build({must_compile("?{a0," + big + "}"), must_compile("?{a1," + big + "}"),
                  must_compile("?{a2," + huge + "}"), must_compile("x*")});
  EXPECT_EQ(matches_of(set, "xa0"), (Numbers{0, 3}));
  EXPECT_EQ(matches_of(set, "_a1"), Numbers{1});
  EXPECT_EQ(matches_of(set, "xa2"), (Numbers{2, 3}));
  EXPECT_EQ(matches_of(set, "_" + huge), Numbers{2});
  EXPECT_EQ(matches_of(set, "_a3"), Numbers{});
}

TEST(GlobSet, AgreesWithAPlainReferenceMatcher) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 1500; ++round) {
    const UnclosedClass unclosed = round % 2 ? UnclosedClass::literal : UnclosedClass::error;
    std::vector<Glob> globs;
    std::vector<std::string> patterns;
    std::vector<Reference> references;
    for (int k = 0; k < 8; ++k) {
      const std::string pattern = random_pattern(rng);
      auto glob = Glob::compile(pattern, unclosed);
      auto reference = Reference::parse(pattern, unclosed);
      ASSERT_EQ(glob.has_value(), reference.has_value()) << "'" << pattern << "'";
      if (!glob) continue;
      globs.push_back(*std::move(glob));
      patterns.push_back(pattern);
      references.push_back(*std::move(reference));
    }
    const GlobSet set = must_build(globs);
    // Alone in a set, a member may take a route that company would deny it.
    std::vector<GlobSet> singles;
    for (const Glob& glob : globs) singles.push_back(must_build({glob}));
    for (int k = 0; k < 40; ++k) {
      const std::string candidate = random_text(rng, "ab/.*", 7);
      Numbers expected;
      for (std::uint32_t m = 0; m < references.size(); ++m) {
        const bool match = references[m].matches(candidate);
        EXPECT_EQ(globs[m].is_match(candidate), match)
            << "'" << patterns[m] << "' against '" << candidate << "'";
        EXPECT_EQ(matches_of(singles[m], candidate), match ? Numbers{0} : Numbers{})
            << "'" << patterns[m] << "' alone in a set against '" << candidate << "'";
        if (match) expected.push_back(m);
      }
      EXPECT_EQ(matches_of(set, candidate), expected) << "candidate '" << candidate << "'";
    }
  }
}

}  // namespace
}  // namespace vorn_walk
