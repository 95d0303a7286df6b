#include "proto/tls_stream.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "proto/openssl_util.hpp"
#include "proto/text.hpp"
#include "proto/tls_engine.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;
constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);
using EnginePtr = std::shared_ptr<TlsEngine>;

// The background close of a write half released without a shutdown. It owns a
// reference to the connection and ends after the close notice went out or after
// CLOSE_NOTIFY_TIMEOUT (a peer that reads nothing), whichever comes first.
asio::awaitable<void> close_on_release(EnginePtr engine) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer deadline(engine->socket().get_executor(), CLOSE_NOTIFY_TIMEOUT);
  // Errors are of no use here: nobody is left to report them to.
  co_await (engine->send_close_notify() || deadline.async_wait(use_tuple));
  std::error_code ignored;
  engine->socket().shutdown(tcp::socket::shutdown_send, ignored);
}

class TlsReadHalf final : public ReadHalf {
 public:
  explicit TlsReadHalf(EnginePtr engine) : engine_(std::move(engine)) {}

  asio::awaitable<IoCount> read_some(asio::mutable_buffer buffer) override {
    return engine_->read_some(buffer);
  }
  bool buffers_input() const override { return true; }

 private:
  EnginePtr engine_;
};

class TlsWriteHalf final : public WriteHalf {
 public:
  explicit TlsWriteHalf(EnginePtr engine) : engine_(std::move(engine)) {}

  ~TlsWriteHalf() override {
    if (shut_down_) return;
    auto executor = engine_->socket().get_executor();
    asio::co_spawn(executor, close_on_release(std::move(engine_)), asio::detached);
  }

  asio::awaitable<IoCount> write_some(std::span<const asio::const_buffer> pieces) override {
    return engine_->write_some(pieces);
  }

  asio::awaitable<std::error_code> shutdown() override {
    std::error_code ec = co_await engine_->send_close_notify();
    std::error_code tcp;
    engine_->socket().shutdown(tcp::socket::shutdown_send, tcp);
    if (!ec) ec = tcp;
    if (!ec) shut_down_ = true;
    co_return ec;
  }

 private:
  EnginePtr engine_;
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
  auto engine =
      std::make_shared<TlsEngine>(std::make_shared<tcp::socket>(std::move(socket)),
                                  config->context().native_handle(), TlsEngine::Role::client);
  SSL* ssl = engine->native_handle();
  if (Status applied = apply_server_name(ssl, *config, name); !applied) co_return applied.error();

  std::error_code ec = co_await engine->handshake();
  if (ec) co_return handshake_error(ec, ssl, *config);

  auto fingerprint = leaf_fingerprint(ssl);
  if (!fingerprint) co_return fingerprint.error();
  co_return TlsConnection{
      SplitStream{std::make_unique<TlsReadHalf>(engine), std::make_unique<TlsWriteHalf>(engine)},
      std::move(fingerprint).value()};
}

}  // namespace quillmar
