// The stand-in's control side over real loopback sockets: welcome and refusals, name
// ownership, bad input from one client, TLS and its certificate swap, time limits.
#include <functional>

#include "devgw/devgw_cert.hpp"
#include "devgw_test_support.hpp"

namespace quillmar::devgw::test {
namespace {

class DevgwHandshake : public GatewayFixture {};

// One frame as raw bytes, stream id 0.
std::string wire_frame(std::uint8_t kind, std::string_view payload) {
  auto header = encode_header(kind, 0, payload.size());
  return std::string(header.begin(), header.end()) + std::string(payload);
}

// A frame header that declares any length, even one above the limit the encoder keeps.
std::string header_declaring(std::uint8_t kind, std::uint32_t stream, std::uint32_t length) {
  auto bytes = encode_header(kind, stream, 0);
  for (int i = 0; i < 4; ++i) bytes[5 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(DevgwHandshake, WelcomesWithFrontDoorPortsThenSendsTheAccountLine) {
  auto options = quick_options();
  options.pubport = 8080;
  options.pubtls = 8443;
  options.plan = "pro";
  options.daily_quota = 5000;
  options.max_mappings = 3;
  options.plan_ends_at = 1700000000;
  options.clock = [] { return std::uint64_t{1'000'000}; };
  auto ports = start(options);
  run([&]() -> asio::awaitable<void> {
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "80,22", "token-a");
    auto welcome = co_await device.must_next();
    EXPECT_EQ(welcome.kind, KIND_WELCOME);
    EXPECT_EQ(text_of(welcome), "|pubport=8080|pubtls=8443");
    auto account = co_await device.must_next();
    EXPECT_EQ(account.kind, KIND_ACCOUNT);
    EXPECT_EQ(account.id, 0u);
    // Reset at the next midnight UTC after the clock's 1,000,000 s.
    EXPECT_EQ(text_of(account), "v1|pro|0|5000|1036800|3|1700000000");
  }());
  EXPECT_TRUE(logged("kite is online from 127.0.0.1:")) << log_text();
}

TEST_F(DevgwHandshake, PubportAutoSendsThePublicListenersPort) {
  auto options = quick_options();
  options.pubport_is_public_http = true;
  auto ports = start(options);
  run([&]() -> asio::awaitable<void> {
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "", "token-a");
    auto welcome = co_await device.must_next();
    EXPECT_EQ(text_of(welcome), "|pubport=" + std::to_string(*ports.public_http) + "|pubtls=0");
  }());
}

TEST_F(DevgwHandshake, AnswersEachRuleWithItsRefusalOrTheWelcome) {
  struct Case {
    const char* name;
    std::function<void(DevGatewayOptions&)> rules;
    std::string device;
    std::string ports;
    std::optional<std::string> invite;
    std::string refusal;  // empty: welcomed
  } cases[] = {
      {"invite missing", [](auto& o) { o.invite_code = "sesame"; }, "kite", "80", std::nullopt,
       "需要接入码（invite code required）"},
      {"invite wrong", [](auto& o) { o.invite_code = "sesame"; }, "kite", "80", "open",
       "接入码不对（invalid invite code）"},
      {"invite right", [](auto& o) { o.invite_code = "sesame"; }, "kite", "80", "sesame", ""},
      {"blocked ports",
       [](auto& o) {
         o.blocked_ports = {22, 445, 3389};
       },
       "kite", "80,22,445,22", std::nullopt, "blocked ports: 22, 445"},
      {"no blocked port asked", [](auto& o) { o.blocked_ports = {22}; }, "kite", "80,8080",
       std::nullopt, ""},
      {"mapping limit", [](auto& o) { o.max_mappings = 2; }, "kite", "80,81,82", std::nullopt,
       "quota: 映射数量超出套餐上限（本次 3 个，套餐最多 2 个）"},
      {"within the mapping limit", [](auto& o) { o.max_mappings = 2; }, "kite", "80,81",
       std::nullopt, ""},
      {"no ports at all", [](auto&) {}, "kite", "", std::nullopt, ""},
      {"port zero as the client may send it", [](auto&) {}, "kite", "0,80", std::nullopt, ""},
      {"bad port", [](auto&) {}, "kite", "80,http", std::nullopt,
       "bad hello: port \"http\" is not a number from 0 to 65535"},
      {"bad name", [](auto&) {}, "Kite", "80", std::nullopt,
       "bad hello: device name \"Kite\" is not valid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto options = quick_options();
    c.rules(options);
    auto ports = start(options);
    run([&]() -> asio::awaitable<void> {
      auto device = co_await TestDevice::connect(ports.control);
      co_await device.register_as(c.device, c.ports, "token-a", c.invite);
      auto reply = co_await device.must_next();
      if (c.refusal.empty()) {
        EXPECT_EQ(reply.kind, KIND_WELCOME) << text_of(reply);
        co_return;
      }
      EXPECT_EQ(reply.kind, KIND_ERROR);
      EXPECT_EQ(reply.id, 0u);
      EXPECT_EQ(text_of(reply), c.refusal);
      EXPECT_TRUE(co_await device.ends()) << "a refusal ends the connection";
    }());
    if (!c.refusal.empty()) {
      EXPECT_TRUE(logged(c.refusal)) << log_text();
    }
  }
}

TEST_F(DevgwHandshake, ANameBelongsToTheTokenThatRegisteredItFirst) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto first = co_await TestDevice::connect(ports.control);
    co_await first.register_as("kite", "80", "token-a");
    EXPECT_EQ((co_await first.must_next()).kind, KIND_WELCOME);

    {
      auto other = co_await TestDevice::connect(ports.control);
      co_await other.register_as("kite", "80", "token-b");
      auto refusal = co_await other.must_next();
      EXPECT_EQ(refusal.kind, KIND_ERROR);
      EXPECT_EQ(text_of(refusal), "slug-taken: kite");
    }
    {
      // The owner again, from a new connection: welcomed, and its older connection goes.
      auto again = co_await TestDevice::connect(ports.control);
      co_await again.register_as("kite", "80", "token-a");
      EXPECT_EQ((co_await again.next_other()).kind, KIND_WELCOME);
      EXPECT_TRUE(co_await first.ends());
    }
    {
      // Ownership outlives the owner's connection.
      auto other = co_await TestDevice::connect(ports.control);
      co_await other.register_as("kite", "80", "token-b");
      EXPECT_EQ(text_of(co_await other.must_next()), "slug-taken: kite");
    }
    EXPECT_EQ(co_await admin(*ports.admin, "release kite"), "ok");
    EXPECT_EQ(co_await admin(*ports.admin, "release kite"), "error nobody owns the name \"kite\"");
    auto other = co_await TestDevice::connect(ports.control);
    co_await other.register_as("kite", "80", "token-b");
    EXPECT_EQ((co_await other.must_next()).kind, KIND_WELCOME);
  }());
}

