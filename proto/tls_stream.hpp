// The TLS client connection over a TCP socket, split into a read half and a write half
// like a plain TCP stream.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <string>

#include "proto/result.hpp"
#include "proto/stream_halves.hpp"
#include "proto/tls_config.hpp"

namespace quillmar {

// How long a released write half keeps trying to deliver its close notice.
inline constexpr std::chrono::seconds CLOSE_NOTIFY_TIMEOUT{5};

struct TlsConnection {
  SplitStream halves;
  // SHA-256 of the DER bytes of the server's own certificate, 64 lower-case hex digits.
  std::string peer_fingerprint;
};

// Runs the client handshake over the socket: server name indication for DNS names,
// and for a verifying configuration the name check. Failure is an error whose text is
// the TLS library's. The caller bounds it with a timer; cancelling it (as `||` does)
// ends it at once and closes the socket.
//
// The halves share one TlsEngine, so one task may read while another writes, from any
// threads; the session's both run on its own thread. Each write of the write half
// leaves in one socket write. The read half reports a peer that closes without a close
// notice as end of input. The write half's shutdown sends the close notice, then ends
// the TCP send direction; releasing the write half without it does the same in the
// background, giving up after CLOSE_NOTIFY_TIMEOUT. The connection closes when both
// halves and that background step are done.
asio::awaitable<Result<TlsConnection>> tls_handshake(asio::ip::tcp::socket socket,
                                                     ClientConfigPtr config,
                                                     const ServerName& name);

}  // namespace quillmar
