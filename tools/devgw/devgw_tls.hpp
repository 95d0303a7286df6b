// A TLS stream over TCP split into the frame code's read and write halves: the devices of
// the tests use it for their side of a TLS connection to the stand-in (whose own side is
// devgw_tls_server's).
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/ssl/stream.hpp>
#include <memory>

#include "proto/stream_halves.hpp"

namespace quillmar::devgw {

using SslStream = asio::ssl::stream<asio::ip::tcp::socket>;

// The handshake must be done. One read and one write may be in flight at the same
// time, from the same strand. End of input without a close notice reads as eof;
// shutting the write half down ends the TCP send direction (no close notice).
SplitStream split_ssl(std::shared_ptr<SslStream> stream);

}  // namespace quillmar::devgw
