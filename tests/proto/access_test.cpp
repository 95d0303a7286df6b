#include "proto/access.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillmar {
namespace {

// Digests computed outside the program, e.g.
//   printf 'Zidazevuze access passkey v12\0secret' | sha256sum
constexpr std::string_view DIGEST_EMPTY =
    "17da07cd2e39a1e36bafa1365e109ef4e401ddbfb22ebb3f1f374d57b9682d95";
constexpr std::string_view DIGEST_SECRET =
    "fe142823f33a88675f4c1c9a0d9c3d147fed41f3e1f7780b80668a39f7a1b85a";
constexpr std::string_view DIGEST_BLANK_SECRET =  // " secret"
    "5d5f57d11bd44b535b9f5874b6cd2952451f2069fa0384434472a2f67a01d760";
constexpr std::string_view DIGEST_CHINESE =  // "密码"
    "12b60a1d3876b28a953516ac75d0f4224755c27cf0c9736a2403fe7fcbd2cbab";

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

TEST(Sha256Hex, KnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(HashAccessPassword, LabelZeroBytePassword) {
  struct Case {
    const char* name;
    std::string password;
    std::string_view expected;
  } cases[] = {
      {"empty password", "", DIGEST_EMPTY},
      {"plain", "secret", DIGEST_SECRET},
      {"leading blank kept", " secret", DIGEST_BLANK_SECRET},
      {"UTF-8 bytes", "密码", DIGEST_CHINESE},
  };
  for (const auto& c : cases) {
    std::string digest = hash_access_password(c.password);
    EXPECT_EQ(digest, c.expected) << c.name;
    EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos) << c.name;
  }
  EXPECT_EQ(hash_access_password("secret"), hash_access_password("secret"));
  EXPECT_NE(hash_access_password("secret "), hash_access_password("secret"));
  EXPECT_EQ(ACCESS_PASSWORD_LABEL.size(), 29u);
}

TEST(ParseAccessList, LineRules) {
  const std::string d(DIGEST_SECRET);
  const std::string e(DIGEST_EMPTY);
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::pair<std::uint16_t, std::string>> expected;
  } cases[] = {
      {"empty text", "", {}},
      {"one line", "8080=" + d, {{8080, d}}},
      {"two lines in order", "9000=" + e + "\n80=" + d, {{9000, e}, {80, d}}},
      {"upper-case digest lowered", "80=" + upper(d), {{80, d}}},
      {"blanks around the line", " \t80=" + d + "  ", {{80, d}}},
      {"blanks after the equals sign", "80=  " + d + "\xE3\x80\x80", {{80, d}}},
      {"blank before the equals sign", "80 =" + d, {}},
      {"plus sign", "+443=" + d, {{443, d}}},
      {"leading zeros", "0080=" + d, {{80, d}}},
      {"port 65535", "65535=" + d, {{65535, d}}},
      {"port 0", "0=" + d, {}},
      {"port 65536", "65536=" + d, {}},
      {"negative port", "-1=" + d, {}},
      {"lone sign", "+=" + d, {}},
      {"empty port", "=" + d, {}},
      {"no equals sign", "80" + d, {}},
      {"63 characters", "80=" + d.substr(1), {}},
      {"65 characters", "80=" + d + "0", {}},
      {"non-hex digit", "80=g" + d.substr(1), {}},
      {"second equals sign in the digest", "80=" + d.substr(1) + "=", {}},
      {"first line for a port wins", "80=" + d + "\n81=" + e + "\n80=" + e, {{80, d}, {81, e}}},
      {"invalid first line does not claim the port", "80=x\n80=" + e, {{80, e}}},
      {"Windows line ends", "80=" + d + "\r\n81=" + e + "\r\n", {{80, d}, {81, e}}},
      {"empty lines skipped", "\n\n80=" + d + "\n\n", {{80, d}}},
  };
  for (const auto& c : cases) {
    auto entries = parse_access_list(c.input);
    ASSERT_EQ(entries.size(), c.expected.size()) << c.name;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].port, c.expected[i].first) << c.name;
      EXPECT_EQ(entries[i].hash, c.expected[i].second) << c.name;
    }
  }
}

TEST(ParseAccessList, ReadsOnlyTheFirst128Lines) {
  const std::string d(DIGEST_SECRET);
  std::string text;
  for (int line = 1; line <= 127; ++line) text += "junk\n";
  std::string with_128 = text + "128=" + d + "\n129=" + d;
  auto entries = parse_access_list(with_128);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].port, 128);

  // Empty lines count too.
  std::string empties(128, '\n');
  EXPECT_TRUE(parse_access_list(empties + "129=" + d).empty());
}

