// The client's console under load: hundreds of slow connections (heads and bodies that
// arrive a byte at a time and never end) held open while waves of a thousand parallel
// requests arrive, most of them refused. Every refused request gets its reply to the
// byte, and a normal request made meanwhile is answered within a second, every time.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <mutex>

#include "chaos_support.hpp"
#include "console_test_support.hpp"
#include "proto/text.hpp"

namespace quillmar::test {
namespace {

constexpr std::size_t SLOW_CONNECTIONS = 300;
constexpr std::size_t PARALLEL = 1000;
constexpr int WAVES = 5;
constexpr auto ANSWER_LIMIT = std::chrono::milliseconds(1000);
constexpr auto SLOW_BYTE_EVERY = std::chrono::milliseconds(200);

struct LoadCase {
  std::string request;
  std::string reply;  // exact; empty: a state document ("200 OK", JSON)
};

std::vector<LoadCase> load_cases(std::uint16_t ui) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(ui) + "\r\n";
  return {
      {"GET /api/state HTTP/1.1\r\n" + host + "\r\n", ""},
      {"GET / HTTP/1.1\r\nHost: attacker.test:" + std::to_string(ui) + "\r\n\r\n", FORBIDDEN},
      {"GET /api/state HTTP/1.1\r\nAccept: */*\r\n\r\n", FORBIDDEN},
      {"POST /api/reconnect HTTP/1.1\r\n" + host + "Origin: http://evil.test\r\n\r\n", FORBIDDEN},
      {"POST /api/ports HTTP/1.1\r\n" + host + "Content-Length: 8193\r\n\r\n", TOO_LARGE},
      {"GET /nothing HTTP/1.1\r\n" + host + "\r\n", NOT_FOUND},
      {"GET /api/state?x=1 HTTP/1.1\r\n" + host + "\r\n", NOT_FOUND},
  };
}

bool is_state_document(const std::string& reply) {
  return reply.starts_with("HTTP/1.1 200 OK\r\ncontent-type: application/json\r\n") &&
         reply.find("\"device_id\":") != std::string::npos;
}

// A connection that sends its request a byte at a time and never finishes it.
asio::awaitable<void> trickle(std::uint16_t ui, std::string start, std::atomic<bool>& stop,
                              std::atomic<std::size_t>& open) {
  tcp::socket socket(co_await asio::this_coro::executor);
  auto [ec] =
      co_await socket.async_connect({asio::ip::address_v4::loopback(), ui}, as_tuple_awaitable);
  if (ec) co_return;
  ++open;
  auto [write_ec, written] =
      co_await asio::async_write(socket, asio::buffer(start), as_tuple_awaitable);
  asio::steady_timer pause(socket.get_executor());
  while (!write_ec && !stop) {
    pause.expires_after(SLOW_BYTE_EVERY);
    co_await pause.async_wait(as_tuple_awaitable);
    std::tie(write_ec, written) =
        co_await asio::async_write(socket, asio::buffer("a", 1), as_tuple_awaitable);
  }
  --open;
}

// Whole requests one after another, each timed from its connect to the close of its reply.
class Probe {
 public:
  explicit Probe(std::uint16_t ui) : ui_(ui) {}
  void run_until(const std::atomic<bool>& stop) {
    while (!stop) once();
  }
  void once() {
    asio::io_context io;
    const auto started = Clock::now();
    const std::string reply = run_async(
        io,
        exchange(ui_,
                 "GET /api/state HTTP/1.1\r\nHost: localhost:" + std::to_string(ui_) + "\r\n\r\n"),
        std::chrono::seconds(20));
    const double ms = millis(Clock::now() - started);
    std::lock_guard lock(mutex_);
    times_ms_.push_back(ms);
    if (!is_state_document(reply)) ++failures_;
  }
  double slowest_ms() const {
    std::lock_guard lock(mutex_);
    return times_ms_.empty() ? 0 : *std::max_element(times_ms_.begin(), times_ms_.end());
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return times_ms_.size();
  }
  std::size_t failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
  }

 private:
  std::uint16_t ui_;
  mutable std::mutex mutex_;
  std::vector<double> times_ms_;
  std::size_t failures_ = 0;
};

