#include "supervisor.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <csignal>
#include <random>

#include "connect.hpp"
#include "console_server.hpp"
#include "device_identity.hpp"
#include "gui.hpp"
#include "output.hpp"
#include "session.hpp"

namespace quillmar {
namespace {

using namespace asio::experimental::awaitable_operators;
using std::chrono::nanoseconds;

constexpr std::string_view EXIT_LINE =
    "client: 收到退出信号，收尾并退出（配置和 key 文件都不动）\n";
constexpr std::string_view TRAY_EXIT_LINE = "client: 从 Quillmar 托盘退出\n";

using CtrlCReceiver = Receiver<Signal>;

// Passes the first Ctrl-C (and on Linux SIGTERM, how services are stopped) on; ends
// without a message when the receiver is gone. Ending releases the only sender.
asio::awaitable<void> watch_ctrl_c(Sender<Signal> ctrl_c_tx) {
  asio::signal_set signals(co_await asio::this_coro::executor);
  std::error_code ec;
  signals.add(SIGINT, ec);
#ifndef _WIN32
  if (!ec) signals.add(SIGTERM, ec);
#endif
  if (ec) {
    print_err("client: Ctrl-C 监听不可用（" + IoError::from(ec).display() + "）\n");
    co_return;
  }
  co_await signals.async_wait(asio::use_awaitable);
  co_await ctrl_c_tx.send(Signal{});
}

asio::awaitable<void> forever() {
  asio::steady_timer never(co_await asio::this_coro::executor,
                           asio::steady_timer::time_point::max());
  co_await never.async_wait(asio::use_awaitable);
}

// Waits until an item arrives; a queue that has closed never completes this wait.
template <class T>
asio::awaitable<bool> next_or_forever(Receiver<T>& rx) {
  auto item = co_await rx.receive();
  if (item) co_return true;
  co_await forever();
  co_return false;
}

// Waits until an item arrives or the queue closes (Ctrl-C: both mean stop).
template <class T>
asio::awaitable<bool> next_or_closed(Receiver<T>& rx) {
  co_await rx.receive();
  co_return true;
}

enum class Event { session_end, reload, ctrl_c, exit, delay_over };

struct SessionWait {
  Event event;
  SessionOutcome outcome = SessionOutcome::OUTCOME_RETRY;
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

  // Of several events that are ready before the session has done anything, the first
  // from a random start wins; then whichever comes first.
  std::optional<Event> ready_event() {
    const int start = random_start(4);
    for (int i = 0; i < 4; ++i) {
      switch ((start + i) % 4) {
        case 1:
          if (!reload_closed_) {
            bool closed = false;
            if (c_.reload_rx.try_receive(&closed)) return Event::reload;
            reload_closed_ = closed;
          }
          break;
        case 2: {
          bool closed = false;
          if (ctrl_c_rx_.try_receive(&closed) || closed) return Event::ctrl_c;
          break;
        }
        case 3:
          if (c_.exit_rx.try_receive()) return Event::exit;
          break;
        default:
          break;  // the session has not started: it is never ready at this point
      }
    }
    return std::nullopt;
  }

  asio::awaitable<SessionWait> wait_for_session(SessionInputs inputs) {
    if (auto event = ready_event()) co_return SessionWait{*event};
    auto result = co_await (session(std::move(inputs)) || reload_wait() ||
                            next_or_closed(ctrl_c_rx_) || next_or_forever(c_.exit_rx));
    switch (result.index()) {
      case 0:
        co_return SessionWait{Event::session_end, std::get<0>(result)};
      case 1:
        co_return SessionWait{Event::reload};
      case 2:
        co_return SessionWait{Event::ctrl_c};
      default:
        co_return SessionWait{Event::exit};
    }
  }

  // A reload channel whose senders are all gone is not a stream of reloads.
  asio::awaitable<bool> reload_wait() {
    if (!reload_closed_) {
      // co_await stays out of compound conditions: GCC 12 miscompiles them.
      auto reload = co_await c_.reload_rx.receive();
      if (reload) co_return true;
      reload_closed_ = true;
    }
    co_await forever();
    co_return false;
  }

  asio::awaitable<Event> wait_delay(nanoseconds delay) {
    const int start = random_start(3);
    for (int i = 0; i < 3; ++i) {
      int which = (start + i) % 3;
      bool closed = false;
      if (which == 1 && (ctrl_c_rx_.try_receive(&closed) || closed)) co_return Event::ctrl_c;
      if (which == 2 && c_.exit_rx.try_receive()) co_return Event::exit;
    }
    auto result =
        co_await (sleep_for(delay) || next_or_closed(ctrl_c_rx_) || next_or_forever(c_.exit_rx));
    switch (result.index()) {
      case 0:
        co_return Event::delay_over;
      case 1:
        co_return Event::ctrl_c;
      default:
        co_return Event::exit;
    }
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
    Creds creds = load_creds(c_.shared->key_path);
    creds.sub = c_.current_sub;
    save_creds(creds);
    print_out("client: 名字被占，已改用 https://" + c_.current_sub + "." + c_.domain +
              "（记进 key 文件，下次还是它）\n");
  }

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
  if (environment.watch_ctrl_c)
    asio::co_spawn(environment.pool, watch_ctrl_c(std::move(ctrl_c_tx)), asio::detached);
  // Without a watcher the supervisor keeps the sender, so the channel stays open.
  std::optional<Sender<Signal>> kept_ctrl_c_tx;
  if (!environment.watch_ctrl_c) kept_ctrl_c_tx.emplace(std::move(ctrl_c_tx));

  Supervisor supervisor(std::move(context), std::move(environment), std::move(ctrl_c_rx));
  co_await supervisor.run();
}

}  // namespace quillmar
