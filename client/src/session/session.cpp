#include "session/session.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <random>

#include "app/output.hpp"
#include "proto/access.hpp"
#include "proto/connect.hpp"
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

// Owns the read half and hands over whole frames, so a frame being read survives while
// the loop takes a control message; reads the next frame only once the last one has
// been taken. Ends after handing over the connection's end or a read error, or when
// the loop is gone.
asio::awaitable<void> read_frames(std::unique_ptr<ReadHalf> reader, Sender<FrameRead> frames) {
  for (;;) {
    FrameRead read = co_await read_frame(*reader);
    bool last = !read || !read.value();
    bool handed_over = co_await frames.send(std::move(read));
    if (!handed_over || last) co_return;
  }
}

// The frame reader task, owned by the session and run on a strand of its own: stopped
// through that strand when the session ends in any way (dropped by the supervisor
// included), which releases the read half.
class FrameReader {
 public:
  FrameReader(asio::any_io_executor executor, std::unique_ptr<ReadHalf> reader,
              Sender<FrameRead> frames)
      : strand_(asio::make_strand(executor)),
        signal_(std::make_shared<asio::cancellation_signal>()) {
    asio::co_spawn(
        strand_, read_frames(std::move(reader), std::move(frames)),
        asio::bind_cancellation_slot(signal_->slot(), [signal = signal_](std::exception_ptr) {}));
  }
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;
  ~FrameReader() {
    asio::post(strand_, [signal = signal_] { signal->emit(asio::cancellation_type::terminal); });
  }

 private:
  asio::strand<asio::any_io_executor> strand_;
  std::shared_ptr<asio::cancellation_signal> signal_;
};

// Runs open_transport on a strand of the workers' context, so that the connection's
// sockets belong to that context: the heartbeat and the stream tasks run there and
// hold the write half, possibly beyond this session and beyond the context the
// session itself runs on. The attempt ends with its result, or at once when the
// session is dropped meanwhile: the stop is delivered through the attempt's strand,
// since cancellation may not cross threads by itself.
asio::awaitable<Result<Transport>> open_on_workers(const std::string& address,
                                                   const SharedStatePtr& shared,
                                                   const SessionEnvironment& environment) {
  auto strand = asio::make_strand(environment.pool);
  auto stop = std::make_shared<asio::cancellation_signal>();
  auto [result_tx, result_rx] = make_queue<Result<Transport>>(1);
  asio::co_spawn(
      strand,
      [](std::string address, SharedStatePtr shared, SessionTimings timings,
         Sender<Result<Transport>> result) -> asio::awaitable<void> {
        Result<Transport> opened = co_await open_transport(std::move(address), shared, timings);
        result.try_send(std::move(opened));
      }(address, shared, environment.timings, std::move(result_tx)),
      asio::bind_cancellation_slot(stop->slot(), [stop](std::exception_ptr) {}));

  struct StopOnDrop {
    asio::strand<asio::any_io_executor> strand;
    std::shared_ptr<asio::cancellation_signal> stop;
    bool armed = true;
    ~StopOnDrop() {
      if (armed)
        asio::post(strand, [stop = stop] { stop->emit(asio::cancellation_type::terminal); });
    }
  } stop_on_drop{strand, stop};
  std::optional<Result<Transport>> opened = co_await result_rx.receive();
  stop_on_drop.armed = false;
  if (!opened) co_return IoError::make(ErrorKind::Other, "the connection attempt ended early");
  co_return std::move(*opened);
}

bool coin_flip() {
  thread_local std::minstd_rand generator{std::random_device{}()};
  return (generator() & 1) != 0;
}

// The session after its welcome: the frame loop, the dispatch of each frame, the
// stream table and the end of the session. Lives inside run_session; the stream tasks
// and the heartbeat it starts hold their own references to the writer and the table.
class FrameLoop {
 public:
  FrameLoop(const SessionInputs& inputs, SharedStatePtr shared, ControlReceiver& control_rx,
            SessionEnvironment environment, SharedWriterPtr writer, Receiver<FrameRead> frames,
            PunchContext& punch)
      : inputs_(inputs),
        shared_(std::move(shared)),
        control_rx_(control_rx),
        punch_(punch),
        env_(std::move(environment)),
        writer_(std::move(writer)),
        frames_(std::move(frames)),
        table_(std::make_shared<StreamTable>(env_.pool)) {}

  asio::awaitable<SessionOutcome> run() {
    for (;;) {
      std::optional<FrameRead> read = co_await next_frame();
      if (!read || !*read || !read->value()) {
        // A read error or the end of the connection ends the session without a message.
        SessionOutcome ended = co_await end_session();
        co_return ended;
      }
      bool ends_session = co_await dispatch_frame(std::move(*read->value()));
      if (ends_session) {
        SessionOutcome ended = co_await end_session();
        co_return ended;
      }
    }
  }

 private:
  // The next frame (or the reader's error), taking the control messages that come
  // before it; nullopt when the reader is gone without a last word. When a frame and
  // a control message are both at hand, which goes first is chosen at random.
  //
  // Both are taken whole into held_frame_ and held_control_ before anything decides
  // between them, so neither is ever lost to the other: a receive that is cancelled
  // takes nothing, and one that completed keeps its item here.
  asio::awaitable<std::optional<FrameRead>> next_frame() {
    for (;;) {
      bool frames_closed = false;
      if (!held_frame_) held_frame_ = frames_.try_receive(&frames_closed);
      if (!held_control_ && !control_closed_) {
        held_control_ = control_rx_.try_receive(&control_closed_);
      }

      if (held_control_ && (!held_frame_ || coin_flip())) {
        Status applied =
            co_await apply_punch_control(punch_, *std::exchange(held_control_, std::nullopt));
        // An offer that cannot be written ends the session as a read error does.
        if (!applied) co_return FrameRead(applied.error());
        continue;
      }
      if (held_frame_) co_return std::exchange(held_frame_, std::nullopt);
      if (frames_closed) co_return std::nullopt;
      co_await wait_for_input();
    }
  }

