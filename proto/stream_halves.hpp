// A byte stream split into a read half and a write half, so one task can read while
// another writes. Plain TCP and TLS over TCP implement the same two interfaces; the
// frame reader, the frame writer and the relays work on these interfaces only.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>
#include <cstddef>
#include <memory>
#include <span>
#include <system_error>

namespace quillmar {

struct IoCount {
  std::error_code ec;
  std::size_t n = 0;
};

class ReadHalf {
 public:
  virtual ~ReadHalf() = default;
  // End of input is ec == asio::error::eof with n == 0 (TLS: also without a close
  // notice from the peer).
  virtual asio::awaitable<IoCount> read_some(asio::mutable_buffer buffer) = 0;
  // True when what arrived beyond a read waits inside the half itself (TLS keeps the
  // rest of a decrypted record), so that a read of a few bytes costs no system call of
  // its own.
  virtual bool buffers_input() const { return false; }
};

class WriteHalf {
 public:
  // Releasing a write half shuts the sending direction down unless a shutdown
  // through it has already succeeded.
  virtual ~WriteHalf() = default;
  // A gathered write of the pieces, in order; returns how many bytes were accepted.
  // The pieces and their bytes stay valid until it completes.
  virtual asio::awaitable<IoCount> write_some(std::span<const asio::const_buffer> pieces) = 0;
  // Ends the sending direction (TLS: a close notice, then the TCP send direction).
  virtual asio::awaitable<std::error_code> shutdown() = 0;
  // The TCP socket the bytes go to as they are, for writes that bypass the half (a
  // splice); none where the half transforms them (TLS).
  virtual asio::ip::tcp::socket* plain_socket() { return nullptr; }
};

struct SplitStream {
  std::unique_ptr<ReadHalf> read;
  std::unique_ptr<WriteHalf> write;
};

// The connection closes when both halves have been released.
SplitStream split_tcp(asio::ip::tcp::socket socket);
// The same over a socket the caller keeps a share of, to end or cancel it from outside
// the halves; the connection closes when the caller's share is released too.
SplitStream split_tcp(std::shared_ptr<asio::ip::tcp::socket> socket);

// A write of the socket (in non-blocking mode) tried at once, waiting only when its send
// buffer is full: the buffer almost always has room, and a write taken at once costs no
// turn through the event loop. The buffers are taken by value: a caller may return this
// awaitable from a function whose own arguments are gone by the time it runs.
template <class ConstBuffers>
asio::awaitable<IoCount> write_some_now(asio::ip::tcp::socket& socket, ConstBuffers buffers) {
  std::error_code ec;
  std::size_t n = socket.write_some(buffers, ec);
  if (ec != asio::error::would_block && ec != asio::error::try_again) co_return IoCount{ec, n};
  auto [wait_ec, written] =
      co_await socket.async_write_some(buffers, asio::experimental::as_tuple(asio::use_awaitable));
  co_return IoCount{wait_ec, written};
}

// Writes every byte, repeating partial writes. A write that accepts nothing is the
// error StreamError::write_zero.
asio::awaitable<std::error_code> write_all(WriteHalf& half, asio::const_buffer piece);
inline asio::awaitable<std::error_code> write_all(WriteHalf& half,
                                                  std::span<const std::uint8_t> bytes) {
  return write_all(half, asio::buffer(bytes.data(), bytes.size()));
}
// The same for the pieces of a gathered write, in order; the pieces are used up.
asio::awaitable<std::error_code> write_all(WriteHalf& half, std::span<asio::const_buffer> pieces);

}  // namespace quillmar
