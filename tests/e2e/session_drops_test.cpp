// Visitor streams whose session goes away, by a gateway that drops the connection or by
// a reload that reconnects, while the visitors are still sending: every local connection
// of such a stream ends, and the process keeps no descriptor of it.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "async_test.hpp"
#include "devgw/dev_gateway.hpp"
#include "proto/connect.hpp"
#include "session/supervisor.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

constexpr std::string_view TOKEN = "0123456789abcdef0123456789abcdef";
constexpr int VISITORS_PER_ROUND = 6;
constexpr int ROUNDS = 6;
constexpr auto SETTLE_LIMIT = 8s;

// The local service: echoes each connection until its end of input, then closes it. It
// counts the connections it holds open.
class EchoService {
 public:
  EchoService() : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
    asio::co_spawn(io_, accept_loop(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
  }
  ~EchoService() {
    io_.stop();
    thread_.join();
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  int open_connections() const { return open_.load(); }

 private:
  asio::awaitable<void> accept_loop() {
    for (;;) {
      auto [ec, socket] = co_await acceptor_.async_accept(as_tuple_awaitable);
      if (ec) co_return;
      asio::co_spawn(io_, echo(std::move(socket)), asio::detached);
    }
  }

  asio::awaitable<void> echo(tcp::socket socket) {
    ++open_;
    std::vector<char> buffer(16384);
    for (;;) {
      auto [ec, n] = co_await socket.async_read_some(asio::buffer(buffer), as_tuple_awaitable);
      if (ec) break;
      auto [write_ec, written] =
          co_await asio::async_write(socket, asio::buffer(buffer.data(), n), as_tuple_awaitable);
      if (write_ec) break;
    }
    std::error_code ignored;  // closing a connection whose peer is gone
    socket.close(ignored);
    --open_;
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::atomic<int> open_{0};
  std::thread thread_;
};

// The gateway stand-in on a thread of its own, restarted on the same ports to drop
// every connection at once, as a gateway that goes away and comes back would.
class RestartableGateway {
 public:
  explicit RestartableGateway(std::uint16_t local_port) : local_port_(local_port) { start(); }
  ~RestartableGateway() { stop(); }

  void restart() {
    stop();
    start();
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(ports_.control); }
  std::uint16_t visitor_port() const { return ports_.raw.at(0); }

 private:
  void start() {
    devgw::DevGatewayOptions options;
    options.control_port = ports_.control;
    options.public_http_port.reset();
    options.raw_routes.push_back(
        {ports_.raw.empty() ? std::uint16_t{0} : ports_.raw[0], "kite", local_port_});
    options.log = [](std::string_view) {};
    io_.emplace();
    gateway_.emplace(std::move(options));
    auto ports = gateway_->start(*io_);
    if (!ports) throw std::runtime_error("the stand-in did not start: " + ports.error().display());
    ports_ = ports.value();
    thread_ = std::thread([this] { io_->run(); });
  }

  void stop() {
    if (!gateway_) return;
    // The stand-in closes every connection and listener on its own thread; the rest is
    // cut off with its io_context.
    gateway_->stop();
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!io_->stopped() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(5ms);
    io_->stop();
    if (thread_.joinable()) thread_.join();
    gateway_.reset();
    io_.reset();
  }

  std::uint16_t local_port_;
  devgw::BoundPorts ports_;
  std::optional<asio::io_context> io_;
  std::optional<devgw::DevGateway> gateway_;
  std::thread thread_;
};

// Open descriptors of this process, where the system shows them; -1 elsewhere.
int open_descriptors() {
#ifdef __linux__
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
#else
  return -1;
#endif
}

// A visitor that keeps sending and reading its echo until its socket is closed.
asio::awaitable<void> chatter(std::shared_ptr<tcp::socket> socket) {
  std::vector<char> out(8192, 'v');
  std::vector<char> in(8192);
  for (;;) {
    auto [write_ec, written] =
        co_await asio::async_write(*socket, asio::buffer(out), as_tuple_awaitable);
    if (write_ec) co_return;
    auto [read_ec, n] = co_await socket->async_read_some(asio::buffer(in), as_tuple_awaitable);
    if (read_ec) co_return;
  }
}

class SessionDropsTest : public ::testing::Test {
 protected:
  SessionDropsTest() {
    test::write_file(dir_.path() / "id.ini", "token=" + std::string(TOKEN) + "\nsub=kite\n");
  }

  SupervisorContext context(const RestartableGateway& gateway) {
    auto shared = std::make_shared<SharedState>();
    shared->key_path = dir_.path() / "id.ini";
    shared->tls_mode = TlsMode::TLS_OFF;
    shared->ports.set({echo_.port()});
    shared_ = shared;
    auto [reload_tx, reload_rx] = make_queue<Signal>(0);
    auto [control_tx, control_rx] = make_queue<SessionControl>(0);
    auto [exit_tx, exit_rx] = make_queue<Signal>(0);
    reload_tx_.emplace(reload_tx);
    Creds creds;
    creds.token = std::string(TOKEN);
    return SupervisorContext{"localhost",
                             gateway.address(),
                             "kite",
                             std::move(creds),
                             PunchOptions{},
                             std::nullopt,
                             shared,
                             std::move(reload_tx),
                             std::move(control_tx),
                             std::move(exit_tx),
                             std::move(control_rx),
                             std::move(reload_rx),
                             std::move(exit_rx),
                             0,
                             false};
  }

  SupervisorEnvironment environment() {
    SupervisorEnvironment env;
    env.pool = io_.get_executor();
    env.timings.initial_backoff = 5ms;
    env.timings.backoff_doubling_limit = 10ms;
    env.timings.short_retry_delay = 5ms;
    env.session_timings.heartbeat_interval = 30ms;
    env.start_console = false;
    env.start_gui = false;
    env.ctrl_c_source = [this](Sender<Signal> tx) { ctrl_c_tx_.emplace(std::move(tx)); };
    return env;
  }

  // Waits until a session is welcomed, and for the stand-in to route to it.
  asio::awaitable<void> connected() {
    for (int i = 0; i < 800 && load(shared_->connected) == 0; ++i) co_await sleep_for(10ms);
    if (load(shared_->connected) == 0) throw std::runtime_error("the client did not reconnect");
    co_await sleep_for(20ms);
  }

  // Visitors that get their first echo back: their streams are open end to end.
  asio::awaitable<std::vector<std::shared_ptr<tcp::socket>>> open_visitors(std::uint16_t port) {
    std::vector<std::shared_ptr<tcp::socket>> visitors;
    for (int i = 0; i < VISITORS_PER_ROUND; ++i) {
      auto socket = std::make_shared<tcp::socket>(io_);
      co_await socket->async_connect({asio::ip::address_v4::loopback(), port}, asio::use_awaitable);
      std::string hello = "hello";
      co_await asio::async_write(*socket, asio::buffer(hello), asio::use_awaitable);
      char echoed[5];
      auto read = co_await (asio::async_read(*socket, asio::buffer(echoed), as_tuple_awaitable) ||
                            sleep_for(SETTLE_LIMIT));
      if (read.index() != 0 || std::get<0>(std::get<0>(read)))
        throw std::runtime_error("a visitor got no echo through the tunnel");
      asio::co_spawn(io_, chatter(socket), asio::detached);
      visitors.push_back(socket);
    }
    co_return visitors;
  }

  // Until the figures are back where they were, or the limit has passed.
  asio::awaitable<void> settle(int idle_descriptors) {
    for (auto waited = 0ms; waited < SETTLE_LIMIT; waited += 20ms) {
      if (echo_.open_connections() == 0 && open_descriptors() <= idle_descriptors) co_return;
      co_await sleep_for(20ms);
    }
  }

  test::TempDir dir_;
  EchoService echo_;
  asio::io_context io_;
  SharedStatePtr shared_;
  std::optional<ReloadSender> reload_tx_;
  std::optional<Sender<Signal>> ctrl_c_tx_;
};

TEST_F(SessionDropsTest, LocalConnectionsAndDescriptorsReturnToIdleAfterDropsAndReloads) {
  RestartableGateway gateway(echo_.port());
  asio::co_spawn(io_, supervise(context(gateway), environment()), asio::detached);

  struct Figures {
    int idle_descriptors, descriptors, local_connections;
  };
  Figures figures = test::run_async(
      io_,
      [&]() -> asio::awaitable<Figures> {
        co_await connected();
        const int idle = open_descriptors();
        std::vector<std::shared_ptr<tcp::socket>> all_visitors;
        for (int round = 0; round < ROUNDS; ++round) {
          auto visitors = co_await open_visitors(gateway.visitor_port());
          all_visitors.insert(all_visitors.end(), visitors.begin(), visitors.end());
          store(shared_->connected, 0);
          if (round % 2 == 0) {
            gateway.restart();
          } else {
            reload_tx_->try_send(Signal{});
          }
          co_await connected();
        }
        for (auto& visitor : all_visitors) {
          std::error_code ignored;  // a visitor the stand-in has already closed
          visitor->close(ignored);
        }
        co_await settle(idle);
        co_return Figures{idle, open_descriptors(), echo_.open_connections()};
      }(),
      60s);

  EXPECT_EQ(figures.local_connections, 0);
  if (figures.idle_descriptors >= 0) {
    EXPECT_LE(figures.descriptors, figures.idle_descriptors);
  }

  ctrl_c_tx_->try_send(Signal{});
  ctrl_c_tx_.reset();
  io_.restart();
  io_.run_for(200ms);
}

}  // namespace
}  // namespace quillmar