TEST_F(DevgwHandshake, ReadsTheInviteOnlyBetweenHelloAndAccess) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint8_t, std::string>> frames;
    std::string refusal;
  } cases[] = {
      {"access first",
       {{KIND_ACCESS, ""}},
       "bad hello: the first frame must be KIND_HELLO, got kind 4"},
      {"heartbeat instead of access",
       {{KIND_HELLO, "kite\n80\nt"}, {KIND_HEARTBEAT, ""}},
       "bad handshake: expected KIND_ACCESS after the hello, got kind 32"},
      {"two invites",
       {{KIND_HELLO, "kite\n80\nt"}, {KIND_INVITE, "a"}, {KIND_INVITE, "b"}},
       "bad handshake: expected KIND_ACCESS after the hello, got kind 3"},
      {"hello of two lines",
       {{KIND_HELLO, "kite\n80"}},
       "bad hello: expected three lines (name, ports, token), got 2"},
      {"empty token", {{KIND_HELLO, "kite\n80\n"}}, "bad hello: the token is empty"},
  };
  auto ports = start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    run([&]() -> asio::awaitable<void> {
      auto device = co_await TestDevice::connect(ports.control);
      for (const auto& [kind, payload] : c.frames) co_await device.send(kind, 0, payload);
      auto reply = co_await device.must_next();
      EXPECT_EQ(reply.kind, KIND_ERROR);
      EXPECT_EQ(text_of(reply), c.refusal);
      EXPECT_TRUE(co_await device.ends());
    }());
  }
}

