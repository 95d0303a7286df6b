// The gateway addresses start-up resolves once for the direct connections (only
// literals and "localhost" are resolved here, so no query leaves the machine), and the
// console's listener.
#include "app/run_client.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace quillmar {
namespace {

TEST(ResolveGateway, TakesLiteralsAndTheSystemResolversAnswer) {
  struct Case {
    const char* gateway;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"127.0.0.1:7000", {"127.0.0.1"}},
      {"127.0.0.2:+0443", {"127.0.0.2"}},
      {"[::1]:7000", {"::1"}},
      {"::1:7000", {"::1"}},  // split at the last ':'
      {"127.0.0.1:0", {"127.0.0.1"}},
      // No usable port: nothing is resolved.
      {"127.0.0.1", {}},
      {"127.0.0.1:", {}},
      {"127.0.0.1:abc", {}},
      {"127.0.0.1:65536", {}},
      {"127.0.0.1: 80", {}},
      {"[::1]", {}},
      {"[not-an-address]:80", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const auto& address : resolve_gateway(c.gateway)) got.push_back(address.to_string());
    EXPECT_EQ(got, c.expected) << c.gateway;
  }
}

TEST(ResolveGateway, AHostNameGivesItsAddresses) {
  auto addresses = resolve_gateway("localhost:7000");
  ASSERT_FALSE(addresses.empty());
  for (const auto& address : addresses) EXPECT_TRUE(address.is_loopback()) << address;
}

// A burst of connections that arrive before the console accepts any: all of them are
// taken in at once. A short queue would drop the rest, which the system tries again
// only after a second.
TEST(ConsoleListener, TakesInABurstOfConnectionsBeforeAnyIsAccepted) {
  constexpr std::size_t BURST = 300;
  asio::io_context io;
  auto listener = bind_console(io, 0);
  ASSERT_TRUE(listener) << listener.error().display();
  const auto endpoint = listener.value().local_endpoint();
  std::vector<asio::ip::tcp::socket> sockets;
  std::size_t connected = 0;
  for (std::size_t i = 0; i < BURST; ++i) sockets.emplace_back(io);
  for (auto& socket : sockets) {
    socket.async_connect(endpoint, [&](std::error_code ec) {
      if (!ec) ++connected;
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
  while (connected < BURST && std::chrono::steady_clock::now() < deadline)
    io.run_for(std::chrono::milliseconds(10));
  EXPECT_EQ(connected, BURST);
}

}  // namespace
}  // namespace quillmar
