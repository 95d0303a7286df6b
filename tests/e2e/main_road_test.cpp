// A visitor's request on its whole road: the stand-in's public side, the control
// connection, the client process, a local service of the test's own, and back.
#include <gtest/gtest.h>

#include "e2e_support.hpp"

namespace quillmar::test {
namespace {

constexpr std::string_view DEVICE = "road";

// A gateway, a client that maps the given ports and waits until it is ready.
struct Road {
  explicit Road(std::vector<std::uint16_t> ports,
                devgw::DevGatewayOptions gateway_options = plain_gateway())
      : gateway(std::move(gateway_options)) {
    std::vector<std::string> args = gateway.client_args();
    args.insert(args.end(), {"--tls", "off", "--sub", std::string(DEVICE)});
    for (auto port : ports) args.insert(args.end(), {"--http", std::to_string(port)});
    client.emplace(client_options(setup, args));
    for (auto port : ports) {
      EXPECT_TRUE(client->wait_for_out(banner_port_line(DEVICE, port), WAIT))
          << client->describe() << gateway.log();
    }
  }

  HttpReply get(std::uint16_t port, std::string_view accept = {}) {
    return visit(gateway.public_port(), get_request(public_host(DEVICE, port), accept));
  }

  std::string describe() const { return client->describe() + "--- gateway ---\n" + gateway.log(); }

  Gateway gateway;
  ClientSetup setup;
  std::optional<ChildProcess> client;
};

TEST(MainRoad, PageOfTheLocalServiceComesBack) {
  const std::string page =
      "<!doctype html><title>local</title><h1>served by the test's own service</h1>";
  LocalService service([&](const std::string&) { return http_ok(page); });
  Road road({service.port()});

  HttpReply reply = road.get(service.port());
  ASSERT_TRUE(reply.complete) << reply.raw << road.describe();
  EXPECT_EQ(reply.status_line(), "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.body(), page);

  auto requests = service.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].starts_with("GET / HTTP/1.1\r\n")) << requests[0];
  EXPECT_NE(requests[0].find("Host: " + public_host(DEVICE, service.port()) + "\r\n"),
            std::string::npos)
      << requests[0];
}

TEST(MainRoad, LargeAnswerArrivesWholeAndInOrder) {
  std::string body(200'000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i)
    body[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  LocalService service(
      [&](const std::string&) { return http_ok(body, "application/octet-stream"); });
  Road road({service.port()});

  HttpReply reply = road.get(service.port());
  ASSERT_TRUE(reply.complete) << reply.raw.size() << " bytes\n" << road.describe();
  EXPECT_EQ(reply.status_line(), "HTTP/1.1 200 OK");
  ASSERT_EQ(reply.body().size(), body.size());
  EXPECT_TRUE(reply.body() == body) << "the bytes arrived changed or out of order";
}

// --- a local service that is not there -------------------------------------------------

struct BadGatewayCase {
  const char* name;
  std::string accept;  // empty: no Accept header
  bool html;
};

class StoppedService : public ::testing::TestWithParam<BadGatewayCase> {};

TEST_P(StoppedService, AnswersWithTheBadGatewayReply) {
  const BadGatewayCase& c = GetParam();
  auto service = std::make_unique<LocalService>([](const std::string&) { return http_ok("up"); });
  const std::uint16_t port = service->port();
  Road road({port});
  ASSERT_EQ(road.get(port).body(), "up") << road.describe();
  service.reset();  // the service stops; its port refuses from now on

  HttpReply reply = road.get(port, c.accept);
  ASSERT_TRUE(reply.complete) << reply.raw << road.describe();
  EXPECT_EQ(reply.status_line(), "HTTP/1.1 502 Bad Gateway");
  std::string message = "Quillmar 客户端无法连接本地服务 127.0.0.1:" + std::to_string(port) + "：";
  std::string head = reply.head();
  std::string body = reply.body();
  EXPECT_NE(head.find("\r\ncontent-length: " + std::to_string(body.size()) + "\r\n"),
            std::string::npos)
      << head;
  if (c.html) {
    EXPECT_NE(head.find("\r\ncontent-type: text/html; charset=utf-8\r\n"), std::string::npos)
        << head;
    EXPECT_TRUE(body.starts_with("<!doctype html><html lang=\"zh-CN\">")) << body;
    EXPECT_NE(body.find("<title>502 本地服务无法连接 · Quillmar</title>"), std::string::npos)
        << body;
    EXPECT_NE(body.find("<pre>" + message), std::string::npos) << body;
    EXPECT_TRUE(body.ends_with("</pre></div></body></html>")) << body;
  } else {
    EXPECT_NE(head.find("\r\ncontent-type: text/plain; charset=utf-8\r\n"), std::string::npos)
        << head;
    EXPECT_TRUE(body.starts_with(message)) << body;
    EXPECT_TRUE(body.ends_with("\n")) << body;
    EXPECT_EQ(count_of(body, "\n"), 1u) << body;
  }
  // The reason is the system's text of the refused connection.
  EXPECT_NE(body.find("(os error "), std::string::npos) << body;
}

INSTANTIATE_TEST_SUITE_P(
    E2e, StoppedService,
    ::testing::Values(BadGatewayCase{"browser_gets_the_page",
                                     "text/html,application/xhtml+xml,*/*;q=0.8", true},
                      BadGatewayCase{"wildcard_gets_plain_text", "*/*", false},
                      BadGatewayCase{"no_accept_gets_plain_text", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- the visitor ends its input first ----------------------------------------------------

struct HalfCloseCase {
  const char* name;
  bool gateway_sends_half_close;  // KIND_HALF_CLOSE after the empty KIND_DATA
};

class VisitorHalfClose : public ::testing::TestWithParam<HalfCloseCase> {};

// The service answers only once its input has ended, so an answer at all shows that
// the visitor's end of input reached it while the way back stayed open.
TEST_P(VisitorHalfClose, ReachesTheServiceAsEndOfInputWhileTheAnswerFlowsBack) {
  LocalService service(
      [](const std::string& request) {
        auto body_at = request.find("\r\n\r\n");
        std::string body =
            body_at == std::string::npos ? std::string() : request.substr(body_at + 4);
        return http_ok("received " + std::to_string(request.size()) + " bytes, body: " + body,
                       "text/plain");
      },
      LocalService::Read::to_end);
  devgw::DevGatewayOptions options;
  options.half_close = GetParam().gateway_sends_half_close;
  Road road({service.port()}, options);

  std::string request = "POST /upload HTTP/1.1\r\nHost: " + public_host(DEVICE, service.port()) +
                        "\r\nContent-Length: 11\r\n\r\nhello world";
  HttpReply reply = visit(road.gateway.public_port(), request, /*end_input=*/true);
  ASSERT_TRUE(reply.complete) << reply.raw << road.describe();
  EXPECT_EQ(reply.status_line(), "HTTP/1.1 200 OK");
  EXPECT_EQ(reply.body(),
            "received " + std::to_string(request.size()) + " bytes, body: hello world");
  ASSERT_EQ(service.requests().size(), 1u);
  EXPECT_EQ(service.requests()[0], request);
}

INSTANTIATE_TEST_SUITE_P(E2e, VisitorHalfClose,
                         ::testing::Values(HalfCloseCase{"empty_data_only", false},
                                           HalfCloseCase{"with_half_close_frame", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmar::test
