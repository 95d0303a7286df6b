// The stand-in's public side over real loopback sockets: routing by Host, the relay
// in both directions with its ends, traffic counting, account lines and the quota.
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <set>

#include "devgw_test_support.hpp"

namespace quillmar::devgw::test {
namespace {

// Each case runs with the visitors' connections on the core's strand, and as the program
// runs: on two visitor threads of their own, with the core on one thread without a strand.
class DevgwRelay : public GatewayFixture, public ::testing::WithParamInterface<std::size_t> {
 protected:
  DevgwRelay() : GatewayFixture(GetParam(), GetParam() > 0) {}

  asio::awaitable<TestDevice> online(std::uint16_t control, std::string name, std::string ports,
                                     std::string token = "") {
    auto device = co_await TestDevice::connect(control);
    if (token.empty()) token = "token-" + name;
    co_await device.register_as(name, ports, token);
    auto welcome = co_await device.next_other();
    if (welcome.kind != KIND_WELCOME)
      throw std::runtime_error(name + " was not welcomed: " + text_of(welcome));
    co_return device;
  }
};

// Answers the next stream with the reply, an end of data and a close; gives the OPEN payload.
// The end of an earlier stream's visitor may still arrive first, as its data end or close.
asio::awaitable<std::string> answer_one(TestDevice& device, std::string reply) {
  auto open = co_await device.next_other();
  while (open.kind == KIND_DATA || open.kind == KIND_CLOSE) open = co_await device.next_other();
  EXPECT_EQ(open.kind, KIND_OPEN);
  EXPECT_NE(open.id, 0u);
  co_await device.send(KIND_DATA, open.id, reply);
  co_await device.send(KIND_DATA, open.id, "");
  co_await device.send(KIND_CLOSE, open.id, "");
  co_return text_of(open);
}

asio::awaitable<std::string> visit(std::uint16_t port, std::string request) {
  auto visitor = co_await TestVisitor::connect(port);
  co_await visitor.write(request);
  co_return co_await visitor.read_to_end();
}

TEST_P(DevgwRelay, RelaysAGetThroughTheDeviceNamedByTheHost) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto device = co_await online(ports.control, "kite", "80");
    const std::string request =
        get_request("kite-80.localhost:" + std::to_string(*ports.public_http), "/index.html");
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    auto [open, response] =
        co_await (answer_one(device, reply) && visit(*ports.public_http, request));
    EXPECT_EQ(open, "80\n" + request);
    EXPECT_EQ(response, reply);
  }());
}

