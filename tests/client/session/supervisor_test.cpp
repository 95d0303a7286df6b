// The supervisor's loop with a scripted session in place of the gateway and every
// delay scaled down 100,000 times (1 s becomes 10 µs).
#include "session/supervisor.hpp"

#include <gtest/gtest.h>

#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <deque>
#include <map>
#include <set>

#include "async_test.hpp"
#include "proto/connect.hpp"
#include "settings/key_file.hpp"

namespace quillmar {
namespace {

using std::chrono::nanoseconds;
using namespace std::chrono_literals;

constexpr long SCALE = 100000;
constexpr nanoseconds scaled(std::chrono::nanoseconds real) { return real / SCALE; }

SupervisorTimings scaled_timings() {
  SupervisorTimings t;
  t.initial_backoff = scaled(1s);
  t.backoff_doubling_limit = scaled(30s);
  t.initial_quota_backoff = scaled(60s);
  t.quota_doubling_limit = scaled(3600s);
  t.name_taken_delay = scaled(30s);
  t.short_retry_delay = scaled(150ms);
  return t;
}

constexpr auto EXIT_LINE = "client: 收到退出信号，收尾并退出（配置和 key 文件都不动）\n";
constexpr auto TRAY_EXIT_LINE = "client: 从 Quillmar 托盘退出\n";
constexpr auto QUOTA_LINE =
    "client: 今日流量额度已用完 —— 北京时间 00:00 自动恢复（无需重装/改配置）\n";
const std::string KEY_FILE = "token=0123456789abcdef0123456789abcdef\nsub=kite\n";

// What the scripted session does on one call. The session ends by itself only with
// `outcome` and `reload_and_end`; every other kind sends its message (if any) and
// then waits an hour, so it ends only by being dropped.
struct Step {
  enum class Kind {
    outcome,
    block,
    exit_now,
    reload_now,
    ctrl_c_now,
    close_ctrl_c_now,  // the watcher gives up: its sender is released
    reload_and_end,    // a reload that arrives just as the session ends by itself
    fetch_console,     // one request to the console's real port, then an exit
  } kind;
  SessionOutcome outcome = SessionOutcome::OUTCOME_RETRY;
};

Step outcome(SessionOutcome o) { return {Step::Kind::outcome, o}; }
Step just(Step::Kind kind) { return {kind}; }
constexpr auto RETRY = SessionOutcome::OUTCOME_RETRY;
constexpr auto QUOTA = SessionOutcome::OUTCOME_QUOTA;
constexpr auto NAME_TAKEN = SessionOutcome::OUTCOME_NAME_TAKEN;

std::deque<Step> repeated(int count, Step step,
                          std::deque<Step> after = {just(Step::Kind::exit_now)}) {
  std::deque<Step> script(static_cast<std::size_t>(count), step);
  script.insert(script.end(), after.begin(), after.end());
  return script;
}

std::vector<nanoseconds> seconds(std::vector<double> values) {
  std::vector<nanoseconds> out;
  for (double v : values) out.push_back(nanoseconds(static_cast<long long>(v * 1e9)) / SCALE);
  return out;
}

std::size_t count_of(const std::string& text, std::string_view part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    ++count;
  return count;
}

// One GET of the console's state document at that port, the raw reply.
asio::awaitable<std::string> fetch_state(std::uint16_t port) {
  asio::ip::tcp::socket socket(co_await asio::this_coro::executor);
  co_await socket.async_connect({asio::ip::address_v4::loopback(), port}, asio::use_awaitable);
  std::string request = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nConnection: close\r\n\r\n";
  co_await asio::async_write(socket, asio::buffer(request), asio::use_awaitable);
  std::string reply;
  // Read to the end of the connection: the end of input that closes the read is expected.
  co_await asio::async_read(socket, asio::dynamic_buffer(reply),
                            asio::experimental::as_tuple(asio::use_awaitable));
  co_return reply;
}

class SupervisorTest : public ::testing::Test {
 protected:
  SupervisorTest() { test::write_file(key_path(), KEY_FILE); }

