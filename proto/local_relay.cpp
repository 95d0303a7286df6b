#include "proto/local_relay.hpp"

#include <algorithm>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "proto/bad_gateway.hpp"
#include "proto/connect.hpp"
#include "proto/relay.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;

// The stream's writer task, on the stream task's own executor.
class WriterTask {
 public:
  WriterTask(asio::any_io_executor executor, std::vector<std::uint8_t> first_bytes,
             std::unique_ptr<WriteHalf> half, FrameReceiver queue)
      : signal_(std::make_shared<asio::cancellation_signal>()) {
    // The completion handler keeps the signal alive as long as the task runs.
    asio::co_spawn(
        executor, run_stream_writer(std::move(first_bytes), std::move(half), std::move(queue)),
        asio::bind_cancellation_slot(signal_->slot(), [signal = signal_](std::exception_ptr) {}));
  }

  WriterTask(const WriterTask&) = delete;
  WriterTask& operator=(const WriterTask&) = delete;

  // Aborted when the local side has ended (or the stream task itself is torn down),
  // even while the gateway's side of the stream is still open. Both tasks run on one
  // thread, so the writer is suspended now and the signal reaches it at once.
  ~WriterTask() { signal_->emit(asio::cancellation_type::terminal); }

 private:
  std::shared_ptr<asio::cancellation_signal> signal_;
};

// The most one local read takes: several frames' worth. A service that sends without
// pause then costs one system call, and one acknowledgement back to it, per four frames;
// with many streams those were what a session's thread spent most of its time on.
constexpr std::size_t LOCAL_READ_SIZE = 4 * LOCAL_READ_BUFFER;

// Where every local read of this thread lands before its bytes become frames: the
// streams of a thread read one after the other, so they share it.
std::uint8_t* read_scratch() {
  thread_local std::unique_ptr<std::uint8_t[]> scratch(new std::uint8_t[LOCAL_READ_SIZE]);
  return scratch.get();
}

// The bytes of one read as KIND_DATA frames of at most LOCAL_READ_BUFFER bytes, all
// copied out of the scratch before the first is sent: while a send waits, another
// stream of the thread reads into it.
std::vector<Frame> data_frames(std::uint32_t stream_id, const std::uint8_t* bytes, std::size_t n) {
  std::vector<Frame> frames;
  for (std::size_t at = 0; at < n; at += LOCAL_READ_BUFFER) {
    const std::size_t length = std::min(LOCAL_READ_BUFFER, n - at);
    frames.push_back(
        Frame{std::vector<std::uint8_t>(bytes + at, bytes + at + length), stream_id, KIND_DATA});
  }
  return frames;
}

// Sends the bytes of a read of more than one frame, as one turn of the writer.
asio::awaitable<Status> send_frames_of_read(SharedWriter& writer, std::uint32_t stream_id,
                                            const std::uint8_t* bytes, std::size_t n) {
  std::vector<Frame> frames = data_frames(stream_id, bytes, n);
  co_return co_await writer.send_frames(frames);
}

// A read that filled the whole buffer has likely left more behind, so the next read is
// tried at once; waiting first would cost two more system calls per read while a
// service sends without pause. Once a read has taken a whole frame's worth, the service
// is sending in bulk, and where the writer can, the next bytes go from the socket to the
// gateway connection without a copy; small answers are read and copied, which costs
// fewer system calls and lets the writer send them together with other streams' frames.
asio::awaitable<void> relay_local_answer(tcp::socket& socket, std::uint32_t stream_id,
                                         SharedWriter& writer) {
  constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);
  bool more_waiting = false;
  bool bulk = false;
  for (;;) {
    if (!more_waiting) {
      auto [wait_ec] = co_await socket.async_wait(tcp::socket::wait_read, use_tuple);
      if (wait_ec) break;
    }
    if (bulk && writer.sends_from_sockets()) {
      auto moved = co_await writer.send_from(socket, stream_id, LOCAL_READ_SIZE, LOCAL_READ_BUFFER);
      if (!moved) break;
      // Nothing held: the read that follows tells an end or an error from a wake with nothing.
      more_waiting = moved.value() == 0 || moved.value() == LOCAL_READ_SIZE;
      bulk = moved.value() >= LOCAL_READ_BUFFER;
      continue;
    }
    std::uint8_t* scratch = read_scratch();
    std::error_code ec;
    std::size_t n = socket.read_some(asio::buffer(scratch, LOCAL_READ_SIZE), ec);
    more_waiting = n == LOCAL_READ_SIZE;
    bulk = n >= LOCAL_READ_BUFFER;
    if (ec == asio::error::would_block || ec == asio::error::try_again) continue;
    if (ec || n == 0) break;  // a read error ends the stream like its end
    Status sent;
    if (n <= LOCAL_READ_BUFFER) {  // most reads: one frame, sent from here
      Frame data{std::vector<std::uint8_t>(scratch, scratch + n), stream_id, KIND_DATA};
      sent = co_await writer.send(std::move(data));
    } else {
      sent = co_await send_frames_of_read(writer, stream_id, scratch, n);
    }
    if (!sent) break;
  }
  (void)co_await writer.send(Frame{{}, stream_id, KIND_DATA});  // the end of the local side's data
}

}  // namespace

void LocalCut::cut() {
  cut_ = true;
  if (auto socket = socket_.lock()) {
    std::error_code ignored;  // closing ends both directions; nothing to report
    socket->close(ignored);
  }
}

void LocalCut::attach(std::shared_ptr<tcp::socket> socket) {
  socket_ = socket;
  if (cut_) cut();
}

asio::awaitable<Status> relay_to_local(std::string_view host, std::uint16_t port,
                                       std::uint32_t stream_id,
                                       std::vector<std::uint8_t> first_bytes, FrameReceiver queue,
                                       SharedWriter& writer,
                                       std::chrono::nanoseconds connect_timeout, LocalCutPtr cut) {
  auto connected = co_await connect_host(std::string(host), port, connect_timeout);
  if (!connected) {
    co_await send_bad_gateway(writer, first_bytes, host, "连接超时（8 秒）", stream_id, port);
    co_return IoError::make(ErrorKind::TimedOut, "connect timeout");
  }
  if (!*connected) {
    IoError error = connected->error();
    co_await send_bad_gateway(writer, first_bytes, host, error.display(), stream_id, port);
    co_return error;
  }
  auto socket = std::make_shared<tcp::socket>(std::move(*connected).value());
  std::error_code ec;
  socket->set_option(tcp::no_delay(true), ec);
  if (!ec) socket->non_blocking(true, ec);  // reads are tried only once bytes are there
  if (ec) co_return IoError::from(ec);
  if (cut) cut->attach(socket);

  auto halves = split_tcp(socket);
  halves.read.reset();  // read through the socket itself: wait for bytes, then read
  WriterTask writer_task(co_await asio::this_coro::executor, std::move(first_bytes),
                         std::move(halves.write), std::move(queue));
  co_await relay_local_answer(*socket, stream_id, writer);
  co_return Status();
}

}  // namespace quillmar
