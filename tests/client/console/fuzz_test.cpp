// Random bytes and random header soups through the request framing, the checks, the
// routes and the body readers. Bounded and seeded: whatever arrives, the console must
// answer with a well-formed reply, keep its JSON parseable, and never crash or hang.
#include <gtest/gtest.h>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <random>
#include <set>

#include "console/body_readers.hpp"
#include "console/reply.hpp"
#include "console/server.hpp"
#include "console/state_document.hpp"
#include "console_reply_check.hpp"
#include "console_test_support.hpp"
#include "proto/text.hpp"
#include "settings/validators.hpp"

namespace quillmar {
namespace {

// Every reply: a known status, the fixed head, a length that is the body's, and JSON
// bodies that parse and are UTF-8.
void expect_well_formed(const std::string& reply, const std::string& request) {
  EXPECT_EQ(test::console_reply_problem(reply), "") << "for " << quoted_form(request);
}

class Soup {
 public:
  explicit Soup(unsigned seed) : random_(seed) {}

  std::size_t below(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }
  template <class T, std::size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }

  std::string random_bytes(std::size_t max) {
    std::string out(below(max + 1), '\0');
    for (auto& c : out) c = static_cast<char>(below(256));
    return out;
  }

  std::string json_soup(std::size_t pieces) {
    static const char* tokens[] = {"{",
                                   "}",
                                   "[",
                                   "]",
                                   ":",
                                   ",",
                                   "\"",
                                   "\\",
                                   "\\\"",
                                   " ",
                                   "\n",
                                   "\t",
                                   "\"port\"",
                                   "\"ports\"",
                                   "\"host\"",
                                   "\"password\"",
                                   "\"invite\"",
                                   "\"sub\"",
                                   "\"subdomain\"",
                                   "\"visit\"",
                                   "\"allow\"",
                                   "allow",
                                   "null",
                                   "true",
                                   "0",
                                   "80",
                                   "8080",
                                   "65535",
                                   "65536",
                                   "70000",
                                   "4294967296",
                                   "-1",
                                   "00022",
                                   "\"a\"",
                                   "\"Kite\"",
                                   "\"bad name\"",
                                   "\"0.0.0.0\"",
                                   "\"NAS.lan\"",
                                   "\"admin\"",
                                   "\"kite-80\"",
                                   "中",
                                   "é",
                                   "\xE3\x80\x80",
                                   "\xC2\x85",
                                   "\x01",
                                   "\x7f",
                                   "\xff",
                                   "\xC3",
                                   ";",
                                   "}",
                                   "\"\"",
                                   "x"};
    std::string out;
    for (std::size_t i = 0; i < pieces; ++i) out += pick(tokens);
    return out;
  }

  std::string request(std::uint16_t port) {
    static const char* methods[] = {"GET", "POST", "POST", "POST", "HEAD", "get", "PUT", ""};
    static const char* paths[] = {"/",
                                  "/index.html",
                                  "/favicon.png",
                                  "/favicon.ico",
                                  "/api/state",
                                  "/api/punch",
                                  "/api/ports",
                                  "/api/access",
                                  "/api/invite",
                                  "/api/reconnect",
                                  "/api/subdomain",
                                  "/api/trust/reset",
                                  "/api/state?x=1",
                                  "",
                                  "/\xff"};
    static const char* versions[] = {" HTTP/1.1", " HTTP/1.0", "", " HTTP/1.1 extra"};
    static const char* ends[] = {"\r\n", "\n", "\r"};
    const std::string p = std::to_string(port);
    const std::string headers[] = {"Host: localhost:" + p,
                                   "Host: 127.0.0.1",
                                   "host: [::1]:" + p,
                                   "Host: attacker.test:" + p,
                                   "Host: ",
                                   "Host localhost",
                                   "Origin: http://localhost:" + p,
                                   "Origin: null",
                                   "Origin: http://evil.test",
                                   "Content-Length: " + std::to_string(below(9000)),
                                   "Content-Length: 8193",
                                   "Content-Length: abc",
                                   "Content-Length: 18446744073709551616",
                                   "Content-Length: -5",
                                   "content-length: +10",
                                   "X-Junk: \xff\xfe",
                                   ":",
                                   "",
                                   "Transfer-Encoding: chunked",
                                   json_soup(3)};
    std::string out = std::string(pick(methods)) + " " + pick(paths) + pick(versions);
    const std::size_t count = below(7);
    for (std::size_t i = 0; i < count; ++i) out += std::string(pick(ends)) + pick(headers);
    out += below(4) == 0 ? "\n\n" : "\r\n\r\n";
    out += json_soup(below(40));
    return out;
  }

