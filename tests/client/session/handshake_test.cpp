// The texts of registration and of the stream opening, as tables: the welcome's
// numbers, the refusals' notices and port lists, the port of an open request, the
// gateway address, and the ready banner.
#include "session/handshake.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "async_test.hpp"
#include "proto/text.hpp"
#include "session/gateway_connection.hpp"
#include "session/session.hpp"

namespace quillmar {
namespace {

using namespace std::chrono_literals;

TEST(WelcomeNumber, ReadsOnlyFieldsWithABarInFront) {
  struct Case {
    const char* name;
    std::string text;
    std::string key;
    std::uint64_t expected;
  } cases[] = {
      {"both fields", "|pubport=80|pubtls=443", "pubport", 80},
      {"second field", "|pubport=80|pubtls=443", "pubtls", 443},
      {"no bar in front", "pubport=80", "pubport", 0},
      {"blanks trimmed", "|pubport= 80 |", "pubport", 80},
      {"Unicode blanks trimmed",
       "|pubport=\u3000"
       "80\u00a0|",
       "pubport", 80},
      {"trailing letter", "|pubport=80x|", "pubport", 0},
      {"no fields", "", "pubport", 0},
      {"plus sign", "|pubport=+8080", "pubport", 8080},
      {"plus alone", "|pubport=+|", "pubport", 0},
      {"minus", "|pubport=-1|", "pubport", 0},
      {"empty value", "|pubport=|pubtls=1", "pubport", 0},
      {"largest value", "|pubport=18446744073709551615", "pubport", UINT64_MAX},
      {"overflow", "|pubport=18446744073709551616", "pubport", 0},
      {"first occurrence wins", "|pubport=1|pubport=2", "pubport", 1},
      {"key is a prefix of another", "|pubportx=5|pubport=6", "pubport", 6},
      {"other fields ignored", "|v=2|pubtls=7|x=y", "pubtls", 7},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(welcome_number(c.text, c.key), c.expected) << c.name;
  }
}

TEST(MappingLimitNotice, IsTheQuotaTextThatNamesMappingsOrTunnels) {
  struct Case {
    const char* name;
    std::string text;
    std::optional<std::string> expected;
  } cases[] = {
      {"mappings", "quota: 映射已满", "映射已满"},
      {"tunnels", "quota:隧道数量超出  ", "隧道数量超出"},
      {"word anywhere", "quota: plan allows 1 映射", "plan allows 1 映射"},
      {"nothing after the prefix", "quota:映射", "映射"},
      {"daily quota", "quota: daily traffic used up", std::nullopt},
      {"no prefix", "映射已满", std::nullopt},
      {"prefix not at the start", " quota: 映射已满", std::nullopt},
      {"capital prefix", "Quota: 映射已满", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(mapping_limit_notice(c.text), c.expected) << c.name;
  }
}

TEST(ParseBlockedPorts, TakesTheDigitRunsAfterTheFirstMarker) {
  using Ports = std::vector<std::uint16_t>;
  struct Case {
    const char* name;
    std::string text;
    std::optional<Ports> expected;
  } cases[] = {
      {"list with a number too large", "blocked ports: 22, 445 and 99999", Ports{22, 445}},
      {"no numbers", "blocked ports: none", std::nullopt},
      {"no marker", "ports 22 and 445 refused", std::nullopt},
      {"leading zeros", "blocked ports: 00022", Ports{22}},
      {"repeats kept", "blocked ports: 22,22", Ports{22, 22}},
      {"zero and the largest", "blocked ports: 0 65535 65536", Ports{0, 65535}},
      {"numbers before the marker ignored", "port 80: blocked ports: 8080", Ports{8080}},
      {"up to the second marker", "blocked ports: 1 blocked ports: 2", Ports{1}},
      {"only numbers too large", "blocked ports: 70000", std::nullopt},
      {"very long run skipped", "blocked ports: 123456789012345678901234567890 5", Ports{5}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_blocked_ports(c.text), c.expected) << c.name;
  }
}

TEST(StreamPort, DefaultsTo80WhenThePortTextIsNoNumber) {
  struct Case {
    std::string text;
    std::uint16_t expected;
  } cases[] = {
      {" 22 ", 22}, {"+22", 22}, {"abc", 80}, {"-1", 80},         {"99999", 80},    {"", 80},
      {"0", 0},     {"+", 80},   {"2 2", 80}, {"\t8080\r", 8080}, {"65535", 65535},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stream_port(c.text), c.expected) << quoted_form(c.text);
  }
}

// Addresses that fail before any connection is tried.
TEST(ConnectGateway, RefusesAddressesWithoutAUsablePort) {
  struct Case {
    std::string address;
    std::string message;
  } cases[] = {
      {"gateway.example", "网关地址应为 host:port"},
      {"", "网关地址应为 host:port"},
      {"host:", "网关端口不是数字"},
      {"host:+", "网关端口不是数字"},
      {"host:-", "网关端口不是数字"},
      {"host:65536", "网关端口不是数字"},
      {"host:44 3", "网关端口不是数字"},
      {"host:https", "网关端口不是数字"},
  };
  asio::io_context io;
  for (const auto& c : cases) {
    auto connected = test::run_async(io, connect_gateway(c.address, 1s));
    ASSERT_FALSE(connected.ok()) << c.address;
    EXPECT_EQ(connected.error().kind, ErrorKind::Other) << c.address;
    EXPECT_EQ(connected.error().message, c.message) << c.address;
  }
}

// The host is everything before the last ':', unchanged: '::1:PORT' reaches ::1, and a
// '+' before the port is allowed.
TEST(ConnectGateway, SplitsAtTheLastColon) {
  asio::io_context io;
  for (auto family : {asio::ip::tcp::v4(), asio::ip::tcp::v6()}) {
    asio::ip::tcp::acceptor listener(io);
    std::error_code ec;
    listener.open(family, ec);
    auto loopback = family == asio::ip::tcp::v4()
                        ? asio::ip::address(asio::ip::address_v4::loopback())
                        : asio::ip::address(asio::ip::address_v6::loopback());
    if (!ec) listener.bind({loopback, 0}, ec);
    if (!ec) listener.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
      ASSERT_EQ(family, asio::ip::tcp::v6()) << ec.message();
      continue;  // a machine without IPv6 loopback
    }
    std::string address =
        loopback.to_string() + ":+" + std::to_string(listener.local_endpoint().port());
    auto connected = test::run_async(io, connect_gateway(address, 5s));
    ASSERT_TRUE(connected.ok()) << address << ": " << connected.error().display();
    EXPECT_EQ(connected.value().remote_endpoint().address(), loopback);
  }
}

TEST(ReadyBanner, ListsEveryPortWithItsTarget) {
  struct Case {
    const char* name;
    std::vector<std::uint16_t> ports;
    std::string expected;
  } cases[] = {
      {"two ports, one with a target",
       {8080, 22},
       "\n  ✔ 已就绪  https://kite.example.test\n"
       "    https://kite-8080.example.test  ->  http://127.0.0.1:8080\n"
       "    https://kite-22.example.test  ->  http://nas.lan:22\n"
       "\n"},
      {"no ports",
       {},
       "\n  ✔ 已就绪  https://kite.example.test\n"
       "    （还没有映射，去管理页面添加）\n"
       "\n"},
  };
  for (const auto& c : cases) {
    SharedState shared;
    shared.targets.set({{22, "nas.lan"}, {9, "unused"}});
    SessionInputs inputs{"gw:443", "example.test", "kite", "token", c.ports, ""};
    std::fflush(stdout);  // what is still buffered belongs to the test run, not the capture
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    print_ready_banner(inputs, shared);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, c.expected) << c.name;
    EXPECT_EQ(err, "") << c.name;
  }
}

}  // namespace
}  // namespace quillmar
