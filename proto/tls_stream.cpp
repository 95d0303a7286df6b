#include "proto/tls_stream.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <cstring>
#include <vector>

#include "proto/openssl_util.hpp"
#include "proto/text.hpp"

namespace quillmar {
namespace {

using asio::experimental::as_tuple;
using asio::ip::tcp;
constexpr auto use_tuple = as_tuple(asio::use_awaitable);

// The largest payload of one TLS record: writes of two pieces are joined up to this
// size, so a frame header does not travel in a record of its own.
constexpr std::size_t MAX_RECORD_PAYLOAD = 16384;

// What both halves share. The stream is used only on the strand; the configuration
// is kept for as long as the connection that was made from it.
struct TlsShared {
  TlsShared(tcp::socket socket, ClientConfigPtr config_in)
      : config(std::move(config_in)),
        strand(asio::make_strand(socket.get_executor())),
        stream(std::move(socket), config->context()) {}

  ClientConfigPtr config;
  asio::strand<asio::any_io_executor> strand;
  asio::ssl::stream<tcp::socket> stream;
};
using SharedPtr = std::shared_ptr<TlsShared>;

// The operations below run on the strand (each is spawned there by its caller).

asio::awaitable<std::error_code> handshake_on_strand(SharedPtr shared) {
  auto [ec] = co_await shared->stream.async_handshake(asio::ssl::stream_base::client, use_tuple);
  co_return ec;
}

asio::awaitable<IoCount> read_on_strand(SharedPtr shared, asio::mutable_buffer buffer) {
  auto [ec, n] = co_await shared->stream.async_read_some(buffer, use_tuple);
  // A peer that closes the TCP connection without a close notice has ended its input
  // all the same; the frame layer notices a frame cut short on its own.
  if (ec == asio::ssl::error::stream_truncated) ec = asio::error::eof;
  co_return IoCount{ec, n};
}

asio::awaitable<IoCount> write_on_strand(SharedPtr shared, asio::const_buffer buffer) {
  auto [ec, n] = co_await shared->stream.async_write_some(buffer, use_tuple);
  co_return IoCount{ec, n};
}

// Sends the close notice and nothing else. Asio's shutdown also waits for the peer's
// close notice, reading from the socket, while our read half may still be reading
// the peer's last data. Marking the peer's notice as received for the moment of the
// call makes OpenSSL send ours and report the shutdown complete; the mark is taken
// back before anything else runs on the strand, so reading continues normally.
asio::awaitable<std::error_code> send_close_notify(SharedPtr shared) {
  auto [ec] = co_await asio::async_initiate<decltype(use_tuple), void(std::error_code)>(
      [&shared](auto handler) {
        SSL* ssl = shared->stream.native_handle();
        const int before = SSL_get_shutdown(ssl);
        SSL_set_shutdown(ssl, before | SSL_RECEIVED_SHUTDOWN);
        shared->stream.async_shutdown(std::move(handler));
        SSL_set_shutdown(ssl, (SSL_get_shutdown(ssl) & ~SSL_RECEIVED_SHUTDOWN) |
                                  (before & SSL_RECEIVED_SHUTDOWN));
      },
      use_tuple);
  co_return ec;
}

asio::awaitable<std::error_code> shutdown_on_strand(SharedPtr shared) {
  std::error_code notice = co_await send_close_notify(shared);
  std::error_code tcp;
  shared->stream.next_layer().shutdown(tcp::socket::shutdown_send, tcp);
  co_return notice ? notice : tcp;
}

// The background close of a write half released without a shutdown. It owns a
// reference to the connection and ends after the close notice went out or after
// CLOSE_NOTIFY_TIMEOUT (a peer that reads nothing), whichever comes first.
asio::awaitable<void> close_on_release(SharedPtr shared) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer deadline(shared->strand, CLOSE_NOTIFY_TIMEOUT);
  // Errors are of no use here: nobody is left to report them to.
  co_await (send_close_notify(shared) || deadline.async_wait(use_tuple));
  std::error_code ignored;
  shared->stream.next_layer().shutdown(tcp::socket::shutdown_send, ignored);
}

class TlsReadHalf final : public ReadHalf {
 public:
  explicit TlsReadHalf(SharedPtr shared) : shared_(std::move(shared)) {}

  asio::awaitable<IoCount> read_some(asio::mutable_buffer buffer) override {
    co_return co_await asio::co_spawn(shared_->strand, read_on_strand(shared_, buffer),
                                      asio::use_awaitable);
  }

 private:
  SharedPtr shared_;
};

class TlsWriteHalf final : public WriteHalf {
 public:
  explicit TlsWriteHalf(SharedPtr shared) : shared_(std::move(shared)) {}

