// A kernel pipe through which a local connection's bytes reach a plain gateway
// connection as KIND_DATA frames without passing through the program's memory: each
// frame's header is written into the pipe and its payload spliced in behind it straight
// from the local socket; the pipe's contents are then spliced on to the gateway socket.
// Of the two copies every such byte costs otherwise (out of the local socket, into the
// gateway socket), neither is made. Linux only: elsewhere, or where the pipe cannot be
// made large enough, open() gives none and frames are copied as usual.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>

namespace quillmar {

class FramePipe {
 public:
  // Holds this many bytes of frames at least; a fill takes no more.
  static constexpr std::size_t CAPACITY = 256 * 1024;

  static std::unique_ptr<FramePipe> open();
  ~FramePipe();
  FramePipe(const FramePipe&) = delete;
  FramePipe& operator=(const FramePipe&) = delete;

  // Puts what the local socket holds now, at most `most` bytes (no more than CAPACITY),
  // into the pipe as frames of `stream_id` with payloads of at most `frame_most` bytes;
  // `put` tells how many payload bytes. Nothing held, or a socket that cannot tell, puts
  // nothing and is no error: a read then learns why. An error leaves a frame cut short
  // in the pipe, which must then never be sent.
  std::error_code fill(asio::ip::tcp::socket& local, std::uint32_t stream_id, std::size_t most,
                       std::size_t frame_most, std::size_t& put);

  // Sends everything the pipe holds to the gateway socket, waiting while its send
  // buffer is full.
  asio::awaitable<std::error_code> drain(asio::ip::tcp::socket& gateway);

  bool empty() const { return held_ == 0; }

 private:
  FramePipe(int read_end, int write_end) : read_end_(read_end), write_end_(write_end) {}

  int read_end_;
  int write_end_;
  std::size_t buffers_ = 0;       // the pipe's room, in page-sized buffers
  std::size_t buffers_used_ = 0;  // the most the frames in it may take
  std::size_t held_ = 0;          // bytes in the pipe: headers and payloads
};

}  // namespace quillmar
