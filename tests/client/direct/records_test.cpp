#include "direct/records.hpp"

#include <gtest/gtest.h>

#include <string>

#include "proto/text.hpp"

namespace quillmar {
namespace {

std::optional<PunchStatus> parse_status_text(std::string_view text) {
  return parse_punch_status(as_bytes(text));
}

TEST(ParsePunchStatus, ReadsTheFirstLineAndTheCandidatesAfterIt) {
  auto status = parse_status_text(
      "punch|ready|nas|7|8080\n"
      "198.51.100.9|40000|obs-peer,192.0.2.7|8080\n"
      "!2001:db8::7|8080|v6-peer");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->status, "ready");
  EXPECT_EQ(status->peer, "nas");
  EXPECT_EQ(status->port, 8080);
  std::vector<Candidate> expected = {{"198.51.100.9", 40000, "obs-peer"},
                                     {"192.0.2.7", 8080, "lan"},
                                     {"2001:db8::7", 8080, "v6-peer"}};
  EXPECT_EQ(status->candidates, expected);
}

TEST(ParsePunchStatus, FirstLineFieldRules) {
  struct Case {
    const char* name;
    std::string input;
    bool readable;
    std::string status;
    std::string peer;
    std::uint16_t port;
  } cases[] = {
      {"no number field", "punch|ready|nas", false, "", "", 0},
      {"no peer field", "punch|ready", false, "", "", 0},
      {"tag alone", "punch", false, "", "", 0},
      {"empty text", "", false, "", "", 0},
      {"tag case differs", "Punch|ready|nas|1|80", false, "", "", 0},
      {"tag with a leading blank", " punch|ready|nas|1|80", false, "", "", 0},
      {"tag on the second line only", "\npunch|ready|nas|1|80", false, "", "", 0},
      {"number without port", "punch|ready|nas|x", true, "ready", "nas", 0},
      {"ends after the third bar", "punch|ready|nas|", true, "ready", "nas", 0},
      {"empty fields count", "punch|||", true, "", "", 0},
      {"port with a bar", "punch|ready|nas|1|80|9", true, "ready", "nas", 0},
      {"status word copied", "punch|Ready|Nas|1|443", true, "Ready", "Nas", 443},
      {"plus sign", "punch|waiting|pc|0|+8080", true, "waiting", "pc", 8080},
      {"largest port", "punch|ready|pc|0|65535", true, "ready", "pc", 65535},
      {"port too large", "punch|ready|pc|0|65536", true, "ready", "pc", 0},
      {"negative port", "punch|ready|pc|0|-1", true, "ready", "pc", 0},
      {"blank in port", "punch|ready|pc|0| 80", true, "ready", "pc", 0},
      {"carriage return in port", "punch|ready|pc|0|80\r\n", true, "ready", "pc", 0},
      {"fields not trimmed", "punch| ready |nas |1|80", true, " ready ", "nas ", 80},
  };
  for (const auto& c : cases) {
    auto status = parse_status_text(c.input);
    ASSERT_EQ(status.has_value(), c.readable) << c.name;
    if (!status) continue;
    EXPECT_EQ(status->status, c.status) << c.name;
    EXPECT_EQ(status->peer, c.peer) << c.name;
    EXPECT_EQ(status->port, c.port) << c.name;
  }
}

TEST(ParsePunchStatus, CarriageReturnsStayInTheCandidateLines) {
  auto status = parse_status_text(
      "punch|ready|nas|1|8080\r\n"
      "192.0.2.7|80\r\n"
      "192.0.2.8|81|lan\r\n"
      "\n"
      "192.0.2.9|82");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->port, 0);
  std::vector<Candidate> expected = {{"192.0.2.8", 81, "lan\r"}, {"192.0.2.9", 82, "lan"}};
  EXPECT_EQ(status->candidates, expected);
}

TEST(ParsePunchStatus, InvalidUtf8IsReplacedNotRefused) {
  auto status = parse_status_text("punch|ready|n\xFF|1|80\nh\xFE|5|x");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->peer, "n\xEF\xBF\xBD");
  ASSERT_EQ(status->candidates.size(), 1u);
  EXPECT_EQ(status->candidates[0].addr, "h\xEF\xBF\xBD");
}