TEST_F(DevgwHandshake, BadInputEndsOnlyThatConnection) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string logged;
  } cases[] = {
      {"length above the limit", header_declaring(KIND_HELLO, 0, 0x100000),
       "frame too large while waiting for its hello"},
      {"an HTTP request", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "frame too large"},
      {"closed inside the header", "\x01\x00\x00",
       "closed the connection before sending its hello"},
      {"closed inside the payload", header_declaring(KIND_HELLO, 0, 100) + "kite\n80",
       "early eof while waiting for its hello"},
      {"a TLS ClientHello", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
       "speaks TLS to the plain control port"},
  };
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto steady = co_await TestDevice::connect(ports.control);
    co_await steady.register_as("kite", "80", "token-a");
    EXPECT_EQ((co_await steady.next_other()).kind, KIND_WELCOME);

    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      clear_log();
      tcp::socket bad(co_await asio::this_coro::executor);
      co_await bad.async_connect(loopback(ports.control), asio::use_awaitable);
      co_await asio::async_write(bad, asio::buffer(c.bytes), asio::use_awaitable);
      bad.shutdown(tcp::socket::shutdown_send);
      EXPECT_TRUE(co_await wait_for_log(c.logged)) << log_text();

      // The welcomed device is still served, and a new one still gets in.
      EXPECT_EQ(co_await admin(*ports.admin, "notice @kite still here"), "ok");
      auto notice = co_await steady.next_other();
      EXPECT_EQ(text_of(notice), "still here");
      auto fresh = co_await TestDevice::connect(ports.control);
      co_await fresh.register_as("nas", "", "token-n");
      EXPECT_EQ((co_await fresh.must_next()).kind, KIND_WELCOME);
    }
  }());
}

// After the welcome too: a device whose frames cannot be read loses its own
// connection and its name's registration; every other device goes on.
TEST_F(DevgwHandshake, BadFramesAfterTheWelcomeEndOnlyThatDevice) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string logged;
  } cases[] = {
      {"length above the limit", header_declaring(KIND_DATA, 1, 0x100000),
       "nas: frame too large; closing"},
      {"closed inside the payload", header_declaring(KIND_DATA, 1, 50) + "partial",
       "nas: early eof; closing"},
      {"closed inside the header", "\x11\x00", "nas disconnected"},
  };
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto steady = co_await TestDevice::connect(ports.control);
    co_await steady.register_as("kite", "80", "token-a");
    EXPECT_EQ((co_await steady.next_other()).kind, KIND_WELCOME);
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      clear_log();
      tcp::socket bad(co_await asio::this_coro::executor);
      co_await bad.async_connect(loopback(ports.control), asio::use_awaitable);
      std::string hello = wire_frame(KIND_HELLO, "nas\n22\ntoken-n") + wire_frame(KIND_ACCESS, "");
      co_await asio::async_write(bad, asio::buffer(hello), asio::use_awaitable);
      EXPECT_TRUE(co_await wait_for_log("nas is online")) << log_text();
      co_await asio::async_write(bad, asio::buffer(c.bytes), asio::use_awaitable);
      bad.shutdown(tcp::socket::shutdown_send);
      EXPECT_TRUE(co_await wait_for_log(c.logged)) << log_text();
      EXPECT_EQ(co_await admin(*ports.admin, "devices"), "ok kite");

      EXPECT_EQ(co_await admin(*ports.admin, "notice @kite still here"), "ok");
      EXPECT_EQ(text_of(co_await steady.next_other()), "still here");
    }
  }());
}

TEST_F(DevgwHandshake, ClosesAConnectionThatNeverCompletesItsHandshake) {
  auto options = quick_options();
  options.handshake_timeout = 150ms;
  auto ports = start(options);
  run([&]() -> asio::awaitable<void> {
    auto silent = co_await TestDevice::connect(ports.control);
    EXPECT_TRUE(co_await silent.ends(3s));
    auto half = co_await TestDevice::connect(ports.control);
    co_await half.send(KIND_HELLO, 0, "kite\n80\nt");  // no access list follows
    EXPECT_TRUE(co_await half.ends(3s));
  }());
  EXPECT_TRUE(logged("no complete handshake within 150 ms")) << log_text();
}

TEST_F(DevgwHandshake, StopEndsDevicesAndListeners) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "80", "token-a");
    EXPECT_EQ((co_await device.next_other()).kind, KIND_WELCOME);
    gateway_->stop();
    EXPECT_TRUE(co_await device.ends());
    tcp::socket late(co_await asio::this_coro::executor);
    auto [ec] = co_await late.async_connect(loopback(ports.control), as_tuple_awaitable);
    EXPECT_TRUE(ec) << "the control listener is closed";
  }());
}

class DevgwTls : public GatewayFixture {
 protected:
  asio::ssl::context client_context_{
      asio::ssl::context::tls_client};  // accepts any certificate, as the client does
};

