// The state document and the JSON string writer.
#include "console/state_document.hpp"

#include <gtest/gtest.h>

#include "app/instance_probe.hpp"
#include "console_test_support.hpp"

namespace quillmar {
namespace {

constexpr const char* DEVICE_ID = "0123456789abcdef0123456789abcdef";
const std::string DIGEST(64, 'a');

TEST(JsonString, RemovesQuotesBackslashesAndControls) {
  struct Case {
    const char* name;
    std::string input;
    std::string expected;
  } cases[] = {
      {"plain", "kite", "\"kite\""},
      {"empty", "", "\"\""},
      {"double quote", "a\"b", "\"ab\""},
      {"backslash", "a\\b", "\"ab\""},
      {"line feed, carriage return, tab", "a\nb\rc\td", "\"abcd\""},
      {"zero and unit separator", std::string("a\0b\x1f", 4), "\"ab\""},
      {"delete",
       "a\x7f"
       "b",
       "\"ab\""},
      {"C1 controls",
       "a\xC2\x80"
       "b\xC2\x9F"
       "c",
       "\"abc\""},
      {"no-break space kept",
       "a\xC2\xA0"
       "b",
       "\"a\xC2\xA0"
       "b\""},
      {"Chinese kept", "证书已更换", "\"证书已更换\""},
      {"four-byte character kept", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
      {"slash and angle brackets kept", "</script>", "\"</script>\""},
      {"invalid bytes become U+FFFD",
       "a\xff"
       "b",
       "\"a\xEF\xBF\xBD"
       "b\""},
  };
  test::unset_env("TUNNEL_DEBUG");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json_string(c.input), c.expected);
  }
}

TEST(JsonString, ReportsRemovalsOnlyWithTunnelDebug) {
  test::unset_env("TUNNEL_DEBUG");
  testing::internal::CaptureStderr();
  EXPECT_EQ(json_string("a\"b\n"), "\"ab\"");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  test::set_env("TUNNEL_DEBUG", "1");
  testing::internal::CaptureStderr();
  EXPECT_EQ(json_string("a\"b\n"), "\"ab\"");
  EXPECT_EQ(json_string("clean"), "\"clean\"");  // nothing removed: no line
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "client: 已过滤非法字符 \"a\\\"b\\n\" -> \"ab\"\n");
  test::unset_env("TUNNEL_DEBUG");
}

SharedStatePtr fixed_state() {
  auto s = std::make_shared<SharedState>();
  s->device_id = DEVICE_ID;
  s->started_at = 1700000000;
  s->sub.set("kite");
  s->ports.set({8080, 22});
  s->targets.set({{22, "nas.lan"}});
  s->plan.set("vip");
  store(s->usage_used, 1234);
  store(s->usage_reset_at, 1700003600);
  store(s->plan_ends_at, 1710000000);
  s->connection_error.set("证书\"变了\"\n");
  s->access.set({{8080, DIGEST}});
  s->invite.set("INV-1");
  store(s->connected, 1);
  store(s->ownership, OWNERSHIP_MINE);
  s->blocked_ports.set({22});
  store(s->punch_state, PUNCH_DIRECT);
  s->punch_note.set("direct ok");
  s->punch_allow.set({"a", "b"});
  s->punch_visit.set("peer");
  s->punch_requests.set({{"c", 990}, {"d", 2000}});
  store(s->tls_active, 1);
  return s;
}

TEST(StateDocument, FixedStateGivesTheExactDocument) {
  test::unset_env("TUNNEL_DEBUG");
  const std::string expected =
      std::string(
          R"({"domain":"example.test","gateway":"gw.example.test:443","sub":"kite",)"
          R"("base_url":"https://kite.example.test","device_id":"0123456789abcdef0123456789abcdef",)"
          R"("started_at":1700000000,"connected":true,"tls":true,"invite_configured":true,)"
          R"("quota_used":false,"plan":"vip","usage_used":1234,"usage_limit":10485760,)"
          R"("usage_reset_at":1700003600,"max_mappings":1,"plan_ends_at":1710000000,)"
          R"("upgrade_url":"https://)") +
      QUILLMAR_SITE_HOST +
      R"(/?device_id=0123456789abcdef0123456789abcdef#plans",)"
      R"("connection_error":"证书变了","punch":2,"punch_note":"direct ok","ownership":"mine",)"
      R"("ports":[{"port":8080,"host":"127.0.0.1","slug":"kite-8080","url":"https://kite-8080.example.test",)"
      R"("protected":true},{"port":22,"host":"nas.lan","slug":"kite-22","url":"https://kite-22.example.test",)"
      R"("blocked":true,"plan_limited":true}],"punch_allow":["a","b"],)"
      R"("punch_requests":[{"who":"c","ago":10},{"who":"d","ago":0}],"punch_visit":"peer"})";
  EXPECT_EQ(render_state_json(*fixed_state(), "example.test", "gw.example.test:443", 1000),
            expected);
}

