#include "proto/text.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quillmar {
namespace {

TEST(DecodeUtf8Lossy, ReplacesEachMaximalInvalidSubpart) {
  struct Case {
    std::string_view input;
    std::string_view expected;
  } cases[] = {
      {"plain", "plain"},
      {"\xE4\xBD\xA0\xE5\xA5\xBD", "你好"},
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      {"\xE4\xBD", "\xEF\xBF\xBD"},                              // a character cut in half
      {"\xF0\x9F\x98", "\xEF\xBF\xBD"},                          // three of four bytes
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // an overlong form
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_utf8_lossy(c.input), c.expected) << c.input;
    EXPECT_EQ(is_valid_utf8(c.input), c.input == c.expected);
  }
}

TEST(Trim, RemovesUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim("  a b \t\r\n"), "a b");
  EXPECT_EQ(trim("\xE3\x80\x80"
                 "x"
                 "\xC2\xA0"),
            "x");  // U+3000 and U+00A0
  EXPECT_EQ(trim("\xE2\x80\x8B"
                 "x"),
            "\xE2\x80\x8B"
            "x");  // U+200B is not white space
  EXPECT_EQ(trim("   "), "");
  EXPECT_EQ(trim_start("  a "), "a ");
  EXPECT_EQ(trim_end("  a "), "  a");
}

// Invalid bytes are never taken for white space, nor read past.
TEST(Trim, LeavesInvalidBytesAlone) {
  struct Case {
    const char* name;
    std::string_view input;
    std::string_view expected;
  } cases[] = {
      {"overlong tab", "\xE0\x89", "\xE0\x89"},
      {"cut ideographic space", "\xE3\x80", "\xE3\x80"},
      {"ideographic space, continuation byte misplaced", "\xE3\x80\xC0", "\xE3\x80\xC0"},
      {"stray continuation after a real space", " x\xC2\x85\x85", "x\xC2\x85\x85"},
      {"lone continuation bytes", "\x85\xA0", "\x85\xA0"},
      {"blanks around invalid bytes", " \xFF ", "\xFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(trim(c.input), c.expected) << c.name;
}

TEST(NextCodePoint, StepsOverInvalidSequencesAsReplacementCharacters) {
  const std::string_view text = "a\xE4\xBD\xFF\xF0\x9F\x98\x80";
  std::size_t pos = 0;
  std::vector<char32_t> seen;
  while (pos < text.size()) seen.push_back(next_code_point(text, pos));
  EXPECT_EQ(pos, text.size());
  EXPECT_EQ(seen, (std::vector<char32_t>{U'a', 0xFFFD, 0xFFFD, 0x1F600}));
}

TEST(Quoted, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quoted_form("AUTO"), "\"AUTO\"");
  EXPECT_EQ(quoted_form(""), "\"\"");
  EXPECT_EQ(quoted_form("C:\\a \"b\""), "\"C:\\\\a \\\"b\\\"\"");
  EXPECT_EQ(quoted_form(std::string_view("\n\r\t\0", 4)), "\"\\n\\r\\t\\0\"");
  EXPECT_EQ(quoted_form("\x01\x7F"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(quoted_form("中文"), "\"中文\"");
}

// Characters a terminal would hide or that reorder the line are written as code points.
TEST(Quoted, EscapesInvisibleAndReorderingCharacters) {
  struct Case {
    const char* name;
    std::string_view input;
    std::string_view expected;
  } cases[] = {
      {"C1 control", "\xC2\x85", "\"\\u{85}\""},
      {"no-break space",
       "a\xC2\xA0"
       "b",
       "\"a\\u{a0}b\""},
      {"zero-width space", "\xE2\x80\x8B", "\"\\u{200b}\""},
      {"right-to-left override", "x\xE2\x80\xAEy", "\"x\\u{202e}y\""},
      {"line separator", "\xE2\x80\xA8", "\"\\u{2028}\""},
      {"ideographic space", "\xE3\x80\x80", "\"\\u{3000}\""},
      {"byte order mark", "\xEF\xBB\xBF", "\"\\u{feff}\""},
      {"private use", "\xEE\x80\x80", "\"\\u{e000}\""},
      {"noncharacter", "\xEF\xBF\xBF", "\"\\u{ffff}\""},
      {"tag character", "\xF3\xA0\x80\x81", "\"\\u{e0001}\""},
      {"plain space kept", "a b", "\"a b\""},
      {"emoji kept", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"full-width punctuation kept", "（8 秒）", "\"（8 秒）\""},
      {"invalid byte as replacement character",
       "a\xFF"
       "b",
       "\"a\xEF\xBF\xBD"
       "b\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quoted_form(c.input), c.expected) << c.name;
}

TEST(ParseDecimal, AcceptsAnOptionalPlusAndDigitsWithinTheLimit) {
  struct Case {
    std::string_view input;
    std::optional<std::uint64_t> expected;
  } cases[] = {
      {"0", 0},  {"+8080", 8080}, {"0080", 80}, {"65535", 65535}, {"65536", {}}, {"", {}},
      {"+", {}}, {"-", {}},       {"-5", {}},   {" 80", {}},      {"80 ", {}},   {"8a", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_decimal(c.input, 65535), c.expected) << c.input;
  EXPECT_EQ(parse_decimal("18446744073709551615", UINT64_MAX), UINT64_MAX);
  EXPECT_EQ(parse_decimal("18446744073709551616", UINT64_MAX), std::nullopt);
}

TEST(SplitLines, DropsOneCarriageReturnBeforeEachLineFeed) {
  auto lines = split_lines("a\r\nb\n\r\rc\r");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "a");
  EXPECT_EQ(lines[1], "b");
  EXPECT_EQ(lines[2], "\r\rc\r");
}

}  // namespace
}  // namespace quillmar
