// The supervisor's loop with a scripted session in place of the gateway and every
// delay scaled down 100,000 times (1 s becomes 10 µs).
#include "supervisor.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <deque>
#include <map>

#include "async_test.hpp"
#include "connect.hpp"
#include "key_file.hpp"

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

// What the scripted session does on one call.
struct Step {
  enum class Kind { outcome, block, exit_now, reload_now } kind;
  SessionOutcome outcome = SessionOutcome::OUTCOME_RETRY;
};

class SupervisorTest : public ::testing::Test {
 protected:
  SupervisorTest() {
    test::write_file(key_path(), "token=0123456789abcdef0123456789abcdef\nsub=kite\n");
  }

  std::filesystem::path key_path() const { return dir_.path() / "id.ini"; }

  // Runs the supervisor until it returns; the script's last step repeats.
  void run(std::deque<Step> script, bool auto_rename = false,
           std::vector<std::uint16_t> ports = {80}) {
    auto shared = std::make_shared<SharedState>();
    shared->key_path = key_path();
    shared->ports.set(ports);
    store(shared->hello_port_limit, hello_port_limit_);
    shared_ = shared;
    auto [reload_tx, reload_rx] = make_queue<Signal>(0);
    auto [control_tx, control_rx] = make_queue<SessionControl>(0);
    auto [exit_tx, exit_rx] = make_queue<Signal>(0);
    if (!drop_reload_senders_) reload_tx_.emplace(reload_tx);
    exit_tx_.emplace(exit_tx);

    SupervisorContext context{"example.test",
                              "127.0.0.1:1",
                              "kite",
                              load_creds(key_path()),
                              {},
                              std::nullopt,
                              shared,
                              std::move(reload_tx),
                              std::move(control_tx),
                              std::move(exit_tx),
                              std::move(control_rx),
                              std::move(reload_rx),
                              std::move(exit_rx),
                              7788,
                              auto_rename};
    SupervisorEnvironment environment;
    environment.pool = io_.get_executor();
    environment.timings = scaled_timings();
    environment.start_console = false;
    environment.start_gui = false;
    environment.watch_ctrl_c = false;
    environment.on_delay = [this](nanoseconds d) {
      delays_.push_back(d);
      if (auto hook = at_delay_.find(delays_.size()); hook != at_delay_.end()) hook->second();
    };
    environment.session = [this, script = std::move(script)](
                              SessionInputs inputs, SharedStatePtr, const PunchOptions&,
                              ControlReceiver&) mutable -> asio::awaitable<SessionOutcome> {
      sessions_.push_back(inputs);
      Step step = script.front();
      if (script.size() > 1) script.pop_front();
      switch (step.kind) {
        case Step::Kind::outcome:
          co_return step.outcome;
        case Step::Kind::exit_now:
          exit_tx_->try_send(Signal{});
          break;
        case Step::Kind::reload_now:
          reload_tx_->try_send(Signal{});
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

  static std::deque<Step> outcomes(int count, SessionOutcome outcome) {
    std::deque<Step> script(static_cast<std::size_t>(count), Step{Step::Kind::outcome, outcome});
    script.push_back(Step{Step::Kind::exit_now});
    return script;
  }

  static std::vector<nanoseconds> seconds(std::initializer_list<double> values) {
    std::vector<nanoseconds> out;
    for (double v : values) out.push_back(nanoseconds(static_cast<long long>(v * 1e9)) / SCALE);
    return out;
  }

  asio::io_context io_;
  test::TempDir dir_;
  SharedStatePtr shared_;
  std::optional<ReloadSender> reload_tx_;
  std::optional<ExitSender> exit_tx_;
  std::vector<nanoseconds> delays_;
  std::map<std::size_t, std::function<void()>> at_delay_;  // by the number of the wait, from 1
  bool drop_reload_senders_ = false;
  std::uint64_t hello_port_limit_ = 0;
  std::vector<SessionInputs> sessions_;
  std::string stdout_;
  std::string stderr_;
};

constexpr auto EXIT_LINE = "client: 收到退出信号，收尾并退出（配置和 key 文件都不动）\n";

TEST_F(SupervisorTest, OrdinaryRetriesDoubleUpToThirtyTwoSeconds) {
  run(outcomes(7, SessionOutcome::OUTCOME_RETRY));
  EXPECT_EQ(delays_, seconds({2, 4, 8, 16, 32, 32, 32}));
  EXPECT_EQ(sessions_.size(), 8u);
  EXPECT_NE(stdout_.find(EXIT_LINE), std::string::npos);
}

TEST_F(SupervisorTest, QuotaRefusalsDoubleUpToAboutAnHourAndARetryThenWaitsAsLong) {
  auto script = outcomes(7, SessionOutcome::OUTCOME_QUOTA);
  script.insert(script.end() - 1, Step{Step::Kind::outcome, SessionOutcome::OUTCOME_RETRY});
  run(script);
  EXPECT_EQ(delays_, seconds({120, 240, 480, 960, 1920, 3840, 3840, 3840}));
  EXPECT_NE(
      stdout_.find("client: 今日流量额度已用完 —— 北京时间 00:00 自动恢复（无需重装/改配置）\n"),
      std::string::npos);
}

TEST_F(SupervisorTest, NameTakenWaitsThirtySecondsWithoutAutoRename) {
  run(outcomes(1, SessionOutcome::OUTCOME_NAME_TAKEN));
  EXPECT_EQ(delays_, seconds({30}));
  EXPECT_NE(
      stderr_.find(
          "client: 域名 `kite` 属于别的设备。换个 --sub，或加 --auto-rename 让我自动挑一个\n"),
      std::string::npos);
  EXPECT_EQ(sessions_.back().sub, "kite");
}

TEST_F(SupervisorTest, AutoRenameDrawsANewNameEachTimeAndSavesIt) {
  run(outcomes(2, SessionOutcome::OUTCOME_NAME_TAKEN), /*auto_rename=*/true);
  ASSERT_EQ(sessions_.size(), 3u);
  EXPECT_EQ(delays_, seconds({0.15, 0.15}));
  std::string first = sessions_[1].sub;
  std::string second = sessions_[2].sub;
  EXPECT_NE(first, "kite");
  EXPECT_NE(first, second);
  EXPECT_EQ(load_creds(key_path()).sub, second);
  EXPECT_NE(stdout_.find("client: 名字被占，已改用 https://" + second +
                         ".example.test（记进 key 文件，下次还是它）\n"),
            std::string::npos);
  EXPECT_EQ(shared_->sub.get(), second);
}

TEST_F(SupervisorTest, AReloadAdoptsTheKeyFilesNameAndResetsTheQuotaBackoff) {
  std::deque<Step> script{{Step::Kind::outcome, SessionOutcome::OUTCOME_QUOTA},
                          {Step::Kind::reload_now},
                          {Step::Kind::outcome, SessionOutcome::OUTCOME_QUOTA},
                          {Step::Kind::exit_now}};
  test::write_file(key_path(), "token=0123456789abcdef0123456789abcdef\nsub=otter\n");
  run(script);
  // quota 120 s; the reload 150 ms; the quota ladder starts again at 120 s.
  EXPECT_EQ(delays_, seconds({120, 0.15, 120}));
  EXPECT_EQ(sessions_[2].sub, "otter");
  EXPECT_NE(stdout_.find("client: 域名偏好已更新为 otter.example.test\n"), std::string::npos);
}

TEST_F(SupervisorTest, AReloadWithTheCurrentNamePrintsNothing) {
  run({{Step::Kind::reload_now}, {Step::Kind::exit_now}});
  EXPECT_EQ(delays_, seconds({0.15}));
  EXPECT_EQ(stdout_.find("域名偏好"), std::string::npos);
}

// A pass that finds a reload queued may end before its session starts (the first
// event polled is chosen at random), so the passes are counted by their waits.
TEST_F(SupervisorTest, ReloadsQueuedDuringAWaitEndTheNextPassesOneByOne) {
  at_delay_[1] = [this] {
    reload_tx_->try_send(Signal{});
    reload_tx_->try_send(Signal{});
  };
  at_delay_[3] = [this] { exit_tx_->try_send(Signal{}); };
  run({{Step::Kind::outcome, SessionOutcome::OUTCOME_RETRY}, {Step::Kind::block}});
  EXPECT_EQ(delays_, seconds({2, 0.15, 0.15}));
  EXPECT_NE(stdout_.find("client: 从 Quillmar 托盘退出\n"), std::string::npos);
}

TEST_F(SupervisorTest, AClosedReloadChannelIsNotAStreamOfReloads) {
  drop_reload_senders_ = true;
  run(outcomes(2, SessionOutcome::OUTCOME_RETRY));
  EXPECT_EQ(delays_, seconds({2, 4}));
}

TEST_F(SupervisorTest, ExitDuringASessionPrintsTheSignalLine) {
  run({{Step::Kind::exit_now}});
  EXPECT_NE(stdout_.find(EXIT_LINE), std::string::npos);
  EXPECT_EQ(stdout_.find("托盘退出"), std::string::npos);
  EXPECT_TRUE(delays_.empty());
}

TEST_F(SupervisorTest, ExitDuringAWaitPrintsTheTrayLine) {
  at_delay_[1] = [this] { exit_tx_->try_send(Signal{}); };
  run({{Step::Kind::outcome, SessionOutcome::OUTCOME_NAME_TAKEN}, {Step::Kind::block}});
  EXPECT_NE(stdout_.find("client: 从 Quillmar 托盘退出\n"), std::string::npos);
  EXPECT_EQ(stdout_.find(EXIT_LINE), std::string::npos);
  EXPECT_EQ(sessions_.size(), 1u);
}

TEST_F(SupervisorTest, EachSessionGetsTheCurrentNameAndClearsConnected) {
  run(outcomes(1, SessionOutcome::OUTCOME_RETRY));
  EXPECT_EQ(shared_->sub.get(), "kite");
  EXPECT_EQ(load(shared_->connected), 0u);
  EXPECT_EQ(sessions_[0].token, "0123456789abcdef0123456789abcdef");
}

class HelloPortLimitTest : public SupervisorTest,
                           public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(HelloPortLimitTest, TheHelloCarriesAtMostTheLimit) {
  auto [limit, expected] = GetParam();
  hello_port_limit_ = static_cast<std::uint64_t>(limit);
  run({{Step::Kind::exit_now}}, false, {1, 2, 3, 4, 5});
  ASSERT_EQ(sessions_.size(), 1u);
  EXPECT_EQ(sessions_[0].ports.size(), static_cast<std::size_t>(expected));
}

INSTANTIATE_TEST_SUITE_P(Limits, HelloPortLimitTest,
                         ::testing::Values(std::pair{2, 2}, std::pair{7, 5}, std::pair{0, 5},
                                           std::pair{5, 5}));

}  // namespace
}  // namespace quillmar