 private:
  std::mt19937 random_;
};

struct FuzzRoutes {
  FuzzRoutes() {
    auto [reload_tx, reload_receiver] = make_queue<Signal>(0);
    auto [control_tx, control_receiver] = make_queue<SessionControl>(0);
    reload_rx.emplace(std::move(reload_receiver));
    control_rx.emplace(std::move(control_receiver));
    auto shared = std::make_shared<SharedState>();
    shared->key_path = dir.path() / "id.ini";
    shared->device_id = "0123456789abcdef0123456789abcdef";
    shared->sub.set("kite");
    test::write_file(shared->key_path, "token=0123456789abcdef0123456789abcdef\nsub=kite\n");
    ctx.emplace(RouteContext{"example.test", "gw.example.test:443", shared, std::move(reload_tx),
                             std::move(control_tx)});
  }
  test::TempDir dir;
  std::optional<ReloadReceiver> reload_rx;
  std::optional<ControlReceiver> control_rx;
  std::optional<RouteContext> ctx;
};

TEST(ConsoleFuzz, RandomBytesAndHeaderSoupsGetWellFormedReplies) {
  Soup soup(20240601);
  FuzzRoutes routes;
  constexpr std::uint16_t PORT = 7788;
  for (int i = 0; i < 1500; ++i) {
    // Half the runs with the direct-connection route open, to reach its code too.
    routes.ctx->shared->punch_api_off = (i % 2) == 0;
    std::string request = (i % 3 == 0) ? soup.random_bytes(300) : soup.request(PORT);
    SCOPED_TRACE(quoted_form(request));
    const std::string reply = answer_console_request(request, *routes.ctx, PORT);
    expect_well_formed(reply, request);
    if (testing::Test::HasFailure()) return;
    // Whatever the routes stored, the state document still parses.
    if (i % 50 == 0)
      expect_well_formed(json_response(render_state_json(*routes.ctx->shared, "d", "g")), request);
  }
}

TEST(ConsoleFuzz, BodyReadersKeepTheirPromises) {
  Soup soup(7);
  for (int i = 0; i < 3000; ++i) {
    const std::string body = decode_utf8_lossy(soup.json_soup(soup.below(30)));
    SCOPED_TRACE(quoted_form(body));
    auto ports = collect_ports(body);
    if (ports.ok()) {
      std::set<std::uint16_t> seen;
      for (auto port : ports.value()) {
        EXPECT_NE(port, 0);
        EXPECT_TRUE(seen.insert(port).second);
      }
      auto targets = parse_targets(body, ports.value());
      if (targets.ok()) {
        EXPECT_EQ(targets.value().size(), seen.size());
        for (const auto& [port, host] : targets.value()) {
          EXPECT_TRUE(seen.count(port));
          EXPECT_TRUE(is_valid_host(host)) << host;
          EXPECT_EQ(ascii_lower(host), host);
        }
      }
    }
    for (const char* key : {"password", "host", "sub"}) {
      auto field = json_string_field(body, key);
      if (field.ok()) {
        EXPECT_EQ(field.value().find_first_of("\"\\"), std::string::npos);
      }
    }
    if (auto invite = parse_invite_field(body); invite.ok()) {
      EXPECT_FALSE(invite.value().empty());
      EXPECT_LE(invite.value().size(), MAX_INVITE_LEN);
      EXPECT_EQ(trim(invite.value()), invite.value());
    }
    if (auto sub = parse_subdomain_field(body); sub.ok()) {
      EXPECT_EQ(check_device_name(sub.value()), sub.value());
      EXPECT_GE(sub.value().size(), MIN_WANTED_NAME_LEN);
    }
    std::vector<std::string> invalid;
    if (auto visit = parse_visit_field(body, invalid); visit && !visit->empty()) {
      EXPECT_EQ(check_device_name(*visit), *visit);
    }
    auto allow = parse_allow_body(body, invalid);
    EXPECT_LE(allow.size(), 32u);
    for (const auto& name : allow) EXPECT_EQ(check_device_name(name), name);
    if (testing::Test::HasFailure()) return;
  }
}

// Sends the pieces one by one, letting the reader run between them; ends the sending
// direction afterwards when told to.
asio::awaitable<void> send_pieces(asio::ip::tcp::socket& socket, std::string bytes,
                                  std::vector<std::size_t> pieces, bool end_input) {
  using asio::experimental::as_tuple;
  std::size_t at = 0;
  for (std::size_t size : pieces) {
    auto [ec, n] = co_await asio::async_write(socket, asio::buffer(bytes.data() + at, size),
                                              as_tuple(asio::use_awaitable));
    if (ec) co_return;  // the reader has finished and closed
    at += n;
    co_await asio::post(socket.get_executor(), asio::use_awaitable);
  }
  std::error_code ignored;
  if (end_input) socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
}

asio::awaitable<std::string> read_one_request(asio::ip::tcp::socket& client,
                                              asio::ip::tcp::socket& server, std::string bytes,
                                              std::vector<std::size_t> pieces, bool end_input) {
  using namespace asio::experimental::awaitable_operators;
  std::string request = co_await (
      send_pieces(client, std::move(bytes), std::move(pieces), end_input) && read_request(server));
  co_return request;
}

// read_request over requests cut at random places (the blank line and the declared body
// split too, some requests longer than the buffer). It returns exactly bytes that were
// sent; it stops before the end of input only at a complete request or a full buffer;
// and it does stop there: a request that is complete within the buffer is sent without
// ending the input, so a reader that missed the moment would hang and fail the test.
TEST(ConsoleFuzz, ReadRequestStopsExactlyWhereItMayWhateverThePieces) {
  Soup soup(5150);
  FuzzRoutes routes;
  constexpr std::uint16_t PORT = 7788;
  asio::io_context io;
  for (int i = 0; i < 300; ++i) {
    std::string bytes = (i % 4 == 0) ? soup.random_bytes(400) : soup.request(PORT);
    if (i % 10 == 1) bytes += std::string(REQUEST_BUFFER_SIZE, 'z');
    std::vector<std::size_t> pieces;
    for (std::size_t left = bytes.size(); left > 0;) {
      std::size_t size =
          std::min(left, soup.below(8) == 0 ? 1 + soup.below(4096) : 1 + soup.below(6));
      pieces.push_back(size);
      left -= size;
    }
    const std::string first_buffer = bytes.substr(0, REQUEST_BUFFER_SIZE);
    const bool stops_by_itself =
        request_complete(first_buffer) || first_buffer.size() == REQUEST_BUFFER_SIZE;
    SCOPED_TRACE(quoted_form(bytes));
    auto [client, server] = test::tcp_pair(io);
    const std::string got =
        test::run_async(io,
                        read_one_request(client, server, bytes, std::move(pieces),
                                         /*end_input=*/!stops_by_itself),
                        std::chrono::seconds(10));
    ASSERT_LE(got.size(), REQUEST_BUFFER_SIZE);
    ASSERT_EQ(got, bytes.substr(0, got.size()));
    if (got.size() < first_buffer.size()) {
      EXPECT_TRUE(request_complete(got)) << "stopped early after " << got.size() << " bytes";
    }
    expect_well_formed(answer_console_request(got, *routes.ctx, PORT), got);
    if (testing::Test::HasFailure()) return;
  }
}

TEST(ConsoleFuzz, LiveServerSurvivesGarbageConnections) {
  Soup soup(99);
  test::LiveConsole console;
  for (int i = 0; i < 60; ++i) {
    std::string request = (i % 2 == 0) ? soup.random_bytes(3000) : soup.request(console.port);
    SCOPED_TRACE(quoted_form(request));
    const std::string reply = console.exchange(request, test::AfterSend::half_close);
    expect_well_formed(reply, request);
    if (testing::Test::HasFailure()) return;
  }
  EXPECT_EQ(console.exchange("GET /nothing HTTP/1.1\r\nHost: localhost\r\n\r\n"), test::NOT_FOUND);
}

}  // namespace
}  // namespace quillmar
