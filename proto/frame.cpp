#include "proto/frame.hpp"

#include <asio/error.hpp>

namespace quillmar {
namespace {

enum class Fill { full, ended, failed };

// Reads until the buffer is full; ended means the peer closed before that.
asio::awaitable<Fill> fill(ReadHalf& half, std::span<std::uint8_t> buffer, std::error_code& error) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto [ec, n] =
        co_await half.read_some(asio::buffer(buffer.data() + filled, buffer.size() - filled));
    if (ec == asio::error::eof || (!ec && n == 0)) co_return Fill::ended;
    if (ec) {
      error = ec;
      co_return Fill::failed;
    }
    filled += n;
  }
  co_return Fill::full;
}

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

}  // namespace

Frame new_frame(std::uint8_t kind, std::uint32_t id, std::span<const std::uint8_t> bytes) {
  return Frame{std::vector<std::uint8_t>(bytes.begin(), bytes.end()), id, kind};
}

std::array<std::uint8_t, FRAME_HEADER_LEN> encode_header(std::uint8_t kind, std::uint32_t id,
                                                         std::size_t length) {
  return {kind,
          static_cast<std::uint8_t>(id >> 24),
          static_cast<std::uint8_t>(id >> 16),
          static_cast<std::uint8_t>(id >> 8),
          static_cast<std::uint8_t>(id),
          0,
          static_cast<std::uint8_t>(length >> 16),
          static_cast<std::uint8_t>(length >> 8),
          static_cast<std::uint8_t>(length)};
}

asio::awaitable<Result<std::optional<Frame>>> read_frame(ReadHalf& half) {
  std::array<std::uint8_t, FRAME_HEADER_LEN> header{};
  std::error_code ec;
  Fill header_fill = co_await fill(half, header, ec);
  switch (header_fill) {
    case Fill::ended:
      co_return std::optional<Frame>();
    case Fill::failed:
      co_return IoError::from(ec);
    case Fill::full:
      break;
  }
  std::uint32_t length = read_be32(&header[5]);
  if (length > MAX_FRAME_LEN) co_return IoError::make(ErrorKind::InvalidData, "frame too large");

  Frame frame{std::vector<std::uint8_t>(length), read_be32(&header[1]), header[0]};
  Fill payload_fill = co_await fill(half, frame.payload, ec);
  switch (payload_fill) {
    case Fill::ended:
      co_return IoError::make(ErrorKind::UnexpectedEof, "early eof");
    case Fill::failed:
      co_return IoError::from(ec);
    case Fill::full:
      break;
  }
  co_return std::optional<Frame>(std::move(frame));
}

}  // namespace quillmar
