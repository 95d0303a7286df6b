#include "proto/frame.hpp"

#include <algorithm>
#include <asio/error.hpp>
#include <cstring>

namespace quillmar {
namespace {

enum class Filled { full, ended, failed };

// Reads until the buffer is full; ended means the peer closed before that.
asio::awaitable<Filled> fill(ReadHalf& half, std::span<std::uint8_t> buffer,
                             std::error_code& error) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    auto [ec, n] =
        co_await half.read_some(asio::buffer(buffer.data() + filled, buffer.size() - filled));
    if (ec == asio::error::eof || (!ec && n == 0)) co_return Filled::ended;
    if (ec) {
      error = ec;
      co_return Filled::failed;
    }
    filled += n;
  }
  co_return Filled::full;
}

// Reads a payload's bytes from `from` on straight into their place; an end before the
// last byte is an early eof.
asio::awaitable<Status> fill_payload(ReadHalf& half, std::vector<std::uint8_t>& payload,
                                     std::size_t from) {
  std::error_code ec;
  Filled filled = co_await fill(half, std::span(payload).subspan(from), ec);
  if (filled == Filled::ended) co_return IoError::make(ErrorKind::UnexpectedEof, "early eof");
  if (filled == Filled::failed) co_return IoError::from(ec);
  co_return Status();
}

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

Frame make_frame(const std::uint8_t* header) { return Frame{{}, read_be32(header + 1), header[0]}; }

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
  Filled header_fill = co_await fill(half, header, ec);
  switch (header_fill) {
    case Filled::ended:
      co_return std::optional<Frame>();
    case Filled::failed:
      co_return IoError::from(ec);
    case Filled::full:
      break;
  }
  std::uint32_t length = read_be32(&header[5]);
  if (length > MAX_FRAME_LEN) co_return IoError::make(ErrorKind::InvalidData, "frame too large");

  Frame frame = make_frame(header.data());
  frame.payload.resize(length);
  Status payload = co_await fill_payload(half, frame.payload, 0);
  if (!payload) co_return payload.error();
  co_return std::optional<Frame>(std::move(frame));
}

FrameReader::FrameReader(std::unique_ptr<ReadHalf> half)
    : half_(std::move(half)),
      chunk_(half_->buffers_input() ? FRAME_READ_AHEAD : FRAME_READ_CHUNK) {}

asio::awaitable<FrameReader::Fill> FrameReader::read_more(std::error_code& error) {
  if (!buffer_) buffer_.reset(new std::uint8_t[chunk_]);
  if (start_ == end_) start_ = end_ = 0;
  if (end_ == chunk_) {
    std::memmove(buffer_.get(), data(), buffered());
    end_ -= start_;
    start_ = 0;
  }
  auto [ec, n] = co_await half_->read_some(asio::buffer(buffer_.get() + end_, chunk_ - end_));
  if (ec == asio::error::eof || (!ec && n == 0)) co_return Fill::ended;
  if (ec) {
    error = ec;
    co_return Fill::failed;
  }
  end_ += n;
  co_return Fill::more;
}

asio::awaitable<Result<std::optional<Frame>>> FrameReader::next() {
  std::error_code ec;
  while (buffered() < FRAME_HEADER_LEN) {
    Fill filled = co_await read_more(ec);
    if (filled == Fill::ended) co_return std::optional<Frame>();
    if (filled == Fill::failed) co_return IoError::from(ec);
  }
  const std::uint32_t length = read_be32(data() + 5);
  if (length > MAX_FRAME_LEN) co_return IoError::make(ErrorKind::InvalidData, "frame too large");
  Frame frame = make_frame(data());
  start_ += FRAME_HEADER_LEN;

  frame.payload.reserve(length);
  for (;;) {
    const std::size_t take = std::min<std::size_t>(buffered(), length - frame.payload.size());
    frame.payload.insert(frame.payload.end(), data(), data() + take);
    start_ += take;
    if (frame.payload.size() == length) break;
    if (half_->buffers_input()) {
      // The rest of a large payload straight into its place: no copy through the buffer.
      const std::size_t had = frame.payload.size();
      frame.payload.resize(length);
      Status rest = co_await fill_payload(*half_, frame.payload, had);
      if (!rest) co_return rest.error();
      break;
    }
    Fill filled = co_await read_more(ec);
    if (filled == Fill::ended) co_return IoError::make(ErrorKind::UnexpectedEof, "early eof");
    if (filled == Fill::failed) co_return IoError::from(ec);
  }
  co_return std::optional<Frame>(std::move(frame));
}

}  // namespace quillmar
