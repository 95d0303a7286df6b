#include "devgw/devgw_tls_server.hpp"

#include "proto/tls_engine.hpp"

namespace quillmar::devgw {
namespace {

using asio::ip::tcp;

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

  asio::awaitable<IoCount> write_some(std::span<const asio::const_buffer> pieces) override {
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
  auto engine = std::make_shared<TlsEngine>(std::move(socket), context->native_handle(),
                                            TlsEngine::Role::server);
  TlsAccepted accepted;
  accepted.error = co_await engine->handshake();
  if (!accepted.error) {
    accepted.halves = {std::make_unique<TlsReadHalf>(engine),
                       std::make_unique<TlsWriteHalf>(engine)};
  }
  co_return accepted;
}

}  // namespace quillmar::devgw
