#include "text.hpp"

#include <gtest/gtest.h>

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

TEST(Quoted, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quoted_form("AUTO"), "\"AUTO\"");
  EXPECT_EQ(quoted_form(""), "\"\"");
  EXPECT_EQ(quoted_form("C:\\a \"b\""), "\"C:\\\\a \\\"b\\\"\"");
  EXPECT_EQ(quoted_form(std::string_view("\n\r\t\0", 4)), "\"\\n\\r\\t\\0\"");
  EXPECT_EQ(quoted_form("\x01\x7F"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(quoted_form("中文"), "\"中文\"");
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
