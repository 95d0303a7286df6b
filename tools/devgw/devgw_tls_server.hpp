// TLS on a device's control connection, the server side, with the engine fed through
// memory buffers: a socket read of up to 256 KiB goes into it at once, and everything one
// write encrypts (all the records of a batch of frames) leaves in one socket write,
// rather than one record per system call. The stand-in must not be what limits a
// benchmark of the client.
//
// The halves follow the ones of split_ssl: one read and one write may be in flight at a
// time, both from the same strand; the end of input without a close notice reads as
// the end (eof); shutting the write half down ends the TCP send direction without a
// close notice. Records that reading produces (a key update) leave with the next write.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <memory>
#include <system_error>

#include "proto/stream_halves.hpp"

namespace quillmar::devgw {

struct TlsAccepted {
  std::error_code error;  // set when the handshake failed; OpenSSL's reason in its message
  SplitStream halves;
};

// The server handshake on the socket, which the caller may share to shut it down or
// cancel it from outside.
asio::awaitable<TlsAccepted> accept_tls(std::shared_ptr<asio::ip::tcp::socket> socket,
                                        std::shared_ptr<asio::ssl::context> context);

}  // namespace quillmar::devgw
