// What the chaos tests share: a process's figures (open descriptors, threads, resident
// memory, the peers of its sockets) read from /proc, waiting for a condition with a
// deadline, an echo service of the test's own, deterministic payloads and a visitor that
// sends one and checks the echo byte for byte, the gateway stand-in as a process, and
// the figures line each test prints. Linux only; loopback only.
#pragma once

#include <asio/experimental/awaitable_operators.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.hpp"

namespace quillmar::test {

using Clock = std::chrono::steady_clock;

// --- a process's figures -------------------------------------------------------------

struct ProcessFigures {
  std::size_t fds = 0;
  std::size_t threads = 0;
  std::size_t rss_kib = 0;
};

inline ProcessFigures process_figures(std::uint64_t pid) {
  ProcessFigures figures;
  const std::filesystem::path proc = "/proc/" + std::to_string(pid);
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(proc / "fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++figures.fds;
  std::ifstream status(proc / "status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("Threads:")) figures.threads = std::stoul(line.substr(8));
    if (line.starts_with("VmRSS:")) figures.rss_kib = std::stoul(line.substr(6));
  }
  return figures;
}

// The remote ports of a process's TCP sockets and how many it holds to each (0 for
// its listeners): what a process holding more descriptors than it should holds.
inline std::string tcp_peers(std::uint64_t pid) {
  std::set<std::string> inodes;
  const std::filesystem::path fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(fds, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::string target = std::filesystem::read_symlink(it->path(), ec).string();
    if (target.starts_with("socket:[")) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::map<unsigned, std::size_t> peers;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      if (inodes.count(inode))
        ++peers[static_cast<unsigned>(
            std::stoul(remote.substr(remote.find(':') + 1), nullptr, 16))];
    }
  }
  std::size_t listed = 0;
  std::string text;
  for (const auto& [port, count] : peers) {
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " to port " + std::to_string(port);
    listed += count;
  }
  // A socket whose connection the system has already closed (its peer reset it, or
  // left it long ago) is no longer in the tables.
  return std::to_string(inodes.size()) + " sockets: " + (text.empty() ? "" : text + ", ") +
         std::to_string(inodes.size() - listed) + " no longer connected";
}

inline std::string mib(std::size_t kib) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(kib) / 1024.0);
  return text;
}

inline std::string before_after(const ProcessFigures& before, const ProcessFigures& after) {
  return "fds " + std::to_string(before.fds) + " -> " + std::to_string(after.fds) + ", threads " +
         std::to_string(before.threads) + " -> " + std::to_string(after.threads) + ", RSS " +
         mib(before.rss_kib) + " -> " + mib(after.rss_kib);
}

// How far a process may be from its idle figures once everything it served has ended:
// descriptors and threads exactly back, memory within what the allocator keeps cached.
inline constexpr std::size_t RSS_MARGIN_KIB = 24 * 1024;

inline bool back_to_idle(const ProcessFigures& idle, const ProcessFigures& now) {
  return now.fds <= idle.fds && now.threads <= idle.threads &&
         now.rss_kib <= idle.rss_kib + std::max(RSS_MARGIN_KIB, idle.rss_kib / 4);
}

// Polls until done() holds; false when the limit passes first.
inline bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

inline double millis(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The test's figures: printed, and kept under the build folder for the stage's summary.
inline void report_figures(const std::string& test, const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  const auto folder = std::filesystem::path(QUILLMAR_BINARY_DIR) / "chaos-figures";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / test) << line << "\n";
}

// --- deterministic payloads ----------------------------------------------------------

// The bytes of a payload, the same for the same seed, produced piece by piece.
class PayloadStream {
 public:
  explicit PayloadStream(std::uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  void fill(std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if (left_ == 0) {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        word_ = state_;
        left_ = 8;
      }
      out[i] = static_cast<std::uint8_t>(word_);
      word_ >>= 8;
      --left_;
    }
  }

 private:
  std::uint64_t state_;
  std::uint64_t word_ = 0;
  int left_ = 0;
};

// --- an echo service -------------------------------------------------------------------

// Sends back what it reads; at the end of its input it ends its own side and closes.
// waiting() counts the connections whose input has not ended: a client that never ends
// a local connection shows here.
class EchoService {
 public:
  explicit EchoService(int threads = 4) : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}) {
    port_ = acceptor_.local_endpoint().port();
    asio::co_spawn(io_, accept_loop(), asio::detached);
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  ~EchoService() {
    io_.stop();
    for (auto& thread : threads_) thread.join();
  }
  EchoService(const EchoService&) = delete;
  EchoService& operator=(const EchoService&) = delete;

  std::uint16_t port() const { return port_; }
  std::size_t accepted() const { return accepted_; }
  std::size_t waiting() const { return waiting_; }

 private:
  asio::awaitable<void> accept_loop() {
    for (;;) {
      auto [ec, socket] = co_await acceptor_.async_accept(as_tuple_awaitable);
      if (ec) co_return;
      ++accepted_;
      ++waiting_;
      asio::co_spawn(io_, echo(std::move(socket)), asio::detached);
    }
  }

  asio::awaitable<void> echo(tcp::socket socket) {
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
      auto [ec, n] = co_await socket.async_read_some(asio::buffer(buffer), as_tuple_awaitable);
      if (ec) break;
      auto [write_ec, written] =
          co_await asio::async_write(socket, asio::buffer(buffer.data(), n), as_tuple_awaitable);
      if (write_ec) break;
    }
    --waiting_;
    std::error_code ignored;  // a peer that is gone needs no end of data
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  }

  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::uint16_t port_ = 0;
  std::atomic<std::size_t> accepted_{0};
  std::atomic<std::size_t> waiting_{0};
  std::vector<std::thread> threads_;
};

