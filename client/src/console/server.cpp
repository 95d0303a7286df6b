#include "console/server.hpp"

#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <limits>
#include <utility>

#include "app/output.hpp"
#include "console/reply.hpp"
#include "proto/io_error.hpp"
#include "proto/text.hpp"

namespace quillmar {
namespace {

using asio::experimental::as_tuple;
using asio::ip::tcp;

constexpr std::string_view HEAD_END = "\r\n\r\n";

using RouteHandler = std::string (*)(const ConsoleRequest&, RouteContext&);

struct Route {
  std::string_view method;
  std::string_view path;
  RouteHandler handler;
};

// Exact method and exact path; everything else is 404.
const std::array<Route, 13> ROUTES = {{
    {"GET", "/", [](const ConsoleRequest&, RouteContext&) { return page_response(); }},
    {"GET", "/index.html", [](const ConsoleRequest&, RouteContext&) { return page_response(); }},
    {"GET", "/favicon.png",
     [](const ConsoleRequest&, RouteContext&) { return favicon_response(); }},
    {"GET", "/favicon.ico",
     [](const ConsoleRequest&, RouteContext&) { return favicon_response(); }},
    {"GET", "/api/state",
     [](const ConsoleRequest&, RouteContext& ctx) { return handle_state(ctx); }},
    {"GET", "/api/punch",
     [](const ConsoleRequest& r, RouteContext& ctx) { return handle_punch("GET", r.body, ctx); }},
    {"POST", "/api/ports",
     [](const ConsoleRequest& r, RouteContext& ctx) { return handle_ports(r.body, ctx); }},
    {"POST", "/api/access",
     [](const ConsoleRequest& r, RouteContext& ctx) { return handle_access(r.body, ctx); }},
    {"POST", "/api/invite",
     [](const ConsoleRequest& r, RouteContext& ctx) { return handle_invite(r.body, ctx); }},
    {"POST", "/api/reconnect",
     [](const ConsoleRequest&, RouteContext& ctx) { return handle_reconnect(ctx); }},
    {"POST", "/api/subdomain",
     [](const ConsoleRequest& r, RouteContext& ctx) { return handle_subdomain(r.body, ctx); }},
    {"POST", "/api/trust/reset",
     [](const ConsoleRequest&, RouteContext& ctx) { return handle_trust_reset(ctx); }},
    {"POST", "/api/punch",
     [](const ConsoleRequest& r, RouteContext& ctx) { return handle_punch("POST", r.body, ctx); }},
}};

std::string dispatch(const ConsoleRequest& request, RouteContext& routes) {
  for (const auto& route : ROUTES) {
    if (route.method == request.method && route.path == request.path)
      return route.handler(request, routes);
  }
  return not_found_response();
}

bool equals_with_port(std::string_view value, std::string_view prefix, std::uint16_t port) {
  return equals_ignore_ascii_case(value, std::string(prefix) + std::to_string(port));
}

// Reads and drops what the peer still sends, up to LINGER_LIMIT bytes or its end.
asio::awaitable<void> discard_input(tcp::socket& connection) {
  std::array<char, 4096> scratch;
  std::size_t total = 0;
  while (total < LINGER_LIMIT) {
    auto [ec, n] =
        co_await connection.async_read_some(asio::buffer(scratch), as_tuple(asio::use_awaitable));
    if (ec || n == 0) break;
    total += n;
  }
}

// Lets the reply reach the peer before the close: see LINGER_TIME.
asio::awaitable<void> linger(tcp::socket& connection) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer deadline(connection.get_executor(), LINGER_TIME);
  co_await (discard_input(connection) || deadline.async_wait(as_tuple(asio::use_awaitable)));
}

// Moves the listener onto the context this task runs on unless it is there already,
// and makes it non-blocking.
std::error_code take_over_listener(tcp::acceptor& listener, const asio::any_io_executor& executor) {
  std::error_code ec;
  auto& own_context = asio::query(executor, asio::execution::context_as<asio::execution_context&>);
  auto& listener_context =
      asio::query(listener.get_executor(), asio::execution::context_as<asio::execution_context&>);
  if (&own_context != &listener_context) {
    const auto protocol = listener.local_endpoint(ec).protocol();
    if (ec) return ec;
    const auto handle = listener.release(ec);
    if (ec) return ec;
    tcp::acceptor moved(executor);
    moved.assign(protocol, handle, ec);
    // A handle that cannot be taken over stays open on purpose: the port is the
    // single-instance lock and must stay bound while the program runs.
    if (ec) return ec;
    listener = std::move(moved);
  }
  listener.non_blocking(true, ec);
  return ec;
}

}  // namespace

