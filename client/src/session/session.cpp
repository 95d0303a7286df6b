#include "session/session.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <random>

#include "app/output.hpp"
#include "proto/access.hpp"
#include "proto/connect.hpp"
#include "proto/local_wait.hpp"
#include "proto/text.hpp"
#include "session/gateway_connection.hpp"
#include "session/stream_table.hpp"
#include "session/stream_task.hpp"

namespace quillmar {
namespace {

using FrameRead = Result<std::optional<Frame>>;

// Sends a heartbeat every interval after the previous one went out. Spawned detached
// once per accepted session and owned by nobody: the session's end does not stop it,
// only its first failed write does. Until then it holds the writer, and with it the
// connection's write half, so the connection stays open after the session's end.
asio::awaitable<void> heartbeat(SharedWriterPtr writer, std::chrono::milliseconds interval) {
  for (;;) {
    co_await sleep_for(interval);
    Frame beat{{}, 0, KIND_HEARTBEAT};
    auto sent = co_await writer->send(std::move(beat));
    if (!sent) co_return;
  }
}

// Where the frame reader leaves each frame for the loop, one at a time, and how each
// side wakes the other. Shared by the two, so that whichever ends first leaves the
// other nothing dangling; both run on the session's thread.
struct FrameHandoff {
  std::optional<FrameRead> frame;  // read, not yet taken by the loop
  bool reader_done = false;
  bool control_waiting = true;  // a control message may have come since the loop looked
  LocalWait loop_wake;          // a frame or a control message is there for the loop
  LocalWait reader_wake;        // the loop has taken the frame
};

// Reads the next frame only once the loop has taken the last one, so one frame is
// handled completely before the next is read; a frame being read survives while the
// loop takes a control message. Ends after handing over the connection's end or a read
// error, or when it is stopped, releasing the read half.
asio::awaitable<void> read_frames(std::unique_ptr<ReadHalf> half,
                                  std::shared_ptr<FrameHandoff> handoff) {
  FrameReader reader(std::move(half));
  for (;;) {
    FrameRead read = co_await reader.next();
    bool last = !read || !read.value();
    handoff->frame = std::move(read);
    handoff->loop_wake.wake();
    if (last) break;
    while (handoff->frame) {
      bool woken = handoff->reader_wake.take_wake();
      if (!woken) woken = co_await handoff->reader_wake.suspend();
      if (!woken) break;
    }
    if (handoff->frame) break;  // stopped before the loop took it
  }
  handoff->reader_done = true;
  handoff->loop_wake.wake();
}

// The frame reader task, owned by the session: stopped when the session ends in any way
// (dropped by the supervisor included), which releases the read half.
class FrameReaderTask {
 public:
  FrameReaderTask(asio::any_io_executor executor, std::unique_ptr<ReadHalf> half,
                  std::shared_ptr<FrameHandoff> handoff)
      : signal_(std::make_shared<asio::cancellation_signal>()) {
    asio::co_spawn(
        executor, read_frames(std::move(half), std::move(handoff)),
        asio::bind_cancellation_slot(signal_->slot(), [signal = signal_](std::exception_ptr) {}));
  }
  FrameReaderTask(const FrameReaderTask&) = delete;
  FrameReaderTask& operator=(const FrameReaderTask&) = delete;
  // On the reader's own thread: it is suspended now, and the stop reaches it at once.
  ~FrameReaderTask() { signal_->emit(asio::cancellation_type::terminal); }

 private:
  std::shared_ptr<asio::cancellation_signal> signal_;
};

bool coin_flip() {
  thread_local std::minstd_rand generator{std::random_device{}()};
  return (generator() & 1) != 0;
}

// The session after its welcome: the frame loop, the dispatch of each frame, the
// stream table and the end of the session. Lives inside run_session, on the session's
// thread with the stream tasks and the heartbeat it starts, which hold their own
// references to the writer and the table.
class FrameLoop {
 public:
  FrameLoop(const SessionInputs& inputs, SharedStatePtr shared, ControlReceiver& control_rx,
            SessionEnvironment environment, SharedWriterPtr writer,
            std::shared_ptr<FrameHandoff> handoff, asio::any_io_executor executor,
            PunchContext& punch)
      : inputs_(inputs),
        shared_(std::move(shared)),
        control_rx_(control_rx),
        punch_(punch),
        env_(std::move(environment)),
        writer_(std::move(writer)),
        handoff_(std::move(handoff)),
        executor_(std::move(executor)) {
    // A control message, sent from another thread, wakes the loop on its own thread;
    // the hook holds nothing that could outlive the loop.
    control_rx_.on_arrival([executor = executor_, handoff = std::weak_ptr(handoff_)] {
      asio::post(executor, [handoff] {
        if (auto alive = handoff.lock()) {
          alive->control_waiting = true;
          alive->loop_wake.wake();
        }
      });
    });
  }
  FrameLoop(const FrameLoop&) = delete;
  FrameLoop& operator=(const FrameLoop&) = delete;

