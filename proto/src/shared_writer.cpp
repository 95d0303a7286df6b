#include "shared_writer.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/co_spawn.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace quillmar {

SharedWriter::SharedWriter(asio::any_io_executor executor, std::unique_ptr<WriteHalf> half)
    : lock_(std::move(executor), 1), half_(std::move(half)) {}

asio::awaitable<Status> SharedWriter::send(Frame frame) {
  co_await lock_.async_send(std::error_code{}, true, asio::use_awaitable);
  // Released on every way out, the exceptional ones included.
  struct Unlock {
    asio::experimental::concurrent_channel<void(std::error_code, bool)>& lock;
    ~Unlock() { lock.try_receive([](std::error_code, bool) {}); }
  } unlock{lock_};

  if (frame.payload.size() > MAX_FRAME_LEN) {
    co_return IoError::make(ErrorKind::InvalidInput, "frame too large");
  }
  // The write runs as a task of its own with no cancellation slot: cancelling the
  // sender waits for the frame to be out instead of cutting it in half.
  auto executor = co_await asio::this_coro::executor;
  co_return co_await asio::co_spawn(executor, write_locked(frame),
                                    asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
}

asio::awaitable<Status> SharedWriter::write_locked(const Frame& frame) {
  const auto header = encode_header(frame.kind, frame.id, frame.payload.size());
  const std::size_t total = FRAME_HEADER_LEN + frame.payload.size();
  std::size_t sent = 0;
  while (sent < total) {
    std::array<asio::const_buffer, 2> pieces;
    if (sent < FRAME_HEADER_LEN) {
      pieces = {asio::buffer(header.data() + sent, FRAME_HEADER_LEN - sent), asio::buffer(frame.payload)};
    } else {
      pieces = {asio::buffer(frame.payload.data() + (sent - FRAME_HEADER_LEN), total - sent), asio::const_buffer()};
    }
    auto [ec, n] = co_await half_->write_some(pieces);
    if (ec) co_return IoError::from(ec);
    if (n == 0) co_return IoError::make(ErrorKind::WriteZero, "write zero");
    sent += n;
  }
  co_return Status();
}

}  // namespace quillmar