std::optional<std::string> find_header(std::string_view text, std::string_view name) {
  // Trimming walks code points; any text that is not UTF-8 is read as decoded.
  if (!is_valid_utf8(text)) return find_header(decode_utf8_lossy(text), name);
  bool request_line = true;
  for (std::string_view line : split(text, '\n')) {
    if (request_line) {
      request_line = false;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (equals_ignore_ascii_case(trim(line.substr(0, colon)), name)) {
      return std::string(trim(line.substr(colon + 1)));
    }
  }
  return std::nullopt;
}

std::uint64_t content_length_value(const std::optional<std::string>& value) {
  if (!value) return 0;
  return parse_decimal(trim(*value), std::numeric_limits<std::uint64_t>::max()).value_or(0);
}

namespace {

// What a request whose head ends at head_end needs in all: head, blank line and the
// body its head declares; none when that body is above the limit (answered at once).
std::optional<std::size_t> request_size(std::string_view bytes, std::size_t head_end) {
  const std::uint64_t length = content_length_value(
      find_header(decode_utf8_lossy(bytes.substr(0, head_end)), "content-length"));
  if (length > MAX_BODY_SIZE) return std::nullopt;
  return head_end + HEAD_END.size() + static_cast<std::size_t>(length);
}

}  // namespace

bool request_complete(std::string_view bytes) {
  std::size_t head_end = bytes.find(HEAD_END);
  if (head_end == std::string_view::npos) return false;
  const auto size = request_size(bytes, head_end);
  return !size || bytes.size() >= *size;
}

bool RequestFraming::complete(std::string_view bytes, std::size_t fresh) {
  if (needed_ == 0) {
    const std::size_t searched = bytes.size() - fresh;
    // The blank line may straddle two reads.
    const std::size_t head_end = bytes.find(HEAD_END, searched >= 3 ? searched - 3 : 0);
    if (head_end == std::string_view::npos) return false;
    const auto size = request_size(bytes, head_end);
    if (!size) return true;  // a declared body above the limit: the 413 goes out at once
    needed_ = *size;
  }
  return bytes.size() >= needed_;
}

asio::awaitable<std::string> read_request(tcp::socket& connection) {
  std::string buffer(REQUEST_BUFFER_SIZE, '\0');
  std::size_t filled = 0;
  RequestFraming framing;
  while (filled < buffer.size()) {
    auto [ec, n] = co_await connection.async_read_some(
        asio::buffer(buffer.data() + filled, buffer.size() - filled),
        as_tuple(asio::use_awaitable));
    // A read error ends the request as read so far, like the end of input does.
    if (ec || n == 0) break;
    filled += n;
    if (framing.complete(std::string_view(buffer.data(), filled), n)) break;
  }
  buffer.resize(filled);
  co_return buffer;
}

ConsoleRequest parse_console_request(std::string_view bytes) {
  ConsoleRequest request;
  request.text = decode_utf8_lossy(bytes);
  if (std::size_t head_end = bytes.find(HEAD_END); head_end != std::string_view::npos) {
    const std::uint64_t length = content_length_value(find_header(request.text, "content-length"));
    std::string_view rest = bytes.substr(head_end + HEAD_END.size());
    request.body = decode_utf8_lossy(
        rest.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(length, rest.size()))));
  }
  std::string_view line = std::string_view(request.text).substr(0, request.text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::size_t first_space = line.find(' ');
  request.method = std::string(line.substr(0, first_space));
  if (first_space != std::string_view::npos) {
    std::string_view after = line.substr(first_space + 1);
    request.path = std::string(after.substr(0, after.find(' ')));
  }
  return request;
}

bool check_host(std::string_view text, std::uint16_t console_port) {
  auto host = find_header(text, "host");
  if (!host) return false;
  const std::string lower = ascii_lower(*host);
  if (lower == "127.0.0.1" || lower == "localhost" || lower == "[::1]") return true;
  return equals_with_port(lower, "127.0.0.1:", console_port) ||
         equals_with_port(lower, "localhost:", console_port) ||
         equals_with_port(lower, "[::1]:", console_port);
}

bool check_origin(std::string_view text, std::uint16_t console_port) {
  auto origin = find_header(text, "origin");
  if (!origin) return true;  // not sent by a browser: no page of another origin is behind it
  return equals_with_port(*origin, "http://127.0.0.1:", console_port) ||
         equals_with_port(*origin, "http://localhost:", console_port) ||
         equals_with_port(*origin, "http://[::1]:", console_port);
}

std::string answer_console_request(std::string_view bytes, RouteContext& routes,
                                   std::uint16_t console_port) {
  const ConsoleRequest request = parse_console_request(bytes);
  if (!check_host(request.text, console_port)) return forbidden_response();
  if (request.method == "POST" && !check_origin(request.text, console_port))
    return forbidden_response();
  if (content_length_value(find_header(request.text, "content-length")) > MAX_BODY_SIZE)
    return too_large_response();
  return dispatch(request, routes);
}

asio::awaitable<void> handle_console_request(ConsoleContext ctx) {
  tcp::socket& connection = ctx.connection;
  const std::string request = co_await read_request(connection);
  const std::string reply = answer_console_request(request, ctx.routes, ctx.console_port);
  // Write and shutdown errors are dropped: the peer is gone, the close follows anyway.
  co_await asio::async_write(connection, asio::buffer(reply), as_tuple(asio::use_awaitable));
  std::error_code ignored;
  connection.shutdown(tcp::socket::shutdown_send, ignored);
  co_await linger(connection);
  connection.close(ignored);
}

asio::awaitable<void> serve_console(tcp::acceptor listener, std::string domain, std::string gateway,
                                    SharedStatePtr shared, ReloadSender reload_tx,
                                    ControlSender control_tx, std::uint16_t console_port) {
  const auto executor = co_await asio::this_coro::executor;
  if (std::error_code ec = take_over_listener(listener, executor)) {
    print_err("client: 管理界面监听失败: " + IoError::from(ec).display() + "\n");
    co_return;
  }
  asio::steady_timer pause(executor);
  for (;;) {
    auto [ec, connection] = co_await listener.async_accept(executor, as_tuple(asio::use_awaitable));
    if (ec) {
      // Typically out of descriptors: wait for some to be released, silently.
      pause.expires_after(ACCEPT_RETRY_DELAY);
      co_await pause.async_wait(as_tuple(asio::use_awaitable));
      continue;
    }
    ConsoleContext ctx{std::move(connection),
                       RouteContext{domain, gateway, shared, reload_tx, control_tx}, console_port};
    // The connection's one catch: a handler that throws (out of memory) ends only its
    // own exchange; the socket closes with the task.
    asio::co_spawn(executor, handle_console_request(std::move(ctx)),
                   [](const std::exception_ptr&) {});
  }
}

}  // namespace quillmar
