#include "devgw/devgw_frame_reader.hpp"

#include <algorithm>
#include <asio/error.hpp>
#include <cstring>

namespace quillmar::devgw {
namespace {

constexpr std::size_t READ_BUFFER = 256 * 1024;
// A payload missing at least this much is read straight into its own buffer.
constexpr std::size_t DIRECT_READ = 64 * 1024;

std::uint32_t read_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

bool ended(const IoCount& read) { return read.ec == asio::error::eof || (!read.ec && read.n == 0); }

}  // namespace

FrameReader::FrameReader(ReadHalf& half) : half_(half), buffer_(READ_BUFFER) {}

asio::awaitable<FrameReader::Fill> FrameReader::fill(std::error_code& error) {
  if (begin_ == end_) {
    begin_ = end_ = 0;
  } else if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  auto read = co_await half_.read_some(asio::buffer(buffer_.data() + end_, buffer_.size() - end_));
  if (ended(read)) co_return Fill::ended;
  if (read.ec) {
    error = read.ec;
    co_return Fill::failed;
  }
  end_ += read.n;
  co_return Fill::more;
}

void FrameReader::take_buffered(std::vector<std::uint8_t>& payload, std::size_t length) {
  const std::size_t take = std::min(end_ - begin_, length - payload.size());
  payload.insert(payload.end(), buffer_.data() + begin_, buffer_.data() + begin_ + take);
  begin_ += take;
}

asio::awaitable<FrameReader::Fill> FrameReader::finish_payload(std::vector<std::uint8_t>& payload,
                                                               std::size_t length,
                                                               std::error_code& error) {
  while (payload.size() < length) {
    const std::size_t have = payload.size();
    if (length - have >= DIRECT_READ) {
      payload.resize(length);
      auto read = co_await half_.read_some(asio::buffer(payload.data() + have, length - have));
      payload.resize(have + read.n);
      if (ended(read)) co_return Fill::ended;
      if (read.ec) {
        error = read.ec;
        co_return Fill::failed;
      }
      continue;
    }
    Fill filled = co_await fill(error);
    if (filled != Fill::more) co_return filled;
    take_buffered(payload, length);
  }
  co_return Fill::more;
}

asio::awaitable<Result<std::optional<Frame>>> FrameReader::next() {
  std::error_code ec;
  while (end_ - begin_ < FRAME_HEADER_LEN) {
    Fill filled = co_await fill(ec);
    if (filled == Fill::ended) co_return std::optional<Frame>();
    if (filled == Fill::failed) co_return IoError::from(ec);
  }
  const std::uint8_t* header = buffer_.data() + begin_;
  std::uint32_t length = read_be32(header + 5);
  if (length > MAX_FRAME_LEN) co_return IoError::make(ErrorKind::InvalidData, "frame too large");
  Frame frame{{}, read_be32(header + 1), header[0]};
  begin_ += FRAME_HEADER_LEN;

  frame.payload.reserve(length);
  take_buffered(frame.payload, length);
  Fill finished = co_await finish_payload(frame.payload, length, ec);
  if (finished == Fill::ended) co_return IoError::make(ErrorKind::UnexpectedEof, "early eof");
  if (finished == Fill::failed) co_return IoError::from(ec);
  co_return std::optional<Frame>(std::move(frame));
}

}  // namespace quillmar::devgw
