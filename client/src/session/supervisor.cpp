#include "session/supervisor.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <csignal>
#include <exception>
#include <memory>
#include <random>

#include "app/output.hpp"
#include "console/server.hpp"
#include "desktop/gui.hpp"
#include "proto/connect.hpp"
#include "proto/device_identity.hpp"
#include "session/session.hpp"

namespace quillmar {
namespace {

using namespace asio::experimental::awaitable_operators;
using std::chrono::nanoseconds;

constexpr std::string_view EXIT_LINE =
    "client: 收到退出信号，收尾并退出（配置和 key 文件都不动）\n";
constexpr std::string_view TRAY_EXIT_LINE = "client: 从 Quillmar 托盘退出\n";

using CtrlCReceiver = Receiver<Signal>;

// The process's interrupt signals: Ctrl-C, and on Linux SIGTERM as well, which is how
// services and scripts stop a program. Set up before the watcher is spawned, so that a
// signal can never fall between the supervisor's start and the watcher's first run.
struct InterruptSignals {
  std::unique_ptr<asio::signal_set> signals;
  std::error_code error;
};

InterruptSignals listen_for_interrupts(const asio::any_io_executor& executor) {
  InterruptSignals result{std::make_unique<asio::signal_set>(executor), {}};
  result.signals->add(SIGINT, result.error);
#ifndef _WIN32
  if (!result.error) result.signals->add(SIGTERM, result.error);
#endif
  return result;
}

// Passes the first interrupt on and releases the channel's only sender; when the
// signals cannot be watched, says so and releases it at once, which the supervisor
// takes as Ctrl-C. Owned by the worker pool; it ends with the runtime.
asio::awaitable<void> watch_ctrl_c(Sender<Signal> ctrl_c_tx, InterruptSignals interrupts) {
  if (interrupts.error) {
    print_err("client: Ctrl-C 监听不可用（" + IoError::from(interrupts.error).display() + "）\n");
    co_return;
  }
  co_await interrupts.signals->async_wait(asio::use_awaitable);
  {
    Sender<Signal> sender = std::move(ctrl_c_tx);
    co_await sender.send(Signal{});  // false only when the supervisor has already ended
  }
  // Only the first interrupt is passed on. The handler stays installed, so a second
  // Ctrl-C while the program winds down is swallowed instead of killing it.
  for (;;) co_await interrupts.signals->async_wait(asio::use_awaitable);
}

asio::awaitable<void> forever() {
  asio::steady_timer never(co_await asio::this_coro::executor,
                           asio::steady_timer::time_point::max());
  co_await never.async_wait(asio::use_awaitable);
}

// The events of the supervisor's two waits, in the order they are polled.
enum class Event { session_end, delay_over, reload, ctrl_c, exit };

struct SessionWait {
  Event event;
  SessionOutcome outcome = SessionOutcome::OUTCOME_RETRY;
};

// How a session ended: its outcome, or the exception it threw.
struct SessionEnd {
  SessionOutcome outcome = SessionOutcome::OUTCOME_RETRY;
  std::exception_ptr failure;
};

int random_start(int choices) {
  thread_local std::minstd_rand generator{std::random_device{}()};
  return std::uniform_int_distribution<int>(0, choices - 1)(generator);
}

class Supervisor {
 public:
  Supervisor(SupervisorContext context, SupervisorEnvironment environment, CtrlCReceiver ctrl_c_rx)
      : c_(std::move(context)), env_(std::move(environment)), ctrl_c_rx_(std::move(ctrl_c_rx)) {
    backoff_ = env_.timings.initial_backoff;
    quota_backoff_ = env_.timings.initial_quota_backoff;
  }

  asio::awaitable<void> run() {
    for (;;) {
      SessionInputs inputs = prepare_session();
      SessionWait waited = co_await wait_for_session(std::move(inputs));
      if (waited.event == Event::ctrl_c || waited.event == Event::exit) {
        print_out(EXIT_LINE);
        co_return;
      }
      nanoseconds delay = delay_after(waited);
      backoff_ = delay;
      if (env_.on_delay) env_.on_delay(delay);
      Event after = co_await wait_delay(delay);
      if (after == Event::ctrl_c) {
        print_out(EXIT_LINE);
        co_return;
      }
      if (after == Event::exit) {
        print_out(TRAY_EXIT_LINE);
        co_return;
      }
    }
  }

 private:
  SessionInputs prepare_session() {
    SharedState& shared = *c_.shared;
    shared.sub.set(c_.current_sub);
    store(shared.connected, 0);
    auto ports = shared.ports.get();
    std::uint64_t limit = load(shared.hello_port_limit);
    if (limit != 0 && limit <= ports.size()) ports.resize(limit);
    return SessionInputs{c_.gateway,     c_.domain,        c_.current_sub,
                         c_.creds.token, std::move(ports), shared.invite.get()};
  }