TEST_P(DevgwRelay, RoutesByNameAndPortOrAnswersItself) {
  auto ports = start();
  const std::string http = std::to_string(*ports.public_http);
  struct Case {
    std::string host;
    int device;  // 0 kite, 1 my-pc, -1 none
    std::string open_port;
    std::string status;
    std::string body;
  } cases[] = {
      {"kite-80.localhost:" + http, 0, "80", "HTTP/1.1 204", ""},
      {"kite.localhost:" + http, 0, "8000", "HTTP/1.1 204", ""},
      {"KITE-8000.LocalHost", 0, "8000", "HTTP/1.1 204", ""},
      {"kite-80.localhost.", 0, "80", "HTTP/1.1 204", ""},
      {"my-pc-3000.localhost", 1, "3000", "HTTP/1.1 204", ""},
      {"my-pc.localhost", 1, "3000", "HTTP/1.1 204", ""},
      {"kite-81.localhost", -1, "", "HTTP/1.1 404 Not Found",
       "devgw: kite does not map port 81 (it maps 8000, 80)"},
      {"nas-80.localhost", -1, "", "HTTP/1.1 404 Not Found",
       "devgw: no device named \"nas\" is online"},
      {"nas.localhost", -1, "", "HTTP/1.1 404 Not Found",
       "devgw: no device named \"nas\" is online"},
      {"kite-80.example.com", -1, "", "HTTP/1.1 404 Not Found", "is no device address here"},
      {"127.0.0.1:" + http, -1, "", "HTTP/1.1 404 Not Found", "is no device address here"},
      {"a.kite-80.localhost", -1, "", "HTTP/1.1 404 Not Found", "is no device address here"},
  };
  run([&]() -> asio::awaitable<void> {
    auto kite = co_await online(ports.control, "kite", "8000,80");
    auto my_pc = co_await online(ports.control, "my-pc", "3000");
    TestDevice* devices[] = {&kite, &my_pc};
    for (const auto& c : cases) {
      SCOPED_TRACE(c.host);
      const std::string request = get_request(c.host);
      std::string response;
      if (c.device >= 0) {
        auto [open, answer] =
            co_await (answer_one(*devices[c.device], "HTTP/1.1 204 No Content\r\n\r\n") &&
                      visit(*ports.public_http, request));
        EXPECT_EQ(open, c.open_port + "\n" + request);
        response = answer;
      } else {
        response = co_await visit(*ports.public_http, request);
      }
      EXPECT_TRUE(response.starts_with(c.status)) << response;
      EXPECT_NE(response.find(c.body), std::string::npos) << response;
    }
    // A request without a Host header, and bytes that are no HTTP at all.
    auto no_host = co_await visit(*ports.public_http, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(no_host.starts_with("HTTP/1.1 400 Bad Request")) << no_host;
    EXPECT_NE(no_host.find("no Host header"), std::string::npos);
    auto garbage = co_await visit(*ports.public_http, "\x16\x03\x01 hello\r\n\r\n");
    EXPECT_TRUE(garbage.starts_with("HTTP/1.1 400 Bad Request")) << garbage;
  }());
  EXPECT_TRUE(logged("asked for \"nas-80.localhost\": 404")) << log_text();
}

TEST_P(DevgwRelay, AVisitorsEndOfInputReachesTheDeviceAsAnEmptyData) {
  for (bool half_close : {false, true}) {
    SCOPED_TRACE(half_close ? "with half-close" : "without half-close");
    auto options = quick_options();
    options.half_close = half_close;
    auto ports = start(options);
    run([&]() -> asio::awaitable<void> {
      auto device = co_await online(ports.control, "kite", "80");
      auto visitor = co_await TestVisitor::connect(*ports.public_http);
      co_await visitor.write(get_request("kite-80.localhost"));
      visitor.socket.shutdown(tcp::socket::shutdown_send);

      auto open = co_await device.next_other();
      auto end = co_await device.next_other();
      EXPECT_EQ(end.kind, KIND_DATA);
      EXPECT_EQ(end.id, open.id);
      EXPECT_TRUE(end.payload.empty());
      if (half_close) {
        auto half = co_await device.next_other();
        EXPECT_EQ(half.kind, KIND_HALF_CLOSE);
        EXPECT_EQ(half.id, open.id);
      }
      // The answer still reaches the visitor, then the close ends its connection.
      co_await device.send(KIND_DATA, open.id, "late answer");
      co_await device.send(KIND_CLOSE, open.id, "");
      EXPECT_EQ(co_await visitor.read_to_end(), "late answer");
    }());
  }
}

TEST_P(DevgwRelay, AnEmptyDataFromTheDeviceEndsOnlyTheVisitorsInput) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto device = co_await online(ports.control, "kite", "80");
    auto visitor = co_await TestVisitor::connect(*ports.public_http);
    co_await visitor.write(get_request("kite-80.localhost"));
    auto open = co_await device.next_other();
    co_await device.send(KIND_DATA, open.id, "part");
    co_await device.send(KIND_DATA, open.id, "");
    EXPECT_EQ(co_await visitor.read_to_end(), "part");

    co_await visitor.write("more");
    auto more = co_await device.next_other();
    EXPECT_EQ(more.kind, KIND_DATA);
    EXPECT_EQ(more.id, open.id);
    EXPECT_EQ(text_of(more), "more");
    co_await device.send(KIND_CLOSE, open.id, "");
  }());
}

TEST_P(DevgwRelay, ACloseRightAfterLargeDataStillDeliversAllOfIt) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto device = co_await online(ports.control, "kite", "80");
    auto visitor = co_await TestVisitor::connect(*ports.public_http);
    co_await visitor.write(get_request("kite-80.localhost"));
    auto open = co_await device.next_other();
    std::string expected;
    for (char fill : {'a', 'b', 'c', 'd'}) {
      std::string chunk(60000, fill);
      expected += chunk;
      co_await device.send(KIND_DATA, open.id, chunk);
    }
    co_await device.send(KIND_CLOSE, open.id, "");
    auto received = co_await visitor.read_to_end();
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
  }());
}

