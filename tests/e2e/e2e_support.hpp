// What the end-to-end tests share: the gateway stand-in run in this process, a small
// loopback HTTP service of the test's own, a visitor that talks to the stand-in's
// public side, and the command line and environment of a client run as a real
// process. Everything listens on and connects to 127.0.0.1 only.
#pragma once

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/environment.hpp"
#include "async_test.hpp"
#include "child_process.hpp"
#include "devgw/dev_gateway.hpp"

namespace quillmar::test {

using namespace std::chrono_literals;
using asio::ip::tcp;

// Long enough for a loaded machine, short enough that a hang fails fast.
inline constexpr auto WAIT = std::chrono::milliseconds(8000);
inline constexpr std::string_view TEST_DOMAIN = "e2e.quillmar.localhost";

inline constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

// A port that was free a moment ago (the system picks it; the listener is closed again).
inline std::uint16_t free_port() {
  asio::io_context io;
  tcp::acceptor acceptor(io);
  acceptor.open(tcp::v4());
  acceptor.bind({asio::ip::address_v4::loopback(), 0});
  return acceptor.local_endpoint().port();
}

// --- the client's texts --------------------------------------------------------------

inline std::string console_line(std::uint16_t ui) {
  return "client: 管理界面 http://127.0.0.1:" + std::to_string(ui) + "\n";
}
inline constexpr std::string_view NO_MAPPINGS_LINE =
    "client: 还没有端口映射，请在 Quillmar 页面里添加\n";
inline constexpr std::string_view NO_MAPPINGS_BANNER_LINE = "    （还没有映射，去管理页面添加）\n";
inline constexpr std::string_view EXIT_LINE =
    "client: 收到退出信号，收尾并退出（配置和 key 文件都不动）\n";
inline constexpr std::string_view HAND_OVER_LINE = "Quillmar 已在运行，打开已有的管理页面\n";
inline constexpr std::string_view PIN_STORED_PREFIX = "client: 已记住网关证书指纹（";

inline std::string banner_line(std::string_view name, std::string_view domain = TEST_DOMAIN) {
  return "\n  ✔ 已就绪  https://" + std::string(name) + "." + std::string(domain) + "\n";
}
inline std::string banner_port_line(std::string_view name, std::uint16_t port,
                                    std::string_view domain = TEST_DOMAIN) {
  std::string p = std::to_string(port);
  return "    https://" + std::string(name) + "-" + p + "." + std::string(domain) +
         "  ->  http://127.0.0.1:" + p + "\n";
}
inline std::string invite_saved_line(const std::filesystem::path& key_file) {
  return "client: 接入码已保存（" + path_to_utf8(key_file) + "），以后启动不用再给\n";
}

// The name of the ready banner ("" when there is none yet).
inline std::string banner_name(const std::string& out, std::string_view domain = TEST_DOMAIN) {
  std::string marker = "  ✔ 已就绪  https://";
  auto at = out.find(marker);
  if (at == std::string::npos) return {};
  at += marker.size();
  auto end = out.find("." + std::string(domain) + "\n", at);
  return end == std::string::npos ? std::string() : out.substr(at, end - at);
}

inline bool is_random_name(const std::string& name) {
  static const std::regex form("[a-z]+-[a-z]+-(0|[1-9][0-9]{0,3})");
  return std::regex_match(name, form);
}

inline std::size_t count_of(const std::string& text, std::string_view part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    ++count;
  return count;
}

// --- key files -----------------------------------------------------------------------

inline constexpr std::string_view KEY_HEADER =
    "# Quillmar 设备凭据。删掉本文件 = 换一台新设备（原域名将不再归你）。\n";
inline constexpr std::string_view TEST_TOKEN = "0123456789abcdef0123456789abcdef";

// The lines of a key file, "\r" dropped.
inline std::vector<std::string> key_lines(const std::filesystem::path& key_file) {
  std::vector<std::string> lines;
  std::string text = read_file(key_file);
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find('\n', start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// The value of the first "key=" line, nullopt when there is none.
inline std::optional<std::string> key_value(const std::filesystem::path& key_file,
                                            std::string_view key) {
  std::string prefix = std::string(key) + "=";
  for (const auto& line : key_lines(key_file)) {
    if (line.starts_with(prefix)) return line.substr(prefix.size());
  }
  return std::nullopt;
}

// --- the client as a process -----------------------------------------------------------

// One client's key folder and console port. The console port stays the same for a
// second start, which is how the hand-over is reached.
struct ClientSetup {
  TempDir keys;
  std::uint16_t ui = free_port();
  std::filesystem::path key_file() const { return keys.path() / "id.ini"; }
};

#ifdef _WIN32
// Shell settings of the tests' own that say the first-run install offer was made: without
// them every start would ask its questions.
inline const std::filesystem::path& offer_done_settings() {
  static const TempDir dir;
  static const bool written = [] {
    std::filesystem::create_directories(dir.path() / "Quillmar");
    write_file(dir.path() / "Quillmar" / "shell.ini", "offer_done=1\n");
    return true;
  }();
  (void)written;
  return dir.path();
}
#endif

inline ChildOptions client_options(const std::filesystem::path& key_dir, std::uint16_t ui,
                                   std::vector<std::string> args) {
  ChildOptions options;
  options.program = quillmar_program();
  options.args = {"--ui", std::to_string(ui)};
  options.args.insert(options.args.end(), args.begin(), args.end());
  options.set_env = {{"TUNNEL_KEY_DIR", path_to_utf8(key_dir)}, {"TUNNEL_NO_BROWSER", ""}};
#ifdef _WIN32
  // The window with the tray icon needs the display Wine draws on.
  options.set_env.emplace_back("APPDATA", path_to_utf8(offer_done_settings()));
  options.unset_env = {"WAYLAND_DISPLAY", "BROWSER", "TUNNEL_DEBUG"};
#else
  options.unset_env = {"DISPLAY", "WAYLAND_DISPLAY", "BROWSER", "TUNNEL_DEBUG"};
#endif
  options.working_dir = key_dir;
  return options;
}

inline ChildOptions client_options(const ClientSetup& setup, std::vector<std::string> args) {
  return client_options(setup.keys.path(), setup.ui, std::move(args));
}

// --- the gateway stand-in, in this process -------------------------------------------

class Gateway {
 public:
  explicit Gateway(devgw::DevGatewayOptions options = {}) {
    options.domain = std::string(TEST_DOMAIN);
    options.log = [this](std::string_view line) {
      {
        std::lock_guard lock(log_mutex_);
        log_ += std::string(line) + "\n";
      }
      log_changed_.notify_all();
    };
    gateway_.emplace(std::move(options));
    auto ports = gateway_->start(io_);
    if (!ports)
      throw std::runtime_error("the gateway stand-in did not start: " + ports.error().display());
    ports_ = ports.value();
    thread_ = std::thread([this] { io_.run(); });
  }

  ~Gateway() {
    gateway_->stop();
    guard_.reset();
    // The stand-in closes every connection on stop; whatever is left after a grace
    // period is cut off with the io_context.
    auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!io_.stopped() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    io_.stop();
    thread_.join();
    gateway_.reset();
  }

  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  std::string address() const { return "127.0.0.1:" + std::to_string(ports_.control); }
  std::uint16_t public_port() const { return ports_.public_http.value_or(0); }
  std::string fingerprint() const { return gateway_->fingerprint(); }

  // One admin command and its reply line.
  std::string command(std::string line) {
    auto reply = asio::co_spawn(io_, gateway_->command(std::move(line)), asio::use_future);
    if (reply.wait_for(WAIT) != std::future_status::ready) return "error: no reply in time";
    return reply.get();
  }

  std::string log() const {
    std::lock_guard lock(log_mutex_);
    return log_;
  }

  // The client's arguments that point it at this stand-in.
  std::vector<std::string> client_args() const {
    return {"--gw", address(), "--domain", std::string(TEST_DOMAIN)};
  }

 private:
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_ = asio::make_work_guard(io_);
  std::optional<devgw::DevGateway> gateway_;
  devgw::BoundPorts ports_;
  std::thread thread_;
  mutable std::mutex log_mutex_;
  std::condition_variable log_changed_;
  std::string log_;
};

inline devgw::DevGatewayOptions plain_gateway() { return {}; }
inline devgw::DevGatewayOptions tls_gateway() {
  devgw::DevGatewayOptions options;
  options.tls = devgw::TlsSetup::generated;
  return options;
}

// --- a local service of the test's own ------------------------------------------------

// A loopback TCP service that answers each connection once: it reads the request
// (up to the end of its head, or up to the end of the peer's input), records it,
// writes the handler's answer and ends its side. stop() closes the listener, so
// later connections are refused.
class LocalService {
 public:
  using Handler = std::function<std::string(const std::string& request)>;
  enum class Read { head, to_end };

  explicit LocalService(Handler handler, Read read = Read::head)
      : handler_(std::move(handler)),
        read_(read),
        acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
    port_ = acceptor_.local_endpoint().port();
    asio::co_spawn(io_, accept_loop(), asio::detached);
    thread_ = std::thread([this] { io_.run(); });
  }
  ~LocalService() { stop(); }

  std::uint16_t port() const { return port_; }

  void stop() {
    if (!thread_.joinable()) return;
    asio::post(io_, [this] {
      std::error_code ignored;  // closing twice is harmless
      acceptor_.close(ignored);
      io_.stop();
    });
    thread_.join();
  }

  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  asio::awaitable<void> accept_loop() {
    for (;;) {
      auto [ec, socket] = co_await acceptor_.async_accept(as_tuple_awaitable);
      if (ec) co_return;
      asio::co_spawn(io_, answer(std::move(socket)), asio::detached);
    }
  }

  asio::awaitable<void> answer(tcp::socket socket) {
    std::string request;
    std::array<char, 8192> chunk{};
    for (;;) {
      if (read_ == Read::head && request.find("\r\n\r\n") != std::string::npos) break;
      auto [ec, n] = co_await socket.async_read_some(asio::buffer(chunk), as_tuple_awaitable);
      request.append(chunk.data(), n);
      if (ec) break;  // the end of the peer's input (or an error) ends the request
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    std::string reply = handler_(request);
    co_await asio::async_write(socket, asio::buffer(reply), as_tuple_awaitable);
    std::error_code ignored;  // a peer that already left needs no end of data
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    // Read on until the peer closes, so that closing never resets unread bytes.
    for (;;) {
      auto [ec, n] = co_await socket.async_read_some(asio::buffer(chunk), as_tuple_awaitable);
      if (ec) break;
    }
  }

  Handler handler_;
  Read read_;
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

inline std::string http_ok(std::string_view body,
                           std::string_view content_type = "text/html; charset=utf-8") {
  return "HTTP/1.1 200 OK\r\ncontent-type: " + std::string(content_type) +
         "\r\ncontent-length: " + std::to_string(body.size()) + "\r\nconnection: close\r\n\r\n" +
         std::string(body);
}

// --- a visitor on the public side ----------------------------------------------------

struct HttpReply {
  bool connected = false;
  bool complete = false;  // the gateway ended the connection within the limit
  std::string raw;

  std::string status_line() const { return raw.substr(0, raw.find("\r\n")); }
  std::string head() const { return raw.substr(0, raw.find("\r\n\r\n")); }
  std::string body() const {
    auto at = raw.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : raw.substr(at + 4);
  }
};

// Sends the request to the stand-in's public port and reads until the connection
// ends. With end_input the visitor ends its sending side right after the request
// (a half-close), while still reading the answer.
inline HttpReply visit(std::uint16_t public_port, std::string request, bool end_input = false,
                       std::chrono::milliseconds limit = WAIT) {
  asio::io_context io;
  HttpReply reply;
  tcp::socket socket(io);
  auto exchange = [&]() -> asio::awaitable<void> {
    auto [connect_ec] = co_await socket.async_connect(
        {asio::ip::address_v4::loopback(), public_port}, as_tuple_awaitable);
    if (connect_ec) co_return;
    reply.connected = true;
    auto [write_ec, written] =
        co_await asio::async_write(socket, asio::buffer(request), as_tuple_awaitable);
    if (write_ec) co_return;
    if (end_input) socket.shutdown(tcp::socket::shutdown_send);
    std::array<char, 16384> chunk{};
    for (;;) {
      auto [ec, n] = co_await socket.async_read_some(asio::buffer(chunk), as_tuple_awaitable);
      reply.raw.append(chunk.data(), n);
      if (ec) {
        reply.complete = ec == asio::error::eof;
        co_return;
      }
    }
  };
  asio::co_spawn(io, exchange(), asio::detached);
  io.run_for(limit);
  return reply;
}

inline std::string get_request(std::string_view host, std::string_view accept = {}) {
  std::string request = "GET / HTTP/1.1\r\nHost: " + std::string(host) + "\r\n";
  if (!accept.empty()) request += "Accept: " + std::string(accept) + "\r\n";
  return request + "Connection: close\r\n\r\n";
}

inline std::string public_host(std::string_view name, std::uint16_t port,
                               std::string_view domain = TEST_DOMAIN) {
  return std::string(name) + "-" + std::to_string(port) + "." + std::string(domain);
}

}  // namespace quillmar::test