TEST(ParseCandidates, SkipsItemsWithoutAUsablePortOrAddress) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<Candidate> expected;
  } cases[] = {
      {"mixed list",
       "a|1,,b|2|x|y,c,|3,!|4,d|+5,e|65536",
       {{"a", 1, "lan"}, {"b", 2, "x"}, {"d", 5, "lan"}}},
      {"one marker removed", "!!x|1", {{"!x", 1, "lan"}}},
      {"marker on IPv4 removed", "!192.0.2.1|9|lan", {{"192.0.2.1", 9, "lan"}}},
      {"writer's form",
       "192.0.2.10|8080|lan,!2001:db8::10|8080|v6",
       {{"192.0.2.10", 8080, "lan"}, {"2001:db8::10", 8080, "v6"}}},
      {"empty kind kept", "a|1|", {{"a", 1, ""}}},
      {"port 0 kept", "a|0|obs", {{"a", 0, "obs"}}},
      {"empty text", "", {}},
      {"only commas", ",,,", {}},
      {"empty port", "a|", {}},
      {"lone plus", "a|+", {}},
      {"lone minus", "a|-", {}},
      {"negative", "a|-1", {}},
      {"blank in port", "a| 1", {}},
      {"blanks stay in address and kind", " a |1| lan ", {{" a ", 1, " lan "}}},
      {"largest port", "a|65535", {{"a", 65535, "lan"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_candidates(c.input), c.expected) << c.name;
}

TEST(ParseAllowList, TrimsChecksAndDropsDuplicates) {
  std::vector<std::string> refused{"earlier"};
  AllowList names = parse_allow_list({" Nas ; office,nas,,bad name "}, refused);
  EXPECT_EQ(names, (AllowList{"nas", "office"}));
  EXPECT_EQ(refused, (std::vector<std::string>{"earlier", "bad name"}));
}

TEST(ParseAllowList, ReadsEveryInputInOrderAndKeepsRefusedItemsAsGiven) {
  std::vector<std::string> refused;
  AllowList names = parse_allow_list({"B,a", "", " ; ", "A;-X-;c", "Ünï"}, refused);
  EXPECT_EQ(names, (AllowList{"b", "a", "c"}));
  EXPECT_EQ(refused, (std::vector<std::string>{"-X-", "Ünï"}));
}

TEST(ParseAllowList, StopsAtThirtyTwoNames) {
  std::string many;
  for (int i = 0; i < 40; ++i) many += "dev" + std::to_string(i) + ",";
  std::vector<std::string> refused;
  AllowList names = parse_allow_list({many}, refused);
  ASSERT_EQ(names.size(), MAX_ALLOW_LIST);
  EXPECT_EQ(names.front(), "dev0");
  EXPECT_EQ(names.back(), "dev31");
  EXPECT_TRUE(refused.empty());

  // Once full, nothing later is examined: not the rest of the text, not later inputs.
  std::string thirty_two;
  for (int i = 0; i < 32; ++i) thirty_two += "n" + std::to_string(i) + ";";
  names = parse_allow_list({thirty_two + "bad name,extra", "also bad!", "more"}, refused);
  EXPECT_EQ(names.size(), MAX_ALLOW_LIST);
  EXPECT_EQ(names.back(), "n31");
  EXPECT_TRUE(refused.empty());
}

std::vector<PunchRequest> requests_named(std::initializer_list<const char*> names) {
  std::vector<PunchRequest> list;
  std::uint64_t at = 1000;
  for (const char* n : names) list.push_back({n, at--});
  return list;
}

TEST(RequestList, ForgetRemovesEveryEntryOfTheExactName) {
  auto list = requests_named({"a", "nas", "b", "nas", "Nas", "c"});
  forget_requests_from(list, "nas");
  std::vector<PunchRequest> expected = {{"a", 1000}, {"b", 998}, {"Nas", 996}, {"c", 995}};
  EXPECT_EQ(list, expected);
  forget_requests_from(list, "missing");
  EXPECT_EQ(list, expected);
}

TEST(RequestList, KeepRecentDropsOnlyEntriesAfterTheSixteenth) {
  for (std::size_t size : {0u, 1u, 15u, 16u, 17u, 40u}) {
    std::vector<PunchRequest> list;
    for (std::size_t i = 0; i < size; ++i) list.push_back({"d" + std::to_string(i), i});
    auto before = list;
    keep_recent_requests(list);
    std::size_t kept = std::min<std::size_t>(size, MAX_PUNCH_REQUESTS);
    ASSERT_EQ(list.size(), kept) << size;
    EXPECT_TRUE(std::equal(list.begin(), list.end(), before.begin())) << size;
  }
}

TEST(QuotedForms, ListsOfTextsAndCandidates) {
  EXPECT_EQ(quoted_list({}), "[]");
  EXPECT_EQ(quoted_list({"nas"}), "[\"nas\"]");
  EXPECT_EQ(quoted_list({"a", "b\"c", "中文"}), "[\"a\", \"b\\\"c\", \"中文\"]");
  EXPECT_EQ(quoted_candidates({}), "[]");
  EXPECT_EQ(quoted_candidates({{"198.51.100.9", 40000, "obs-peer"}, {"192.0.2.7", 8080, "lan"}}),
            "[(\"198.51.100.9\", 40000, \"obs-peer\"), (\"192.0.2.7\", 8080, \"lan\")]");
  EXPECT_EQ(quoted_candidates({{"a\\b", 0, "lan\r"}}), "[(\"a\\\\b\", 0, \"lan\\r\")]");
}

}  // namespace
}  // namespace quillmar
