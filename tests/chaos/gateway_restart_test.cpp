// The gateway stand-in killed (SIGKILL) and started again a hundred times at random
// moments while visitors move payloads through it and the client to a local echo
// service. After every start the client is back within its delay ladder (scaled down
// by the test program), no transfer ever delivers a wrong byte, every transfer that
// ran while the gateway stayed up is complete, and at the end the client holds the
// descriptors, threads and memory it held before the first kill.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>

#include "chaos_support.hpp"
#include "session/supervisor.hpp"

namespace quillmar::test {
namespace {

constexpr int RESTARTS = 100;
constexpr long DELAY_SCALE = 200;
constexpr int VISITORS = 4;
constexpr std::string_view DEVICE = "chaos";
constexpr auto LONGEST_UPTIME = std::chrono::milliseconds(400);
constexpr auto LONGEST_DOWNTIME = std::chrono::milliseconds(150);
// Beyond the ladder's wait: connecting, the handshake and a loaded machine.
constexpr auto RECONNECT_SLACK = std::chrono::milliseconds(3000);
constexpr auto TRANSFER_LIMIT = std::chrono::milliseconds(10000);

// The longest wait between two sessions with the scaled delays: the first delay doubled
// until the doubling stops.
std::chrono::nanoseconds longest_ladder_step() {
  const SupervisorTimings real;
  const auto limit = real.backoff_doubling_limit / DELAY_SCALE;
  auto step = real.initial_backoff / DELAY_SCALE;
  while (doubled_below(step, limit) != step) step = doubled_below(step, limit);
  return step;
}

struct TransferRecord {
  Clock::time_point start;
  Clock::time_point end;
  std::size_t size = 0;
  Transfer result;
};

// Visitors on threads of their own, each moving one payload after the other.
class Visitors {
 public:
  Visitors(std::uint16_t port, unsigned seed) : port_(port) {
    for (int i = 0; i < VISITORS; ++i)
      asio::co_spawn(io_, visit_loop(seed + static_cast<unsigned>(i)), asio::detached);
    for (int i = 0; i < 2; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  ~Visitors() { stop(); }

  void stop() {
    stopping_ = true;
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }

  std::vector<TransferRecord> records() {
    std::lock_guard lock(mutex_);
    return records_;
  }

 private:
  asio::awaitable<void> visit_loop(unsigned seed) {
    std::mt19937 random(seed);
    asio::steady_timer pause(io_);
    while (!stopping_) {
      TransferRecord record;
      record.size = std::uniform_int_distribution<std::size_t>(16 * 1024, 256 * 1024)(random);
      record.start = Clock::now();
      record.result = co_await echo_transfer(port_, record.size, random(), TRANSFER_LIMIT);
      record.end = Clock::now();
      {
        std::lock_guard lock(mutex_);
        records_.push_back(record);
      }
      // The gateway is down, or up without the client: try again shortly.
      if (!record.result.complete(record.size)) {
        pause.expires_after(std::chrono::milliseconds(20));
        co_await pause.async_wait(as_tuple_awaitable);
      }
    }
  }

  std::uint16_t port_;
  asio::io_context io_;
  std::atomic<bool> stopping_{false};
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::vector<TransferRecord> records_;
};

struct UpWindow {
  Clock::time_point from;  // the client's banner was seen
  Clock::time_point to;    // the gateway was killed
};

bool inside_up_window(const TransferRecord& record, const std::vector<UpWindow>& windows) {
  return std::any_of(windows.begin(), windows.end(), [&](const UpWindow& w) {
    return record.start >= w.from && record.end <= w.to;
  });
}

bool spans_a_kill(const TransferRecord& record, const std::vector<UpWindow>& windows) {
  return std::any_of(windows.begin(), windows.end(),
                     [&](const UpWindow& w) { return record.start <= w.to && record.end >= w.to; });
}

Transfer one_transfer(std::uint16_t port, std::size_t size) {
  asio::io_context io;
  return run_async(io, echo_transfer(port, size, 1, TRANSFER_LIMIT), TRANSFER_LIMIT * 2);
}

// Once the figures stop changing (two readings 100 ms apart agree), or after a second.
ProcessFigures settled_figures(std::uint64_t pid) {
  ProcessFigures last = process_figures(pid);
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ProcessFigures now = process_figures(pid);
    if (now.fds == last.fds && now.threads == last.threads) return now;
    last = now;
  }
  return last;
}

TEST(GatewayRestarts, ClientComesBackEveryTimeLosesNoByteAndLeaksNothing) {
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  EchoService echo;
  const std::uint16_t control = free_port();
  const std::uint16_t raw = free_port();
  std::optional<ChildProcess> gateway;
  auto start_gateway = [&] {
    gateway.emplace(devgw_process(control, std::nullopt, raw_route(raw, DEVICE, echo.port())));
    return gateway->wait_for_err(DEVGW_READY, WAIT);
  };
  ASSERT_TRUE(start_gateway()) << gateway->describe();

  ClientSetup setup;
  ChildOptions options = client_options(setup, client_args(control, DEVICE, echo.port()));
  options.args.insert(options.args.begin(), std::to_string(DELAY_SCALE));
  options.program = built_program("tests/quillmar-scaled-delays");
  ChildProcess client(options);
  auto sessions = [&] { return count_of(client.out(), READY_MARK); };
  ASSERT_TRUE(wait_until([&] { return sessions() >= 1; }, WAIT)) << client.describe();
  ASSERT_TRUE(one_transfer(raw, 64 * 1024).complete(64 * 1024)) << client.describe();
  ASSERT_TRUE(wait_until([&] { return echo.waiting() == 0; }, WAIT));
  const ProcessFigures idle = settled_figures(client.id());

  const auto ladder = std::chrono::duration_cast<std::chrono::milliseconds>(longest_ladder_step());
  std::vector<UpWindow> windows;
  std::vector<double> reconnects_ms;
  Clock::time_point welcomed = Clock::now();
  {
    Visitors visitors(raw, seed);
    for (int restart = 1; restart <= RESTARTS; ++restart) {
      std::this_thread::sleep_for(std::chrono::milliseconds(
          std::uniform_int_distribution<int>(0, LONGEST_UPTIME.count())(random)));
      windows.push_back({welcomed, Clock::now()});
      gateway->kill();
      ASSERT_TRUE(gateway->wait_exit(WAIT)) << "the stand-in did not die";
      std::this_thread::sleep_for(std::chrono::milliseconds(
          std::uniform_int_distribution<int>(0, LONGEST_DOWNTIME.count())(random)));
      ASSERT_TRUE(start_gateway()) << gateway->describe();
      const auto listening = Clock::now();
      const bool back =
          wait_until([&] { return sessions() >= static_cast<std::size_t>(restart) + 1; },
                     ladder + RECONNECT_SLACK);
      welcomed = Clock::now();
      reconnects_ms.push_back(millis(welcomed - listening));
      ASSERT_TRUE(back) << "restart " << restart << ": no session within "
                        << (ladder + RECONNECT_SLACK).count() << " ms\n"
                        << client.describe();
    }
    visitors.stop();
    const auto records = visitors.records();

    // A transfer that is not complete was refused (the gateway down), cut by a kill,
    // turned away (the gateway up, the client not yet back) or lost: the last must
    // not happen.
    std::size_t completed = 0, cut = 0, refused = 0, turned_away = 0, lost = 0, wrong = 0;
    std::uint64_t bytes = 0;
    for (const auto& r : records) {
      if (r.result.mismatched || r.result.received > r.size) ++wrong;
      if (r.result.complete(r.size)) {
        ++completed;
        bytes += r.size;
      } else if (!r.result.connected) {
        ++refused;
      } else if (spans_a_kill(r, windows)) {
        ++cut;
      } else if (inside_up_window(r, windows)) {
        ++lost;
      } else {
        ++turned_away;
      }
    }
    std::sort(reconnects_ms.begin(), reconnects_ms.end());
    report_figures(
        "gateway_restarts",
        "chaos: " + std::to_string(reconnects_ms.size()) + " gateway restarts survived (seed " +
            std::to_string(seed) + "); back after " +
            std::to_string(static_cast<int>(reconnects_ms[reconnects_ms.size() / 2])) +
            " ms median, " + std::to_string(static_cast<int>(reconnects_ms.back())) +
            " ms at most (ladder's longest step " + std::to_string(ladder.count()) +
            " ms); transfers: " + std::to_string(completed) + " byte-exact (" +
            std::to_string(bytes / 1024) + " KiB), " + std::to_string(cut) + " cut by a kill, " +
            std::to_string(refused) + " refused while down, " + std::to_string(turned_away) +
            " turned away before the client was back, " + std::to_string(lost) +
            " lost while up, " + std::to_string(wrong) + " with wrong bytes");
    EXPECT_EQ(wrong, 0u) << "transfers delivered bytes that were never sent";
    EXPECT_EQ(lost, 0u) << "transfers failed while the gateway stayed up";
    EXPECT_GT(completed, static_cast<std::size_t>(RESTARTS)) << "too few transfers got through";
  }

  // The last start: every stream of the dead sessions must be over by now.
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(one_transfer(raw, 128 * 1024).complete(128 * 1024)) << client.describe();
  ProcessFigures after;
  const bool idle_again = wait_until(
      [&] {
        after = process_figures(client.id());
        return back_to_idle(idle, after) && echo.waiting() == 0;
      },
      std::chrono::seconds(5));
  const std::string held = tcp_peers(client.id()) + " (gateway port " + std::to_string(control) +
                           ", echo port " + std::to_string(echo.port()) + ")";
  report_figures("gateway_restarts_figures", "chaos: client after " + std::to_string(RESTARTS) +
                                                 " restarts: " + before_after(idle, after) +
                                                 "; it holds " + held);
  EXPECT_TRUE(idle_again) << "the client did not return to its idle figures: "
                          << before_after(idle, after) << "; it holds " << held << "; "
                          << echo.waiting() << " local connections never ended";
}

}  // namespace
}  // namespace quillmar::test
