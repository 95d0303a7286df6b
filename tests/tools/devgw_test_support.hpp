// Helpers for the gateway stand-in's tests: a gateway on the test's io_context with its
// log captured, a minimal hand-written device (frames over loopback TCP or TLS), and
// visitors that speak raw bytes.
#pragma once

#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/read.hpp>
#include <asio/read_until.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "async_test.hpp"
#include "devgw/dev_gateway.hpp"
#include "devgw/devgw_contexts.hpp"
#include "devgw/devgw_tls.hpp"
#include "proto/frame.hpp"
#include "proto/shared_writer.hpp"
#include "proto/text.hpp"

namespace quillmar::devgw::test {

using asio::ip::tcp;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);
constexpr auto FRAME_WAIT = 5s;

inline tcp::endpoint loopback(std::uint16_t port) {
  return {asio::ip::address_v4::loopback(), port};
}

inline std::string text_of(const Frame& frame) { return std::string(as_text(frame.payload)); }

// Waits for the awaitable or fails the test after the limit. Abandoning a read on
// timeout is fine here: the test is over for that connection.
template <class T>
asio::awaitable<std::optional<T>> within(asio::awaitable<T> task, std::chrono::milliseconds limit) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  timer.expires_after(limit);
  auto outcome = co_await (std::move(task) || timer.async_wait(asio::use_awaitable));
  if (outcome.index() == 1) co_return std::nullopt;
  co_return std::move(std::get<0>(outcome));
}

inline asio::awaitable<bool> finishes_within(asio::awaitable<void> task,
                                             std::chrono::milliseconds limit) {
  asio::steady_timer timer(co_await asio::this_coro::executor);
  timer.expires_after(limit);
  auto outcome = co_await (std::move(task) || timer.async_wait(asio::use_awaitable));
  co_return outcome.index() == 0;
}

// A device as the client would be one, written by hand: frames on a split stream.
class TestDevice {
 public:
  static asio::awaitable<TestDevice> connect(std::uint16_t port) {
    auto executor = co_await asio::this_coro::executor;
    tcp::socket socket(executor);
    co_await socket.async_connect(loopback(port), asio::use_awaitable);
    co_return TestDevice(split_tcp(std::move(socket)), executor);
  }

  static asio::awaitable<TestDevice> connect_tls(std::uint16_t port, asio::ssl::context& context,
                                                 std::string* fingerprint) {
    auto executor = co_await asio::this_coro::executor;
    auto stream = std::make_shared<SslStream>(tcp::socket(executor), context);
    co_await stream->lowest_layer().async_connect(loopback(port), asio::use_awaitable);
    co_await stream->async_handshake(asio::ssl::stream_base::client, asio::use_awaitable);
    if (fingerprint) *fingerprint = peer_fingerprint(*stream);
    co_return TestDevice(split_ssl(stream), executor);
  }

  asio::awaitable<void> send(std::uint8_t kind, std::uint32_t id, std::string_view payload) {
    auto sent = co_await send_frame(*writer_, new_frame(kind, id, as_bytes(payload)));
    if (!sent) throw std::runtime_error("device send failed: " + sent.error().display());
  }

  // Hello, the invite when given, and an empty access list, as the client sends them.
  asio::awaitable<void> register_as(std::string_view name, std::string_view ports,
                                    std::string_view token,
                                    std::optional<std::string_view> invite = std::nullopt) {
    co_await send(KIND_HELLO, 0,
                  std::string(name) + "\n" + std::string(ports) + "\n" + std::string(token));
    if (invite) co_await send(KIND_INVITE, 0, *invite);
    co_await send(KIND_ACCESS, 0, "");
  }

  // The next frame; nullopt when the gateway ended the connection. Throws on a read
  // error or when nothing comes in time.
  asio::awaitable<std::optional<Frame>> next(std::chrono::milliseconds limit = FRAME_WAIT) {
    std::optional<Result<std::optional<Frame>>> read;
    if (held_) {
      read = std::move(held_);
      held_.reset();
    } else {
      read = co_await within(read_frame(*read_), limit);
    }
    if (!read) throw std::runtime_error("no frame from the gateway in time");
    if (!read->ok()) co_return std::nullopt;  // a reset ends the connection as well
    co_return std::move(read->value());
  }

