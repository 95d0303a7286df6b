#include "proto/stream_halves.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#include <optional>

#include "proto/io_error.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;

class TcpReadHalf final : public ReadHalf {
 public:
  explicit TcpReadHalf(std::shared_ptr<tcp::socket> socket) : socket_(std::move(socket)) {}

  asio::awaitable<IoCount> read_some(asio::mutable_buffer buffer) override {
    auto [ec, n] = co_await socket_->async_read_some(
        buffer, asio::experimental::as_tuple(asio::use_awaitable));
    co_return IoCount{ec, n};
  }

 private:
  std::shared_ptr<tcp::socket> socket_;
};

class TcpWriteHalf final : public WriteHalf {
 public:
  explicit TcpWriteHalf(std::shared_ptr<tcp::socket> socket) : socket_(std::move(socket)) {}

  ~TcpWriteHalf() override {
    if (shut_down_) return;
    std::error_code ignored;  // the peer may be gone already
    socket_->shutdown(tcp::socket::shutdown_send, ignored);
  }

  asio::awaitable<IoCount> write_some(std::span<const asio::const_buffer> pieces) override {
    return write_some_now(*socket_, pieces);
  }

  asio::awaitable<std::error_code> shutdown() override {
    std::error_code ec;
    socket_->shutdown(tcp::socket::shutdown_send, ec);
    if (!ec) shut_down_ = true;
    co_return ec;
  }

  tcp::socket* plain_socket() override { return socket_.get(); }

 private:
  std::shared_ptr<tcp::socket> socket_;
  bool shut_down_ = false;
};

// A write of a plain socket tried here, costing no coroutine: nullopt when the half must
// wait for room (or is no plain socket), and then write_some() does the rest.
std::optional<IoCount> write_at_once(WriteHalf& half, std::span<const asio::const_buffer> pieces) {
  tcp::socket* socket = half.plain_socket();
  if (!socket) return std::nullopt;
  std::error_code ec;
  std::size_t n = socket->write_some(pieces, ec);
  if (ec == asio::error::would_block || ec == asio::error::try_again) return std::nullopt;
  return IoCount{ec, n};
}

}  // namespace

SplitStream split_tcp(tcp::socket socket) {
  return split_tcp(std::make_shared<tcp::socket>(std::move(socket)));
}

SplitStream split_tcp(std::shared_ptr<tcp::socket> socket) {
  // Non-blocking from the start, for write_some_now. Asio records the mode in a flag;
  // setting it now, before two threads may read and write at once, keeps that flag from
  // being written while the other half reads it. Should it fail, a first try blocks
  // instead, and Asio's first operation sets the mode.
  std::error_code ignored;
  socket->non_blocking(true, ignored);
  return {std::make_unique<TcpReadHalf>(socket), std::make_unique<TcpWriteHalf>(socket)};
}

asio::awaitable<std::error_code> write_all(WriteHalf& half, asio::const_buffer piece) {
  while (piece.size() > 0) {
    std::optional<IoCount> done = write_at_once(half, std::span(&piece, 1));
    if (!done) done = co_await half.write_some(std::span(&piece, 1));
    auto [ec, n] = *done;
    if (ec) co_return ec;
    if (n == 0) co_return make_error_code(StreamError::write_zero);
    piece += n;
  }
  co_return std::error_code{};
}

asio::awaitable<std::error_code> write_all(WriteHalf& half, std::span<asio::const_buffer> pieces) {
  while (!pieces.empty() && pieces.front().size() == 0) pieces = pieces.subspan(1);
  while (!pieces.empty()) {
    std::optional<IoCount> done = write_at_once(half, pieces);
    if (!done) done = co_await half.write_some(pieces);
    auto [ec, n] = *done;
    if (ec) co_return ec;
    if (n == 0) co_return make_error_code(StreamError::write_zero);
    while (!pieces.empty() && n >= pieces.front().size()) {
      n -= pieces.front().size();
      pieces = pieces.subspan(1);
    }
    if (n > 0) pieces.front() += n;
  }
  co_return std::error_code{};
}

}  // namespace quillmar
