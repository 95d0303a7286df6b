// The visitor's local entry: straight to the owner while direct connections are on,
// else through the stand-in's front door (its TLS port with a test authority, or its
// plain public port) to a real owner session "nas" whose local service echoes.
#include "direct/visitor_entry.hpp"

#include <gtest/gtest.h>

#include <asio/strand.hpp>

#include "direct_test_support.hpp"
#include "proto/tls_config.hpp"

namespace quillmar::test {
namespace {

std::string str(std::uint16_t port) { return std::to_string(port); }

const std::string FRONT_NAME = "nas." + std::string(TEST_DOMAIN);
const std::string REQUEST = "GET / HTTP/1.1\r\nHost: " + FRONT_NAME + "\r\n\r\n";

class VisitorEntry : public StandInTest {
 protected:
  // Starts an entry of the visitor's own state toward the owner candidate.
  void start_entry(std::string front_name = FRONT_NAME) {
    entry_port_ = closed_port(io_, asio::ip::address_v4::loopback());
    asio::co_spawn(asio::make_strand(pool()),
                   run_direct_entry("127.0.0.1:" + str(ports_.control), std::move(front_name),
                                    ReachableCandidate{owner_.endpoint(), "ping"}, sink_.writer(),
                                    visitor_, entry_port_, pool(), loopback_setup().timings),
                   asio::detached);
  }

  asio::awaitable<Exchange> through_entry(std::string text, bool end_input = true) {
    auto local = co_await connect_when_listening({asio::ip::address_v4::loopback(), entry_port_});
    if (!local) throw std::runtime_error("the entry does not listen");
    Exchange got = co_await exchange(*local, std::move(text), end_input, 5s);
    co_return got;
  }

  // The stand-in with both front doors and the owner session behind them.
  asio::awaitable<void> start_owner() {
    auto options = gateway_options();
    options.public_https_port = 0;
    start_gateway(std::move(options));
    co_await connect(only(service_.port()));
  }

  ClientConfigPtr trusting(std::string_view pem) {
    auto config = front_door_tls_config(pem);
    if (!config) throw std::runtime_error("front-door config: " + config.error().display());
    return config.value();
  }

