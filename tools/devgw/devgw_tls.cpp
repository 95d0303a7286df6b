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
  asio::awaitable<IoCount> write_some(std::span<const asio::const_buffer> pieces) override {
    while (!pieces.empty() && pieces.front().size() == 0) pieces = pieces.subspan(1);
    if (pieces.empty()) co_return IoCount{};
    const asio::const_buffer first = pieces.front();
    if (first.size() >= TLS_RECORD || pieces.size() == 1) {
      auto [ec, n] = co_await stream_->async_write_some(
          first, asio::experimental::as_tuple(asio::use_awaitable));
      co_return IoCount{ec, n};
    }
    const asio::const_buffer next = pieces[1];
    std::size_t second = std::min(next.size(), TLS_RECORD - first.size());
    scratch_.resize(first.size() + second);
    std::memcpy(scratch_.data(), first.data(), first.size());
    std::memcpy(scratch_.data() + first.size(), next.data(), second);
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
