// The console server seen from a socket, the way a browser or an attacker's page sees
// it: exact bytes in, exact bytes out.
#include "console/server.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/use_future.hpp>
#include <fstream>
#include <sstream>

#include "console_test_support.hpp"

namespace quillmar {
namespace {

using test::AfterSend;
using test::FORBIDDEN;
using test::LiveConsole;
using test::NOT_FOUND;
using test::replace_all;
using test::TOO_LARGE;

std::string asset(const char* name) {
  const auto root = std::filesystem::path(QUILLMAR_TEST_DATA_DIR).parent_path().parent_path();
  return test::read_file(root / "client" / "assets" / name);
}

std::string ok_head(std::string_view type, std::size_t length) {
  return "HTTP/1.1 200 OK\r\ncontent-type: " + std::string(type) +
         "\r\ncache-control: no-store\r\ncontent-length: " + std::to_string(length) +
         "\r\nconnection: close\r\n\r\n";
}

// A state whose key file holds a credential, so that the writers can save.
SharedStatePtr with_key_file(const test::TempDir& dir) {
  auto shared = std::make_shared<SharedState>();
  shared->key_path = dir.path() / "id.ini";
  test::write_file(shared->key_path, "token=0123456789abcdef0123456789abcdef\n");
  return shared;
}

// "{port}" stands for the console's port, "{other}" for the next one.
std::string with_ports(std::string text, std::uint16_t port) {
  text = replace_all(std::move(text), "{port}", std::to_string(port));
  return replace_all(std::move(text), "{other}", std::to_string(port + 1));
}

// The page as the build finished it, with the deployment's settings filled in.
std::string built_page() {
  return test::read_file(std::filesystem::path(QUILLMAR_BINARY_DIR) / "client" / "generated" /
                         "console.html");
}

TEST(ConsoleServer, ServesThePageAndTheIconFromEmbeddedBytes) {
  LiveConsole console;
  const std::string page = built_page();
  const std::string icon = asset("favicon.png");
  ASSERT_FALSE(page.empty());
  ASSERT_FALSE(icon.empty());
  struct Case {
    const char* path;
    std::string expected;
  } cases[] = {
      {"/", ok_head("text/html; charset=utf-8", page.size()) + page},
      {"/index.html", ok_head("text/html; charset=utf-8", page.size()) + page},
      {"/favicon.png", ok_head("image/png", icon.size()) + icon},
      {"/favicon.ico", ok_head("image/png", icon.size()) + icon},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(console.exchange(with_ports(
                  std::string("GET ") + c.path + " HTTP/1.1\r\nHost: localhost:{port}\r\n\r\n",
                  console.port)),
              c.expected);
  }
}

TEST(ConsoleServer, IconIsA64By64RgbaPng) {
  const std::string icon = asset("favicon.png");
  ASSERT_GE(icon.size(), 33u);
  EXPECT_EQ(icon.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  EXPECT_EQ(icon.substr(12, 4), "IHDR");
  EXPECT_EQ(icon.substr(16, 8), std::string("\0\0\0\x40\0\0\0\x40", 8));  // 64 x 64
  EXPECT_EQ(icon[24], 8);                                                 // bits per channel
  EXPECT_EQ(icon[25], 6);                                                 // RGBA
}

// Requests that pass the Host check reach the route table and get 404 for an unknown
// path; refused ones get 403 before any route is looked at.
TEST(ConsoleServer, HostCheckAdmitsOnlyLoopbackNamesWithOurPort) {
  LiveConsole console;
  struct Case {
    const char* name;
    const char* host_lines;
    bool admitted;
  } cases[] = {
      {"localhost with port", "Host: localhost:{port}\r\n", true},
      {"loopback address with port", "Host: 127.0.0.1:{port}\r\n", true},
      {"IPv6 loopback with port", "Host: [::1]:{port}\r\n", true},
      {"localhost without port", "Host: localhost\r\n", true},
      {"upper case", "Host: LOCALHOST\r\n", true},
      {"mixed case with port", "Host: LocalHost:{port}\r\n", true},
      {"IPv6 loopback without port", "Host: [::1]\r\n", true},
      {"loopback address without port", "Host: 127.0.0.1\r\n", true},
      {"blanks around the value", "Host:    localhost:{port}   \r\n", true},
      {"lower-case header name", "host: localhost:{port}\r\n", true},
      {"DNS rebinding: attacker name with our port", "Host: attacker.test:{port}\r\n", false},
      {"attacker name alone", "Host: attacker.test\r\n", false},
      {"our name as a prefix of theirs", "Host: localhost:{port}.attacker.test\r\n", false},
      {"loopback name under their domain", "Host: localhost.attacker.test:{port}\r\n", false},
      {"another port", "Host: localhost:80\r\n", false},
      {"the next port", "Host: 127.0.0.1:{other}\r\n", false},
      {"leading zero in the port", "Host: localhost:0{port}\r\n", false},
      {"LAN address", "Host: 192.168.1.5:{port}\r\n", false},
      {"another loopback address", "Host: 127.0.0.2:{port}\r\n", false},
      {"short loopback form", "Host: 127.1:{port}\r\n", false},
      {"unbracketed IPv6", "Host: ::1\r\n", false},
      {"long IPv6 form", "Host: [0:0:0:0:0:0:0:1]:{port}\r\n", false},
      {"trailing dot", "Host: localhost.\r\n", false},
      {"trailing dot with port", "Host: localhost.:{port}\r\n", false},
      {"user info", "Host: evil@localhost:{port}\r\n", false},
      {"empty value", "Host: \r\n", false},
      {"no Host line", "", false},
      {"first Host line counts", "Host: attacker.test:{port}\r\nHost: localhost:{port}\r\n", false},
      {"first Host line counts the other way",
       "Host: localhost:{port}\r\nHost: attacker.test:{port}\r\n", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string request =
        with_ports(std::string("GET /nothing HTTP/1.1\r\n") + c.host_lines + "\r\n", console.port);
    EXPECT_EQ(console.exchange(request), c.admitted ? NOT_FOUND : FORBIDDEN);
  }
}

TEST(ConsoleServer, RebindingRequestForTheStateGetsNoState) {
  LiveConsole console;
  console.shared->sub.set("secret-name");
  const std::string reply = console.exchange(
      with_ports("GET /api/state HTTP/1.1\r\nHost: attacker.test:{port}\r\nAccept: */*\r\n\r\n",
                 console.port));
  EXPECT_EQ(reply, FORBIDDEN);
}

TEST(ConsoleServer, OriginCheckOnPostAdmitsOnlyOurOwnOrigin) {
  LiveConsole console;
  struct Case {
    const char* name;
    const char* origin_lines;
    bool admitted;
  } cases[] = {
      {"no Origin", "", true},
      {"localhost origin", "Origin: http://localhost:{port}\r\n", true},
      {"loopback address origin", "Origin: http://127.0.0.1:{port}\r\n", true},
      {"IPv6 loopback origin", "Origin: http://[::1]:{port}\r\n", true},
      {"case ignored", "Origin: HTTP://LOCALHOST:{port}\r\n", true},
      {"cross-site page", "Origin: http://evil.test\r\n", false},
      {"cross-site page on our port", "Origin: http://evil.test:{port}\r\n", false},
      {"null origin (sandboxed frame, file page)", "Origin: null\r\n", false},
      {"without the port", "Origin: http://localhost\r\n", false},
      {"https", "Origin: https://localhost:{port}\r\n", false},
      {"trailing slash", "Origin: http://localhost:{port}/\r\n", false},
      {"with a path", "Origin: http://localhost:{port}/x\r\n", false},
      {"another port", "Origin: http://localhost:{other}\r\n", false},
      {"our origin as a prefix", "Origin: http://localhost:{port}.evil.test\r\n", false},
      {"empty value", "Origin: \r\n", false},
      {"first Origin line counts",
       "Origin: http://evil.test\r\nOrigin: http://localhost:{port}\r\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string request =
        with_ports(std::string("POST /nothing HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n") +
                       c.origin_lines + "\r\n",
                   console.port);
    EXPECT_EQ(console.exchange(request), c.admitted ? NOT_FOUND : FORBIDDEN);
  }
}

TEST(ConsoleServer, OriginIsNotCheckedOnGet) {
  LiveConsole console;
  EXPECT_EQ(
      console.exchange(with_ports(
          "GET /nothing HTTP/1.1\r\nHost: localhost:{port}\r\nOrigin: http://evil.test\r\n\r\n",
          console.port)),
      NOT_FOUND);
}

// What a page of another site can send to change settings: each attempt is refused
// before any route runs, and neither SharedState, the key file nor the channel sees it.
TEST(ConsoleServer, ForeignPagesCannotChangeSettings) {
  struct Case {
    const char* name;
    const char* lines;
  } cases[] = {
      {"cross-site form or fetch", "Host: 127.0.0.1:{port}\r\nOrigin: http://evil.test\r\n"},
      {"DNS rebinding, same-origin to the attacker",
       "Host: attacker.test:{port}\r\nOrigin: http://attacker.test:{port}\r\n"},
      {"DNS rebinding without Origin", "Host: attacker.test:{port}\r\n"},
      {"sandboxed frame", "Host: localhost:{port}\r\nOrigin: null\r\n"},
      {"our address under https", "Host: localhost:{port}\r\nOrigin: https://localhost:{port}\r\n"},
  };
  const std::string body = R"({"ports":[{"port":9999}]})";
  for (const char* path : {"/api/ports", "/api/reconnect"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(path) + ": " + c.name);
      test::TempDir dir;
      auto shared = with_key_file(dir);
      shared->ports.set({8080});
      LiveConsole console(shared);
      const std::string request = with_ports(
          std::string("POST ") + path + " HTTP/1.1\r\n" + c.lines +
              "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
              "\r\n\r\n" + body,
          console.port);
      EXPECT_EQ(console.exchange(request), FORBIDDEN);
      EXPECT_EQ(shared->ports.get(), std::vector<std::uint16_t>{8080});
      EXPECT_EQ(console.take_reloads(), 0);
      EXPECT_EQ(test::read_file(shared->key_path), "token=0123456789abcdef0123456789abcdef\n");
    }
  }
}

TEST(ConsoleServer, HostLineInTheBodyCountsWhenTheHeadHasNone) {
  LiveConsole console;
  struct Case {
    const char* name;
    const char* request;
    const std::string& expected;
  } cases[] = {
      {"body line stands in for a missing Host",
       "GET /nothing HTTP/1.1\r\nContent-Length: 17\r\n\r\nhost: localhost\r\n", NOT_FOUND},
      {"the head's Host line wins over the body's",
       "GET /nothing HTTP/1.1\r\nHost: attacker.test:{port}\r\nContent-Length: 17\r\n\r\nhost: "
       "localhost\r\n",
       FORBIDDEN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(console.exchange(with_ports(c.request, console.port)), c.expected);
  }
}

TEST(ConsoleServer, RouteTableMatchesExactMethodAndPath) {
  test::TempDir dir;
  auto shared = with_key_file(dir);
  LiveConsole console(shared);
  struct Case {
    const char* request_line;
    const char* status_and_type;  // "" for the 404 reply
  } cases[] = {
      {"GET / HTTP/1.1", "200 OK\r\ncontent-type: text/html; charset=utf-8"},
      {"GET /index.html HTTP/1.1", "200 OK\r\ncontent-type: text/html; charset=utf-8"},
      {"GET /favicon.png HTTP/1.1", "200 OK\r\ncontent-type: image/png"},
      {"GET /favicon.ico HTTP/1.1", "200 OK\r\ncontent-type: image/png"},
      {"GET /api/state HTTP/1.1", "200 OK\r\ncontent-type: application/json"},
      {"GET /api/state", "200 OK\r\ncontent-type: application/json"},
      {"POST /api/ports HTTP/1.1", "200 OK\r\ncontent-type: application/json"},
      {"POST /api/access HTTP/1.1", "200 OK\r\ncontent-type: application/json"},
      {"POST /api/invite HTTP/1.1", "200 OK\r\ncontent-type: application/json"},
      {"POST /api/reconnect HTTP/1.1", "200 OK\r\ncontent-type: application/json"},
      {"POST /api/subdomain HTTP/1.1", "200 OK\r\ncontent-type: application/json"},
      {"POST /api/trust/reset HTTP/1.1", "200 OK\r\ncontent-type: application/json"},
      {"GET /api/punch HTTP/1.1", ""},
      {"POST /api/punch HTTP/1.1", ""},
      {"GET /api/state?x=1 HTTP/1.1", ""},
      {"GET /api/state/ HTTP/1.1", ""},
      {"GET /index.htm HTTP/1.1", ""},
      {"GET /#top HTTP/1.1", ""},
      {"GET //api/state HTTP/1.1", ""},
      {"POST / HTTP/1.1", ""},
      {"POST /api/state HTTP/1.1", ""},
      {"GET /api/ports HTTP/1.1", ""},
      {"get / HTTP/1.1", ""},
      {"HEAD / HTTP/1.1", ""},
      {"OPTIONS / HTTP/1.1", ""},
      {"PUT /api/ports HTTP/1.1", ""},
      {"GET  / HTTP/1.1", ""},
      {"GET", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request_line);
    const std::string reply = console.exchange(with_ports(
        std::string(c.request_line) + "\r\nHost: localhost:{port}\r\n\r\n", console.port));
    if (*c.status_and_type == '\0') {
      EXPECT_EQ(reply, NOT_FOUND);
    } else {
      EXPECT_EQ(
          reply.rfind(
              std::string("HTTP/1.1 ") + c.status_and_type + "\r\ncache-control: no-store\r\n", 0),
          0u)
          << reply.substr(0, 120);
    }
  }
}

TEST(ConsoleServer, DeclaredBodyAboveTheLimitIsAnsweredAsSoonAsTheHeadArrives) {
  LiveConsole console;
  // The body is never sent and the sending side stays open: only the head can have
  // triggered the reply.
  for (const char* method : {"POST", "GET"}) {
    SCOPED_TRACE(method);
    const std::string head = with_ports(
        std::string(method) +
            " /api/ports HTTP/1.1\r\nHost: localhost:{port}\r\nContent-Length: 8193\r\n\r\n",
        console.port);
    EXPECT_EQ(test::raw_exchange(console.port, head, AfterSend::keep_open, std::chrono::seconds(5)),
              TOO_LARGE);
  }
  EXPECT_EQ(console.take_reloads(), 0);
}

TEST(ConsoleServer, TooLargeReplyArrivesWhileTheBodyIsStillBeingSent) {
  LiveConsole console;
  // The unread part of the body must not reset the connection under the reply.
  const std::string body(60000, 'x');
  const std::string request =
      with_ports(
          "POST /api/ports HTTP/1.1\r\nHost: localhost:{port}\r\nContent-Length: 60000\r\n\r\n",
          console.port) +
      body;
  EXPECT_EQ(console.exchange(request, AfterSend::keep_open), TOO_LARGE);
}

TEST(ConsoleServer, HostAndOriginAreCheckedBeforeTheSize) {
  LiveConsole console;
  struct Case {
    const char* name;
    const char* head;
  } cases[] = {
      {"foreign host",
       "POST /api/ports HTTP/1.1\r\nHost: evil.test\r\nContent-Length: 9000\r\n\r\n"},
      {"foreign origin",
       "POST /api/ports HTTP/1.1\r\nHost: localhost\r\nOrigin: http://evil.test\r\nContent-Length: "
       "9000\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(
        test::raw_exchange(console.port, c.head, AfterSend::keep_open, std::chrono::seconds(5)),
        FORBIDDEN);
  }
}

TEST(ConsoleServer, BodyOfExactlyTheLimitIsReadWholeAndRouted) {
  test::TempDir dir;
  auto shared = with_key_file(dir);
  LiveConsole console(shared);
  // The only port stands at the very end of the 8,192 bytes.
  const std::string tail = R"({"ports":[{"port":8081}]})";
  const std::string body = std::string(8192 - tail.size(), ' ') + tail;
  const std::string request =
      with_ports(
          "POST /api/ports HTTP/1.1\r\nHost: localhost:{port}\r\nContent-Length: 8192\r\n\r\n",
          console.port) +
      body;
  EXPECT_EQ(console.exchange(request, AfterSend::keep_open),
            test::json_reply(R"({"ok":true,"note":"已生效"})"));
  EXPECT_EQ(shared->ports.get(), std::vector<std::uint16_t>{8081});
  EXPECT_EQ(console.take_reloads(), 1);
}

TEST(ConsoleServer, DeclaredBodyLongerThanSentIsHandledWithWhatArrived) {
  test::TempDir dir;
  auto shared = with_key_file(dir);
  LiveConsole console(shared);
  std::string body = R"({"ports":[{"port":8082}]})";
  body.resize(40, ' ');
  const std::string request =
      with_ports(
          "POST /api/ports HTTP/1.1\r\nHost: localhost:{port}\r\nContent-Length: 100\r\n\r\n",
          console.port) +
      body;
  EXPECT_EQ(console.exchange(request, AfterSend::half_close),
            test::json_reply(R"({"ok":true,"note":"已生效"})"));
  EXPECT_EQ(shared->ports.get(), std::vector<std::uint16_t>{8082});
}

TEST(ConsoleServer, UnparsableContentLengthCountsAsNoBody) {
  LiveConsole console;
  // The body would hold a port; with a length of 0 it is not read, so the reader sees
  // an empty body.
  const std::string request = with_ports(
      "POST /api/ports HTTP/1.1\r\nHost: localhost:{port}\r\nContent-Length: abc\r\n\r\n",
      console.port);
  EXPECT_EQ(console.exchange(request, AfterSend::keep_open),
            test::json_reply(R"({"ok":false,"error":"没解析到端口"})"));
}

TEST(ConsoleServer, ConnectionOpenedAndClosedAtOnceGets403AndTheServerGoesOn) {
  LiveConsole console;
  {
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::address_v4::loopback(), console.port});
    socket.close();
  }
  // Only a half-close: the empty request is answered.
  EXPECT_EQ(console.exchange("", AfterSend::half_close), FORBIDDEN);
  EXPECT_EQ(console.exchange(with_ports("GET /nothing HTTP/1.1\r\nHost: localhost:{port}\r\n\r\n",
                                        console.port)),
            NOT_FOUND);
}

TEST(ConsoleServer, OnlyTheFirstOfTwoPipelinedRequestsIsAnswered) {
  LiveConsole console;
  const std::string one =
      with_ports("GET /nothing HTTP/1.1\r\nHost: localhost:{port}\r\n\r\n", console.port);
  const std::string two =
      with_ports("GET /favicon.png HTTP/1.1\r\nHost: localhost:{port}\r\n\r\n", console.port);
  EXPECT_EQ(console.exchange(one + two, AfterSend::keep_open), NOT_FOUND);
}

TEST(ConsoleServer, HeadEndingInBareLineFeedsWaitsForTheEndOfInput) {
  LiveConsole console;
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  socket.connect({asio::ip::address_v4::loopback(), console.port});
  asio::write(socket, asio::buffer(std::string("GET /nothing HTTP/1.1\nHost: localhost\n\n")));
  // Not complete yet: nothing may arrive before the half-close.
  socket.non_blocking(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  char probe[16];
  std::error_code ec;
  EXPECT_EQ(socket.read_some(asio::buffer(probe), ec), 0u);
  EXPECT_EQ(ec, asio::error::would_block);
  socket.non_blocking(false);
  socket.shutdown(asio::ip::tcp::socket::shutdown_send);
  std::string reply;
  for (;;) {
    std::size_t n = socket.read_some(asio::buffer(probe), ec);
    reply.append(probe, n);
    if (ec) break;
  }
  EXPECT_EQ(reply, NOT_FOUND);
}

TEST(ConsoleServer, RequestBeyondTheBufferIsHandledFromItsFirst16KiB) {
  LiveConsole console;
  // A head that never ends within 16,384 bytes: the Host line comes first and the
  // request is answered after the first 16,384 bytes, the rest never looked at.
  std::string request =
      with_ports("GET /nothing HTTP/1.1\r\nHost: localhost:{port}\r\nX-Filler: ", console.port);
  request += std::string(30000, 'a');
  EXPECT_EQ(console.exchange(request, AfterSend::keep_open), NOT_FOUND);
}

TEST(ConsoleServer, ServesConnectionsConcurrently) {
  LiveConsole console;
  // One connection sends half a request and waits; others are answered meanwhile.
  asio::io_context io;
  asio::ip::tcp::socket slow(io);
  slow.connect({asio::ip::address_v4::loopback(), console.port});
  asio::write(slow, asio::buffer(std::string("GET /nothing HTTP/1.1\r\n")));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(console.exchange(with_ports("GET /nothing HTTP/1.1\r\nHost: localhost:{port}\r\n\r\n",
                                          console.port)),
              NOT_FOUND);
  }
}

// Whether this system lets a listening socket leave one io_context for another. Windows
// ties a socket to one completion port and unties it only from 8.1 on; Wine cannot.
bool sockets_can_change_context() {
  asio::io_context first;
  asio::io_context second;
  asio::ip::tcp::acceptor probe(first, {asio::ip::address_v4::loopback(), 0});
  std::error_code ec;
  const auto protocol = probe.local_endpoint().protocol();
  const auto handle = probe.release(ec);
  if (ec) return false;
  asio::ip::tcp::acceptor moved(second);
  moved.assign(protocol, handle, ec);
  return !ec;
}

TEST(ConsoleServer, ListenerOpenedOnAnotherContextIsMovedOver) {
  if (!sockets_can_change_context())
    GTEST_SKIP() << "this system cannot move a socket to another io_context";
  asio::io_context binding_context;  // never run, like a context used only to bind
  asio::ip::tcp::acceptor listener(binding_context, {asio::ip::address_v4::loopback(), 0});
  const std::uint16_t port = listener.local_endpoint().port();
  asio::io_context runtime;
  auto [reload_tx, reload_rx] = make_queue<Signal>(0);
  auto [control_tx, control_rx] = make_queue<SessionControl>(0);
  asio::co_spawn(runtime,
                 serve_console(std::move(listener), "example.test", "gw.example.test:443",
                               std::make_shared<SharedState>(), reload_tx, control_tx, port),
                 asio::detached);
  std::thread thread([&] { runtime.run_for(std::chrono::seconds(10)); });
  std::string reply;
  try {
    reply = test::raw_exchange(port, "GET /nothing HTTP/1.1\r\nHost: localhost\r\n\r\n");
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
  }
  runtime.stop();
  thread.join();
  EXPECT_EQ(reply, NOT_FOUND);
}

TEST(ConsoleServer, UnusableListenerIsReportedAndEndsOnlyTheConsole) {
  asio::io_context io;
  asio::ip::tcp::acceptor closed(io);  // never opened
  auto [reload_tx, reload_rx] = make_queue<Signal>(0);
  auto [control_tx, control_rx] = make_queue<SessionControl>(0);
  testing::internal::CaptureStderr();
  test::run_async(io,
                  serve_console(std::move(closed), "example.test", "gw.example.test:443",
                                std::make_shared<SharedState>(), reload_tx, control_tx, 7788),
                  std::chrono::seconds(5));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("client: 管理界面监听失败: ", 0), 0u) << err;
  EXPECT_EQ(err.back(), '\n');
  // The console's senders are released with the task.
  reload_tx = make_queue<Signal>(0).first;
  bool closed_channel = false;
  EXPECT_FALSE(reload_rx.try_receive(&closed_channel));
  EXPECT_TRUE(closed_channel);
}

}  // namespace
}  // namespace quillmar
