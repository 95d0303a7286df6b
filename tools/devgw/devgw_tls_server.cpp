#include "devgw/devgw_tls_server.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ssl/error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cstring>
#include <vector>

namespace quillmar::devgw {
namespace {

using asio::ip::tcp;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);
constexpr std::size_t SOCKET_READ = 256 * 1024;
constexpr std::size_t TLS_RECORD = 16 * 1024;

// The reason of the engine's last failure, as Asio's TLS streams report it.
std::error_code engine_error() {
  unsigned long code = ERR_get_error();
  if (code == 0) return asio::error::connection_reset;
  return {static_cast<int>(code), asio::error::get_ssl_category()};
}

class TlsEngine {
 public:
  TlsEngine(std::shared_ptr<tcp::socket> socket, std::shared_ptr<asio::ssl::context> context)
      : socket_(std::move(socket)),
        context_(std::move(context)),
        ssl_(SSL_new(context_->native_handle())),
        net_in_(SOCKET_READ) {
    BIO* in = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    in_ = in;
    SSL_set_bio(ssl_, in, out_);  // the engine owns both buffers from here on
    SSL_set_accept_state(ssl_);
  }
  ~TlsEngine() { SSL_free(ssl_); }
  TlsEngine(const TlsEngine&) = delete;
  TlsEngine& operator=(const TlsEngine&) = delete;

  tcp::socket& socket() { return *socket_; }

  asio::awaitable<std::error_code> handshake() {
    for (;;) {
      ERR_clear_error();
      int done = SSL_do_handshake(ssl_);
      std::error_code problem;
      if (done != 1 && SSL_get_error(ssl_, done) != SSL_ERROR_WANT_READ) problem = engine_error();
      // Sent in every case: an alert tells the client why the handshake failed.
      std::error_code sent = co_await flush();
      if (done == 1 || problem) co_return problem ? problem : sent;
      if (sent) co_return sent;
      std::error_code received = co_await receive();
      if (received) co_return received;
    }
  }

  asio::awaitable<IoCount> read_some(asio::mutable_buffer into) {
    auto* bytes = static_cast<std::uint8_t*>(into.data());
    for (;;) {
      std::size_t got = 0;
      int failure = SSL_ERROR_NONE;
      ERR_clear_error();
      while (got < into.size()) {
        std::size_t n = 0;
        if (SSL_read_ex(ssl_, bytes + got, into.size() - got, &n) == 1) {
          got += n;
          continue;
        }
        failure = SSL_get_error(ssl_, 0);
        break;
      }
      if (got > 0) co_return IoCount{{}, got};
      if (failure == SSL_ERROR_ZERO_RETURN) co_return IoCount{asio::error::eof, 0};
      if (failure != SSL_ERROR_WANT_READ) co_return IoCount{engine_error(), 0};
      std::error_code received = co_await receive();
      if (received) co_return IoCount{received, 0};
    }
  }

  // The header of a frame and the start of its payload go into one record, so that a
  // header never costs a record of its own.
  asio::awaitable<IoCount> write_some(std::array<asio::const_buffer, 2> pieces) {
    const std::size_t total = pieces[0].size() + pieces[1].size();
    if (total == 0) co_return IoCount{};
    ERR_clear_error();
    if (pieces[0].size() > 0 && pieces[1].size() > 0 && pieces[0].size() < TLS_RECORD) {
      std::size_t joined = std::min(pieces[1].size(), TLS_RECORD - pieces[0].size());
      scratch_.resize(pieces[0].size() + joined);
      std::memcpy(scratch_.data(), pieces[0].data(), pieces[0].size());
      std::memcpy(scratch_.data() + pieces[0].size(), pieces[1].data(), joined);
      pieces = {asio::buffer(scratch_), pieces[1] + joined};
    }
    for (const auto& piece : pieces) {
      std::size_t n = 0;
      if (piece.size() > 0 && SSL_write_ex(ssl_, piece.data(), piece.size(), &n) != 1) {
        co_return IoCount{engine_error(), 0};
      }
    }
    std::error_code sent = co_await flush();
    if (sent) co_return IoCount{sent, 0};
    co_return IoCount{{}, total};
  }

 private:
  asio::awaitable<std::error_code> receive() {
    auto [ec, n] = co_await socket_->async_read_some(asio::buffer(net_in_), as_tuple_awaitable);
    if (ec) co_return ec;
    if (BIO_write(in_, net_in_.data(), static_cast<int>(n)) != static_cast<int>(n))
      co_return asio::error::no_memory;
    co_return std::error_code();
  }

  // Everything the engine has produced, in one socket write.
  asio::awaitable<std::error_code> flush() {
    std::size_t pending = BIO_ctrl_pending(out_);
    if (pending == 0) co_return std::error_code();
    net_out_.resize(pending);
    std::size_t n = 0;
    if (BIO_read_ex(out_, net_out_.data(), pending, &n) != 1) co_return asio::error::no_memory;
    auto [ec, written] =
        co_await asio::async_write(*socket_, asio::buffer(net_out_.data(), n), as_tuple_awaitable);
    co_return ec;
  }

  std::shared_ptr<tcp::socket> socket_;
  std::shared_ptr<asio::ssl::context> context_;
  SSL* ssl_;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  std::vector<std::uint8_t> net_in_;
  std::vector<std::uint8_t> net_out_;
  std::vector<std::uint8_t> scratch_;
};

class TlsReadHalf final : public ReadHalf {
 public:
  explicit TlsReadHalf(std::shared_ptr<TlsEngine> engine) : engine_(std::move(engine)) {}
  asio::awaitable<IoCount> read_some(asio::mutable_buffer buffer) override {
    return engine_->read_some(buffer);
  }

 private:
  std::shared_ptr<TlsEngine> engine_;
};

class TlsWriteHalf final : public WriteHalf {
 public:
  explicit TlsWriteHalf(std::shared_ptr<TlsEngine> engine) : engine_(std::move(engine)) {}
  ~TlsWriteHalf() override {
    if (shut_down_) return;
    std::error_code ignored;  // the peer may be gone already
    engine_->socket().shutdown(tcp::socket::shutdown_send, ignored);
  }

  asio::awaitable<IoCount> write_some(std::array<asio::const_buffer, 2> pieces) override {
    return engine_->write_some(pieces);
  }

  asio::awaitable<std::error_code> shutdown() override {
    std::error_code ec;
    engine_->socket().shutdown(tcp::socket::shutdown_send, ec);
    if (!ec) shut_down_ = true;
    co_return ec;
  }

 private:
  std::shared_ptr<TlsEngine> engine_;
  bool shut_down_ = false;
};

}  // namespace

asio::awaitable<TlsAccepted> accept_tls(std::shared_ptr<tcp::socket> socket,
                                        std::shared_ptr<asio::ssl::context> context) {
  auto engine = std::make_shared<TlsEngine>(std::move(socket), std::move(context));
  TlsAccepted accepted;
  accepted.error = co_await engine->handshake();
  if (!accepted.error) {
    accepted.halves = {std::make_unique<TlsReadHalf>(engine),
                       std::make_unique<TlsWriteHalf>(engine)};
  }
  co_return accepted;
}

}  // namespace quillmar::devgw