TEST_P(DevgwRelay, RelaysLargeTransfersIntactBothWaysPlainAndOverTls) {
  asio::ssl::context client_context(asio::ssl::context::tls_client);
  std::string up(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < up.size(); ++i) up[i] = static_cast<char>(i * 31 + i / 4096);
  const std::string down = up.substr(1000, 2 * 1024 * 1024);
  for (bool tls : {false, true}) {
    auto options = quick_options();
    options.raw_routes = {{0, "kite", 5201}};
    if (tls) options.tls = TlsSetup::generated;
    auto ports = start(options);
    run([&]() -> asio::awaitable<void> {
      std::optional<TestDevice> connected;
      if (tls) {
        auto over_tls = co_await TestDevice::connect_tls(ports.control, client_context, nullptr);
        connected.emplace(std::move(over_tls));
      } else {
        auto plain = co_await TestDevice::connect(ports.control);
        connected.emplace(std::move(plain));
      }
      TestDevice& device = *connected;
      co_await device.register_as("kite", "5201", "token-a");
      EXPECT_EQ((co_await device.must_next()).kind, KIND_WELCOME);
      auto visitor = co_await TestVisitor::connect(ports.raw[0]);

      // Upload: the visitor's bytes arrive in order, in frames of at most 64 KiB.
      std::string received;
      std::uint32_t id = 0;
      auto collect = [&]() -> asio::awaitable<void> {
        while (received.size() < up.size()) {
          auto frame = co_await device.next_other();
          if (frame.kind == KIND_OPEN) id = frame.id;
          if (frame.kind != KIND_DATA) continue;
          EXPECT_LE(frame.payload.size(), 64u * 1024u);
          received += text_of(frame);
        }
      };
      co_await (visitor.write(up) && collect());
      EXPECT_TRUE(received == up) << "tls " << tls;

      // Download: frames of every size up to the largest come out as one byte stream.
      auto send_down = [&]() -> asio::awaitable<void> {
        std::size_t at = 0;
        for (std::size_t size :
             {std::size_t{1}, MAX_FRAME_LEN, std::size_t{9}, std::size_t{70000}}) {
          co_await device.send(KIND_DATA, id, std::string_view(down).substr(at, size));
          at += size;
        }
        co_await device.send(KIND_DATA, id, std::string_view(down).substr(at));
      };
      auto got = co_await (send_down() && visitor.read_exactly(down.size()));
      EXPECT_TRUE(got == down) << "tls " << tls;
    }());
  }
}

TEST_P(DevgwRelay, AVisitorThatResetsBecomesACloseForTheDevice) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto device = co_await online(ports.control, "kite", "80");
    {
      auto visitor = co_await TestVisitor::connect(*ports.public_http);
      co_await visitor.write(get_request("kite-80.localhost"));
      auto open = co_await device.next_other();
      visitor.socket.set_option(asio::socket_base::linger(true, 0));
      visitor.socket.close();  // a reset, not an end of input
      auto close = co_await device.next_other();
      EXPECT_EQ(close.kind, KIND_CLOSE);
      EXPECT_EQ(close.id, open.id);
      // Late frames for the gone stream are dropped quietly.
      co_await device.send(KIND_DATA, open.id, "too late");
    }
    auto [open, response] = co_await (answer_one(device, "fine") &&
                                      visit(*ports.public_http, get_request("kite-80.localhost")));
    EXPECT_EQ(response, "fine");
  }());
}

TEST_P(DevgwRelay, AStreamTheDeviceRefusesOrLosesGetsABadGatewayReply) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto device = co_await online(ports.control, "kite", "80");
    auto visitor = co_await TestVisitor::connect(*ports.public_http);
    co_await visitor.write(get_request("kite-80.localhost"));
    auto open = co_await device.next_other();
    co_await device.send(KIND_ERROR, open.id, "too many streams");
    auto refused = co_await visitor.read_to_end();
    EXPECT_TRUE(refused.starts_with("HTTP/1.1 502 Bad Gateway")) << refused;
    EXPECT_NE(refused.find("devgw: kite refused the stream: too many streams"), std::string::npos)
        << refused;

    auto waiting = co_await TestVisitor::connect(*ports.public_http);
    {
      auto leaving = co_await online(ports.control, "nas", "80");
      co_await waiting.write(get_request("nas-80.localhost"));
      (void)co_await leaving.next_other();  // the stream's KIND_OPEN; then the device goes
    }
    auto lost = co_await waiting.read_to_end();
    EXPECT_TRUE(lost.starts_with("HTTP/1.1 502 Bad Gateway")) << lost;
    EXPECT_NE(lost.find("devgw: nas went offline"), std::string::npos) << lost;
  }());
}

TEST_P(DevgwRelay, ServesManyVisitorsAtOnceOnSeparateStreams) {
  auto ports = start();
  constexpr int VISITORS = 20;
  run([&]() -> asio::awaitable<void> {
    auto device = co_await online(ports.control, "kite", "80");
    auto executor = co_await asio::this_coro::executor;
    std::vector<std::string> responses(VISITORS);
    int done = 0;
    for (int i = 0; i < VISITORS; ++i) {
      auto one = [](std::uint16_t port, int index, std::string& out,
                    int& count) -> asio::awaitable<void> {
        out = co_await visit(port, get_request("kite-80.localhost", "/" + std::to_string(index)));
        ++count;
      };
      asio::co_spawn(executor, one(*ports.public_http, i, responses[i], done), asio::detached);
    }
    std::set<std::uint32_t> ids;
    for (int i = 0; i < VISITORS; ++i) {
      auto open = co_await device.next_other();
      if (open.kind != KIND_OPEN)
        throw std::runtime_error("expected KIND_OPEN, got kind " + std::to_string(open.kind));
      ids.insert(open.id);
      std::string text = text_of(open);
      auto path = text.substr(text.find("GET /") + 5);
      path = path.substr(0, path.find(' '));
      co_await device.send(KIND_DATA, open.id, "answer " + path);
      co_await device.send(KIND_CLOSE, open.id, "");
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(VISITORS));
    asio::steady_timer timer(executor);
    for (int waited = 0; done < VISITORS && waited < 500; ++waited) {
      timer.expires_after(10ms);
      co_await timer.async_wait(asio::use_awaitable);
    }
    for (int i = 0; i < VISITORS; ++i) EXPECT_EQ(responses[i], "answer " + std::to_string(i));
  }());
}