  asio::awaitable<SessionOutcome> session(SessionInputs inputs) {
    if (env_.session)
      co_return co_await env_.session(std::move(inputs), c_.shared, c_.punch, c_.control_rx);
    co_return co_await run_session(std::move(inputs), c_.shared, c_.punch, c_.control_rx,
                                   SessionEnvironment{env_.pool, env_.session_timings});
  }

  // `||` waits for the first branch that succeeds, so a session that throws would leave
  // the wait on the channels; its failure travels as a value instead, and ends the
  // supervisor once it has won.
  asio::awaitable<SessionEnd> session_ends(SessionInputs inputs) {
    try {
      SessionOutcome outcome = co_await session(std::move(inputs));
      co_return SessionEnd{outcome, nullptr};
    } catch (...) {
      co_return SessionEnd{SessionOutcome::OUTCOME_RETRY, std::current_exception()};
    }
  }

  // Step 6: the session against a reload, Ctrl-C and an exit. The session is not
  // ready before it has run, so only the channels can win at once; of those, the
  // first from a random start does. The branches that lose are cancelled, which
  // drops an unfinished session.
  asio::awaitable<SessionWait> wait_for_session(SessionInputs inputs) {
    static constexpr Event ORDER[] = {Event::session_end, Event::reload, Event::ctrl_c,
                                      Event::exit};
    if (auto event = first_ready(ORDER)) co_return SessionWait{*event};
    auto result = co_await (session_ends(std::move(inputs)) || reload_arrives() ||
                            ctrl_c_arrives() || exit_arrives());
    switch (result.index()) {
      case 0: {
        const SessionEnd& ended = std::get<0>(result);
        if (ended.failure) std::rethrow_exception(ended.failure);
        co_return SessionWait{Event::session_end, ended.outcome};
      }
      case 1:
        --reloads_arrived_;
        co_return SessionWait{Event::reload};
      case 2:
        co_return SessionWait{Event::ctrl_c};
      default:
        --exits_arrived_;
        co_return SessionWait{Event::exit};
    }
  }

  // Step 8: the delay against Ctrl-C and an exit; reloads stay queued meanwhile.
  asio::awaitable<Event> wait_delay(nanoseconds delay) {
    static constexpr Event ORDER[] = {Event::delay_over, Event::ctrl_c, Event::exit};
    if (auto event = first_ready(ORDER, delay)) co_return *event;
    auto result = co_await (sleep_for(delay) || ctrl_c_arrives() || exit_arrives());
    switch (result.index()) {
      case 0:
        co_return Event::delay_over;
      case 1:
        co_return Event::ctrl_c;
      default:
        --exits_arrived_;
        co_return Event::exit;
    }
  }

  // The first event that is ready without waiting, polled from a random start and
  // taken when found.
  template <std::size_t N>
  std::optional<Event> first_ready(const Event (&order)[N], nanoseconds delay = {}) {
    const int start = random_start(static_cast<int>(N));
    for (std::size_t i = 0; i < N; ++i) {
      Event event = order[(static_cast<std::size_t>(start) + i) % N];
      if (take_ready(event, delay)) return event;
    }
    return std::nullopt;
  }

  bool take_ready(Event event, nanoseconds delay) {
    bool closed = false;
    switch (event) {
      case Event::session_end:
        return false;
      case Event::delay_over:
        return delay <= nanoseconds::zero();
      case Event::reload:
        if (reloads_arrived_ == 0 && !reload_closed_) {
          if (c_.reload_rx.try_receive(&closed)) ++reloads_arrived_;
          reload_closed_ = closed;
        }
        if (reloads_arrived_ == 0) return false;
        --reloads_arrived_;
        return true;
      case Event::ctrl_c:
        if (!ctrl_c_arrived_ && (ctrl_c_rx_.try_receive(&closed) || closed)) ctrl_c_arrived_ = true;
        return ctrl_c_arrived_;
      case Event::exit:
        if (exits_arrived_ == 0 && c_.exit_rx.try_receive()) ++exits_arrived_;
        if (exits_arrived_ == 0) return false;
        --exits_arrived_;
        return true;
    }
    return false;
  }

  // The waiting branches. Each one records what it took off its channel before it
  // completes, so a message that arrives just as another branch wins is kept for the
  // next wait rather than lost with the cancelled branch.

  // A reload channel whose senders are all gone is not a stream of reloads.
  asio::awaitable<bool> reload_arrives() {
    while (reloads_arrived_ == 0 && !reload_closed_) {
      auto reload = co_await c_.reload_rx.receive();
      if (reload) {
        ++reloads_arrived_;
      } else {
        reload_closed_ = true;
      }
    }
    if (reloads_arrived_ == 0) co_await forever();
    co_return true;
  }