  // However the session ends, it leaves no stream behind that nothing can reach: the
  // streams still in the table (those of a dropped session) lose their local connections.
  ~FrameLoop() {
    control_rx_.on_arrival(nullptr);
    table_->cut_all();
  }

  asio::awaitable<SessionOutcome> run() {
    for (;;) {
      std::optional<FrameRead> read;
      if (frame_without_control()) {
        read = take_frame();
      } else {
        read = co_await next_frame();
      }
      if (!read || !*read || !read->value()) {
        // A read error or the end of the connection ends the session without a message.
        SessionOutcome ended = co_await end_session();
        co_return ended;
      }
      Frame& frame = *read->value();
      std::optional<StreamSender> full;
      if (route_stream_frame(frame, full)) {
        if (full) {
          // A stream whose task has ended refuses the frame; it is dropped.
          bool queued = co_await StreamTable::put(*full, std::move(frame));
          (void)queued;
        }
        continue;
      }
      bool ends_session = co_await dispatch_frame(std::move(frame));
      if (ends_session) {
        SessionOutcome ended = co_await end_session();
        co_return ended;
      }
    }
  }

 private:
  // The next frame (or the reader's error), taking the control messages that come
  // before it; nullopt when the reader is gone without a last word or the session was
  // dropped meanwhile. When a frame and a control message are both at hand, which goes
  // first is chosen at random.
  asio::awaitable<std::optional<FrameRead>> next_frame() {
    for (;;) {
      if (!held_control_ && !control_closed_ && handoff_->control_waiting) {
        held_control_ = control_rx_.try_receive(&control_closed_);
        handoff_->control_waiting = held_control_.has_value();  // one taken: more may wait
      }
      const bool frame_ready = handoff_->frame.has_value();
      if (held_control_ && (!frame_ready || coin_flip())) {
        Status applied =
            co_await apply_punch_control(punch_, *std::exchange(held_control_, std::nullopt));
        // An offer that cannot be written ends the session as a read error does.
        if (!applied) co_return FrameRead(applied.error());
        continue;
      }
      if (frame_ready) co_return take_frame();
      if (handoff_->reader_done) co_return std::nullopt;
      bool woken = handoff_->loop_wake.take_wake();
      if (!woken) woken = co_await handoff_->loop_wake.suspend();
      if (!woken) co_return std::nullopt;
    }
  }

  // A stream's frame goes to its stream's queue, whole, at once while the queue has
  // room; a full queue is left in `full` for the loop to wait on. False for frames that
  // are not a stream's.
  bool route_stream_frame(Frame& frame, std::optional<StreamSender>& full) {
    bool remove = false;
    switch (frame.kind) {
      case KIND_DATA:
      case KIND_HALF_CLOSE:
        break;
      case KIND_ERROR:
        if (frame.id == 0) return false;  // a notice to the device
        remove = true;
        break;
      case KIND_CLOSE:
        remove = true;
        break;
      default:
        return false;
    }
    std::optional<StreamSender> sender =
        remove ? table_->take_out(frame.id) : table_->look_up(frame.id);
    if (!sender) return true;  // no such stream: dropped, nothing goes back
    if (sender->would_wait(frame)) {
      full = std::move(sender);
    } else {
      (void)sender->try_send(std::move(frame));  // refused by a stream whose task has ended
    }
    return true;
  }

  // The common case, taken without a coroutine: a frame at hand and no control message
  // that could come before it.
  bool frame_without_control() const {
    return handoff_->frame && !held_control_ && (control_closed_ || !handoff_->control_waiting);
  }

  // Lets the reader go on to the next frame.
  std::optional<FrameRead> take_frame() {
    std::optional<FrameRead> frame = std::exchange(handoff_->frame, std::nullopt);
    handoff_->reader_wake.wake();
    return frame;
  }

  // True when the frame ends the session. Stream frames have been routed before.
  asio::awaitable<bool> dispatch_frame(Frame frame) {
    switch (frame.kind) {
      case KIND_ACCOUNT:
        co_return frame.id == 0 && account_status(frame);
      case KIND_OPEN:
        co_await open_stream(std::move(frame));
        co_return false;
      case KIND_ERROR:
        co_return notice(frame);
      case KIND_PUNCH_STATUS:
        co_await handle_punch_status(punch_, frame);
        co_return false;
      default:
        // The handshake kinds, heartbeats and unknown kinds.
        co_return false;
    }
  }