TEST_P(DevgwRelay, RawRouteSendsUnreadBytesAndCountsTrafficInAccountLines) {
  auto options = quick_options();
  options.raw_routes = {{0, "kite", 5201}};
  options.clock = [] { return std::uint64_t{1'000'000}; };
  auto ports = start(options);
  ASSERT_EQ(ports.raw.size(), 1u);
  run([&]() -> asio::awaitable<void> {
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "5201", "token-a");
    EXPECT_EQ((co_await device.must_next()).kind, KIND_WELCOME);
    EXPECT_EQ(text_of(co_await device.must_next()), "v1|dev|0|0|1036800|0|0");

    auto visitor = co_await TestVisitor::connect(ports.raw[0]);
    co_await visitor.write(std::string(100, 'x'));
    auto open = co_await device.next_other();
    EXPECT_EQ(open.kind, KIND_OPEN);
    EXPECT_EQ(text_of(open), "5201\n");
    std::string upload;
    while (upload.size() < 100) upload += text_of(co_await device.next_other());
    EXPECT_EQ(upload, std::string(100, 'x'));
    co_await device.send(KIND_DATA, open.id, std::string(50, 'y'));
    EXPECT_EQ(co_await visitor.read_exactly(50), std::string(50, 'y'));

    // Both directions count: 100 up, 50 down.
    for (;;) {
      auto frame = co_await device.must_next();
      if (frame.kind == KIND_ACCOUNT && text_of(frame) == "v1|dev|150|0|1036800|0|0") break;
    }
  }());
}

TEST_P(DevgwRelay, RawRouteToAnOfflineDeviceClosesTheVisitor) {
  auto options = quick_options();
  options.raw_routes = {{0, "kite", 5201}};
  auto ports = start(options);
  run([&]() -> asio::awaitable<void> {
    auto visitor = co_await TestVisitor::connect(ports.raw[0]);
    EXPECT_EQ(co_await visitor.read_to_end(), "");
  }());
  EXPECT_TRUE(logged("kite is not online; closed")) << log_text();
}

TEST_P(DevgwRelay, CrossingTheDailyQuotaEndsTheSessionAndRefusesTheNextOne) {
  auto options = quick_options();
  options.raw_routes = {{0, "kite", 5201}};
  options.daily_quota = 100;
  auto ports = start(options);
  run([&]() -> asio::awaitable<void> {
    auto device = co_await online(ports.control, "kite", "5201", "token-a");
    auto visitor = co_await TestVisitor::connect(ports.raw[0]);
    co_await visitor.write(std::string(150, 'x'));

    std::optional<Frame> notice;
    for (;;) {
      auto frame = co_await device.must_next();
      if (frame.kind == KIND_ACCOUNT) device.accounts.push_back(text_of(frame));
      if (frame.kind == KIND_ERROR && frame.id == 0) {
        notice = std::move(frame);
        break;
      }
    }
    EXPECT_EQ(text_of(*notice), "quota: 今日流量已用完（150 / 100 字节），UTC 0 点重置");
    if (device.accounts.empty())
      throw std::runtime_error("no account line before the quota notice");
    EXPECT_NE(device.accounts.back().find("|150|100|"), std::string::npos)
        << device.accounts.back();
    EXPECT_TRUE(co_await device.ends());
    EXPECT_EQ(co_await visitor.read_to_end(), "") << "the device's visitors go with it";

    auto again = co_await TestDevice::connect(ports.control);
    co_await again.register_as("kite", "5201", "token-a");
    auto refusal = text_of(co_await again.must_next());
    EXPECT_TRUE(refusal.starts_with("quota:")) << refusal;
    EXPECT_EQ(refusal.find("映射"), std::string::npos)
        << "a mapping word would read as the mapping limit";

    // The quota is the device's own: another device still gets in.
    co_await online(ports.control, "nas", "80", "token-n");
  }());
}

INSTANTIATE_TEST_SUITE_P(VisitorThreads, DevgwRelay, ::testing::Values(0, 2), [](const auto& info) {
  return info.param == 0 ? std::string("OnTheStrand") : std::to_string(info.param) + "Threads";
});

}  // namespace
}  // namespace quillmar::devgw::test
