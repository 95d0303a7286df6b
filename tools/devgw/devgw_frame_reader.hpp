// Frames off a device's connection, many of them out of one large read: the stand-in
// reads in big pieces so that it is not what limits a benchmark of the client.
//
// The outcomes are read_frame's: a frame; nullopt when the connection ends cleanly
// between frames or inside a header; InvalidData "frame too large" for a length above
// the limit (the payload is not read); UnexpectedEof "early eof" when it ends inside a
// payload; any other read error as it came. One next() at a time, and each must be let
// finish: abandoning one loses the frame boundary.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <vector>

#include "proto/frame.hpp"
#include "proto/result.hpp"
#include "proto/stream_halves.hpp"

namespace quillmar::devgw {

class FrameReader {
 public:
  explicit FrameReader(ReadHalf& half);

  asio::awaitable<Result<std::optional<Frame>>> next();

 private:
  enum class Fill { more, ended, failed };
  // Reads more into the buffer, after what it holds.
  asio::awaitable<Fill> fill(std::error_code& error);
  // Moves what the buffer holds of a payload of `length` bytes onto the payload's end.
  void take_buffered(std::vector<std::uint8_t>& payload, std::size_t length);
  // Reads the rest of a payload of `length` bytes. It grows as its bytes come in, so
  // that no byte is zero-filled only to be overwritten, except where most of a payload
  // is still to come and is read straight into its place.
  asio::awaitable<Fill> finish_payload(std::vector<std::uint8_t>& payload, std::size_t length,
                                       std::error_code& error);

  ReadHalf& half_;
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;  // the unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
};

}  // namespace quillmar::devgw