  EchoService service_{io_, asio::ip::address_v4::loopback()};  // the owner's local service
  EchoService owner_{io_, PEER_ADDRESS};                        // the owner's direct address
  SharedStatePtr visitor_ = std::make_shared<SharedState>();
  FrameSink sink_{io_, pool()};
  std::uint16_t entry_port_ = 0;
};

TEST_F(VisitorEntry, GoesStraightToTheOwnerAndIsCutWhenThePairingChanges) {
  store(visitor_->direct_active, 1);
  run([&]() -> asio::awaitable<int> {
    start_entry();  // inside the scenario, which captures its entry line
    Exchange direct = co_await through_entry("hello owner");
    EXPECT_EQ(direct.received, "hello owner");
    auto result = co_await sink_.next();
    EXPECT_TRUE(result && result->kind == KIND_PUNCH_RESULT && text_of(*result) == "result|ping|0");

    auto open = co_await connect_when_listening({asio::ip::address_v4::loopback(), entry_port_});
    EXPECT_TRUE(open.has_value());
    if (!open) co_return 0;
    Exchange started = co_await exchange(*open, "a", false, 300ms);
    EXPECT_EQ(started.received, "a");
    visitor_->punch_generation.fetch_add(1);
    EXPECT_TRUE(co_await ends_within(*open, 3s));
    co_return 0;
  }());
  EXPECT_EQ(owner_.connections(), 2);
  EXPECT_EQ(stdout_, "client: 直连入口 http://127.0.0.1:" + str(entry_port_) + " → 对端 :" +
                         str(owner_.port()) + "\nclient: 对方撤了直连，这条断开（重连后走中继）\n");
}

TEST_F(VisitorEntry, WithoutDirectConnectionsTheTlsFrontDoorCarriesTheVisit) {
  run([&]() -> asio::awaitable<int> {
    co_await start_owner();
    store(visitor_->front_https_port, *ports_.public_https);
    visitor_->front_door_tls.set(trusting(gateway_->front_door_authority()));
    start_entry();
    Exchange got = co_await through_entry(REQUEST);
    EXPECT_TRUE(got.ended);
    EXPECT_EQ(got.received, REQUEST);
    EXPECT_TRUE(co_await sink_.quiet_for(100ms));  // no result frame for the front door
    co_return 0;
  }());
  EXPECT_EQ(owner_.connections(), 0);
  EXPECT_EQ(service_.connections(), 1);
  EXPECT_EQ(stdout_.substr(stdout_.find("client: 直连入口")),
            "client: 直连入口 http://127.0.0.1:" + str(entry_port_) +
                " → 对端 :" + str(owner_.port()) + "\n")
      << describe();
}

TEST_F(VisitorEntry, FallsBackThroughTheFrontDoorsInTurn) {
  const std::string other_ca =
      read_file(std::filesystem::path(QUILLMAR_TEST_DATA_DIR) / "options-front-ca.pem");
  struct Case {
    const char* name;
    bool tls_port;                           // the welcome named the TLS front door
    bool tls_reachable;                      // it answers at that port
    std::optional<bool> trust_the_stand_in;  // none: no --front-ca, the built-in roots
    bool plain_port;
    bool plain_reachable;
    std::string front_name;
    bool served;                     // the request comes back
    std::vector<std::string> lines;  // after the entry line; {H} the TLS port, {P} the plain
  } cases[] = {
      {"a certificate that does not verify, then plain",
       true,
       true,
       false,
       true,
       true,
       FRONT_NAME,
       true,
       {"client: 正门 127.0.0.1:{H} 的证书校验失败（"}},
      {"no --front-ca: the built-in roots do not know the test authority",
       true,
       true,
       std::nullopt,
       true,
       true,
       FRONT_NAME,
       true,
       {"client: 正门 127.0.0.1:{H} 的证书校验失败（"}},
      {"a TLS port that does not answer, then plain",
       true,
       false,
       true,
       true,
       true,
       FRONT_NAME,
       true,
       {}},
      {"a front-door name no certificate can have",
       true,
       true,
       true,
       true,
       true,
       "bad name." + std::string(TEST_DOMAIN),
       true,
       {"client: 正门名 bad name." + std::string(TEST_DOMAIN) + " 拼不出来: invalid dns name\n"}},
      {"TLS fails and there is no plain port",
       true,
       true,
       false,
       false,
       false,
       FRONT_NAME,
       false,
       {"client: 正门 127.0.0.1:{H} 的证书校验失败（",
        "client: 没有可回落的正门（网关没配 --public-http-port / --public-https-port），"
        "这条连接关闭\n"}},
      {"no front door at all",
       false,
       false,
       true,
       false,
       false,
       FRONT_NAME,
       false,
       {"client: 没有可回落的正门（网关没配 --public-http-port / --public-https-port），"
        "这条连接关闭\n"}},
      {"a plain port that does not answer",
       false,
       false,
       true,
       true,
       false,
       FRONT_NAME,
       false,
       {"client: 回落去正门 127.0.0.1:{P} 连不上 —— 这条关掉，App 重连会再试\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    visitor_ = std::make_shared<SharedState>();
    const RefusingPort refusing(io_, asio::ip::address_v4::loopback());
    const std::uint16_t dead = refusing.port();
    std::uint16_t tls_port = 0;
    std::uint16_t plain_port = 0;
    Exchange got = run([&]() -> asio::awaitable<Exchange> {
      if (!gateway_) co_await start_owner();
      tls_port = c.tls_reachable ? *ports_.public_https : dead;
      plain_port = c.plain_reachable ? *ports_.public_http : dead;
      if (c.tls_port) store(visitor_->front_https_port, tls_port);
      if (c.plain_port) store(visitor_->front_http_port, plain_port);
      if (c.trust_the_stand_in)
        visitor_->front_door_tls.set(
            trusting(*c.trust_the_stand_in ? gateway_->front_door_authority() : other_ca));
      start_entry(c.front_name);
      Exchange exchanged = co_await through_entry(REQUEST);
      co_return exchanged;
    }());
    EXPECT_TRUE(got.ended);
    EXPECT_EQ(got.received, c.served ? REQUEST : "");
    std::string after = stdout_.substr(stdout_.find("client: 直连入口"));
    after = after.substr(after.find('\n') + 1);
    std::size_t at = 0;
    for (std::string line : c.lines) {
      for (auto [mark, port] :
           {std::pair<std::string, std::uint16_t>{"{H}", tls_port}, {"{P}", plain_port}}) {
        if (auto found = line.find(mark); found != std::string::npos)
          line.replace(found, mark.size(), str(port));
      }
      at = after.find(line, at);
      EXPECT_NE(at, std::string::npos) << line << "\n" << describe();
      if (at == std::string::npos) break;
    }
    if (c.lines.empty()) {
      EXPECT_EQ(after, "") << describe();
    }
    EXPECT_EQ(owner_.connections(), 0);
  }
}

TEST_F(VisitorEntry, AnEntryPortThatCannotBeUsedEndsTheEntry) {
  ScopedEnv debug("TUNNEL_DEBUG", "");
  tcp::acceptor taken(io_, {asio::ip::address_v4::loopback(), 0});
  struct Case {
    std::uint16_t port;
    ErrorKind kind;
    std::string line;
  } cases[] = {
      {0, ErrorKind::InvalidInput, "client: 直连入口退出 没给 --on，且无法从候选推出端口\n"},
      {taken.local_endpoint().port(), ErrorKind::AddrInUse, "client: 直连入口退出 "},
  };
  for (const auto& c : cases) {
    Status ended = run(
        run_direct_entry("127.0.0.1:1", FRONT_NAME, ReachableCandidate{owner_.endpoint(), "lan"},
                         sink_.writer(), visitor_, c.port, pool(), loopback_setup().timings));
    ASSERT_FALSE(ended.ok());
    EXPECT_EQ(ended.error().kind, c.kind);
    EXPECT_TRUE(stderr_.starts_with(c.line)) << stderr_;
    EXPECT_EQ(stdout_, "");
  }
}

}  // namespace
}  // namespace quillmar::test