  // The next frame; the gateway ending the connection instead throws.
  asio::awaitable<Frame> must_next(std::chrono::milliseconds limit = FRAME_WAIT) {
    auto frame = co_await next(limit);
    if (!frame) throw std::runtime_error("the gateway closed the connection");
    co_return std::move(*frame);
  }

  // The next frame that is no account line; the account lines are kept.
  asio::awaitable<Frame> next_other(std::chrono::milliseconds limit = FRAME_WAIT) {
    for (;;) {
      auto frame = co_await next(limit);
      if (!frame) throw std::runtime_error("the gateway closed the connection");
      if (frame->kind != KIND_ACCOUNT) co_return std::move(*frame);
      accounts.push_back(text_of(*frame));
    }
  }

  // True when the gateway ends the connection (skipping any frames before the end).
  asio::awaitable<bool> ends(std::chrono::milliseconds limit = FRAME_WAIT) {
    for (;;) {
      auto read = co_await within(read_frame(*read_), limit);
      if (!read) co_return false;
      if (!read->ok() || !read->value()) co_return true;
    }
  }

  // Nothing arrives within the time; the read is left unfinished only when no byte came.
  asio::awaitable<bool> silent_for(std::chrono::milliseconds quiet) {
    auto read = co_await within(read_frame(*read_), quiet);
    if (read) held_ = std::move(*read);
    co_return !read.has_value();
  }

  std::vector<std::string> accounts;

 private:
  TestDevice(SplitStream halves, asio::any_io_executor executor)
      : read_(std::move(halves.read)),
        writer_(std::make_shared<SharedWriter>(executor, std::move(halves.write))) {}

  static std::string peer_fingerprint(SslStream& stream) {
    X509* cert = SSL_get1_peer_certificate(stream.native_handle());
    if (!cert) return {};
    unsigned char* der = nullptr;
    int length = i2d_X509(cert, &der);
    unsigned char digest[32];
    unsigned int digest_length = 0;
    EVP_Digest(der, static_cast<std::size_t>(length), digest, &digest_length, EVP_sha256(),
               nullptr);
    OPENSSL_free(der);
    X509_free(cert);
    return hex_lower(std::span<const std::uint8_t>(digest, digest_length));
  }

  std::unique_ptr<ReadHalf> read_;
  std::shared_ptr<SharedWriter> writer_;
  std::optional<Result<std::optional<Frame>>> held_;
};

// A visitor: a plain TCP connection to one of the gateway's public listeners.
struct TestVisitor {
  static asio::awaitable<TestVisitor> connect(std::uint16_t port) {
    tcp::socket socket(co_await asio::this_coro::executor);
    co_await socket.async_connect(loopback(port), asio::use_awaitable);
    co_return TestVisitor{std::move(socket)};
  }

  asio::awaitable<void> write(std::string_view bytes) {
    co_await asio::async_write(socket, asio::buffer(bytes.data(), bytes.size()),
                               asio::use_awaitable);
  }

  // Everything until the gateway ends the connection (or resets it).
  asio::awaitable<std::string> read_to_end(std::chrono::milliseconds limit = FRAME_WAIT) {
    std::string all;
    auto task = [](tcp::socket& s, std::string& out) -> asio::awaitable<void> {
      std::array<char, 4096> chunk{};
      for (;;) {
        auto [ec, n] = co_await s.async_read_some(asio::buffer(chunk), as_tuple_awaitable);
        out.append(chunk.data(), n);
        if (ec) co_return;
      }
    };
    bool done = co_await finishes_within(task(socket, all), limit);
    if (!done)
      throw std::runtime_error("the visitor's connection did not end in time; got " +
                               quoted_form(all));
    co_return all;
  }

