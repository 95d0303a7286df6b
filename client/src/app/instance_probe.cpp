#include "app/instance_probe.hpp"

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <string>
#include <system_error>

#include "app/environment.hpp"
#include "app/output.hpp"
#include "desktop/open_browser.hpp"
#include "proto/text.hpp"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#endif

namespace quillmar {
namespace {

#ifdef _WIN32
constexpr int SEND_FLAGS = 0;
bool interrupted() { return false; }
#else
constexpr int SEND_FLAGS = MSG_NOSIGNAL;  // a peer that already left must not kill us
bool interrupted() { return errno == EINTR; }
#endif

// The connection, limited by the connect timeout; the socket is left blocking, as
// the receive timeout applies only to blocking reads.
bool connect_with_timeout(asio::io_context& io, asio::ip::tcp::socket& socket, std::uint16_t port,
                          std::chrono::milliseconds limit) {
  asio::steady_timer timer(io, limit);
  std::error_code result = asio::error::timed_out;
  bool finished = false;
  socket.async_connect({asio::ip::address_v4::loopback(), port}, [&](const std::error_code& ec) {
    result = ec;
    finished = true;
    timer.cancel();
  });
  timer.async_wait([&](const std::error_code& ec) {
    if (ec || finished) return;
    std::error_code ignored;  // closing aborts the pending connect; its handler still runs
    socket.close(ignored);
  });
  io.run();
  if (!finished || result || !socket.is_open()) return false;
  std::error_code ec;
  socket.native_non_blocking(false, ec);
  return !ec;
}

void set_receive_timeout(asio::ip::tcp::socket& socket, std::chrono::milliseconds limit) {
  // Ignored when it fails (it practically never does): reads then wait for the peer.
#ifdef _WIN32
  DWORD ms = static_cast<DWORD>(limit.count());
  (void)::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO,
                     reinterpret_cast<const char*>(&ms), sizeof ms);
#else
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
  (void)::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
#endif
}

bool send_all(asio::ip::tcp::socket& socket, std::string_view bytes) {
  while (!bytes.empty()) {
    auto chunk = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
    auto sent = ::send(socket.native_handle(), bytes.data(), chunk, SEND_FLAGS);
    if (sent < 0 && interrupted()) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

// Reads until the peer ends, a read fails (its timeout included) or the limit is
// reached; what arrived counts either way.
std::string receive_reply(asio::ip::tcp::socket& socket) {
  std::string reply;
  char buffer[4096];
  while (reply.size() < PROBE_READ_LIMIT) {
    auto want = static_cast<int>(std::min(sizeof buffer, PROBE_READ_LIMIT - reply.size()));
    auto got = ::recv(socket.native_handle(), buffer, want, 0);
    if (got < 0 && interrupted()) continue;
    if (got <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(got));
  }
  return reply;
}

}  // namespace

bool looks_like_instance(std::string_view reply_bytes) {
  std::string text = decode_utf8_lossy(reply_bytes);
  return text.find(DEVICE_ID_MARKER) != std::string::npos &&
         text.find(PORTS_MARKER) != std::string::npos;
}

bool probe_running_instance(std::uint16_t port, ProbeTimeouts timeouts) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  if (!connect_with_timeout(io, socket, port, timeouts.connect)) return false;
  set_receive_timeout(socket, timeouts.read);
  std::string request = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nConnection: close\r\n\r\n";
  if (!send_all(socket, request)) return false;
  std::string reply = receive_reply(socket);
  std::error_code ignored;  // the answer is in hand; a failed close changes nothing
  socket.close(ignored);
  return looks_like_instance(reply);
}

void hand_over_to_running_instance(std::uint16_t port) {
  print_out("Quillmar 已在运行，打开已有的管理页面\n");
  if (env_is_set("TUNNEL_NO_BROWSER")) return;
  open_browser("http://127.0.0.1:" + std::to_string(port) + "/");
}

}  // namespace quillmar
