// What the direct-connection tests share: loopback addresses standing in for other
// machines, scaled-down limits, an echoing local service, connections made from a
// chosen address, and a fixture with the gateway stand-in and the client's gateway
// session on the test's io_context (the session's tasks on a small thread pool, as in
// the program). Everything stays on 127.0.0.0/8.
#pragma once

#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "async_test.hpp"
#include "devgw/dev_gateway.hpp"
#include "direct/direct_setup.hpp"
#include "proto/connect.hpp"
#include "proto/frame.hpp"
#include "proto/shared_writer.hpp"
#include "proto/stream_halves.hpp"
#include "proto/text.hpp"
#include "scoped_env.hpp"
#include "session/session.hpp"
#include "settings/shared_state.hpp"

namespace quillmar::test {

using asio::ip::tcp;
using namespace std::chrono_literals;
inline constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

// The owner's direct listeners bind here; 127.0.0.3 and above are the peers.
inline const asio::ip::address LISTEN_ADDRESS = asio::ip::make_address("127.0.0.2");
inline const asio::ip::address PEER_ADDRESS = asio::ip::make_address("127.0.0.3");
inline const asio::ip::address STRANGER_ADDRESS = asio::ip::make_address("127.0.0.4");
inline constexpr std::string_view TEST_TOKEN = "0123456789abcdef0123456789abcdef";
inline constexpr std::string_view TEST_DOMAIN = "direct.localhost";

// Toward loopback the system's source is a loopback address, which is never offered:
// no candidate, and nothing leaves the machine.
inline constexpr std::string_view LOOPBACK_IPV4_TARGETS[] = {"127.0.0.9:53"};
inline constexpr std::string_view LOOPBACK_IPV6_TARGETS[] = {"[::1]:53"};

inline DirectSetup loopback_setup() {
  DirectSetup setup;
  setup.timings.candidate_connect_timeout = 300ms;
  setup.timings.direct_connect_timeout = 500ms;
  setup.timings.front_door_connect_timeout = 1s;
  setup.timings.pairing_watch_interval = 20ms;
  setup.timings.punch_probe_connect_timeout = 200ms;
  setup.probe_targets = {LOOPBACK_IPV4_TARGETS, LOOPBACK_IPV6_TARGETS};
  setup.listen_address = LISTEN_ADDRESS;
  return setup;
}

// A one-port list. Built outside the co_await expressions that take it: GCC 12 cannot
// compile a braced list there.
inline std::vector<std::uint16_t> only(std::uint16_t port) { return {port}; }

// A port where nothing listens at the address (free a moment ago), for the code under
// test to open.
inline std::uint16_t closed_port(asio::io_context& io, const asio::ip::address& address) {
  tcp::acceptor acceptor(io, {address, 0});
  return acceptor.local_endpoint().port();
}

// A port that refuses connections for as long as the object lives: a socket is bound to
// it but never listens, so no listener of the test (or of the system, which hands out
// free ports again soon) can take it meanwhile.
class RefusingPort {
 public:
  RefusingPort(asio::io_context& io, const asio::ip::address& address) : socket_(io) {
    socket_.open(address.is_v4() ? tcp::v4() : tcp::v6());
    socket_.bind({address, 0});
  }
  std::uint16_t port() const { return socket_.local_endpoint().port(); }

 private:
  tcp::socket socket_;
};

// Polls until the condition holds; false when the limit passed first.
inline asio::awaitable<bool> eventually(std::function<bool()> condition,
                                        std::chrono::milliseconds limit = 5s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) co_return false;
    co_await sleep_for(5ms);
  }
  co_return true;
}

// A TCP connection from the address (any port) to the endpoint; none when refused.
inline asio::awaitable<std::optional<tcp::socket>> connect_from(asio::ip::address from,
                                                                tcp::endpoint to) {
  tcp::socket socket(co_await asio::this_coro::executor);
  socket.open(to.protocol());
  socket.bind({from, 0});
  auto [ec] = co_await socket.async_connect(to, as_tuple_awaitable);
  if (ec) co_return std::nullopt;
  co_return std::move(socket);
}

// A connection to a listener that a task is about to open.
inline asio::awaitable<std::optional<tcp::socket>> connect_when_listening(tcp::endpoint to) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    auto socket = co_await connect_from(asio::ip::address_v4::loopback(), to);
    if (socket) co_return socket;
    co_await sleep_for(10ms);
  }
  co_return std::nullopt;
}