  // Exactly n bytes.
  asio::awaitable<std::string> read_exactly(std::size_t n) {
    std::string bytes(n, '\0');
    auto read = co_await within(asio::async_read(socket, asio::buffer(bytes), as_tuple_awaitable),
                                FRAME_WAIT);
    if (!read || std::get<0>(*read)) throw std::runtime_error("the visitor did not get its bytes");
    co_return bytes;
  }

  tcp::socket socket;
};

// "GET <path> HTTP/1.1" with the Host header.
inline std::string get_request(std::string_view host, std::string_view path = "/") {
  return "GET " + std::string(path) + " HTTP/1.1\r\nHost: " + std::string(host) +
         "\r\nUser-Agent: test\r\n\r\n";
}

// A gateway on the test's io_context, its log kept for assertions.
class GatewayFixture : public ::testing::Test {
 protected:
  // With visitor threads, the visitors' connections do their system calls there. The
  // test's thread alone runs the io_context: one_core_thread lets the core go without
  // its strand, as the program runs it.
  explicit GatewayFixture(std::size_t visitor_threads = 0, bool one_core_thread = false)
      : contexts_(visitor_threads), one_core_thread_(one_core_thread) {}

  DevGatewayOptions quick_options() {
    DevGatewayOptions options;
    options.visitor_executors = contexts_.visitor_executors();
    options.one_core_thread = one_core_thread_;
    options.log = [this](std::string_view line) {
      std::lock_guard lock(log_mutex_);
      log_.emplace_back(line);
    };
    options.account_interval = 20ms;
    options.linger = 200ms;
    options.admin_port = 0;
    return options;
  }

  BoundPorts start(DevGatewayOptions options) {
    gateway_ = std::make_unique<DevGateway>(std::move(options));
    auto ports = gateway_->start(io_);
    if (!ports) throw std::runtime_error("the gateway did not start: " + ports.error().display());
    return ports.value();
  }
  BoundPorts start() { return start(quick_options()); }

  void TearDown() override {
    if (!gateway_) return;
    gateway_->stop();
    io_.restart();
    io_.run_for(50ms);
  }

  template <class T>
  T run(asio::awaitable<T> task) {
    return quillmar::test::run_async(io_, std::move(task));
  }

  bool logged(std::string_view fragment) {
    std::lock_guard lock(log_mutex_);
    for (const auto& line : log_) {
      if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
  }

  void clear_log() {
    std::lock_guard lock(log_mutex_);
    log_.clear();
  }

  std::string log_text() {
    std::lock_guard lock(log_mutex_);
    std::string all;
    for (const auto& line : log_) all += line + "\n";
    return all;
  }

  // Polls the log until a line holds the fragment.
  asio::awaitable<bool> wait_for_log(std::string fragment, std::chrono::milliseconds limit = 3s) {
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (auto waited = 0ms; waited < limit; waited += 10ms) {
      if (logged(fragment)) co_return true;
      timer.expires_after(10ms);
      co_await timer.async_wait(asio::use_awaitable);
    }
    co_return logged(fragment);
  }

  // One admin line over the admin port, its reply without the line end.
  asio::awaitable<std::string> admin(std::uint16_t port, std::string line) {
    tcp::socket socket(co_await asio::this_coro::executor);
    co_await socket.async_connect(loopback(port), asio::use_awaitable);
    line += "\n";
    co_await asio::async_write(socket, asio::buffer(line), asio::use_awaitable);
    std::string reply;
    auto read = co_await within(
        asio::async_read_until(socket, asio::dynamic_buffer(reply), '\n', as_tuple_awaitable),
        FRAME_WAIT);
    if (!read || std::get<0>(*read)) throw std::runtime_error("no admin reply to " + line);
    reply.resize(std::get<1>(*read) - 1);
    co_return reply;
  }

  GatewayContexts contexts_;
  bool one_core_thread_;
  asio::io_context& io_ = contexts_.core();
  std::unique_ptr<DevGateway> gateway_;

 private:
  std::mutex log_mutex_;
  std::vector<std::string> log_;
};

}  // namespace quillmar::devgw::test
