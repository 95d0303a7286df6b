// The owner's direct listeners through their entry point: 127.0.0.2 stands for this
// device's network address, 127.0.0.3 for the peer, 127.0.0.4 for anybody else, and
// an echoing service on 127.0.0.1 for the local service.
#include "direct/owner_listener.hpp"

#include <gtest/gtest.h>

#include <asio/ip/udp.hpp>

#include "direct_test_support.hpp"

namespace quillmar::test {
namespace {

using asio::ip::udp;

std::string str(std::uint16_t port) { return std::to_string(port); }

class OwnerListener : public DirectTest {
 protected:
  asio::awaitable<Status> pair_with(std::string candidates, std::vector<std::uint16_t> ports,
                                    std::uint16_t status_port = 0,
                                    std::vector<asio::ip::address> gateway_addrs = {}) {
    OwnerPairing pairing{parse_candidates(candidates), std::move(ports), std::move(gateway_addrs),
                         status_port};
    Status opened = co_await run_direct_listener(std::move(pairing), gateway_.writer(), shared_,
                                                 pool(), loopback_setup());
    co_return opened;
  }

  // A connection from the address to the direct listener at the port, and its echo.
  asio::awaitable<Exchange> visit(const asio::ip::address& from, std::uint16_t port,
                                  std::string text = "hello") {
    auto socket = co_await connect_from(from, {LISTEN_ADDRESS, port});
    if (!socket) co_return Exchange{};
    Exchange got = co_await exchange(*socket, std::move(text));
    co_return got;
  }

