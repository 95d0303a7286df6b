// Start-up in this process: the runtime's failures, the console's listener, and the
// gateway addresses start-up resolves once for the direct connections. Only literals
// and "localhost" are resolved here, so no query leaves the machine.
#include "app/run_client.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <system_error>

#include "app/environment.hpp"
#include "async_test.hpp"
#include "scoped_env.hpp"

namespace quillmar {
namespace {

std::uint16_t free_port() {
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  return acceptor.local_endpoint().port();
}

// run_client with a key folder of its own and a gateway that is never reached: its exit
// code and what it wrote to standard error.
struct Ended {
  int code = -1;
  std::string err;
};

Ended run_with(const StartupSeams& seams) {
  test::TempDir keys;
  test::ScopedEnv key_dir("TUNNEL_KEY_DIR", path_to_utf8(keys.path()));
  test::ScopedEnv no_debug("TUNNEL_DEBUG", std::nullopt);
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Ended ended;
  ended.code = run_client(
      {"--ui", std::to_string(free_port()), "--gw", "127.0.0.1:9", "--tls", "off", "--sub", "seam"},
      seams);
  ended.err = testing::internal::GetCapturedStderr();
  (void)testing::internal::GetCapturedStdout();
  return ended;
}

// The supervisor's own parts stay out of the way: no console, no GUI thread.
void quiet(SupervisorEnvironment& environment) {
  environment.start_console = false;
  environment.start_gui = false;
}

TEST(RunClient, AWorkerThreadThatCannotStartIsAStartUpError) {
  const auto refused = std::make_error_code(std::errc::resource_unavailable_try_again);
  std::atomic<int> started{0};
  StartupSeams seams;
  seams.supervisor = quiet;
  // Where there is more than one worker, the first starts and must be stopped again.
  const int failing = std::thread::hardware_concurrency() > 1 ? 1 : 0;
  seams.start_worker = [&](std::function<void()> body) {
    if (started++ == failing) throw std::system_error(refused, "thread");
    return std::thread(std::move(body));
  };
  Ended ended = run_with(seams);
  EXPECT_EQ(ended.code, 1);
  EXPECT_EQ(ended.err, "Error: " + IoError::from(refused).structured() + "\n");
}

// A supervisor that fails, in its own code or in the session it waits for, ends the
// program as a start-up error does.
TEST(RunClient, ASupervisorThatThrowsIsAStartUpError) {
  struct Case {
    const char* name;
    bool session_throws;  // else the supervisor fails on its way to the next session
    const char* failure;
  };
  const Case cases[] = {{"the supervisor", false, "the supervisor broke"},
                        {"the session", true, "the session broke"}};
  for (const auto& c : cases) {
    StartupSeams seams;
    seams.supervisor = [&c](SupervisorEnvironment& environment) {
      quiet(environment);
      environment.session = [&c](SessionInputs, SharedStatePtr, const PunchOptions&,
                                 ControlReceiver&) -> asio::awaitable<SessionOutcome> {
        if (c.session_throws) throw std::runtime_error(c.failure);
        co_return SessionOutcome::OUTCOME_RETRY;
      };
      environment.on_delay = [&c](std::chrono::nanoseconds) {
        throw std::runtime_error(c.failure);
      };
    };
    Ended ended = run_with(seams);
    EXPECT_EQ(ended.code, 1) << c.name;
    EXPECT_EQ(ended.err, "Error: " + IoError::make(ErrorKind::Other, c.failure).structured() + "\n")
        << c.name;
  }
}

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