TEST(StateDocument, FreshStateBeforeTheFirstConnection) {
  auto s = std::make_shared<SharedState>();
  s->device_id = DEVICE_ID;
  s->started_at = 5;
  s->sub.set("kite");
  const std::string expected =
      std::string(
          R"({"domain":"example.test","gateway":"gw:443","sub":"kite","base_url":"https://kite.example.test",)"
          R"("device_id":"0123456789abcdef0123456789abcdef","started_at":5,"connected":false,"tls":false,)"
          R"("invite_configured":false,"quota_used":false,"plan":"free","usage_used":0,)"
          R"("usage_limit":10485760,"usage_reset_at":0,"max_mappings":1,"plan_ends_at":0,)"
          R"("upgrade_url":"https://)") +
      QUILLMAR_SITE_HOST +
      R"(/?device_id=0123456789abcdef0123456789abcdef#plans","connection_error":"","punch":0,)"
      R"("punch_note":"","ownership":"none","ports":[],"punch_allow":[],"punch_requests":[],"punch_visit":""})";
  EXPECT_EQ(render_state_json(*s, "example.test", "gw:443", 1000), expected);
}

TEST(StateDocument, OwnershipWords) {
  struct Case {
    std::uint64_t value;
    const char* word;
  } cases[] = {{OWNERSHIP_NONE, "\"none\""},
               {OWNERSHIP_MINE, "\"mine\""},
               {OWNERSHIP_THEIRS, "\"theirs\""},
               {7, "\"none\""}};
  for (const auto& c : cases) {
    SharedState s;
    store(s.ownership, c.value);
    EXPECT_NE(render_state_json(s, "d", "g", 0).find(std::string("\"ownership\":") + c.word + ","),
              std::string::npos)
        << c.value;
  }
}

