#include "proto/shared_writer.hpp"

#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace quillmar {

SharedWriter::SharedWriter(asio::any_io_executor executor, std::unique_ptr<WriteHalf> half)
    : mutex_(std::move(executor)), half_(std::move(half)) {}

asio::awaitable<Status> SharedWriter::send(Frame frame) {
  // Held until the frame is out or refused; released on every way out, cancellation
  // included.
  auto held = co_await mutex_.lock();

  if (frame.payload.size() > MAX_FRAME_LEN) {
    co_return IoError::make(ErrorKind::InvalidInput, "frame too large");
  }
  if (broken_) co_return IoError::make(ErrorKind::BrokenPipe, "connection lost its frame boundary");
  co_return co_await write_locked(frame);
}

asio::awaitable<Status> SharedWriter::write_locked(const Frame& frame) {
  const auto header = encode_header(frame.kind, frame.id, frame.payload.size());
  const std::size_t total = FRAME_HEADER_LEN + frame.payload.size();
  std::size_t sent = 0;
  // Marks the writer broken when this frame is left half written (cancellation).
  struct BoundaryGuard {
    const std::size_t& sent;
    std::size_t total;
    bool& broken;
    ~BoundaryGuard() {
      if (sent > 0 && sent < total) broken = true;
    }
  } guard{sent, total, broken_};

  while (sent < total) {
    std::array<asio::const_buffer, 2> pieces;
    if (sent < FRAME_HEADER_LEN) {
      pieces = {asio::buffer(header.data() + sent, FRAME_HEADER_LEN - sent),
                asio::buffer(frame.payload)};
    } else {
      pieces = {asio::buffer(frame.payload.data() + (sent - FRAME_HEADER_LEN), total - sent),
                asio::const_buffer()};
    }
    auto [ec, n] = co_await half_->write_some(pieces);
    if (ec) co_return IoError::from(ec);
    if (n == 0) co_return IoError::make(ErrorKind::WriteZero, "write zero");
    sent += n;
  }
  co_return Status();
}

}  // namespace quillmar