  // Waits until a frame or a control message has been taken into its slot.
  asio::awaitable<void> wait_for_input() {
    auto executor = co_await asio::this_coro::executor;
    if (control_closed_) {
      std::optional<FrameRead> frame = co_await frames_.receive();
      held_frame_ = std::move(frame);
      co_return;
    }
    // Unlike `||`, the group hands back the results of both operations, so an item that
    // arrived just as the other side won is kept, not dropped.
    auto [order, frame_failure, frame, control_failure, control] =
        co_await asio::experimental::make_parallel_group(
            asio::co_spawn(executor, frames_.receive(), asio::experimental::deferred),
            asio::co_spawn(executor, control_rx_.receive(), asio::experimental::deferred))
            .async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
    (void)order;
    // A failure is the cancellation of the side that lost: it took nothing. An empty
    // result is a closed queue, which the next look at it reports.
    if (!frame_failure) held_frame_ = std::move(frame);
    if (!control_failure) {
      held_control_ = std::move(control);
      control_closed_ = !held_control_;
    }
  }

  // True when the frame ends the session.
  asio::awaitable<bool> dispatch_frame(Frame frame) {
    switch (frame.kind) {
      case KIND_ACCOUNT:
        co_return frame.id == 0 && account_status(frame);
      case KIND_OPEN:
        co_await open_stream(std::move(frame));
        co_return false;
      case KIND_DATA:
      case KIND_HALF_CLOSE:
        co_await route(std::move(frame), false);
        co_return false;
      case KIND_CLOSE:
        co_await route(std::move(frame), true);
        co_return false;
      case KIND_ERROR:
        if (frame.id != 0) {
          co_await route(std::move(frame), true);
          co_return false;
        }
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

    auto [queue_tx, queue_rx] = stream_queue();
    auto table = co_await table_->lock();
    if (table.count() >= MAX_STREAMS) {
      // Answered with the table still locked: every open request is decided under it.
      Status refused =
          co_await writer_->send(new_frame(KIND_ERROR, frame.id, as_bytes("too many streams")));
      (void)refused;  // a gateway that cannot be written to is noticed by the frame loop
      co_return;
    }
    StreamTicket ticket = table.insert(frame.id, std::move(queue_tx));
    table.unlock();

    // Each stream task on a strand of its own: its waits for the first of two
    // events (the local connection or its deadline) must not run on two threads.
    asio::co_spawn(
        asio::make_strand(env_.pool),
        serve_stream(StreamTaskInputs{frame.id, port, std::move(host), std::move(payload), ticket},
                     std::move(queue_rx), writer_, table_, env_.timings.local_connect_timeout),
        asio::detached);
  }

  // Hands a stream frame to its stream's queue, whole; waits while the queue is full.
  asio::awaitable<void> route(Frame frame, bool remove) {
    std::optional<StreamSender> sender;
    if (remove) {
      sender = co_await table_->take_out(frame.id);
    } else {
      sender = co_await table_->look_up(frame.id);
    }
    if (!sender) co_return;  // no such stream: dropped, nothing goes back
    // A stream whose task has ended refuses the frame; it is dropped.
    bool queued = co_await StreamTable::put(*sender, std::move(frame));
    (void)queued;
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
    {
      auto table = co_await table_->lock();
      auto entries = table.take_all();
      for (auto& [id, sender] : entries) {
        Frame close{{}, id, KIND_CLOSE};
        bool queued = co_await StreamTable::put(sender, std::move(close));
        (void)queued;  // a stream whose task has ended needs no close
        StreamSender released = std::move(sender);
      }
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
  Receiver<FrameRead> frames_;
  StreamTablePtr table_;
  std::optional<FrameRead> held_frame_;
  std::optional<SessionControl> held_control_;
  bool control_closed_ = false;
  bool quota_notice_ = false;
};

}  // namespace

std::uint16_t stream_port(std::string_view port_text) {
  return parse_u16(trim(port_text)).value_or(DEFAULT_STREAM_PORT);
}

asio::awaitable<SessionOutcome> run_session(SessionInputs inputs, SharedStatePtr shared,
                                            const PunchOptions& punch, ControlReceiver& control_rx,
                                            SessionEnvironment environment) {
  Result<Transport> transport = co_await open_on_workers(inputs.gateway, shared, environment);
  if (!transport) co_return SessionOutcome::OUTCOME_RETRY;
  store(shared->tls_active, transport.value().tls ? 1 : 0);
  auto writer =
      std::make_shared<SharedWriter>(environment.pool, std::move(transport.value().halves.write));
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

  asio::co_spawn(environment.pool, heartbeat(writer, environment.timings.heartbeat_interval),
                 asio::detached);
  auto [frames_tx, frames_rx] = make_queue<FrameRead>(1);
  // The reader runs beside its socket on the workers' context; the loop takes its
  // frames here, one at a time.
  FrameReader frame_reader(environment.pool, std::move(reader), std::move(frames_tx));
  FrameLoop loop(inputs, shared, control_rx, environment, std::move(writer), std::move(frames_rx),
                 punch_context);
  co_return co_await loop.run();
}

}  // namespace quillmar
