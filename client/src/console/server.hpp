// The local web console: a minimal HTTP/1.1 server on the loopback listener that
// start-up binds first. One request and one reply per connection, then close; no
// keep-alive, no chunked bodies, no TLS. What keeps other web pages out are the Host
// check (against DNS rebinding: only loopback names with our port) and the Origin
// check on POST (against cross-site form posts: only our own origin, or none).
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "console/routes.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

inline constexpr std::size_t REQUEST_BUFFER_SIZE = 16384;  // head and body, the most ever read
inline constexpr std::size_t MAX_BODY_SIZE = 8192;         // a larger content-length gets 413
inline constexpr std::chrono::milliseconds ACCEPT_RETRY_DELAY{200};
// After the reply, what the peer still sends is read and dropped for at most this long
// and this much, so that closing with unread bytes does not reset the connection under
// a reply the peer has not read yet (a 413 while its body is still arriving).
inline constexpr std::chrono::milliseconds LINGER_TIME{1000};
inline constexpr std::size_t LINGER_LIMIT = 65536;

// What one connection task owns.
struct ConsoleContext {
  asio::ip::tcp::socket connection;
  RouteContext routes;
  std::uint16_t console_port = 0;  // 0 when the listener's own address was not available
};

// One request as the checks and routes see it; every text is UTF-8 with invalid
// sequences replaced by U+FFFD.
struct ConsoleRequest {
  std::string text;    // everything read
  std::string body;    // after the first "\r\n\r\n", cut at content-length
  std::string method;  // the request line before its first space
  std::string path;    // between the first and second space; a query is part of it
};

// Takes over the bound listener and serves until the runtime is dropped.
//
// Hand-over: start-up binds and listens with the blocking calls on an acceptor opened
// on the runtime's io_context (making a context starts nothing), then moves it here;
// the listener is then used as it is. An acceptor opened on some other context is
// moved onto this task's own context by its native handle where the system allows it
// (Windows from 8.1 on; not Wine, nor Windows before 8.1). Either way a failure to
// set up the listener prints "client: 管理界面监听失败: …" and ends the task; the
// program goes on without a console. Accept errors pause ACCEPT_RETRY_DELAY and never
// end the loop. Each connection runs in a task of its own, never awaited.
asio::awaitable<void> serve_console(asio::ip::tcp::acceptor listener, std::string domain,
                                    std::string gateway, SharedStatePtr shared,
                                    ReloadSender reload_tx, ControlSender control_tx,
                                    std::uint16_t console_port);

// One connection's task, spawned detached by serve_console and owning its socket: reads
// one request, answers it, lingers briefly (see LINGER_TIME) and closes the connection.
// It is never cancelled by the server; dropping the runtime ends it. No error leaves it.
asio::awaitable<void> handle_console_request(ConsoleContext ctx);

// The bytes of one request: up to REQUEST_BUFFER_SIZE, until the head and its declared
// body are in, the declared body is too large, or the peer stops sending. Read errors
// end reading; what arrived is the request.
asio::awaitable<std::string> read_request(asio::ip::tcp::socket& connection);
// True once the bytes hold a whole head and either its declared body or a declared
// length above MAX_BODY_SIZE.
bool request_complete(std::string_view bytes);

// request_complete for a request that arrives read by read, scanning each piece once:
// a request arriving in many small pieces is not searched again for every piece.
class RequestFraming {
 public:
  // bytes: all that has arrived so far, of which the last `fresh` came with this read.
  bool complete(std::string_view bytes, std::size_t fresh);

 private:
  std::size_t needed_ = 0;  // 0 until the head is in, then the size of the whole request
};

ConsoleRequest parse_console_request(std::string_view bytes);

// The trimmed value of the first line after the request line whose trimmed name equals
// name ignoring ASCII case. The search runs over the whole text, body lines included;
// a line of the head, coming first, always wins.
std::optional<std::string> find_header(std::string_view text, std::string_view name);
// An optional '+' and decimal digits fitting 64 bits; anything else (or none) is 0.
std::uint64_t content_length_value(const std::optional<std::string>& value);

bool check_host(std::string_view text, std::uint16_t console_port);
bool check_origin(std::string_view text, std::uint16_t console_port);

// The whole exchange without the socket: checks, size limit, route table, reply bytes.
std::string answer_console_request(std::string_view bytes, RouteContext& routes,
                                   std::uint16_t console_port);

}  // namespace quillmar