  ~TlsWriteHalf() override {
    if (shut_down_) return;
    auto strand = shared_->strand;
    asio::co_spawn(strand, close_on_release(std::move(shared_)), asio::detached);
  }

  asio::awaitable<IoCount> write_some(std::array<asio::const_buffer, 2> pieces) override {
    asio::const_buffer buffer = pieces[0];
    if (buffer.size() == 0) {
      buffer = pieces[1];
    } else if (pieces[1].size() != 0 && buffer.size() < MAX_RECORD_PAYLOAD) {
      std::size_t second = std::min(pieces[1].size(), MAX_RECORD_PAYLOAD - buffer.size());
      joined_.resize(buffer.size() + second);
      std::memcpy(joined_.data(), buffer.data(), buffer.size());
      std::memcpy(joined_.data() + buffer.size(), pieces[1].data(), second);
      buffer = asio::buffer(joined_);
    }
    co_return co_await asio::co_spawn(shared_->strand, write_on_strand(shared_, buffer),
                                      asio::use_awaitable);
  }

  asio::awaitable<std::error_code> shutdown() override {
    std::error_code ec =
        co_await asio::co_spawn(shared_->strand, shutdown_on_strand(shared_), asio::use_awaitable);
    if (!ec) shut_down_ = true;
    co_return ec;
  }

 private:
  SharedPtr shared_;
  std::vector<std::uint8_t> joined_;  // both pieces of a write, one record's worth
  bool shut_down_ = false;
};

// Server name indication for DNS names (without a trailing dot, which the extension
// does not carry); for a verifying configuration also the name the certificate must
// be valid for.
Status apply_server_name(SSL* ssl, const ClientConfig& config, const ServerName& name) {
  ERR_clear_error();
  if (name.type == ServerName::Type::dns) {
    std::string host = name.text;
    if (!host.empty() && host.back() == '.') host.pop_back();
    if (SSL_set_tlsext_host_name(ssl, host.c_str()) != 1) {
      return IoError::make(ErrorKind::InvalidInput, openssl_error_text());
    }
    if (config.verifies() &&
        X509_VERIFY_PARAM_set1_host(SSL_get0_param(ssl), host.data(), host.size()) != 1) {
      return IoError::make(ErrorKind::InvalidInput, openssl_error_text());
    }
  } else if (config.verifies() &&
             X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.text.c_str()) != 1) {
    return IoError::make(ErrorKind::InvalidInput, openssl_error_text());
  }
  return {};
}

IoError handshake_error(const std::error_code& ec, SSL* ssl, const ClientConfig& config) {
  if (ec.category() != asio::error::get_ssl_category()) return IoError::from(ec);
  std::string text = ec.message();
  // OpenSSL's own text says only that verification failed; the reason is kept apart.
  if (config.verifies() &&
      ERR_GET_REASON(static_cast<unsigned long>(ec.value())) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
    long result = SSL_get_verify_result(ssl);
    if (result != X509_V_OK) text += ": " + std::string(X509_verify_cert_error_string(result));
  }
  return IoError::make(ErrorKind::InvalidData, std::move(text));
}

Result<std::string> leaf_fingerprint(SSL* ssl) {
  X509* leaf = SSL_get0_peer_certificate(ssl);
  if (leaf == nullptr)
    return IoError::make(ErrorKind::InvalidData, "the server presented no certificate");
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(leaf, EVP_sha256(), digest, &length) != 1) {
    return IoError::make(ErrorKind::InvalidData, openssl_error_text());
  }
  return hex_lower(std::span<const std::uint8_t>(digest, length));
}

}  // namespace

asio::awaitable<Result<TlsConnection>> tls_handshake(tcp::socket socket, ClientConfigPtr config,
                                                     const ServerName& name) {
  auto shared = std::make_shared<TlsShared>(std::move(socket), std::move(config));
  SSL* ssl = shared->stream.native_handle();
  if (Status applied = apply_server_name(ssl, *shared->config, name); !applied)
    co_return applied.error();

  std::error_code ec =
      co_await asio::co_spawn(shared->strand, handshake_on_strand(shared), asio::use_awaitable);
  if (ec) co_return handshake_error(ec, ssl, *shared->config);

  auto fingerprint = leaf_fingerprint(ssl);
  if (!fingerprint) co_return fingerprint.error();
  co_return TlsConnection{
      SplitStream{std::make_unique<TlsReadHalf>(shared), std::make_unique<TlsWriteHalf>(shared)},
      std::move(fingerprint).value()};
}

}  // namespace quillmar