TEST(StateDocument, PortItemFlags) {
  struct Case {
    const char* name;
    std::vector<std::uint16_t> ports;
    std::uint64_t max_mappings;
    std::vector<std::uint16_t> blocked;
    PortDigests access;
    std::string sub;
    std::string items;
  } cases[] = {
      {"no flags",
       {80},
       1,
       {},
       {},
       "kite",
       R"({"port":80,"host":"127.0.0.1","slug":"kite-80","url":"https://kite-80.d.test"})"},
      {"all three flags in order",
       {80},
       0,
       {80},
       {{80, DIGEST}},
       "kite",
       R"({"port":80,"host":"127.0.0.1","slug":"kite-80","url":"https://kite-80.d.test","blocked":true,"protected":true,"plan_limited":true})"},
      {"max_mappings 0 limits every item",
       {80, 81},
       0,
       {},
       {},
       "k",
       R"({"port":80,"host":"127.0.0.1","slug":"k-80","url":"https://k-80.d.test","plan_limited":true},)"
       R"({"port":81,"host":"127.0.0.1","slug":"k-81","url":"https://k-81.d.test","plan_limited":true})"},
      {"limit counts list positions",
       {80, 81, 82},
       2,
       {},
       {},
       "k",
       R"({"port":80,"host":"127.0.0.1","slug":"k-80","url":"https://k-80.d.test"},)"
       R"({"port":81,"host":"127.0.0.1","slug":"k-81","url":"https://k-81.d.test"},)"
       R"({"port":82,"host":"127.0.0.1","slug":"k-82","url":"https://k-82.d.test","plan_limited":true})"},
      {"digest and block of an unmapped port ignored",
       {80},
       1,
       {81},
       {{81, DIGEST}},
       "k",
       R"({"port":80,"host":"127.0.0.1","slug":"k-80","url":"https://k-80.d.test"})"},
      {"empty sub",
       {8080},
       1,
       {},
       {},
       "",
       R"({"port":8080,"host":"127.0.0.1","slug":"-8080","url":"https://-8080.d.test"})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SharedState s;
    s.sub.set(c.sub);
    s.ports.set(c.ports);
    store(s.max_mappings, c.max_mappings);
    s.blocked_ports.set(c.blocked);
    s.access.set(c.access);
    const std::string doc = render_state_json(s, "d.test", "g", 0);
    EXPECT_NE(doc.find(",\"ports\":[" + c.items + "],\"punch_allow\""), std::string::npos) << doc;
    if (c.sub.empty()) {
      EXPECT_NE(doc.find(R"("base_url":"",)"), std::string::npos);
    }
  }
}

TEST(StateDocument, TextsCannotBreakTheDocument) {
  SharedState s;
  s.sub.set("a\"b");
  s.targets.set({{80, "x\\\"y"}});
  s.ports.set({80});
  s.plan.set("}\"{");
  s.punch_allow.set({"q\"", "\x01"});
  const std::string doc = render_state_json(s, "d\"x", "g\n", 0);
  EXPECT_NE(doc.find(R"("domain":"dx","gateway":"g","sub":"ab","base_url":"https://ab.dx")"),
            std::string::npos)
      << doc;
  EXPECT_NE(doc.find(R"("host":"xy","slug":"ab-80")"), std::string::npos) << doc;
  EXPECT_NE(doc.find(R"("plan":"}{")"), std::string::npos) << doc;
  EXPECT_NE(doc.find(R"("punch_allow":["q",""])"), std::string::npos) << doc;
}

TEST(PunchLists, AgoCountsFromNowAndNeverGoesNegative) {
  SharedState s;
  s.punch_requests.set({{"ten", 990}, {"future", 1005}, {"now", 1000}});
  s.punch_allow.set({"x"});
  s.punch_visit.set("v");
  const PunchListsJson lists = punch_lists_json(s, 1000);
  EXPECT_EQ(lists.allow, R"("x")");
  EXPECT_EQ(lists.requests,
            R"({"who":"ten","ago":10},{"who":"future","ago":0},{"who":"now","ago":0})");
  EXPECT_EQ(lists.visit, R"("v")");
  // A clock before 1970 gives 0 for every item.
  EXPECT_EQ(punch_lists_json(s, std::nullopt).requests,
            R"({"who":"ten","ago":0},{"who":"future","ago":0},{"who":"now","ago":0})");
}

TEST(PunchLists, ReadsTheSystemClock) {
  SharedState s;
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  s.punch_requests.set({{"w", static_cast<std::uint64_t>(now - 10)}});
  const std::string requests = punch_lists_json(s).requests;
  // Ten seconds, or eleven when the clock ticked in between.
  EXPECT_TRUE(requests == R"({"who":"w","ago":10})" || requests == R"({"who":"w","ago":11})")
      << requests;
}

TEST(StateDocument, ServedOnApiStateWithTheProbeKeys) {
  auto shared = fixed_state();
  test::LiveConsole console(shared);
  const std::string reply = console.exchange(
      "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(console.port) + "\r\n\r\n");
  const std::string head_end = "\r\n\r\n";
  const std::string body = reply.substr(reply.find(head_end) + head_end.size());
  EXPECT_EQ(reply, test::json_reply(body));
  EXPECT_EQ(
      body.rfind(R"({"domain":"example.test","gateway":"gw.example.test:443","sub":"kite",)", 0),
      0u);
  EXPECT_NE(body.find("\"device_id\""), std::string::npos);
  EXPECT_NE(body.find("\"ports\""), std::string::npos);
}

// A second start of the program asks the running console with its own probe.
TEST(StateDocument, ASecondStartRecognisesTheRunningConsole) {
  test::LiveConsole console(fixed_state());
  EXPECT_TRUE(probe_running_instance(console.port));
}

}  // namespace
}  // namespace quillmar