  std::filesystem::path key_path() const { return dir_.path() / "id.ini"; }

  // Runs the supervisor until it returns; the script's last step repeats.
  void run(std::deque<Step> script, bool auto_rename = false,
           std::vector<std::uint16_t> ports = {80}) {
    delays_.clear();
    sessions_.clear();
    sessions_dropped_ = 0;
    auto shared = std::make_shared<SharedState>();
    shared->key_path = key_path();
    shared->device_id = "test-device";
    shared->ports.set(ports);
    store(shared->hello_port_limit, hello_port_limit_);
    shared_ = shared;
    auto [reload_tx, reload_rx] = make_queue<Signal>(0);
    auto [control_tx, control_rx] = make_queue<SessionControl>(0);
    auto [exit_tx, exit_rx] = make_queue<Signal>(0);
    reload_tx_.reset();
    if (!drop_reload_senders_) reload_tx_.emplace(reload_tx);
    exit_tx_.emplace(exit_tx);
    ctrl_c_tx_.reset();
    Creds creds = load_creds(key_path());
    if (before_start_) before_start_();

    SupervisorContext context{"example.test",
                              "127.0.0.1:1",
                              "kite",
                              std::move(creds),
                              {},
                              std::move(console_listener_),
                              shared,
                              std::move(reload_tx),
                              std::move(control_tx),
                              std::move(exit_tx),
                              std::move(control_rx),
                              std::move(reload_rx),
                              std::move(exit_rx),
                              console_port_,
                              auto_rename};
    console_listener_.reset();
    SupervisorEnvironment environment;
    environment.pool = io_.get_executor();
    environment.timings = scaled_timings();
    environment.start_console = start_console_;
    environment.start_gui = false;
    environment.ctrl_c_source = [this](Sender<Signal> sender) { ctrl_c_tx_.emplace(sender); };
    environment.on_delay = [this](nanoseconds d) {
      delays_.push_back(d);
      if (auto hook = at_delay_.find(delays_.size()); hook != at_delay_.end()) hook->second();
    };
    environment.session = [this, script = std::move(script)](
                              SessionInputs inputs, SharedStatePtr, const PunchOptions&,
                              ControlReceiver&) mutable -> asio::awaitable<SessionOutcome> {
      sessions_.push_back(inputs);
      struct DropCounter {
        int& dropped;
        ~DropCounter() { ++dropped; }
      } counter{sessions_dropped_};
      Step step = script.front();
      if (script.size() > 1) script.pop_front();
      switch (step.kind) {
        case Step::Kind::outcome:
          co_return step.outcome;
        case Step::Kind::reload_and_end:
          reload_tx_->try_send(Signal{});
          co_return step.outcome;
        case Step::Kind::exit_now:
          exit_tx_->try_send(Signal{});
          break;
        case Step::Kind::reload_now:
          reload_tx_->try_send(Signal{});
          break;
        case Step::Kind::ctrl_c_now:
          ctrl_c_tx_->try_send(Signal{});
          break;
        case Step::Kind::close_ctrl_c_now:
          ctrl_c_tx_.reset();
          break;
        case Step::Kind::fetch_console:
          console_reply_ = co_await fetch_state(console_listening_port_);
          exit_tx_->try_send(Signal{});
          break;
        case Step::Kind::block:
          break;
      }
      co_await sleep_for(std::chrono::hours(1));
      co_return SessionOutcome::OUTCOME_RETRY;
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    test::run_async(io_, supervise(std::move(context), std::move(environment)));
    stdout_ = testing::internal::GetCapturedStdout();
    stderr_ = testing::internal::GetCapturedStderr();
  }

  // Sessions that ended, by themselves or by being dropped.
  int sessions_ended() const { return sessions_dropped_; }

  asio::io_context io_;
  test::TempDir dir_;
  SharedStatePtr shared_;
  std::optional<ReloadSender> reload_tx_;
  std::optional<ExitSender> exit_tx_;
  std::optional<Sender<Signal>> ctrl_c_tx_;
  std::function<void()> before_start_;
  std::vector<nanoseconds> delays_;
  std::map<std::size_t, std::function<void()>> at_delay_;  // by the number of the wait, from 1
  bool drop_reload_senders_ = false;
  bool start_console_ = false;
  std::optional<asio::ip::tcp::acceptor> console_listener_;
  std::uint16_t console_port_ = 7788;
  std::uint16_t console_listening_port_ = 0;
  std::string console_reply_;
  std::uint64_t hello_port_limit_ = 0;
  std::vector<SessionInputs> sessions_;
  int sessions_dropped_ = 0;
  std::string stdout_;
  std::string stderr_;
};

// --- the delays --------------------------------------------------------------------------

struct LadderCase {
  const char* name;
  std::deque<Step> script;
  std::vector<double> waits;  // seconds
  bool auto_rename = false;
};

void PrintTo(const LadderCase& c, std::ostream* out) { *out << c.name; }

class DelayLadder : public SupervisorTest, public ::testing::WithParamInterface<LadderCase> {};

TEST_P(DelayLadder, WaitsAsSpecified) {
  const LadderCase& c = GetParam();
  run(c.script, c.auto_rename);
  EXPECT_EQ(delays_, seconds(c.waits));
  // The first session starts without a wait; every wait is followed by a session.
  EXPECT_EQ(sessions_.size(), delays_.size() + 1);
  EXPECT_TRUE(stdout_.ends_with(EXIT_LINE)) << stdout_;
}

INSTANTIATE_TEST_SUITE_P(
    Supervisor, DelayLadder,
    ::testing::Values(LadderCase{"retries_double_up_to_32_seconds",
                                 repeated(7, outcome(RETRY)),
                                 {2, 4, 8, 16, 32, 32, 32}},
                      LadderCase{"quota_refusals_double_up_to_3840_seconds",
                                 repeated(7, outcome(QUOTA)),
                                 {120, 240, 480, 960, 1920, 3840, 3840}},
                      LadderCase{"a_retry_after_a_quota_wait_waits_as_long",
                                 {outcome(QUOTA), outcome(RETRY), just(Step::Kind::exit_now)},
                                 {120, 120}},
                      LadderCase{
                          "retries_after_a_reload_start_from_150_ms",
                          repeated(1, just(Step::Kind::reload_now), repeated(9, outcome(RETRY))),
                          {0.15, 0.3, 0.6, 1.2, 2.4, 4.8, 9.6, 19.2, 38.4, 38.4}},
                      LadderCase{"a_retry_after_the_name_wait_waits_30_seconds",
                                 {outcome(NAME_TAKEN), outcome(RETRY), outcome(RETRY),
                                  just(Step::Kind::exit_now)},
                                 {30, 30, 30}},
                      LadderCase{"a_retry_after_an_automatic_rename_waits_300_ms",
                                 {outcome(NAME_TAKEN), outcome(RETRY), just(Step::Kind::exit_now)},
                                 {0.15, 0.3},
                                 true},
                      LadderCase{"a_reload_resets_the_quota_backoff",
                                 {outcome(QUOTA), outcome(QUOTA), just(Step::Kind::reload_now),
                                  outcome(QUOTA), just(Step::Kind::exit_now)},
                                 {120, 240, 0.15, 120}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupervisorTest, QuotaAndNameTakenSayWhy) {
  run({outcome(QUOTA), outcome(NAME_TAKEN), just(Step::Kind::exit_now)});
  EXPECT_EQ(stdout_,
            "client: 管理界面 http://127.0.0.1:7788\n" + std::string(QUOTA_LINE) + EXIT_LINE);
  EXPECT_EQ(stderr_,
            "client: 域名 `kite` 属于别的设备。换个 --sub，或加 --auto-rename 让我自动挑一个\n");
  EXPECT_EQ(sessions_.back().sub, "kite");
}

// --- names ------------------------------------------------------------------------------

TEST_F(SupervisorTest, AutoRenameDrawsANewNameEachTimeAndSavesIt) {
  run(repeated(2, outcome(NAME_TAKEN)), /*auto_rename=*/true);
  ASSERT_EQ(sessions_.size(), 3u);
  EXPECT_EQ(delays_, seconds({0.15, 0.15}));
  std::string first = sessions_[1].sub;
  std::string second = sessions_[2].sub;
  EXPECT_NE(first, "kite");
  EXPECT_NE(first, second);
  EXPECT_EQ(load_creds(key_path()).sub, second);
  EXPECT_EQ(load_creds(key_path()).token, "0123456789abcdef0123456789abcdef");
  EXPECT_NE(stdout_.find("client: 名字被占，已改用 https://" + first +
                         ".example.test（记进 key 文件，下次还是它）\n"),
            std::string::npos);
  EXPECT_NE(stdout_.find("client: 名字被占，已改用 https://" + second +
                         ".example.test（记进 key 文件，下次还是它）\n"),
            std::string::npos);
  EXPECT_EQ(shared_->sub.get(), second);
  EXPECT_EQ(stderr_, "");
}

struct ReloadNameCase {
  const char* name;
  std::optional<std::string> key_file;  // nullopt: the file is deleted
  bool adopts;                          // the next session uses a new name
  std::string adopted;                  // that name, when it is known in advance
};

void PrintTo(const ReloadNameCase& c, std::ostream* out) { *out << c.name; }

class ReloadName : public SupervisorTest, public ::testing::WithParamInterface<ReloadNameCase> {};

TEST_P(ReloadName, TakesOnlyADifferentSavedName) {
  const ReloadNameCase& c = GetParam();
  before_start_ = [&] {
    if (c.key_file) {
      test::write_file(key_path(), *c.key_file);
    } else {
      std::filesystem::remove(key_path());
    }
  };
  run({just(Step::Kind::reload_now), just(Step::Kind::exit_now)});
  ASSERT_EQ(sessions_.size(), 2u);
  EXPECT_EQ(delays_, seconds({0.15}));
  const std::string& next = sessions_[1].sub;
  if (!c.adopts) {
    EXPECT_EQ(next, "kite");
    EXPECT_EQ(stdout_.find("域名偏好"), std::string::npos) << stdout_;
    return;
  }
  if (!c.adopted.empty()) {
    EXPECT_EQ(next, c.adopted);
  }
  EXPECT_NE(next, "kite");
  EXPECT_NE(stdout_.find("client: 域名偏好已更新为 " + next + ".example.test\n"), std::string::npos)
      << stdout_;
  // The token of the run stays the one it started with.
  EXPECT_EQ(sessions_[1].token, "0123456789abcdef0123456789abcdef");
}

INSTANTIATE_TEST_SUITE_P(
    Supervisor, ReloadName,
    ::testing::Values(
        ReloadNameCase{"the_current_name", KEY_FILE, false, ""},
        ReloadNameCase{"another_name", "token=0123456789abcdef0123456789abcdef\nsub=otter\n", true,
                       "otter"},
        ReloadNameCase{"an_empty_name_line_loads_as_a_random_name",
                       "token=0123456789abcdef0123456789abcdef\nsub=\n", true, ""},
        ReloadNameCase{"no_name_line", "token=0123456789abcdef0123456789abcdef\n", false, ""},
        ReloadNameCase{"no_key_file_makes_a_new_one_and_keeps_the_name", std::nullopt, false, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SupervisorTest, AReloadThatRecreatesTheKeyFileKeepsTheRunsToken) {
  before_start_ = [&] { std::filesystem::remove(key_path()); };
  run({just(Step::Kind::reload_now), just(Step::Kind::exit_now)});
  ASSERT_EQ(sessions_.size(), 2u);
  EXPECT_EQ(sessions_[1].token, "0123456789abcdef0123456789abcdef");
  auto recreated = load_creds(key_path());
  EXPECT_NE(recreated.token, "0123456789abcdef0123456789abcdef");
}

// --- reloads ----------------------------------------------------------------------------

// A pass that finds a reload queued may end before its session starts (the first
// event polled is chosen at random), so the passes are counted by their waits.
TEST_F(SupervisorTest, ReloadsQueuedDuringAWaitEndTheNextPassesOneByOne) {
  at_delay_[1] = [this] {
    reload_tx_->try_send(Signal{});
    reload_tx_->try_send(Signal{});
  };
  at_delay_[3] = [this] { exit_tx_->try_send(Signal{}); };
  run({outcome(RETRY), just(Step::Kind::block)});
  EXPECT_EQ(delays_, seconds({2, 0.15, 0.15}));
  EXPECT_TRUE(stdout_.ends_with(TRAY_EXIT_LINE)) << stdout_;
}

// Whichever of the two wins the wait, the reload is acted on: at once, or at the
// start of the next pass.
TEST_F(SupervisorTest, AReloadArrivingAsTheSessionEndsIsNotLost) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    run({{Step::Kind::reload_and_end, RETRY}, just(Step::Kind::exit_now)});
    ASSERT_FALSE(delays_.empty());
    EXPECT_EQ(delays_.back(), seconds({0.15}).front()) << "attempt " << attempt;
    EXPECT_TRUE(delays_.size() == 1 || delays_ == seconds({2, 0.15})) << "attempt " << attempt;
  }
}

TEST_F(SupervisorTest, AClosedReloadChannelIsNotAStreamOfReloads) {
  drop_reload_senders_ = true;
  run(repeated(2, outcome(RETRY)));
  EXPECT_EQ(delays_, seconds({2, 4}));
}

// Of events that are ready when a wait begins, the first from a random start wins:
// here a reload and an exit are both queued before the first pass.
TEST_F(SupervisorTest, ReadyEventsArePolledFromARandomStart) {
  std::set<std::string> seen;
  for (int attempt = 0; attempt < 64 && seen.size() < 2; ++attempt) {
    before_start_ = [this] {
      reload_tx_->try_send(Signal{});
      exit_tx_->try_send(Signal{});
    };
    run({just(Step::Kind::block)});
    EXPECT_TRUE(sessions_.empty()) << "no session starts while an event is ready";
    if (delays_.empty()) {
      EXPECT_TRUE(stdout_.ends_with(EXIT_LINE)) << stdout_;
      seen.insert("exit first");
    } else {
      EXPECT_EQ(delays_, seconds({0.15}));
      EXPECT_TRUE(stdout_.ends_with(TRAY_EXIT_LINE)) << stdout_;
      seen.insert("reload first");
    }
  }
  EXPECT_EQ(seen.size(), 2u);
}

// --- ending -----------------------------------------------------------------------------

enum class AtFirstWait { nothing, exit, ctrl_c, watcher_gone };

struct EndCase {
  const char* name;
  std::deque<Step> script;
  AtFirstWait at_first_wait;
  const char* line;
  std::size_t sessions;
};

void PrintTo(const EndCase& c, std::ostream* out) { *out << c.name; }

class Ending : public SupervisorTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(Ending, PrintsItsLineDropsTheSessionAndLeavesTheKeyFile) {
  const EndCase& c = GetParam();
  at_delay_[1] = [this, &c] {
    switch (c.at_first_wait) {
      case AtFirstWait::nothing:
        break;
      case AtFirstWait::exit:
        exit_tx_->try_send(Signal{});
        break;
      case AtFirstWait::ctrl_c:
        ctrl_c_tx_->try_send(Signal{});
        break;
      case AtFirstWait::watcher_gone:
        ctrl_c_tx_.reset();
        break;
    }
  };
  run(c.script);
  EXPECT_TRUE(stdout_.ends_with(c.line)) << stdout_;
  EXPECT_EQ(count_of(stdout_, "client: "), 2u) << "the console line and the exit line";
  EXPECT_EQ(sessions_.size(), c.sessions);
  EXPECT_EQ(sessions_ended(), static_cast<int>(c.sessions)) << "no session is left running";
  EXPECT_EQ(test::read_file(key_path()), KEY_FILE);
}

const std::deque<Step> ENDS_THEN_BLOCKS{outcome(RETRY), just(Step::Kind::block)};

INSTANTIATE_TEST_SUITE_P(Supervisor, Ending,
                         ::testing::Values(EndCase{"exit_during_a_session",
                                                   {just(Step::Kind::exit_now)},
                                                   AtFirstWait::nothing,
                                                   EXIT_LINE,
                                                   1},
                                           EndCase{"exit_during_a_wait", ENDS_THEN_BLOCKS,
                                                   AtFirstWait::exit, TRAY_EXIT_LINE, 1},
                                           EndCase{"ctrl_c_during_a_session",
                                                   {just(Step::Kind::ctrl_c_now)},
                                                   AtFirstWait::nothing,
                                                   EXIT_LINE,
                                                   1},
                                           EndCase{"ctrl_c_during_a_wait", ENDS_THEN_BLOCKS,
                                                   AtFirstWait::ctrl_c, EXIT_LINE, 1},
                                           EndCase{"watcher_gone_during_a_session",
                                                   {just(Step::Kind::close_ctrl_c_now)},
                                                   AtFirstWait::nothing,
                                                   EXIT_LINE,
                                                   1},
                                           EndCase{"watcher_gone_during_a_wait", ENDS_THEN_BLOCKS,
                                                   AtFirstWait::watcher_gone, EXIT_LINE, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- each pass --------------------------------------------------------------------------

TEST_F(SupervisorTest, EachSessionGetsTheCurrentNameAndClearsConnected) {
  before_start_ = [this] { store(shared_->connected, 1); };
  run(repeated(1, outcome(RETRY)));
  EXPECT_EQ(shared_->sub.get(), "kite");
  EXPECT_EQ(load(shared_->connected), 0u);
  ASSERT_EQ(sessions_.size(), 2u);
  EXPECT_EQ(sessions_[0].token, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(sessions_[0].gateway, "127.0.0.1:1");
  EXPECT_EQ(sessions_[0].domain, "example.test");
}

class HelloPortLimitTest : public SupervisorTest,
                           public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(HelloPortLimitTest, TheHelloCarriesAtMostTheLimit) {
  auto [limit, expected] = GetParam();
  hello_port_limit_ = static_cast<std::uint64_t>(limit);
  run({just(Step::Kind::exit_now)}, false, {1, 2, 3, 4, 5});
  ASSERT_EQ(sessions_.size(), 1u);
  std::vector<std::uint16_t> all{1, 2, 3, 4, 5};
  EXPECT_EQ(sessions_[0].ports, std::vector<std::uint16_t>(all.begin(), all.begin() + expected));
}

INSTANTIATE_TEST_SUITE_P(Limits, HelloPortLimitTest,
                         ::testing::Values(std::pair{2, 2}, std::pair{7, 5}, std::pair{0, 5},
                                           std::pair{5, 5}));

// --ui 0: the system picks the console's port; the console knows it, while the
// printed line says 0.
TEST_F(SupervisorTest, ConsoleOnAPortTheSystemPicks) {
  console_listener_.emplace(io_);
  asio::ip::tcp::endpoint any_port(asio::ip::address_v4::loopback(), 0);
  console_listener_->open(any_port.protocol());
  console_listener_->bind(any_port);
  console_listener_->listen();
  console_listening_port_ = console_listener_->local_endpoint().port();
  console_port_ = 0;
  start_console_ = true;
  run({just(Step::Kind::fetch_console)});
  EXPECT_TRUE(stdout_.starts_with("client: 管理界面 http://127.0.0.1:0\n")) << stdout_;
  EXPECT_TRUE(console_reply_.starts_with("HTTP/1.1 200")) << console_reply_;
  EXPECT_NE(console_reply_.find("\"device_id\""), std::string::npos) << console_reply_;
}

}  // namespace
}  // namespace quillmar