  asio::awaitable<void> open_stream(Frame frame) {
    auto& payload = frame.payload;
    auto newline = std::find(payload.begin(), payload.end(), std::uint8_t{'\n'});
    std::uint16_t port = stream_port(decode_utf8_lossy(
        std::span<const std::uint8_t>(payload.data(), newline - payload.begin())));
    // The first bytes keep the payload's buffer: the port line is cut off its front.
    payload.erase(payload.begin(), newline == payload.end() ? newline : newline + 1);
    std::string host = target_host_for(*shared_, port);

    if (table_->count() >= MAX_STREAMS) {
      // Every open request is decided before the next frame is read, this one too.
      Status refused =
          co_await writer_->send(new_frame(KIND_ERROR, frame.id, as_bytes("too many streams")));
      (void)refused;  // a gateway that cannot be written to is noticed by the frame loop
      co_return;
    }
    auto [queue_tx, queue_rx] = stream_queue();
    auto cut = std::make_shared<LocalCut>();
    StreamTicket ticket = table_->insert(frame.id, std::move(queue_tx), cut);
    // On the session's own thread, beside the frame loop that feeds it.
    asio::co_spawn(
        executor_,
        serve_stream(StreamTaskInputs{frame.id, port, std::move(host), std::move(payload), ticket,
                                      std::move(cut)},
                     std::move(queue_rx), writer_, table_, env_.timings.local_connect_timeout),
        asio::detached);
  }

  // True when the session must end to re-register more ports.
  bool account_status(const Frame& frame) {
    auto status = parse_account_status(decode_utf8_lossy(frame.payload));
    if (!status) return false;
    SharedState& s = *shared_;
    s.plan.set(status->plan);
    store(s.usage_used, status->usage_used);
    store(s.usage_limit, status->usage_limit);
    store(s.usage_reset_at, status->usage_reset_at);
    store(s.max_mappings, status->max_mappings);
    store(s.plan_ends_at, status->plan_ends_at);

    std::size_t configured = s.ports.with([](const auto& ports) { return ports.size(); });
    std::size_t registered = inputs_.ports.size();
    if (configured > registered && registered < status->max_mappings) {
      store(s.hello_port_limit, 0);
      return true;
    }
    return false;
  }

  // True when the notice ends the session (the daily quota is used up).
  bool notice(const Frame& frame) {
    std::string text = decode_utf8_lossy(frame.payload);
    print_err("client: 网关说 —— " + text + "\n");
    if (!text.starts_with("quota:")) return false;
    quota_notice_ = true;
    return true;
  }

  // Every stream still in the table gets KIND_CLOSE behind the frames already queued
  // for it, and its queue closes; the stream tasks run on until their local sides end.
  asio::awaitable<SessionOutcome> end_session() {
    store(shared_->connected, 0);
    auto entries = table_->take_all();
    for (auto& [id, sender] : entries) {
      Frame close{{}, id, KIND_CLOSE};
      bool queued = co_await StreamTable::put(sender, std::move(close));
      (void)queued;  // a stream whose task has ended needs no close
      StreamSender released = std::move(sender);
    }
    if (!quota_notice_) co_return SessionOutcome::OUTCOME_RETRY;
    store(shared_->quota_used, 1);
    co_return SessionOutcome::OUTCOME_QUOTA;
  }

  const SessionInputs& inputs_;
  SharedStatePtr shared_;
  ControlReceiver& control_rx_;
  PunchContext& punch_;
  SessionEnvironment env_;
  SharedWriterPtr writer_;
  std::shared_ptr<FrameHandoff> handoff_;
  asio::any_io_executor executor_;
  StreamTablePtr table_ = std::make_shared<StreamTable>();
  std::optional<SessionControl> held_control_;
  bool control_closed_ = false;
  bool quota_notice_ = false;
};

}  // namespace

std::uint16_t stream_port(std::string_view port_text) {
  return parse_u16(trim(port_text)).value_or(DEFAULT_STREAM_PORT);
}

// Everything of the session runs on the thread that runs the session itself: the
// connection's sockets, the frame reader, the frame loop, the heartbeat and every stream
// task, so that a frame's way from the connection to its local service never crosses a
// thread.
asio::awaitable<SessionOutcome> run_session(SessionInputs inputs, SharedStatePtr shared,
                                            const PunchOptions& punch, ControlReceiver& control_rx,
                                            SessionEnvironment environment) {
  auto executor = co_await asio::this_coro::executor;
  Result<Transport> transport =
      co_await open_transport(inputs.gateway, shared, environment.timings);
  if (!transport) co_return SessionOutcome::OUTCOME_RETRY;
  store(shared->tls_active, transport.value().tls ? 1 : 0);
  auto writer = std::make_shared<SharedWriter>(executor, std::move(transport.value().halves.write));
  auto reader = std::move(transport.value().halves.read);

  if (auto refused = co_await send_handshake(*writer, inputs, *shared)) co_return *refused;
  PunchContext punch_context{writer,
                             shared,
                             punch,
                             inputs.ports,
                             inputs.gateway,
                             inputs.domain,
                             environment.pool,
                             environment.timings.direct};
  if (auto refused = co_await handle_handshake_reply(*reader, inputs, *shared, punch_context))
    co_return *refused;

  asio::co_spawn(executor, heartbeat(writer, environment.timings.heartbeat_interval),
                 asio::detached);
  auto handoff = std::make_shared<FrameHandoff>();
  FrameReaderTask frame_reader(executor, std::move(reader), handoff);
  FrameLoop loop(inputs, shared, control_rx, environment, std::move(writer), handoff, executor,
                 punch_context);
  co_return co_await loop.run();
}

}  // namespace quillmar