// Writes the text, ends the sending side, and reads until the other side ends (or the
// limit passes: then what came so far, and ended false).
struct Exchange {
  std::string received;
  bool ended = false;
};
inline asio::awaitable<Exchange> exchange(tcp::socket& socket, std::string text,
                                          bool end_input = true,
                                          std::chrono::milliseconds limit = 5s) {
  using namespace asio::experimental::awaitable_operators;
  Exchange result;
  if (!text.empty()) {
    auto [ec, n] = co_await asio::async_write(socket, asio::buffer(text), as_tuple_awaitable);
    if (ec) co_return result;
  }
  if (end_input) {
    std::error_code ignored;  // a peer that is gone shows in the read below
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  }
  auto read_all = [](tcp::socket& s, std::string& out) -> asio::awaitable<void> {
    std::array<char, 4096> chunk{};
    for (;;) {
      auto [ec, n] = co_await s.async_read_some(asio::buffer(chunk), as_tuple_awaitable);
      out.append(chunk.data(), n);
      if (ec) co_return;
    }
  };
  auto first = co_await (read_all(socket, result.received) || sleep_for(limit));
  result.ended = first.index() == 0;
  co_return result;
}

// Reads what comes within the time; true when the other side ended meanwhile.
inline asio::awaitable<bool> ends_within(tcp::socket& socket, std::chrono::milliseconds limit) {
  Exchange got = co_await exchange(socket, "", false, limit);
  co_return got.ended;
}

// A local service on the test's io_context that sends back every byte it gets and
// ends its side when the peer ends its own; it counts its connections.
class EchoService {
 public:
  EchoService(asio::io_context& io, asio::ip::address address, std::uint16_t port = 0)
      : acceptor_(io, {address, port}) {
    asio::co_spawn(io, serve(), asio::detached);
  }
  ~EchoService() { close(); }

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  tcp::endpoint endpoint() const { return acceptor_.local_endpoint(); }
  int connections() const { return *connections_; }
  void close() {
    std::error_code ignored;  // closing twice is harmless
    acceptor_.close(ignored);
  }

 private:
  asio::awaitable<void> serve() {
    auto count = connections_;
    for (;;) {
      auto [ec, socket] = co_await acceptor_.async_accept(as_tuple_awaitable);
      if (ec) co_return;
      ++*count;
      asio::co_spawn(acceptor_.get_executor(), echo(std::move(socket)), asio::detached);
    }
  }
  static asio::awaitable<void> echo(tcp::socket socket) {
    std::array<char, 4096> chunk{};
    for (;;) {
      auto [ec, n] = co_await socket.async_read_some(asio::buffer(chunk), as_tuple_awaitable);
      if (ec) break;
      auto [write_ec, written] =
          co_await asio::async_write(socket, asio::buffer(chunk.data(), n), as_tuple_awaitable);
      if (write_ec) co_return;
    }
    std::error_code ignored;  // a peer that left needs no end of data
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  }

  tcp::acceptor acceptor_;
  std::shared_ptr<int> connections_ = std::make_shared<int>(0);
};

// The other end of a SharedWriter: the frames the client sends, read by the test.
class FrameSink {
 public:
  FrameSink(asio::io_context& io, asio::any_io_executor writer_executor)
      : acceptor_(io, {asio::ip::address_v4::loopback(), 0}) {
    tcp::socket client(writer_executor);
    client.connect(acceptor_.local_endpoint());
    reader_ = split_tcp(acceptor_.accept()).read;
    writer_ = std::make_shared<SharedWriter>(writer_executor, split_tcp(std::move(client)).write);
  }

  SharedWriterPtr writer() const { return writer_; }

  // The next frame, none when nothing comes within the limit.
  asio::awaitable<std::optional<Frame>> next(std::chrono::milliseconds limit = 5s) {
    using namespace asio::experimental::awaitable_operators;
    if (held_) co_return std::exchange(held_, std::nullopt);
    auto first = co_await (read_frame(*reader_) || sleep_for(limit));
    if (first.index() == 1) co_return std::nullopt;
    auto& read = std::get<0>(first);
    if (!read || !read.value()) co_return std::nullopt;
    co_return std::move(*read.value());
  }

  // True when no frame comes within the time (a frame that does is kept for next()).
  asio::awaitable<bool> quiet_for(std::chrono::milliseconds time) {
    held_ = co_await next(time);
    co_return !held_.has_value();
  }

 private:
  tcp::acceptor acceptor_;
  std::unique_ptr<ReadHalf> reader_;
  SharedWriterPtr writer_;
  std::optional<Frame> held_;
};

inline std::string text_of(const Frame& frame) {
  return std::string(frame.payload.begin(), frame.payload.end());
}

// The test's io_context with the client's pool beside it, a shared state with a key
// file, and what a scenario prints.
class DirectTest : public ::testing::Test {
 protected:
  DirectTest() {
    shared_->tls_mode = TlsMode::TLS_OFF;
    shared_->key_path = keys_.path() / "id.ini";
    write_file(shared_->key_path, "token=" + std::string(TEST_TOKEN) + "\n");
  }
  ~DirectTest() override {
    // The tasks the client started (listeners, relays, entries) go with the pool, while
    // the test's io_context is still there: they hold the session's writer, whose
    // connection belongs to that context. The pool goes whole: its destruction stops,
    // joins and shuts it down once (a second shutdown joins Asio's timer thread again on
    // Windows and closes its handles twice).
    pool_.reset();
  }