// The test opens well over a thousand connections, and its client child inherits the limit.
bool raise_descriptor_limit(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  limit.rlim_cur = std::min(limit.rlim_max, std::max(wanted, limit.rlim_cur));
  return setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= wanted;
}

TEST(ConsoleUnderLoad, SlowAndParallelConnectionsKeepNoRequestWaiting) {
  ASSERT_TRUE(raise_descriptor_limit(4 * (SLOW_CONNECTIONS + PARALLEL)))
      << "this test needs " << 4 * (SLOW_CONNECTIONS + PARALLEL) << " descriptors";
  ClientSetup setup;
  const std::vector<std::string> args = {"--gw",     "127.0.0.1:" + std::to_string(free_port()),
                                         "--domain", std::string(TEST_DOMAIN),
                                         "--tls",    "off"};
  ChildProcess client(client_options(setup, args));
  ASSERT_TRUE(client.wait_for_out(console_line(setup.ui), WAIT)) << client.describe();
  const std::uint16_t ui = setup.ui;
  Probe probe(ui);
  probe.once();

  asio::io_context io;
  auto work = asio::make_work_guard(io);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&] { io.run(); });
  std::atomic<bool> stop_slow{false};
  std::atomic<std::size_t> slow_open{0};
  const std::string host = "Host: 127.0.0.1:" + std::to_string(ui) + "\r\n";
  for (std::size_t i = 0; i < SLOW_CONNECTIONS; ++i) {
    // Half of them never end their head, half never end their body.
    std::string start = i % 2 == 0 ? "GET /api/state HTTP/1.1\r\n" + host + "X-Slow: "
                                   : "POST /api/invite HTTP/1.1\r\n" + host +
                                         "Content-Length: 8000\r\n\r\n{\"invite\":\"";
    asio::co_spawn(io, trickle(ui, std::move(start), stop_slow, slow_open), asio::detached);
  }
  ASSERT_TRUE(wait_until([&] { return slow_open == SLOW_CONNECTIONS; }, WAIT))
      << slow_open << " slow connections open";

  std::atomic<bool> stop_probing{false};
  std::thread prober([&] { probe.run_until(stop_probing); });
  const auto cases = load_cases(ui);
  std::size_t wrong = 0, refused = 0, answered = 0;
  std::string first_wrong;
  for (int wave = 0; wave < WAVES; ++wave) {
    std::vector<std::future<std::string>> replies;
    for (std::size_t i = 0; i < PARALLEL; ++i)
      replies.push_back(
          asio::co_spawn(io, exchange(ui, cases[i % cases.size()].request), asio::use_future));
    for (std::size_t i = 0; i < PARALLEL; ++i) {
      const LoadCase& c = cases[i % cases.size()];
      if (replies[i].wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ++wrong;
        continue;
      }
      const std::string reply = replies[i].get();
      const bool right = c.reply.empty() ? is_state_document(reply) : reply == c.reply;
      ++answered;
      if (!c.reply.empty()) ++refused;
      if (!right) {
        if (first_wrong.empty())
          first_wrong = quoted_form(c.request) + " got " + quoted_form(reply);
        ++wrong;
      }
    }
  }
  stop_probing = true;
  prober.join();
  probe.once();
  const std::size_t slow_still_open = slow_open;
  stop_slow = true;
  work.reset();
  for (auto& thread : threads) thread.join();

  char slowest[32];
  std::snprintf(slowest, sizeof slowest, "%.0f", probe.slowest_ms());
  report_figures("console_load",
                 "console: " + std::to_string(slow_still_open) + " slow connections held, " +
                     std::to_string(WAVES) + " waves of " + std::to_string(PARALLEL) +
                     " parallel requests: " + std::to_string(answered) + " answered (" +
                     std::to_string(refused) + " refused with their exact reply), " +
                     std::to_string(wrong) + " wrong or missing; " + std::to_string(probe.count()) +
                     " normal requests meanwhile, slowest " + slowest + " ms");
  EXPECT_EQ(wrong, 0u) << first_wrong;
  EXPECT_EQ(slow_still_open, SLOW_CONNECTIONS) << "the console dropped slow connections";
  EXPECT_EQ(probe.failures(), 0u) << "a normal request was not answered with the state";
  EXPECT_LT(probe.slowest_ms(), millis(ANSWER_LIMIT)) << "a normal request waited too long";
}

}  // namespace
}  // namespace quillmar::test
