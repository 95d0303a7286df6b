#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <thread>

#include "desktop/gui.hpp"

namespace quillmar {
namespace {

constexpr int CONSOLE_WAIT_ATTEMPTS = 30;
constexpr auto CONSOLE_CONNECT_LIMIT = std::chrono::milliseconds(100);
constexpr auto CONSOLE_RETRY_PAUSE = std::chrono::milliseconds(100);

// One connect to the console limited to 100 ms, on a private io_context so this
// thread never enters the program's runtime.
bool console_answers(std::uint16_t port) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  bool connected = false;
  socket.async_connect({asio::ip::address_v4::loopback(), port},
                       [&](std::error_code ec) { connected = !ec; });
  io.run_for(CONSOLE_CONNECT_LIMIT);
  return connected;
}

}  // namespace

void wait_for_console(std::uint16_t console_port) {
  for (int attempt = 0; attempt < CONSOLE_WAIT_ATTEMPTS; ++attempt) {
    if (console_answers(console_port)) return;
    std::this_thread::sleep_for(CONSOLE_RETRY_PAUSE);
  }
}

std::string console_url(std::uint16_t console_port) {
  return "http://127.0.0.1:" + std::to_string(console_port) + "/";
}

}  // namespace quillmar