// --- a visitor that checks its echo ----------------------------------------------------

struct Transfer {
  bool connected = false;
  std::size_t sent = 0;
  std::size_t received = 0;
  bool ended = false;       // the echo ended cleanly (end of input)
  bool mismatched = false;  // a byte came back other than it was sent

  bool complete(std::size_t size) const {
    return ended && !mismatched && sent == size && received == size;
  }
};

inline constexpr std::size_t TRANSFER_CHUNK = 64 * 1024;

// What a transfer may do on its way: wait once its first chunk is out (at a gate), and
// tell when the first echoed bytes are back.
struct TransferHooks {
  std::function<asio::awaitable<void>()> after_first_chunk;
  std::function<void()> first_bytes_back;
};

inline asio::awaitable<void> send_payload(tcp::socket& socket, std::size_t size, std::uint64_t seed,
                                          Transfer& t, const TransferHooks& hooks) {
  PayloadStream payload(seed);
  std::vector<std::uint8_t> chunk(TRANSFER_CHUNK);
  while (t.sent < size) {
    const std::size_t n = std::min(chunk.size(), size - t.sent);
    payload.fill(chunk.data(), n);
    const bool first = t.sent == 0;
    auto [ec, written] =
        co_await asio::async_write(socket, asio::buffer(chunk.data(), n), as_tuple_awaitable);
    t.sent += written;
    if (ec) co_return;
    if (first && hooks.after_first_chunk) co_await hooks.after_first_chunk();
  }
  std::error_code ignored;  // a connection that failed meanwhile shows in the reading
  socket.shutdown(tcp::socket::shutdown_send, ignored);
}

inline asio::awaitable<void> receive_echo(tcp::socket& socket, std::uint64_t seed, Transfer& t,
                                          const TransferHooks& hooks) {
  PayloadStream expected(seed);
  std::vector<std::uint8_t> chunk(TRANSFER_CHUNK);
  std::vector<std::uint8_t> want(TRANSFER_CHUNK);
  for (;;) {
    auto [ec, n] = co_await socket.async_read_some(asio::buffer(chunk), as_tuple_awaitable);
    if (n > 0) {
      if (t.received == 0 && hooks.first_bytes_back) hooks.first_bytes_back();
      expected.fill(want.data(), n);
      if (std::memcmp(chunk.data(), want.data(), n) != 0) t.mismatched = true;
      t.received += n;
    }
    if (ec) {
      t.ended = ec == asio::error::eof;
      co_return;
    }
  }
}

// Sends `size` bytes of the seed's payload, ends its input and reads the echo to its end,
// all within the limit.
inline asio::awaitable<Transfer> echo_transfer(std::uint16_t port, std::size_t size,
                                               std::uint64_t seed, std::chrono::milliseconds limit,
                                               TransferHooks hooks = {}) {
  using namespace asio::experimental::awaitable_operators;
  Transfer t;
  tcp::socket socket(co_await asio::this_coro::executor);
  asio::steady_timer deadline(socket.get_executor(), limit);
  auto [ec] =
      co_await socket.async_connect({asio::ip::address_v4::loopback(), port}, as_tuple_awaitable);
  if (ec) co_return t;
  t.connected = true;
  co_await ((send_payload(socket, size, seed, t, hooks) && receive_echo(socket, seed, t, hooks)) ||
            deadline.async_wait(as_tuple_awaitable));
  co_return t;
}

// Sends the bytes and reads until the peer closes; empty when it could not connect.
inline asio::awaitable<std::string> exchange(std::uint16_t port, std::string request) {
  tcp::socket socket(co_await asio::this_coro::executor);
  auto [ec] =
      co_await socket.async_connect({asio::ip::address_v4::loopback(), port}, as_tuple_awaitable);
  if (ec) co_return std::string();
  co_await asio::async_write(socket, asio::buffer(request), as_tuple_awaitable);
  std::string reply;
  std::array<char, 8192> chunk{};
  for (;;) {
    auto [read_ec, n] = co_await socket.async_read_some(asio::buffer(chunk), as_tuple_awaitable);
    reply.append(chunk.data(), n);
    if (read_ec) break;
  }
  co_return reply;
}

// --- the gateway stand-in as a process -------------------------------------------------

inline constexpr std::string_view DEVGW_READY = "devgw: devices connect to";

// Plain TCP on the control port, no admin port; the public HTTP port only when given.
inline ChildOptions devgw_process(std::uint16_t control, std::optional<std::uint16_t> public_http,
                                  std::vector<std::string> extra) {
  ChildOptions options;
  options.program = devgw_program();
  options.args = {"--control-port",     std::to_string(control),
                  "--public-http-port", public_http ? std::to_string(*public_http) : "off",
                  "--admin-port",       "off",
                  "--domain",           std::string(TEST_DOMAIN)};
  options.args.insert(options.args.end(), extra.begin(), extra.end());
  return options;
}

// "--raw LISTEN=DEVICE:PORT": every connection to LISTEN goes unread to the device's port.
inline std::vector<std::string> raw_route(std::uint16_t listen, std::string_view device,
                                          std::uint16_t port) {
  return {"--raw", std::to_string(listen) + "=" + std::string(device) + ":" + std::to_string(port)};
}

inline std::vector<std::string> client_args(std::uint16_t control, std::string_view device,
                                            std::uint16_t mapped_port) {
  return {"--gw",     "127.0.0.1:" + std::to_string(control),
          "--domain", std::string(TEST_DOMAIN),
          "--tls",    "off",
          "--sub",    std::string(device),
          "--http",   std::to_string(mapped_port)};
}

inline constexpr std::string_view READY_MARK = "✔ 已就绪";

}  // namespace quillmar::test