TEST(FormatAccessList, WritesValidEntriesInOrder) {
  const std::string d(DIGEST_SECRET);
  const std::string e(DIGEST_EMPTY);
  struct Case {
    const char* name;
    std::vector<AccessEntry> input;
    std::string expected;
  } cases[] = {
      {"no entries", {}, ""},
      {"all invalid", {{0, d}, {80, "abc"}, {81, d + "0"}}, ""},
      {"one entry, no final break", {{8080, d}}, "8080=" + d},
      {"given order kept", {{9000, e}, {80, d}}, "9000=" + e + "\n80=" + d},
      {"upper case lowered", {{80, upper(d)}}, "80=" + d},
      {"invalid skipped",
       {{80, d}, {0, e}, {81, "g" + e.substr(1)}, {82, e}},
       "80=" + d + "\n82=" + e},
  };
  for (const auto& c : cases) EXPECT_EQ(format_access_list(c.input), c.expected) << c.name;
}

TEST(FormatAccessList, RoundTripsThroughTheParser) {
  std::vector<AccessEntry> entries = {{1, std::string(DIGEST_EMPTY)},
                                      {65535, std::string(DIGEST_SECRET)}};
  auto back = parse_access_list(format_access_list(entries));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].port, 1);
  EXPECT_EQ(back[1].hash, DIGEST_SECRET);
}

TEST(ParseAccountStatus, ReadsAllSevenFields) {
  auto status = parse_account_status(" v1|vip|1024|1073741824|1700000000|5|1800000000\n");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->plan, "vip");
  EXPECT_EQ(status->usage_used, 1024u);
  EXPECT_EQ(status->usage_limit, 1073741824u);
  EXPECT_EQ(status->usage_reset_at, 1700000000u);
  EXPECT_EQ(status->max_mappings, 5u);
  EXPECT_EQ(status->plan_ends_at, 1800000000u);
}

TEST(ParseAccountStatus, LineRules) {
  struct Case {
    const char* name;
    std::string input;
    bool valid;
  } cases[] = {
      {"plain", "v1|free|0|0|0|0|0", true},
      {"blanks and final break around", "  v1|free|0|0|0|0|0\r\n", true},
      {"plus signs", "v1|free|+1|+2|+3|+4|+5", true},
      {"plan case and signs kept", "v1|Pro_Plan-2|1|2|3|4|5", true},
      {"24-character plan", "v1|" + std::string(24, 'p') + "|1|2|3|4|5", true},
      {"largest max_mappings", "v1|free|0|0|0|4294967295|0", true},
      {"max_mappings too large", "v1|free|0|0|0|4294967296|0", false},
      {"largest usage_used", "v1|free|18446744073709551615|0|0|0|0", true},
      {"usage_used too large", "v1|free|18446744073709551616|0|0|0|0", false},
      {"plan_ends_at too large", "v1|free|0|0|0|0|18446744073709551616", false},
      {"six fields", "v1|free|0|0|0|0", false},
      {"eight fields", "v1|free|0|0|0|0|0|0", false},
      {"trailing bar", "v1|free|0|0|0|0|0|", false},
      {"other version", "v2|free|0|0|0|0|0", false},
      {"version case", "V1|free|0|0|0|0|0", false},
      {"empty plan", "v1||0|0|0|0|0", false},
      {"25-character plan", "v1|" + std::string(25, 'p') + "|1|2|3|4|5", false},
      {"blank in plan", "v1|my plan|0|0|0|0|0", false},
      {"dot in plan", "v1|v1.0|0|0|0|0|0", false},
      {"non-ASCII plan", "v1|\xC3\xA9|0|0|0|0|0", false},
      {"blank next to a number", "v1|free|0 |0|0|0|0", false},
      {"blank before the version field ends", "v1 |free|0|0|0|0|0", false},
      {"empty number", "v1|free||0|0|0|0", false},
      {"lone plus", "v1|free|+|0|0|0|0", false},
      {"negative", "v1|free|-1|0|0|0|0", false},
      {"empty text", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_account_status(c.input).has_value(), c.valid) << c.name;
  }
  auto big = parse_account_status("v1|x|18446744073709551615|1|2|4294967295|3");
  ASSERT_TRUE(big);
  EXPECT_EQ(big->usage_used, UINT64_MAX);
  EXPECT_EQ(big->max_mappings, UINT32_MAX);
}

}  // namespace
}  // namespace quillmar
