#include "settings/validators.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace quillmar {
namespace {

// A name as the rest of the program may rely on it: 1 to 40 characters of a-z, 0-9, '_'
// and '-', not starting or ending with '-'.
bool is_usable_name(const std::string& name) {
  if (name.empty() || name.size() > MAX_NAME_LEN) return false;
  if (name.front() == '-' || name.back() == '-') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

TEST(NormalizeName, MapsEachCharacterAndStripsEdgeHyphens) {
  const std::string fifty(50, 'k');
  const std::string thirty_nine(39, 'q');
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  } cases[] = {
      {"space becomes hyphen", "My PC", "my-pc"},
      {"edges stripped", "  --Foo.Bar--  ", "foo-bar"},
      {"underscore kept", "a_b", "a_b"},
      {"runs not merged", "a  b", "a--b"},
      {"each non-ASCII letter one hyphen", "Ünïcode", "n-code"},
      {"four-byte character one hyphen", "x\xF0\x9F\x98\x80y", "x-y"},
      {"control character",
       "a\tb\x01"
       "c",
       "a-b-c"},
      {"digits and upper case", "NAS-01", "nas-01"},
      {"first 40 of 50", fifty, fifty.substr(0, 40)},
      {"a cut that would end in a hyphen drops it", thirty_nine + "-b", thirty_nine},
      {"and every hyphen before it", thirty_nine.substr(3) + "----b", thirty_nine.substr(3)},
      {"leading hyphens do not count", "---" + fifty, fifty.substr(0, 40)},
      {"invalid byte one hyphen",
       "a\xFF"
       "b",
       "a-b"},
  };
  for (const auto& c : cases) EXPECT_EQ(normalize_name(c.input), c.expected) << c.name;
}

// What normalize_name gives is a valid name that a second pass (the next load of the
// key file) leaves as it is.
TEST(NormalizeName, GivesValidNamesThatStayTheSame) {
  const std::string thirty_nine(39, 'q');
  for (std::string input :
       {thirty_nine + "-b", thirty_nine + ".b", "M" + std::string(60, '\0') + "y PC",
        std::string("My PC"), std::string(45, '-') + "x"}) {
    const std::string name = normalize_name(input);
    EXPECT_TRUE(is_usable_name(name)) << name;
    EXPECT_EQ(check_device_name(name), name);
    EXPECT_EQ(normalize_name(name), name);
  }
}

TEST(NormalizeName, DrawsAFreshRandomNameWhenNothingIsLeft) {
  for (std::string input : {"", "   ", "---", "中文名字", ". . ."}) {
    std::set<std::string> seen;
    for (int i = 0; i < 8; ++i) {
      std::string name = normalize_name(input);
      EXPECT_TRUE(is_usable_name(name)) << name;
      EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-"), std::string::npos);
      seen.insert(name);
    }
    // 24 * 24 * 4096 names: eight draws that all coincide mean nothing is drawn anew.
    EXPECT_GT(seen.size(), 1u) << "input " << input;
  }
}

TEST(CheckDeviceName, AcceptsOnlyNamesThatNeedNoChangeButTrimAndCase) {
  struct Case {
    const char* name;
    std::string input;
    std::optional<std::string> expected;
  } cases[] = {
      {"trimmed and lower-cased", "  Nas  ", "nas"},
      {"unicode blanks trimmed", "\xE3\x80\x80Office\xC2\xA0", "office"},
      {"trailing underscore", "a_", "a_"},
      {"underscore alone", "_", "_"},
      {"inner hyphen", "my-nas", "my-nas"},
      {"leading hyphen", "-a", std::nullopt},
      {"trailing hyphen", "a-", std::nullopt},
      {"only hyphens", "---", std::nullopt},
      {"dot", "a.b", std::nullopt},
      {"inner blank", "office home", std::nullopt},
      {"non-ASCII letter", "caf\xC3\xA9", std::nullopt},
      {"Chinese", "中文", std::nullopt},
      {"empty", "", std::nullopt},
      {"blanks only", " \t\n", std::nullopt},
      {"40 letters", std::string(40, 'a'), std::string(40, 'a')},
      {"41 letters", std::string(41, 'a'), std::nullopt},
      {"64 letters", std::string(64, 'a'), std::nullopt},
      {"63 letters", std::string(63, 'a'), std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(check_device_name(c.input), c.expected) << c.name;
}

TEST(IsValidHost, AcceptsNamesAndIpv4TextsOnly) {
  struct Case {
    const char* name;
    std::string input;
    bool expected;
  } cases[] = {
      {"localhost", "localhost", true},
      {"IPv4", "192.168.1.10", true},
      {"trimmed for the check", " 10.0.0.5 ", true},
      {"case kept, underscore", "NAS_01", true},
      {"dotted name", "my-host.lan", true},
      {"double dot not checked", "a..b", true},
      {"leading zero not checked", "00.0.0.0", true},
      {"not resolved", "999.1.1.1", true},
      {"253 bytes", std::string(253, 'h'), true},
      {"empty", "", false},
      {"blanks only", "   ", false},
      {"leading dot", ".lan", false},
      {"trailing dot", "lan.", false},
      {"leading hyphen", "-x", false},
      {"trailing hyphen", "x-", false},
      {"any address", "0.0.0.0", false},
      {"any address trimmed", " 0.0.0.0\t", false},
      {"IPv6", "::1", false},
      {"bracketed IPv6", "[::1]", false},
      {"host and port", "host:80", false},
      {"inner blank", "a b", false},
      {"non-ASCII", "h\xC3\xB6st", false},
      {"254 bytes", std::string(254, 'h'), false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_host(c.input), c.expected) << c.name;
}

}  // namespace
}  // namespace quillmar