TEST_F(DevgwTls, PresentsAGeneratedCertificateAndSwapsIt) {
  auto options = quick_options();
  options.tls = TlsSetup::generated;
  options.domain = "dev.example";
  auto ports = start(options);
  const std::string first_fingerprint = gateway_->fingerprint();
  ASSERT_EQ(first_fingerprint.size(), 64u);
  run([&]() -> asio::awaitable<void> {
    std::string seen;
    auto device = co_await TestDevice::connect_tls(ports.control, client_context_, &seen);
    EXPECT_EQ(seen, first_fingerprint);
    co_await device.register_as("kite", "80", "token-a");
    EXPECT_EQ(text_of(co_await device.must_next()), "|pubport=0|pubtls=0");

    auto reply = co_await gateway_->command("swap-cert");
    const std::string second_fingerprint = gateway_->fingerprint();
    EXPECT_NE(second_fingerprint, first_fingerprint);
    EXPECT_EQ(reply, "ok " + second_fingerprint);
    EXPECT_EQ(co_await gateway_->command("fingerprint"), "ok " + second_fingerprint);

    std::string seen_after;
    auto again = co_await TestDevice::connect_tls(ports.control, client_context_, &seen_after);
    EXPECT_EQ(seen_after, second_fingerprint);
    co_await again.register_as("nas", "", "token-n");
    EXPECT_EQ((co_await again.must_next()).kind, KIND_WELCOME);
    // The connection made before the swap goes on with its certificate.
    EXPECT_EQ(co_await gateway_->command("notice @kite still here"), "ok");
    EXPECT_EQ(text_of(co_await device.next_other()), "still here");
  }());
}

TEST_F(DevgwTls, PlainClientOnTheTlsPortIsLoggedAndClosed) {
  auto options = quick_options();
  options.tls = TlsSetup::generated;
  auto ports = start(options);
  run([&]() -> asio::awaitable<void> {
    auto plain = co_await TestDevice::connect(ports.control);
    co_await plain.register_as("kite", "80", "token-a");
    EXPECT_TRUE(co_await plain.ends());
    EXPECT_TRUE(co_await wait_for_log("TLS handshake failed")) << log_text();
  }());
}

TEST_F(DevgwTls, KeepsItsCertificateInTheGivenFilesAcrossRestarts) {
  quillmar::test::TempDir dir;
  auto options = quick_options();
  options.tls = TlsSetup::files;
  options.cert_file = dir.path() / "devgw.crt";
  options.key_file = dir.path() / "devgw.key";
  start(options);
  const std::string fingerprint = gateway_->fingerprint();
  auto from_file = certificate_fingerprint(quillmar::test::read_file(options.cert_file));
  ASSERT_TRUE(from_file.ok());
  EXPECT_EQ(from_file.value(), fingerprint);
  EXPECT_TRUE(logged("wrote a new certificate to")) << log_text();

  TearDown();
  start(options);
  EXPECT_EQ(gateway_->fingerprint(), fingerprint);
}

TEST_F(DevgwTls, RefusesToStartWithOnlyOneOfTheTwoFiles) {
  quillmar::test::TempDir dir;
  auto options = quick_options();
  options.tls = TlsSetup::files;
  options.cert_file = dir.path() / "devgw.crt";
  options.key_file = dir.path() / "devgw.key";
  quillmar::test::write_file(options.cert_file, "not a certificate");
  DevGateway gateway(options);
  auto ports = gateway.start(io_);
  ASSERT_FALSE(ports.ok());
  EXPECT_NE(ports.error().message.find("give both or neither"), std::string::npos)
      << ports.error().message;
}

TEST_F(DevgwHandshake, StallNextLeavesOneHandshakeUnanswered) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    EXPECT_EQ(co_await admin(*ports.admin, "stall-next"), "ok");
    auto stalled = co_await TestDevice::connect(ports.control);
    co_await stalled.register_as("kite", "80", "token-a");
    EXPECT_TRUE(co_await stalled.silent_for(300ms));
    auto next = co_await TestDevice::connect(ports.control);
    co_await next.register_as("nas", "80", "token-n");
    EXPECT_EQ((co_await next.must_next()).kind, KIND_WELCOME);
  }());
}

TEST_F(DevgwHandshake, RefuseNextAnswersOneHandshakeWithTheGivenText) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    EXPECT_EQ(co_await admin(*ports.admin, "refuse-next maintenance\\tuntil 3:00"), "ok");
    auto refused = co_await TestDevice::connect(ports.control);
    co_await refused.register_as("kite", "80", "token-a");
    EXPECT_EQ(text_of(co_await refused.must_next()), "maintenance\tuntil 3:00");
    auto next = co_await TestDevice::connect(ports.control);
    co_await next.register_as("kite", "80", "token-a");
    EXPECT_EQ((co_await next.must_next()).kind, KIND_WELCOME);
  }());
}

}  // namespace
}  // namespace quillmar::devgw::test
