// The stand-in's pure parts as tables: the hello, the registration rules and their
// texts, the account line, the public host names, the admin escapes and the command line.
#include <gtest/gtest.h>

#include "devgw/devgw_admin.hpp"
#include "devgw/devgw_cli.hpp"
#include "devgw/devgw_host.hpp"
#include "devgw/devgw_rules.hpp"
#include "proto/frame.hpp"
#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

TEST(DevgwParseHello, ReadsNamePortsAndToken) {
  struct Case {
    std::string_view payload;
    std::string name;
    std::vector<std::uint16_t> ports;
    std::string token;
  } cases[] = {
      {"kite\n80,22\n0123456789abcdef0123456789abcdef",
       "kite",
       {80, 22},
       "0123456789abcdef0123456789abcdef"},
      {"kite\n\nt", "kite", {}, "t"},
      {"a_b-c\n0,80,80\nt", "a_b-c", {0, 80, 80}, "t"},
      {"kite\n+8080\nt", "kite", {8080}, "t"},
  };
  for (const auto& c : cases) {
    auto hello = parse_hello(as_bytes(c.payload));
    ASSERT_TRUE(hello.ok()) << c.payload << ": " << hello.error().message;
    EXPECT_EQ(hello.value().name, c.name);
    EXPECT_EQ(hello.value().ports, c.ports);
    EXPECT_EQ(hello.value().token, c.token);
  }
}

TEST(DevgwParseHello, RefusesWhatCannotBeRegistered) {
  struct Case {
    std::string_view payload;
    std::string_view message;
  } cases[] = {
      {"kite\n80", "bad hello: expected three lines (name, ports, token), got 2"},
      {"kite\n80\nt\n", "bad hello: expected three lines (name, ports, token), got 4"},
      {"\n80\nt", "bad hello: device name \"\" is not valid"},
      {"-kite\n80\nt", "bad hello: device name \"-kite\" is not valid"},
      {"ki te\n80\nt", "bad hello: device name \"ki te\" is not valid"},
      {"kite\n80,,22\nt", "bad hello: port \"\" is not a number from 0 to 65535"},
      {"kite\n65536\nt", "bad hello: port \"65536\" is not a number from 0 to 65535"},
      {"kite\n80, 22\nt", "bad hello: port \" 22\" is not a number from 0 to 65535"},
      {"kite\n80\n", "bad hello: the token is empty"},
      {"kite\n80\nt\x01", "bad hello: the token holds control characters"},
      {"kite\n80\n\xff", "bad hello: the text is not UTF-8"},
  };
  for (const auto& c : cases) {
    auto hello = parse_hello(as_bytes(c.payload));
    ASSERT_FALSE(hello.ok()) << c.payload;
    EXPECT_EQ(hello.error().kind, ErrorKind::InvalidData);
    EXPECT_EQ(hello.error().message, c.message);
  }
  EXPECT_FALSE(parse_hello(as_bytes("kite\n80\n" + std::string(257, 't'))).ok());
  EXPECT_TRUE(parse_hello(as_bytes("kite\n80\n" + std::string(256, 't'))).ok());
}

TEST(DevgwDeviceName, FollowsTheClientsAlphabet) {
  for (std::string_view good :
       {"kite", "a", "_", "my-pc", "a_", "0123456789012345678901234567890123456789"}) {
    EXPECT_TRUE(is_device_name(good)) << good;
  }
  for (std::string_view bad :
       {"", "-a", "a-", "Kite", "a.b", "a b", "01234567890123456789012345678901234567890"}) {
    EXPECT_FALSE(is_device_name(bad)) << bad;
  }
}