  asio::any_io_executor pool() { return pool_->get_executor(); }

  // Runs the scenario with what it prints captured.
  template <class T>
  T run(asio::awaitable<T> scenario) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::exception_ptr failure;
    T result{};
    try {
      result = run_async(io_, std::move(scenario), 30s);
    } catch (...) {
      failure = std::current_exception();
    }
    stdout_ = testing::internal::GetCapturedStdout();
    stderr_ = testing::internal::GetCapturedStderr();
    // A failure inside the scenario was reported into the capture: show it.
    if (HasFailure()) std::fputs(describe().c_str(), stdout);
    if (failure) std::rethrow_exception(failure);
    return result;
  }

  bool printed(std::string_view line) const { return stdout_.find(line) != std::string::npos; }
  std::size_t printed_count(std::string_view part) const {
    std::size_t count = 0;
    for (auto at = stdout_.find(part); at != std::string::npos; at = stdout_.find(part, at + 1))
      ++count;
    return count;
  }
  std::string describe() const {
    return "--- stdout ---\n" + stdout_ + "--- stderr ---\n" + stderr_;
  }

  // the client's writers and tasks live here: last to go
  std::unique_ptr<asio::thread_pool> pool_ = std::make_unique<asio::thread_pool>(2);
  asio::io_context io_;
  TempDir keys_;
  SharedStatePtr shared_ = std::make_shared<SharedState>();
  ScopedEnv no_debug_{"TUNNEL_DEBUG", std::nullopt};
  std::string stdout_;
  std::string stderr_;
};

// The stand-in and one client session ("nas" unless told), both on the test's
// io_context.
class StandInTest : public DirectTest {
 protected:
  StandInTest() { timings_.direct = loopback_setup(); }

  ~StandInTest() override {
    if (session_.valid()) {
      drop_.emit(asio::cancellation_type::terminal);
      for (int i = 0; i < 1000 && session_.wait_for(0s) != std::future_status::ready; ++i) {
        io_.restart();
        io_.run_for(5ms);
      }
    }
    if (gateway_) gateway_->stop();
    io_.restart();
    io_.run_for(50ms);
  }

  devgw::DevGatewayOptions gateway_options() {
    devgw::DevGatewayOptions options;
    options.domain = std::string(TEST_DOMAIN);
    options.log = [this](std::string_view line) {
      std::lock_guard lock(log_mutex_);
      gateway_log_ += std::string(line) + "\n";
    };
    options.linger = 200ms;
    return options;
  }

  devgw::BoundPorts start_gateway(devgw::DevGatewayOptions options) {
    gateway_ = std::make_unique<devgw::DevGateway>(std::move(options));
    auto ports = gateway_->start(io_);
    if (!ports) throw std::runtime_error("the stand-in did not start: " + ports.error().display());
    ports_ = ports.value();
    return ports_;
  }
  devgw::BoundPorts start_gateway() { return start_gateway(gateway_options()); }

  // Starts the session and waits for its welcome.
  asio::awaitable<void> connect(std::vector<std::uint16_t> ports, std::string sub = "nas") {
    shared_->sub.set(sub);
    SessionInputs inputs{"127.0.0.1:" + std::to_string(ports_.control),
                         std::string(TEST_DOMAIN),
                         sub,
                         std::string(TEST_TOKEN),
                         std::move(ports),
                         ""};
    SessionEnvironment environment{pool_->get_executor(), timings_};
    session_ = asio::co_spawn(
        io_, run_session(std::move(inputs), shared_, punch_, control_.second, environment),
        asio::bind_cancellation_slot(drop_.slot(), asio::use_future));
    bool welcomed = co_await eventually([&] { return load(shared_->connected) == 1; });
    if (!welcomed) throw std::runtime_error("no welcome; the stand-in says:\n" + gateway_log());
  }

  asio::awaitable<std::string> command(std::string line) {
    std::string reply = co_await gateway_->command(std::move(line));
    co_return reply;
  }

  std::string gateway_log() {
    std::lock_guard lock(log_mutex_);
    return gateway_log_;
  }

  PunchOptions punch_;
  std::pair<ControlSender, ControlReceiver> control_ = make_queue<SessionControl>(0);
  SessionTimings timings_;
  std::unique_ptr<devgw::DevGateway> gateway_;
  devgw::BoundPorts ports_;
  asio::cancellation_signal drop_;
  std::future<SessionOutcome> session_;

 private:
  std::mutex log_mutex_;
  std::string gateway_log_;
};

}  // namespace quillmar::test
