#include "proto/local_relay.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <memory>

#include "proto/bad_gateway.hpp"
#include "proto/connect.hpp"
#include "proto/relay.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;

// The stream's writer task, run on a strand of its own so that aborting it (a
// cancellation emitted on that strand) never races with its own steps.
class WriterTask {
 public:
  WriterTask(asio::any_io_executor executor, std::vector<std::uint8_t> first_bytes,
             std::unique_ptr<WriteHalf> half, Receiver<Frame> queue)
      : strand_(asio::make_strand(executor)),
        signal_(std::make_shared<asio::cancellation_signal>()) {
    // The completion handler keeps the signal alive as long as the task runs.
    asio::co_spawn(
        strand_, run_stream_writer(std::move(first_bytes), std::move(half), std::move(queue)),
        asio::bind_cancellation_slot(signal_->slot(), [signal = signal_](std::exception_ptr) {}));
  }

  WriterTask(const WriterTask&) = delete;
  WriterTask& operator=(const WriterTask&) = delete;

  // Aborted when the local side has ended (or the stream task itself is torn down),
  // even while the gateway's side of the stream is still open.
  ~WriterTask() {
    asio::post(strand_, [signal = signal_] { signal->emit(asio::cancellation_type::terminal); });
  }

 private:
  asio::strand<asio::any_io_executor> strand_;
  std::shared_ptr<asio::cancellation_signal> signal_;
};

asio::awaitable<void> relay_local_answer(ReadHalf& reader, std::uint32_t stream_id,
                                         SharedWriter& writer) {
  std::vector<std::uint8_t> buffer(LOCAL_READ_BUFFER);
  for (;;) {
    auto [ec, n] = co_await reader.read_some(asio::buffer(buffer));
    if (ec || n == 0) break;  // a read error ends the stream like its end
    Frame data{
        std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n)),
        stream_id, KIND_DATA};
    auto sent = co_await writer.send(std::move(data));
    if (!sent) break;
  }
  (void)co_await writer.send(Frame{{}, stream_id, KIND_DATA});  // the end of the local side's data
}

}  // namespace

asio::awaitable<Status> relay_to_local(std::string_view host, std::uint16_t port,
                                       std::uint32_t stream_id,
                                       std::vector<std::uint8_t> first_bytes, Receiver<Frame> queue,
                                       SharedWriter& writer,
                                       std::chrono::nanoseconds connect_timeout) {
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
  tcp::socket socket = std::move(*connected).value();
  std::error_code ec;
  socket.set_option(tcp::no_delay(true), ec);
  if (ec) co_return IoError::from(ec);

  auto halves = split_tcp(std::move(socket));
  WriterTask writer_task(co_await asio::this_coro::executor, std::move(first_bytes),
                         std::move(halves.write), std::move(queue));
  co_await relay_local_answer(*halves.read, stream_id, writer);
  co_return Status();
}

}  // namespace quillmar