TEST(DevgwRegistration, AppliesTheRulesInOrder) {
  Hello hello{"kite", {80, 22, 445}, "token-a"};
  const std::optional<std::string> no_invite;
  const std::optional<std::string> right_invite = "sesame";
  struct Case {
    const char* name;
    Policy policy;
    const std::optional<std::string>& invite;
    std::optional<std::string_view> owner;
    std::uint64_t used;
    std::optional<std::string> refusal;
  } cases[] = {
      {"nothing enforced", {}, no_invite, std::nullopt, 0, std::nullopt},
      {"owner is the asker", {}, no_invite, "token-a", 0, std::nullopt},
      {"owner is another", {}, no_invite, "token-b", 0, "slug-taken: kite"},
      {"invite before ownership",
       {"sesame", 0, {}, 0},
       no_invite,
       "token-b",
       0,
       "需要接入码（invite code required）"},
      {"right invite, then ownership",
       {"sesame", 0, {}, 0},
       right_invite,
       "token-b",
       0,
       "slug-taken: kite"},
      {"blocked before the mapping limit",
       {"", 1, {445, 22}, 0},
       no_invite,
       std::nullopt,
       0,
       "blocked ports: 22, 445"},
      {"mapping limit",
       {"", 2, {}, 0},
       no_invite,
       std::nullopt,
       0,
       "quota: 映射数量超出套餐上限（本次 3 个，套餐最多 2 个）"},
      {"quota reached",
       {"", 0, {}, 1000},
       no_invite,
       std::nullopt,
       1000,
       "quota: 今日流量已用完（1000 / 1000 字节），UTC 0 点重置"},
      {"quota not yet reached", {"", 0, {}, 1000}, no_invite, std::nullopt, 999, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(registration_refusal(Applicant{hello, c.invite, c.owner, c.used}, c.policy),
              c.refusal);
  }
}

TEST(DevgwRegistration, QuotaTextsReadTheWayTheClientSortsThem) {
  // The client takes "quota:" with 映射 or 隧道 for the mapping limit, any other for the day's
  // quota.
  auto mapping = mapping_limit_text(5, 3);
  EXPECT_TRUE(mapping.starts_with("quota:"));
  EXPECT_NE(mapping.find("映射"), std::string::npos);
  auto daily = quota_text(10, 5);
  EXPECT_TRUE(daily.starts_with("quota:"));
  EXPECT_EQ(daily.find("映射"), std::string::npos);
  EXPECT_EQ(daily.find("隧道"), std::string::npos);
  EXPECT_NE(std::string(INVITE_MISSING_TEXT).find("接入码"), std::string::npos);
  EXPECT_NE(std::string(INVITE_WRONG_TEXT).find("接入码"), std::string::npos);
}

TEST(DevgwAccount, FormatsTheSevenFieldLine) {
  EXPECT_EQ(account_line({"free", 12, 1073741824, 1700006400, 3, 0}),
            "v1|free|12|1073741824|1700006400|3|0");
  EXPECT_EQ(account_line({"vip", UINT64_MAX, 0, 0, UINT32_MAX, 1}),
            "v1|vip|18446744073709551615|0|0|4294967295|1");
  EXPECT_EQ(welcome_text(80, 443), "|pubport=80|pubtls=443");
  EXPECT_EQ(next_utc_midnight(0), 86400u);
  EXPECT_EQ(next_utc_midnight(86399), 86400u);
  EXPECT_EQ(next_utc_midnight(86400), 172800u);
}

TEST(DevgwPortList, ReadsCommaSeparatedPorts) {
  EXPECT_EQ(parse_port_list("22,445"), (std::vector<std::uint16_t>{22, 445}));
  EXPECT_EQ(parse_port_list(" 22 , 445 "), (std::vector<std::uint16_t>{22, 445}));
  EXPECT_EQ(parse_port_list(""), std::vector<std::uint16_t>{});
  EXPECT_EQ(parse_port_list("22,,445"), std::nullopt);
  EXPECT_EQ(parse_port_list("0"), std::nullopt);
  EXPECT_EQ(parse_port_list("ssh"), std::nullopt);
  EXPECT_EQ(join_ports({80, 22}, ", "), "80, 22");
}

TEST(DevgwRequestHead, FindsItsEndAndItsHost) {
  EXPECT_EQ(find_head_end("GET / HTTP/1.1\r\nHost: a\r\n\r\nbody"), 27u);
  EXPECT_EQ(find_head_end("GET / HTTP/1.1\nHost: a\n\nbody"), 24u);
  EXPECT_EQ(find_head_end("GET / HTTP/1.1\r\nHost: a\r\n"), std::nullopt);

  struct Case {
    std::string_view head;
    std::optional<std::string> host;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: Kite-80.LocalHost:7080\r\n\r\n", "kite-80.localhost:7080"},
      {"POST /x HTTP/1.0\r\nhost:\tkite.localhost \r\nAccept: */*\r\n\r\n", "kite.localhost"},
      {"GET / HTTP/1.1\nX: y\nHOST: kite.localhost\n\n", "kite.localhost"},
      {"GET / HTTP/1.1\r\n\r\n", std::nullopt},
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", std::nullopt},
      {"GET / HTTP/1.1\r\nHost: \r\n\r\n", std::nullopt},
      {"hello there\r\n\r\n", std::nullopt},
      {"get / HTTP/1.1\r\nHost: a\r\n\r\n", std::nullopt},
  };
  for (const auto& c : cases) {
    auto host = request_host(c.head);
    EXPECT_EQ(host.ok(), c.host.has_value()) << c.head;
    if (host.ok() && c.host) {
      EXPECT_EQ(host.value(), *c.host);
    }
  }
}

TEST(DevgwPublicHost, SplitsTheLabelIntoNameAndPort) {
  using Split = std::optional<std::pair<std::string, std::uint16_t>>;
  struct Case {
    std::string_view host;
    std::optional<std::string> label;
    Split with_port;
  } cases[] = {
      {"kite-80.localhost", "kite-80", Split({"kite", 80})},
      {"kite-80.localhost:7080", "kite-80", Split({"kite", 80})},
      {"kite.localhost.", "kite", std::nullopt},
      {"my-pc-3000.localhost", "my-pc-3000", Split({"my-pc", 3000})},
      {"my-pc.localhost", "my-pc", std::nullopt},
      {"kite-0.localhost", "kite-0", std::nullopt},
      {"kite-65536.localhost", "kite-65536", std::nullopt},
      {"kite-+80.localhost", "kite-+80", std::nullopt},
      {"-80.localhost", "-80", std::nullopt},
      {"localhost", std::nullopt, std::nullopt},
      {".localhost", std::nullopt, std::nullopt},
      {"a.kite.localhost", std::nullopt, std::nullopt},
      {"kite.example.com", std::nullopt, std::nullopt},
      {"kitelocalhost", std::nullopt, std::nullopt},
      {"[::1]:7080", std::nullopt, std::nullopt},
      {"kite.localhost:http", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    auto name = parse_public_host(c.host, "localhost");
    ASSERT_EQ(name.has_value(), c.label.has_value()) << c.host;
    if (!name) continue;
    EXPECT_EQ(name->label, *c.label) << c.host;
    EXPECT_EQ(name->with_port, c.with_port) << c.host;
  }
  EXPECT_TRUE(parse_public_host("nas-22.Tunnel.Example", "tunnel.example").has_value());
}

TEST(DevgwHttpReply, IsACompleteClosingReply) {
  EXPECT_EQ(
      http_reply(404, "Not Found", "nope\n"),
      "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 5\r\n"
      "Connection: close\r\n\r\nnope\n");
}

TEST(DevgwAdminText, UnescapesTheListedSequences) {
  struct Case {
    std::string_view input;
    std::optional<std::string> output;
  } cases[] = {
      {"plain", "plain"},      {"a\\nb\\r\\tc", "a\nb\r\tc"},
      {"\\\\n", "\\n"},        {"\\0\\x41\\xfF", std::string("\0A\xff", 3)},
      {"中文\\n", "中文\n"},   {"\\q", std::nullopt},
      {"end\\", std::nullopt}, {"\\x4", std::nullopt},
      {"\\xzz", std::nullopt},
  };
  for (const auto& c : cases) {
    auto text = unescape(c.input);
    EXPECT_EQ(text.ok(), c.output.has_value()) << c.input;
    if (text.ok() && c.output) {
      EXPECT_EQ(text.value(), *c.output) << c.input;
    }
  }
}

TEST(DevgwAdminText, TakesWordsTargetsAndKinds) {
  std::string_view rest = "  notice   @kite  hello  world ";
  EXPECT_EQ(take_word(rest), "notice");
  EXPECT_EQ(take_target(rest), "kite");
  EXPECT_EQ(rest, "hello  world ");
  std::string_view no_target = "hello";
  EXPECT_EQ(take_target(no_target), std::nullopt);
  EXPECT_EQ(no_target, "hello");

  struct Case {
    std::string_view text;
    std::optional<std::uint8_t> kind;
  } kinds[] = {
      {"data", KIND_DATA},
      {"KIND_DATA", KIND_DATA},
      {"half-close", KIND_HALF_CLOSE},
      {"Punch_Status", KIND_PUNCH_STATUS},
      {"48", KIND_ERROR},
      {"0", 0},
      {"255", 255},
      {"256", std::nullopt},
      {"gossip", std::nullopt},
  };
  for (const auto& c : kinds) EXPECT_EQ(parse_frame_kind(c.text), c.kind) << c.text;

  EXPECT_EQ(parse_byte_count("1048576"), 1048576u);
  EXPECT_EQ(parse_byte_count("512K"), 524288u);
  EXPECT_EQ(parse_byte_count("10m"), 10485760u);
  EXPECT_EQ(parse_byte_count("2G"), 2147483648u);
  EXPECT_EQ(parse_byte_count("M"), std::nullopt);
  EXPECT_EQ(parse_byte_count("1.5G"), std::nullopt);
  EXPECT_EQ(parse_byte_count("17179869184G"), std::nullopt);
}

TEST(DevgwCommandLine, ReadsEveryOption) {
  auto cli = parse_command_line({"--control-port",
                                 "0",
                                 "--public-http-port=off",
                                 "--public-https-port",
                                 "0",
                                 "--front-ca-out",
                                 "front-ca.pem",
                                 "--admin-port",
                                 "9001",
                                 "--raw",
                                 "9000=kite:5201",
                                 "--raw=9002=nas:22",
                                 "--domain",
                                 "Dev.Example",
                                 "--tls",
                                 "--swap-cert-after",
                                 "30",
                                 "--pubport",
                                 "auto",
                                 "--pubtls",
                                 "8443",
                                 "--plan",
                                 "pro",
                                 "--plan-ends-at",
                                 "1700000000",
                                 "--account-interval",
                                 "250",
                                 "--invite",
                                 "sesame",
                                 "--max-mappings",
                                 "3",
                                 "--block-ports",
                                 "22,445",
                                 "--daily-quota",
                                 "10M",
                                 "--half-close",
                                 "--handshake-timeout",
                                 "5",
                                 "-v"});
  ASSERT_TRUE(cli.ok()) << cli.error().message;
  const auto& o = cli.value().options;
  EXPECT_FALSE(cli.value().help);
  EXPECT_EQ(o.control_port, 0);
  EXPECT_EQ(o.public_http_port, std::nullopt);
  EXPECT_EQ(o.public_https_port, 0);
  EXPECT_EQ(o.front_ca_file, std::filesystem::path("front-ca.pem"));
  EXPECT_EQ(o.admin_port, 9001);
  ASSERT_EQ(o.raw_routes.size(), 2u);
  EXPECT_EQ(o.raw_routes[0].listen_port, 9000);
  EXPECT_EQ(o.raw_routes[0].device, "kite");
  EXPECT_EQ(o.raw_routes[0].port, 5201);
  EXPECT_EQ(o.raw_routes[1].device, "nas");
  EXPECT_EQ(o.domain, "dev.example");
  EXPECT_EQ(o.tls, TlsSetup::generated);
  EXPECT_EQ(o.swap_cert_after, std::chrono::seconds(30));
  EXPECT_TRUE(o.pubport_is_public_http);
  EXPECT_EQ(o.pubtls, 8443u);
  EXPECT_FALSE(o.pubtls_is_public_https);
  auto automatic = parse_command_line({"--pubtls", "auto", "--pubport", "80"});
  ASSERT_TRUE(automatic.ok());
  EXPECT_TRUE(automatic.value().options.pubtls_is_public_https);
  EXPECT_FALSE(automatic.value().options.pubport_is_public_http);
  EXPECT_EQ(automatic.value().options.pubport, 80u);
  EXPECT_EQ(o.plan, "pro");
  EXPECT_EQ(o.plan_ends_at, 1700000000u);
  EXPECT_EQ(o.account_interval, std::chrono::milliseconds(250));
  EXPECT_EQ(o.invite_code, "sesame");
  EXPECT_EQ(o.max_mappings, 3u);
  EXPECT_EQ(o.blocked_ports, (std::vector<std::uint16_t>{22, 445}));
  EXPECT_EQ(o.daily_quota, 10u * 1024 * 1024);
  EXPECT_TRUE(o.half_close);
  EXPECT_EQ(o.handshake_timeout, std::chrono::seconds(5));
  EXPECT_TRUE(o.verbose);
}

TEST(DevgwCommandLine, HasDefaultsForAHuman) {
  auto cli = parse_command_line({});
  ASSERT_TRUE(cli.ok());
  const auto& o = cli.value().options;
  EXPECT_EQ(o.control_port, DEFAULT_CONTROL_PORT);
  EXPECT_EQ(o.public_http_port, DEFAULT_PUBLIC_HTTP_PORT);
  EXPECT_EQ(o.admin_port, DEFAULT_ADMIN_PORT);
  EXPECT_EQ(o.public_https_port, std::nullopt);
  EXPECT_EQ(o.domain, "localhost");
  EXPECT_EQ(o.tls, TlsSetup::off);
  auto files = parse_command_line({"--cert", "a.pem", "--key", "a.key"});
  ASSERT_TRUE(files.ok());
  EXPECT_EQ(files.value().options.tls, TlsSetup::files);
  EXPECT_TRUE(parse_command_line({"-h"}).value().help);
}

TEST(DevgwCommandLine, NamesTheOptionThatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--bogus"}, "unknown option \"--bogus\" (see --help)"},
      {{"--control-port"}, "--control-port needs a value"},
      {{"--control-port", "off"}, "--control-port \"off\": expected a port 0 to 65535"},
      {{"--admin-port", "70000"}, "--admin-port \"70000\": expected a port 0 to 65535 or off"},
      {{"--public-https-port", "x"},
       "--public-https-port \"x\": expected a port 0 to 65535 or off"},
      {{"--pubtls", "-1"}, "--pubtls \"-1\": expected a number or auto"},
      {{"--raw", "9000=kite"},
       "--raw \"9000=kite\": expected LISTEN=NAME:PORT, e.g. 9000=kite:5201"},
      {{"--raw", "9000=Kite:80"},
       "--raw \"9000=Kite:80\": expected LISTEN=NAME:PORT with a device name and ports, e.g. "
       "9000=kite:5201"},
      {{"--plan", "a plan"}, "--plan \"a plan\": expected 1 to 24 letters, digits, '_' or '-'"},
      {{"--daily-quota", "lots"},
       "--daily-quota \"lots\": expected bytes, with an optional K, M or G"},
      {{"--block-ports", ""}, "--block-ports \"\": expected ports such as 22,445"},
      {{"--cert", "a.pem"}, "--cert and --key go together"},
      {{"--swap-cert-after", "5"}, "--swap-cert-after needs --tls or --cert and --key"},
  };
  for (const auto& c : cases) {
    auto cli = parse_command_line(c.args);
    ASSERT_FALSE(cli.ok()) << c.message;
    EXPECT_EQ(cli.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(cli.error().message, c.message);
  }
}

TEST(DevgwCommandLine, HelpExplainsEveryOptionAndCommand) {
  const std::string help = help_text();
  for (std::string_view word : {"--control-port",
                                "--public-http-port",
                                "--public-https-port",
                                "--front-ca-out",
                                "--admin-port",
                                "--raw",
                                "--domain",
                                "--tls",
                                "--cert",
                                "--key",
                                "--swap-cert-after",
                                "--pubport",
                                "--pubtls",
                                "--plan",
                                "--plan-ends-at",
                                "--account-interval",
                                "--invite",
                                "--max-mappings",
                                "--block-ports",
                                "--daily-quota",
                                "--half-close",
                                "--handshake-timeout",
                                "--verbose",
                                "--help",
                                "notice",
                                "punch",
                                "offers",
                                "results",
                                "account",
                                "frame",
                                "drop",
                                "mute",
                                "unmute",
                                "release",
                                "usage",
                                "refuse-next",
                                "stall-next",
                                "swap-cert",
                                "set",
                                "shutdown",
                                "quit",
                                "status",
                                "devices",
                                "fingerprint"}) {
    EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace quillmar::devgw
