#include "session.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <random>

#include "access.hpp"
#include "connect.hpp"
#include "gateway_connection.hpp"
#include "output.hpp"
#include "stream_table.hpp"
#include "stream_task.hpp"
#include "text.hpp"

namespace quillmar {
namespace {

using FrameRead = Result<std::optional<Frame>>;

// Sends a heartbeat every interval after the previous one went out; ends at its first
// failed write. Detached: it keeps the connection's write half alive until then.
asio::awaitable<void> heartbeat(SharedWriterPtr writer, std::chrono::milliseconds interval) {
  for (;;) {
    co_await sleep_for(interval);
    auto sent = co_await writer->send(Frame{{}, 0, KIND_HEARTBEAT});
    if (!sent) co_return;
  }
}

// Owns the read half and hands over whole frames, so a frame being read survives while
// the loop takes a control message; it ends after handing over the connection's end.
asio::awaitable<void> read_frames(std::unique_ptr<ReadHalf> reader, Sender<FrameRead> frames) {
  for (;;) {
    FrameRead read = co_await read_frame(*reader);
    bool last = !read || !read.value();
    bool handed_over = co_await frames.send(std::move(read));
    if (!handed_over || last) co_return;
  }
}

// The frame reader task, stopped when the session ends in any way.
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

bool coin_flip() {
  thread_local std::minstd_rand generator{std::random_device{}()};
  return (generator() & 1) != 0;
}

class FrameLoop {
 public:
  FrameLoop(const SessionInputs& inputs, SharedStatePtr shared, ControlReceiver& control_rx,
            SessionEnvironment environment, SharedWriterPtr writer, Receiver<FrameRead> frames)
      : inputs_(inputs),
        shared_(std::move(shared)),
        control_rx_(control_rx),
        env_(std::move(environment)),
        writer_(std::move(writer)),
        frames_(std::move(frames)),
        table_(std::make_shared<StreamTable>(env_.pool)) {}

  asio::awaitable<SessionOutcome> run() {
    for (;;) {
      std::optional<FrameRead> read = co_await next_frame();
      if (!read) continue;  // a control message was taken
      if (!*read || !read->value()) co_return co_await end_session();
      bool ends_session = co_await dispatch_frame(std::move(*read->value()));
      if (ends_session) co_return co_await end_session();
    }
  }

 private:
  // One pass of the loop: a frame, or nullopt after a control message. When both are
  // ready the one taken first is chosen at random.
  asio::awaitable<std::optional<FrameRead>> next_frame() {
    const bool control_first = coin_flip();
    if (control_first && take_control()) co_return std::nullopt;
    if (auto frame = frames_.try_receive()) co_return std::move(*frame);
    if (!control_first && take_control()) co_return std::nullopt;

    if (control_closed_) co_return co_await frames_.receive();
    using namespace asio::experimental::awaitable_operators;
    auto next = co_await (frames_.receive() || control_rx_.receive());
    if (next.index() == 0) co_return std::move(std::get<0>(next));
    if (!std::get<1>(next)) control_closed_ = true;
    co_return std::nullopt;
  }

  // Direct-connection settings arrive here only from the console's direct route, which
  // stays closed in this build; a message taken is dropped after the frame in progress.
  bool take_control() {
    if (control_closed_) return false;
    bool closed = false;
    auto message = control_rx_.try_receive(&closed);
    control_closed_ = closed;
    return message.has_value();
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
      default:
        co_return false;  // the handshake kinds, heartbeats and unknown kinds
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
      // Answered with the table still locked, as every open request is decided under it.
      (void)co_await writer_->send(new_frame(KIND_ERROR, frame.id, as_bytes("too many streams")));
      co_return;
    }
    table.insert(frame.id, std::move(queue_tx));
    table.unlock();

    asio::co_spawn(
        env_.pool,
        serve_stream(StreamTaskInputs{frame.id, port, std::move(host), std::move(payload)},
                     std::move(queue_rx), writer_, table_, env_.timings.local_connect_timeout),
        asio::detached);
  }

  asio::awaitable<void> route(Frame frame, bool remove) {
    std::optional<StreamSender> sender;
    if (remove) {
      sender = co_await table_->take_out(frame.id);
    } else {
      sender = co_await table_->look_up(frame.id);
    }
    if (sender)
      co_await StreamTable::put(*sender, std::move(frame));  // a stream whose task ended drops it
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

  bool notice(const Frame& frame) {
    std::string text = decode_utf8_lossy(frame.payload);
    print_err("client: 网关说 —— " + text + "\n");
    if (text.rfind("quota:", 0) != 0) return false;
    quota_notice_ = true;
    return true;
  }

  asio::awaitable<SessionOutcome> end_session() {
    store(shared_->connected, 0);
    {
      auto table = co_await table_->lock();
      for (auto& [id, sender] : table.take_all())
        co_await StreamTable::put(sender, Frame{{}, id, KIND_CLOSE});
    }
    if (!quota_notice_) co_return SessionOutcome::OUTCOME_RETRY;
    store(shared_->quota_used, 1);
    co_return SessionOutcome::OUTCOME_QUOTA;
  }

  const SessionInputs& inputs_;
  SharedStatePtr shared_;
  ControlReceiver& control_rx_;
  SessionEnvironment env_;
  SharedWriterPtr writer_;
  Receiver<FrameRead> frames_;
  std::shared_ptr<StreamTable> table_;
  bool control_closed_ = false;
  bool quota_notice_ = false;
};

}  // namespace

std::uint16_t stream_port(std::string_view port_text) {
  return parse_u16(trim(port_text)).value_or(DEFAULT_STREAM_PORT);
}

asio::awaitable<SessionOutcome> run_session(SessionInputs inputs, SharedStatePtr shared,
                                            const PunchOptions&, ControlReceiver& control_rx,
                                            SessionEnvironment environment) {
  auto transport = co_await open_transport(inputs.gateway, shared, environment.timings);
  if (!transport) co_return SessionOutcome::OUTCOME_RETRY;
  store(shared->tls_active, transport.value().tls ? 1 : 0);
  auto writer =
      std::make_shared<SharedWriter>(environment.pool, std::move(transport.value().halves.write));
  auto reader = std::move(transport.value().halves.read);

  if (auto refused = co_await send_handshake(*writer, inputs, *shared)) co_return *refused;
  if (auto refused = co_await handle_handshake_reply(*reader, inputs, *shared)) co_return *refused;

  asio::co_spawn(environment.pool, heartbeat(writer, environment.timings.heartbeat_interval),
                 asio::detached);
  auto [frames_tx, frames_rx] = make_queue<FrameRead>(1);
  FrameReader frame_reader(co_await asio::this_coro::executor, std::move(reader),
                           std::move(frames_tx));
  FrameLoop loop(inputs, shared, control_rx, environment, std::move(writer), std::move(frames_rx));
  co_return co_await loop.run();
}

}  // namespace quillmar
