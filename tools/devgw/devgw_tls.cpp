#include "devgw/devgw_tls.hpp"

#include <algorithm>
#include <asio/error.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/ssl/error.hpp>
#include <asio/use_awaitable.hpp>
#include <cstring>
#include <vector>

namespace quillmar::devgw {
namespace {

constexpr std::size_t TLS_RECORD = 16 * 1024;

class SslReadHalf final : public ReadHalf {
 public:
  explicit SslReadHalf(std::shared_ptr<SslStream> stream) : stream_(std::move(stream)) {}

  asio::awaitable<IoCount> read_some(asio::mutable_buffer buffer) override {
    auto [ec, n] = co_await stream_->async_read_some(
        buffer, asio::experimental::as_tuple(asio::use_awaitable));
    // A peer that closes without a close notice has still ended its input.
    if (ec == asio::ssl::error::stream_truncated) ec = asio::error::eof;
    co_return IoCount{ec, n};
  }

 private:
  std::shared_ptr<SslStream> stream_;
};

class SslWriteHalf final : public WriteHalf {
 public:
  explicit SslWriteHalf(std::shared_ptr<SslStream> stream) : stream_(std::move(stream)) {}

  ~SslWriteHalf() override {
    if (shut_down_) return;
    std::error_code ignored;  // the peer may be gone already
    stream_->lowest_layer().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  }

  // A frame header on its own would cost a TLS record of nine bytes: the header and
  // the start of the payload go out together as one record instead.
  asio::awaitable<IoCount> write_some(std::array<asio::const_buffer, 2> pieces) override {
    if (pieces[0].size() == 0) {
      auto [ec, n] = co_await stream_->async_write_some(
          pieces[1], asio::experimental::as_tuple(asio::use_awaitable));
      co_return IoCount{ec, n};
    }
    if (pieces[0].size() >= TLS_RECORD || pieces[1].size() == 0) {
      auto [ec, n] = co_await stream_->async_write_some(
          pieces[0], asio::experimental::as_tuple(asio::use_awaitable));
      co_return IoCount{ec, n};
    }
    std::size_t second = std::min(pieces[1].size(), TLS_RECORD - pieces[0].size());
    scratch_.resize(pieces[0].size() + second);
    std::memcpy(scratch_.data(), pieces[0].data(), pieces[0].size());
    std::memcpy(scratch_.data() + pieces[0].size(), pieces[1].data(), second);
    auto [ec, n] = co_await stream_->async_write_some(
        asio::buffer(scratch_), asio::experimental::as_tuple(asio::use_awaitable));
    co_return IoCount{ec, n};
  }

  asio::awaitable<std::error_code> shutdown() override {
    std::error_code ec;
    stream_->lowest_layer().shutdown(asio::ip::tcp::socket::shutdown_send, ec);
    if (!ec) shut_down_ = true;
    co_return ec;
  }

 private:
  std::shared_ptr<SslStream> stream_;
  std::vector<std::uint8_t> scratch_;
  bool shut_down_ = false;
};

}  // namespace

SplitStream split_ssl(std::shared_ptr<SslStream> stream) {
  return {std::make_unique<SslReadHalf>(stream), std::make_unique<SslWriteHalf>(stream)};
}

}  // namespace quillmar::devgw
