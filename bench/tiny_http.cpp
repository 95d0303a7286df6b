// A small HTTP/1.1 service for the benchmarks: every request gets "200 OK" with the
// 2-byte body "ok", and the connection stays open for the next one. A request body
// announced by Content-Length is read and dropped. Idle connections cost nothing but
// their socket, so the service also stands behind the many open streams of the memory
// figures. Listens on 127.0.0.1 only.
//
//   tiny_http [--port P] [--threads N]     (defaults: any free port, 2 threads)
//
// Prints "tiny_http: listening on 127.0.0.1:P" once it accepts; runs until killed.
#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using asio::ip::tcp;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);
constexpr std::string_view REPLY = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
constexpr std::size_t READ_CHUNK = 64 * 1024;
constexpr std::size_t MAX_HEAD = 16 * 1024;

struct Settings {
  std::uint16_t port = 0;
  unsigned threads = 2;
};

std::optional<unsigned> parse_number(std::string_view text, unsigned most) {
  unsigned value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > most) return std::nullopt;
  return value;
}

std::optional<Settings> parse(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string_view name = argv[i];
    auto value = parse_number(argv[i + 1], 65535);
    if (!value) return std::nullopt;
    if (name == "--port") {
      settings.port = static_cast<std::uint16_t>(*value);
    } else if (name == "--threads" && *value > 0) {
      settings.threads = *value;
    } else {
      return std::nullopt;
    }
  }
  if (argc % 2 == 0) return std::nullopt;
  return settings;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The Content-Length of a request head, 0 when it has none.
std::size_t content_length(std::string_view head) {
  constexpr std::string_view NAME = "\r\ncontent-length:";
  for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;
       at = head.find("\r\n", at + 2)) {
    std::string_view line = head.substr(at);
    if (line.size() < NAME.size() ||
        !std::equal(NAME.begin(), NAME.end(), line.begin(),
                    [](char want, char got) { return want == lower(got); })) {
      continue;
    }
    std::string_view value = line.substr(NAME.size());
    value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
    std::size_t length = 0;
    std::from_chars(value.data(), value.data() + value.size(), length);
    return length;
  }
  return 0;
}

// Answers every complete request in `pending` and removes it; what is left is the start
// of the next request. `body_left` carries a body that goes on into the next read.
// False when a request head is too large to be one.
bool answer_requests(std::string& pending, std::size_t& body_left, std::string& replies) {
  std::size_t at = 0;
  for (;;) {
    std::size_t skipped = std::min(body_left, pending.size() - at);
    at += skipped;
    body_left -= skipped;
    if (body_left > 0) break;
    std::size_t head_end = pending.find("\r\n\r\n", at);
    if (head_end == std::string::npos) break;
    body_left = content_length(std::string_view(pending).substr(at, head_end - at + 2));
    at = head_end + 4;
    replies += REPLY;
  }
  pending.erase(0, at);
  return pending.size() <= MAX_HEAD;
}

asio::awaitable<void> serve(tcp::socket socket) {
  std::error_code ignored;  // Nagle only adds latency; the replies are small
  socket.set_option(tcp::no_delay(true), ignored);
  std::vector<char> chunk(READ_CHUNK);
  std::string pending;
  std::string replies;
  std::size_t body_left = 0;
  for (;;) {
    auto [ec, n] = co_await socket.async_read_some(asio::buffer(chunk), as_tuple_awaitable);
    if (ec) co_return;
    pending.append(chunk.data(), n);
    if (!answer_requests(pending, body_left, replies)) co_return;
    if (replies.empty()) continue;
    auto [write_ec, written] =
        co_await asio::async_write(socket, asio::buffer(replies), as_tuple_awaitable);
    if (write_ec) co_return;
    replies.clear();
  }
}

asio::awaitable<void> accept_loop(tcp::acceptor& acceptor) {
  for (;;) {
    auto [ec, socket] = co_await acceptor.async_accept(as_tuple_awaitable);
    if (ec == asio::error::operation_aborted) co_return;
    if (ec) continue;  // a connection that failed while being accepted: take the next
    auto executor = socket.get_executor();
    asio::co_spawn(executor, serve(std::move(socket)), asio::detached);
  }
}

}  // namespace

int main(int argc, char** argv) {
  auto settings = parse(argc, argv);
  if (!settings) {
    std::fprintf(stderr, "usage: tiny_http [--port P] [--threads N]\n");
    return 2;
  }
  asio::io_context io(static_cast<int>(settings->threads));
  tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), settings->port});
  asio::co_spawn(io, accept_loop(acceptor), asio::detached);
  std::printf("tiny_http: listening on 127.0.0.1:%u\n", acceptor.local_endpoint().port());
  std::fflush(stdout);
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < settings->threads; ++i) threads.emplace_back([&io] { io.run(); });
  io.run();
  for (auto& thread : threads) thread.join();
}
