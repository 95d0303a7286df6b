// Shared pieces of the console tests: a real console on 127.0.0.1 port 0 run on a
// thread or threads of its own, and a raw client that sends exact bytes and reads the reply.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "async_test.hpp"
#include "console/server.hpp"
#include "settings/shared_state.hpp"

namespace quillmar::test {

inline std::string plain_reply(std::string_view status, std::string_view body) {
  return "HTTP/1.1 " + std::string(status) +
         "\r\ncontent-type: text/plain; charset=utf-8\r\ncache-control: "
         "no-store\r\ncontent-length: " +
         std::to_string(body.size()) + "\r\nconnection: close\r\n\r\n" + std::string(body);
}
inline const std::string FORBIDDEN = plain_reply("403 Forbidden", "forbidden");
inline const std::string NOT_FOUND = plain_reply("404 Not Found", "not found");
inline const std::string TOO_LARGE = plain_reply("413 Content Too Large", "request too large");

inline std::string json_reply(std::string_view body) {
  return "HTTP/1.1 200 OK\r\ncontent-type: application/json\r\ncache-control: "
         "no-store\r\ncontent-length: " +
         std::to_string(body.size()) + "\r\nconnection: close\r\n\r\n" + std::string(body);
}

inline void set_env(const char* name, const char* value) {
#ifdef _WIN32
  _putenv_s(name, value);
#else
  setenv(name, value, 1);
#endif
}
inline void unset_env(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

enum class AfterSend { half_close, keep_open };

inline asio::awaitable<std::string> raw_exchange_task(asio::io_context& io, std::uint16_t port,
                                                      std::string bytes, AfterSend after) {
  using asio::experimental::as_tuple;
  asio::ip::tcp::socket socket(io);
  co_await socket.async_connect({asio::ip::address_v4::loopback(), port}, asio::use_awaitable);
  if (!bytes.empty()) co_await asio::async_write(socket, asio::buffer(bytes), asio::use_awaitable);
  if (after == AfterSend::half_close) socket.shutdown(asio::ip::tcp::socket::shutdown_send);
  std::string reply;
  char chunk[4096];
  for (;;) {
    auto [ec, n] =
        co_await socket.async_read_some(asio::buffer(chunk), as_tuple(asio::use_awaitable));
    reply.append(chunk, n);
    if (ec) break;
  }
  co_return reply;
}

// Sends the bytes on a fresh connection and returns everything read until the server
// closes. Fails the test (by throwing) after the limit.
inline std::string raw_exchange(std::uint16_t port, std::string bytes,
                                AfterSend after = AfterSend::half_close,
                                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  asio::io_context io;
  return run_async(io, raw_exchange_task(io, port, std::move(bytes), after), limit);
}

// A console served by serve_console on threads of its own (one unless told), with the
// receiving ends of both channels kept for the test.
class LiveConsole {
 public:
  explicit LiveConsole(SharedStatePtr state = std::make_shared<SharedState>(), int threads = 1)
      : shared(std::move(state)), work_(io_.get_executor()) {
    auto [reload_tx, reload_receiver] = make_queue<Signal>(0);
    auto [control_tx, control_receiver] = make_queue<SessionControl>(0);
    reload_rx.emplace(std::move(reload_receiver));
    control_rx.emplace(std::move(control_receiver));
    asio::ip::tcp::acceptor listener(io_, {asio::ip::address_v4::loopback(), 0});
    port = listener.local_endpoint().port();
    asio::co_spawn(io_,
                   serve_console(std::move(listener), "example.test", "gw.example.test:443", shared,
                                 std::move(reload_tx), std::move(control_tx), port),
                   asio::detached);
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  ~LiveConsole() {
    io_.stop();
    for (auto& thread : threads_) thread.join();
  }
  LiveConsole(const LiveConsole&) = delete;
  LiveConsole& operator=(const LiveConsole&) = delete;

  std::string exchange(std::string bytes, AfterSend after = AfterSend::half_close) {
    return raw_exchange(port, std::move(bytes), after);
  }

  // Reload messages received so far, taken out of the channel.
  int take_reloads() {
    int count = 0;
    while (reload_rx->try_receive()) ++count;
    return count;
  }

  SharedStatePtr shared;
  std::uint16_t port = 0;
  std::optional<ReloadReceiver> reload_rx;
  std::optional<ControlReceiver> control_rx;

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;
};

inline std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace quillmar::test