  // A message or the channel's end: the watcher is gone either way.
  asio::awaitable<bool> ctrl_c_arrives() {
    if (!ctrl_c_arrived_) co_await ctrl_c_rx_.receive();
    ctrl_c_arrived_ = true;
    co_return true;
  }

  // The supervisor keeps a sender of its own, so this channel never ends while it runs.
  asio::awaitable<bool> exit_arrives() {
    while (exits_arrived_ == 0) {
      auto exit = co_await c_.exit_rx.receive();
      if (!exit) co_await forever();
      ++exits_arrived_;
    }
    co_return true;
  }

  nanoseconds delay_after(const SessionWait& waited) {
    const auto& t = env_.timings;
    if (waited.event == Event::reload) {
      adopt_reloaded_name();
      quota_backoff_ = t.initial_quota_backoff;
      return t.short_retry_delay;
    }
    switch (waited.outcome) {
      case SessionOutcome::OUTCOME_RETRY:
        return doubled_below(backoff_, t.backoff_doubling_limit);
      case SessionOutcome::OUTCOME_NAME_TAKEN:
        if (!c_.auto_rename) {
          print_err("client: 域名 `" + c_.current_sub +
                    "` 属于别的设备。换个 --sub，或加 --auto-rename 让我自动挑一个\n");
          return t.name_taken_delay;
        }
        rename_automatically();
        return t.short_retry_delay;
      case SessionOutcome::OUTCOME_QUOTA:
        print_out("client: 今日流量额度已用完 —— 北京时间 00:00 自动恢复（无需重装/改配置）\n");
        quota_backoff_ = doubled_below(quota_backoff_, t.quota_doubling_limit);
        return quota_backoff_;
    }
    return backoff_;
  }

  void rename_automatically() {
    c_.current_sub = random_name();
    // A failed save is not reported: the name holds for this run.
    update_creds(c_.shared->key_path, [this](Creds& creds) {
      creds.sub = c_.current_sub;
      return true;
    });
    print_out("client: 名字被占，已改用 https://" + c_.current_sub + "." + c_.domain +
              "（记进 key 文件，下次还是它）\n");
  }

  // Only the device name is taken from the reloaded file; the token stays the one
  // this run started with.
  void adopt_reloaded_name() {
    Creds creds = load_creds(c_.shared->key_path);
    if (!creds.sub || creds.sub->empty() || *creds.sub == c_.current_sub) return;
    print_out("client: 域名偏好已更新为 " + *creds.sub + "." + c_.domain + "\n");
    c_.current_sub = *creds.sub;
  }

  SupervisorContext c_;
  SupervisorEnvironment env_;
  CtrlCReceiver ctrl_c_rx_;
  nanoseconds backoff_{};
  nanoseconds quota_backoff_{};
  // Messages taken off the channels and not yet acted on.
  std::size_t reloads_arrived_ = 0;
  std::size_t exits_arrived_ = 0;
  bool ctrl_c_arrived_ = false;  // sticky: it ends the loop
  bool reload_closed_ = false;
};

}  // namespace

nanoseconds doubled_below(nanoseconds value, nanoseconds limit) {
  return value < limit ? value * 2 : value;
}

asio::awaitable<void> supervise(SupervisorContext context, SupervisorEnvironment environment) {
  std::uint16_t listening_port = 0;
  if (context.console_listener) {
    std::error_code ec;
    auto endpoint = context.console_listener->local_endpoint(ec);
    if (!ec) listening_port = endpoint.port();
  }
  // The console gets a reload sender and the GUI thread the supervisor's own, so the
  // reload channel closes once both are gone.
  ReloadSender own_reload_tx = std::move(context.reload_tx);
  if (environment.start_console && context.console_listener) {
    asio::co_spawn(
        environment.pool,
        serve_console(std::move(*context.console_listener), context.domain, context.gateway,
                      context.shared, own_reload_tx, context.control_tx, listening_port),
        asio::detached);
  }
  print_out("client: 管理界面 http://127.0.0.1:" + std::to_string(context.console_port) + "\n");
  if (environment.start_gui) {
    start_gui_thread(GuiContext{context.domain, context.shared, std::move(own_reload_tx),
                                context.exit_tx, context.console_port});
  } else {
    ReloadSender released = std::move(own_reload_tx);
  }

  auto [ctrl_c_tx, ctrl_c_rx] = make_queue<Signal>(4);
  if (environment.ctrl_c_source) {
    environment.ctrl_c_source(std::move(ctrl_c_tx));
  } else {
    asio::co_spawn(environment.pool,
                   watch_ctrl_c(std::move(ctrl_c_tx), listen_for_interrupts(environment.pool)),
                   asio::detached);
  }

  Supervisor supervisor(std::move(context), std::move(environment), std::move(ctrl_c_rx));
  co_await supervisor.run();
}

}  // namespace quillmar
