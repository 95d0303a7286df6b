// A TLS connection over a TCP socket with OpenSSL fed and drained by hand: the engine's
// input and output go through buffers of our own instead of the socket, so one socket
// read of up to TLS_SOCKET_READ bytes goes into it at once, and everything one write
// encrypts (every record of a batch of frames) leaves in one socket write.
//
// Threads: every call into OpenSSL holds the engine's lock (never across a wait), so a
// read and a write may be in flight at the same time from any threads; at most one
// read and one write at a time. What reading produces for the peer (a key update's
// answer, an alert) leaves with the next write, ahead of that write's records.
#pragma once

#include <openssl/ssl.h>

#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <system_error>
#include <vector>

#include "proto/stream_halves.hpp"

namespace quillmar {

// Bytes asked of the socket per read.
inline constexpr std::size_t TLS_SOCKET_READ = 256 * 1024;

class TlsEngine {
 public:
  enum class Role { client, server };

  // The socket may be shared with the caller, to shut it down or cancel it from outside.
  TlsEngine(std::shared_ptr<asio::ip::tcp::socket> socket, SSL_CTX* context, Role role);
  ~TlsEngine();
  TlsEngine(const TlsEngine&) = delete;
  TlsEngine& operator=(const TlsEngine&) = delete;

  // For settings made before the handshake (server name, verification name).
  SSL* native_handle() { return ssl_; }
  asio::ip::tcp::socket& socket() { return *socket_; }

  // Errors of the TLS library are in Asio's TLS category, with the library's text; a
  // peer that closes during the handshake is asio::ssl::error::stream_truncated. Any
  // alert the engine produced on failure is sent first. Cancelling it (as `||` does)
  // ends it at once.
  asio::awaitable<std::error_code> handshake();

  // Decrypted bytes, as many as have arrived up to the buffer's size. The end of input
  // (a close notice, or the peer closing without one) is asio::error::eof with n == 0.
  asio::awaitable<IoCount> read_some(asio::mutable_buffer buffer);

  // Encrypts every piece, in full records where the pieces allow (a frame header travels
  // in one record with the start of its payload), then sends it all in one socket
  // write. All bytes are accepted or the write fails.
  asio::awaitable<IoCount> write_some(std::span<const asio::const_buffer> pieces);

  // Sends the close notice; reading goes on until the peer's end.
  asio::awaitable<std::error_code> send_close_notify();

 private:
  friend struct TlsEngineBio;

  std::error_code library_error();
  // Moves what the engine produced out of its output buffer and sends it.
  asio::awaitable<std::error_code> flush();
  asio::awaitable<std::error_code> send_all(std::span<const std::uint8_t> bytes);
  // One socket read into the input buffer; for the handshake, the end is a truncation.
  asio::awaitable<std::error_code> receive(bool handshaking);
  // Encrypts one run of bytes; false with the library's error.
  bool encrypt(const std::uint8_t* data, std::size_t size);

  std::shared_ptr<asio::ip::tcp::socket> socket_;
  SSL* ssl_;
  std::mutex mutex_;  // around every OpenSSL call and the output buffer
  // Input: read from the socket, taken by the engine from input_start_.
  std::unique_ptr<std::uint8_t[]> input_;
  std::size_t input_start_ = 0;
  std::size_t input_end_ = 0;
  std::vector<std::uint8_t> output_;   // produced by the engine, not yet being sent
  std::vector<std::uint8_t> sending_;  // being sent by the one write in flight
  std::vector<std::uint8_t> record_;   // small pieces joined into one record
};

}  // namespace quillmar