  FrameSink gateway_{io_, pool()};
};

TEST_F(OwnerListener, AdmitsOnlyThePeerAndJoinsItWithTheLocalService) {
  EchoService service(io_, asio::ip::address_v4::loopback());
  const std::uint16_t port = service.port();
  tcp::acceptor observed(io_, {PEER_ADDRESS, 0});  // where the gateway saw the peer
  const std::uint16_t observed_port = observed.local_endpoint().port();
  udp::socket observed_udp(io_, {PEER_ADDRESS, observed_port});

  run([&]() -> asio::awaitable<int> {
    std::string candidates = "127.0.0.3|" + str(observed_port) + "|obs-peer";
    Status opened = co_await pair_with(std::move(candidates), only(port), port);
    EXPECT_TRUE(opened.ok());
    // The probe left from the status port, then came the test connection.
    std::array<char, 16> probe{};
    udp::endpoint from;
    EXPECT_GT(observed_udp.available(), 0u);
    if (observed_udp.available() > 0) {
      std::size_t n = observed_udp.receive_from(asio::buffer(probe), from);
      EXPECT_EQ(std::string(probe.data(), n), "punch");
      EXPECT_EQ(from.port(), port);
    }
    auto [tested_ec, tested] = co_await observed.async_accept(as_tuple_awaitable);
    EXPECT_FALSE(tested_ec);

    EXPECT_EQ(load(shared_->direct_active), 1u);
    EXPECT_EQ(shared_->direct_peer_addrs.get(), std::vector<asio::ip::address>{PEER_ADDRESS});
    EXPECT_EQ(shared_->direct_ports.get(), std::vector<std::uint16_t>{port});

    Exchange peer = co_await visit(PEER_ADDRESS, port);
    EXPECT_TRUE(peer.ended);
    EXPECT_EQ(peer.received, "hello");
    auto result = co_await gateway_.next();
    EXPECT_TRUE(result.has_value());
    if (result) {
      EXPECT_EQ(result->kind, KIND_PUNCH_RESULT);
      EXPECT_EQ(result->id, 0u);
      EXPECT_EQ(text_of(*result), "result|lan|0");
    }

    Exchange stranger = co_await visit(STRANGER_ADDRESS, port);
    EXPECT_TRUE(stranger.ended);
    EXPECT_EQ(stranger.received, "");
    store(shared_->direct_active, 0);
    Exchange revoked = co_await visit(PEER_ADDRESS, port);
    EXPECT_TRUE(revoked.ended);
    EXPECT_EQ(revoked.received, "");
    EXPECT_TRUE(co_await gateway_.quiet_for(100ms));  // a refusal is not reported
    EXPECT_EQ(service.connections(), 1);
    co_return 0;
  }());
  const std::string p = str(port);
  EXPECT_TRUE(printed("client: 直连监听 :" + p + " → 127.0.0.1:" + p + "\n")) << describe();
  EXPECT_TRUE(printed("client: 直连来自 127.0.0.3:")) << describe();
  EXPECT_TRUE(printed(" → :" + p + "\n")) << describe();
  EXPECT_TRUE(printed("client: 拒绝直连 127.0.0.4:")) << describe();
  EXPECT_TRUE(printed("（不在名单）\n")) << describe();
  EXPECT_TRUE(printed("（已撤销）\n")) << describe();
  EXPECT_EQ(printed_count("client: 访客"), 0u) << describe();
}

TEST_F(OwnerListener, APortTakenLocallyIsLeftToItsService) {
  tcp::acceptor taken(io_, {LISTEN_ADDRESS, 0});
  const std::uint16_t taken_port = taken.local_endpoint().port();
  const std::uint16_t free_port = closed_port(io_, LISTEN_ADDRESS);
  struct Case {
    const char* name;
    std::vector<std::uint16_t> ports;
    bool opens;
    std::size_t taken_lines;
  } cases[] = {
      {"one of two taken", {taken_port, free_port}, true, 1},
      {"all taken", {taken_port}, false, 1},
      {"no port mapped", {}, false, 0},
  };
  ScopedEnv debug("TUNNEL_DEBUG", "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    shared_ = std::make_shared<SharedState>();
    Status opened = run(pair_with("", c.ports));
    const std::string taken_line =
        "client: :" + str(taken_port) + " 已被本地服务占用，不再另开监听（直连由服务自己接）\n";
    EXPECT_EQ(printed_count(taken_line), c.taken_lines) << describe();
    EXPECT_EQ(load(shared_->direct_active), 1u);
    if (c.opens) {
      EXPECT_TRUE(opened.ok());
      EXPECT_EQ(shared_->direct_ports.get(), std::vector<std::uint16_t>{free_port});
      EXPECT_EQ(stderr_, "");
    } else {
      ASSERT_FALSE(opened.ok());
      EXPECT_EQ(opened.error().kind, ErrorKind::NotConnected);
      EXPECT_EQ(stderr_, "client: 直连监听退出 所有端口都被本地服务占着\n");
    }
  }
}

TEST_F(OwnerListener, WithoutPeerAddressesEveryoneIsAdmitted) {
  EchoService service(io_, asio::ip::address_v4::loopback());
  struct Case {
    const char* name;
    std::string candidates;
    std::vector<std::string> lines;
  } cases[] = {
      {"no candidate at all", "", {"client: 访客没上报地址，本次直连只靠同网段判定\n"}},
      {"only the device's own observation",
       "127.0.0.6|4000|obs",
       {"client: 访客没上报地址，本次直连只靠同网段判定\n",
        "client: 网关看到的本机映射 127.0.0.6:4000，访客在 无观测地址\n"}},
      {"peer addresses that are host names", "peer.local|80|lan-peer,peer.local|0|obs-peer", {}},
  };
  // One listener serves all cases: each pairing replaces the admitted addresses.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    shared_->direct_peer_addrs.set(std::vector<asio::ip::address>{PEER_ADDRESS});
    Exchange got = run([&]() -> asio::awaitable<Exchange> {
      Status opened = co_await pair_with(c.candidates, only(service.port()));
      EXPECT_TRUE(opened.ok());
      EXPECT_EQ(shared_->direct_peer_addrs.get(), std::nullopt);
      Exchange stranger = co_await visit(STRANGER_ADDRESS, service.port());
      co_return stranger;
    }());
    EXPECT_EQ(got.received, "hello");
    std::string expected;
    for (const auto& line : c.lines) expected += line;
    EXPECT_TRUE(stdout_.starts_with(expected)) << describe();
    if (c.lines.empty()) {
      EXPECT_EQ(printed_count("client: 访客"), 0u) << describe();
    }
  }
}

TEST_F(OwnerListener, TheGatewaysOwnAddressAndPortZeroAreNotProbed) {
  const auto gateway = asio::ip::make_address("127.0.0.5");
  udp::socket gateway_udp(io_, {gateway, 0});
  const std::uint16_t gateway_port = gateway_udp.local_endpoint().port();
  udp::socket peer_udp(io_, {PEER_ADDRESS, 0});
  const std::string candidates =
      "127.0.0.6|4000|obs,127.0.0.5|" + str(gateway_port) + "|obs-peer,127.0.0.3|0|obs-peer";
  Status opened = run(pair_with(candidates, only(closed_port(io_, LISTEN_ADDRESS)), 0, {gateway}));
  EXPECT_TRUE(opened.ok());
  EXPECT_EQ(gateway_udp.available(), 0u);
  EXPECT_EQ(stdout_.substr(0, stdout_.find("client: 直连监听")),
            "client: 网关看到的本机映射 127.0.0.6:4000，访客在 127.0.0.5:" + str(gateway_port) +
                "\nclient: 访客的观测地址 127.0.0.5:" + str(gateway_port) +
                " 就是网关自己，跳过（同机测试/网关出口直连无意义）\n");
  // Both "-peer" addresses are admitted, the gateway's too: only the probe skips it.
  EXPECT_EQ(shared_->direct_peer_addrs.get(),
            (std::vector<asio::ip::address>{gateway, PEER_ADDRESS}));
}

TEST_F(OwnerListener, ALaterPairingKeepsTheListenersAndReplacesThePeers) {
  EchoService service(io_, asio::ip::address_v4::loopback());
  const std::uint16_t port = service.port();
  run([&]() -> asio::awaitable<int> {
    Status first = co_await pair_with("127.0.0.3|1|lan-peer", only(port));
    EXPECT_TRUE(first.ok());
    Exchange before = co_await visit(PEER_ADDRESS, port);
    EXPECT_EQ(before.received, "hello");
    Status second = co_await pair_with("127.0.0.4|1|v6-peer", only(port));
    EXPECT_TRUE(second.ok());
    Exchange old_peer = co_await visit(PEER_ADDRESS, port);
    EXPECT_EQ(old_peer.received, "");
    Exchange new_peer = co_await visit(STRANGER_ADDRESS, port);
    EXPECT_EQ(new_peer.received, "hello");
    co_return 0;
  }());
  EXPECT_EQ(printed_count("client: 直连监听 :"), 1u) << describe();
  EXPECT_EQ(shared_->direct_ports.get(), std::vector<std::uint16_t>{port});
}

TEST_F(OwnerListener, WithoutALocalServiceThePeerIsClosedSilently) {
  const std::uint16_t port = closed_port(io_, asio::ip::address_v4::loopback());
  run([&]() -> asio::awaitable<int> {
    Status opened = co_await pair_with("", only(port));
    EXPECT_TRUE(opened.ok());
    Exchange peer = co_await visit(PEER_ADDRESS, port);
    EXPECT_TRUE(peer.ended);
    EXPECT_EQ(peer.received, "");
    EXPECT_TRUE(co_await gateway_.quiet_for(100ms));
    co_return 0;
  }());
  EXPECT_EQ(printed_count("client: 直连来自"), 0u) << describe();
}

TEST_F(OwnerListener, AGenerationChangeCutsTheRelaysJoinedBeforeIt) {
  EchoService service(io_, asio::ip::address_v4::loopback());
  const std::uint16_t port = service.port();
  run([&]() -> asio::awaitable<int> {
    Status opened = co_await pair_with("127.0.0.3|1|lan-peer", only(port));
    EXPECT_TRUE(opened.ok());
    auto early = co_await connect_from(PEER_ADDRESS, {LISTEN_ADDRESS, port});
    EXPECT_TRUE(early.has_value());
    if (!early) co_return 0;
    Exchange open = co_await exchange(*early, "a", false, 300ms);
    EXPECT_EQ(open.received, "a");  // joined and relaying, input still open
    EXPECT_FALSE(open.ended);

    shared_->punch_generation.fetch_add(1);
    auto late = co_await connect_from(PEER_ADDRESS, {LISTEN_ADDRESS, port});
    EXPECT_TRUE(co_await ends_within(*early, 3s));
    Exchange after = co_await exchange(*late, "b", false, 300ms);
    EXPECT_EQ(after.received, "b");  // joined after the change: not cut by it
    EXPECT_FALSE(after.ended);
    co_return 0;
  }());
  EXPECT_EQ(printed_count("client: 名单变了，掐断与 127.0.0.3 的直连（之后重新配对才会再连上）\n"),
            1u)
      << describe();
}

TEST_F(OwnerListener, AnIpv6ObservedPeerGetsTheTestConnectionButNoDatagram) {
  std::error_code ec;
  tcp::acceptor observed(io_);
  observed.open(tcp::v6(), ec);
  if (!ec) observed.bind({asio::ip::address_v6::loopback(), 0}, ec);
  if (!ec) observed.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) GTEST_SKIP() << "no IPv6 loopback here";
  const std::uint16_t observed_port = observed.local_endpoint().port();
  udp::socket observed_udp(io_, {asio::ip::address_v6::loopback(), observed_port});
  run([&]() -> asio::awaitable<int> {
    std::string candidates = "::1|" + str(observed_port) + "|obs-peer";
    auto ports = only(closed_port(io_, LISTEN_ADDRESS));
    Status opened = co_await pair_with(std::move(candidates), std::move(ports));
    EXPECT_TRUE(opened.ok());
    auto [accept_ec, tested] = co_await observed.async_accept(as_tuple_awaitable);
    EXPECT_FALSE(accept_ec);
    EXPECT_EQ(observed_udp.available(), 0u);
    co_return 0;
  }());
}

}  // namespace
}  // namespace quillmar::test
