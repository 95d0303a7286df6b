// 512 visitor streams at once through the gateway stand-in and the client to a local
// echo service, each moving a few MiB both ways and ending with half-closes: every byte
// comes back in order, the 513th stream opened while all 512 are held gets the "too many
// streams" answer, and once all have ended the client is back at its idle figures.
#include <gtest/gtest.h>

#include <mutex>

#include "chaos_support.hpp"
#include "proto/text.hpp"

namespace quillmar::test {
namespace {

constexpr std::size_t STREAMS = 512;
constexpr std::size_t STREAM_BYTES = 2 * 1024 * 1024;
constexpr std::string_view DEVICE = "soak";
constexpr auto HOLD_LIMIT = std::chrono::seconds(60);
constexpr auto RUN_LIMIT = std::chrono::seconds(150);

// The streams of the test: each sends its first chunk, waits at the gate once its first
// echoed bytes are back (so that all of them are open at the client at once), then
// moves the rest.
class SoakStreams {
 public:
  explicit SoakStreams(std::uint16_t port) : port_(port), gate_(io_), results_(STREAMS) {
    gate_.expires_at(asio::steady_timer::time_point::max());
    for (std::size_t i = 0; i < STREAMS; ++i) asio::co_spawn(io_, stream(i), asio::detached);
    for (int i = 0; i < 4; ++i) threads_.emplace_back([this] { io_.run(); });
  }
  ~SoakStreams() {
    io_.stop();
    for (auto& thread : threads_) thread.join();
  }

  std::size_t held() const { return held_; }
  std::size_t finished() const { return finished_; }
  // Lets the waiting streams go on, and any that come later pass at once.
  void open_gate() {
    asio::post(io_, [this] { gate_.expires_at(asio::steady_timer::time_point::min()); });
  }
  std::vector<Transfer> results() {
    std::lock_guard lock(mutex_);
    return results_;
  }

 private:
  asio::awaitable<void> stream(std::size_t index) {
    TransferHooks hooks;
    hooks.after_first_chunk = [this]() -> asio::awaitable<void> {
      co_await gate_.async_wait(as_tuple_awaitable);  // ends when the gate opens
    };
    hooks.first_bytes_back = [this] { ++held_; };
    const Transfer t = co_await echo_transfer(port_, STREAM_BYTES, index, RUN_LIMIT, hooks);
    {
      std::lock_guard lock(mutex_);
      results_[index] = t;
    }
    ++finished_;
  }

  std::uint16_t port_;
  asio::io_context io_;
  asio::steady_timer gate_;
  std::atomic<std::size_t> held_{0};
  std::atomic<std::size_t> finished_{0};
  std::mutex mutex_;
  std::vector<Transfer> results_;
  std::vector<std::thread> threads_;
};

// The highest resident memory of a process while the sampler lives.
class PeakMemory {
 public:
  explicit PeakMemory(std::uint64_t pid)
      : thread_([this, pid] {
          while (!stop_) {
            peak_ = std::max<std::size_t>(peak_, process_figures(pid).rss_kib);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
          }
        }) {}
  ~PeakMemory() {
    stop_ = true;
    thread_.join();
  }
  std::size_t kib() const { return peak_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> peak_{0};
  std::thread thread_;
};

struct RoundResult {
  bool all_held = false;
  ProcessFigures holding;  // the client's, while all streams are open
  HttpReply refused;       // the visitor beyond the limit
  bool all_finished = false;
  std::size_t complete = 0;
  double seconds = 0;
};

RoundResult soak_round(std::uint16_t raw, std::uint16_t public_http, std::uint16_t echo_port,
                       std::uint64_t client_pid) {
  RoundResult round;
  const auto started = Clock::now();
  SoakStreams streams(raw);
  round.all_held = wait_until([&] { return streams.held() == STREAMS; }, HOLD_LIMIT);
  round.holding = process_figures(client_pid);
  round.refused = visit(public_http, get_request(public_host(DEVICE, echo_port)), false, WAIT);
  streams.open_gate();
  round.all_finished = wait_until([&] { return streams.finished() == STREAMS; }, RUN_LIMIT + WAIT);
  round.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  for (const auto& t : streams.results()) round.complete += t.complete(STREAM_BYTES) ? 1 : 0;
  return round;
}

// What a burst of streams may leave resident once all have ended: buffers made on first
// use (the frame reader's, the local reads'), never the streams' own memory (tens of
// MiB at the peak), which goes back to the system when the last of them ends.
constexpr std::size_t LEFT_AFTER_BURST_KIB = 8 * 1024;

// Two rounds: descriptors, threads and memory go back to the idle figures after each.
TEST(Soak, FiveHundredTwelveStreamsEveryByteBackTheNextRefusedNothingLeft) {
  EchoService echo;
  const std::uint16_t control = free_port();
  const std::uint16_t public_http = free_port();
  const std::uint16_t raw = free_port();
  ChildProcess gateway(devgw_process(control, public_http, raw_route(raw, DEVICE, echo.port())));
  ASSERT_TRUE(gateway.wait_for_err(DEVGW_READY, WAIT)) << gateway.describe();
  ClientSetup setup;
  ChildProcess client(client_options(setup, client_args(control, DEVICE, echo.port())));
  ASSERT_TRUE(client.wait_for_out(READY_MARK, WAIT)) << client.describe();
  const ProcessFigures idle = process_figures(client.id());
  PeakMemory peak(client.id());

  for (int number = 1; number <= 2; ++number) {
    SCOPED_TRACE("round " + std::to_string(number));
    const RoundResult round = soak_round(raw, public_http, echo.port(), client.id());
    ASSERT_TRUE(round.all_held) << "not all " << STREAMS << " streams were open at once\n"
                                << client.describe() << gateway.describe();
    ProcessFigures after;
    const bool idle_again = wait_until(
        [&] {
          after = process_figures(client.id());
          return after.fds <= idle.fds && after.threads <= idle.threads &&
                 after.rss_kib <= idle.rss_kib + LEFT_AFTER_BURST_KIB;
        },
        std::chrono::seconds(10));
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f",
                  2.0 * STREAMS * STREAM_BYTES / 1048576.0 / round.seconds);
    report_figures(
        "soak_round_" + std::to_string(number),
        "soak round " + std::to_string(number) + ": " + std::to_string(STREAMS) +
            " streams held at once (client fds " + std::to_string(round.holding.fds) +
            "); the next one got " + quoted_form(std::string(trim(round.refused.body()))) + "; " +
            std::to_string(round.complete) + "/" + std::to_string(STREAMS) + " moved " +
            std::to_string(STREAM_BYTES >> 20) + " MiB each way byte-exact in " +
            std::to_string(static_cast<int>(round.seconds)) + " s (" + rate + " MiB/s); client " +
            before_after(idle, after) + ", RSS peak " + mib(peak.kib()));

    EXPECT_EQ(round.refused.status_line(), "HTTP/1.1 502 Bad Gateway") << round.refused.raw;
    EXPECT_NE(round.refused.body().find("too many streams"), std::string::npos)
        << round.refused.raw;
    EXPECT_TRUE(round.all_finished) << "not every stream ended";
    EXPECT_EQ(round.complete, STREAMS);
    EXPECT_TRUE(idle_again) << "the client did not return to its idle figures: "
                            << before_after(idle, after) << "; it holds " << tcp_peers(client.id());
  }
  EXPECT_EQ(echo.accepted(), 2 * STREAMS) << "a refused stream reached the service";
  EXPECT_EQ(echo.waiting(), 0u);
}

}  // namespace
}  // namespace quillmar::test
