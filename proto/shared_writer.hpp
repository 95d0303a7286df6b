// The write half of the gateway connection behind an asynchronous FIFO mutex: every
// task of a session sends through one SharedWriter, one whole frame per lock.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <memory>

#include "proto/async_mutex.hpp"
#include "proto/frame.hpp"
#include "proto/result.hpp"
#include "proto/stream_halves.hpp"

namespace quillmar {

class SharedWriter {
 public:
  SharedWriter(asio::any_io_executor executor, std::unique_ptr<WriteHalf> half);

  // Waits for the mutex (in arrival order, yielding the thread), then writes the
  // header and payload as gathered writes. A sender cancelled in the middle of a frame
  // leaves the connection without a frame boundary: the writer is then broken and
  // every later send fails, so nothing more is sent on that connection.
  asio::awaitable<Status> send(Frame frame);

 private:
  asio::awaitable<Status> write_locked(const Frame& frame);

  AsyncMutex mutex_;
  std::unique_ptr<WriteHalf> half_;
  bool broken_ = false;  // only touched with the lock held
};

using SharedWriterPtr = std::shared_ptr<SharedWriter>;

inline asio::awaitable<Status> send_frame(SharedWriter& writer, Frame frame) {
  return writer.send(std::move(frame));
}

}  // namespace quillmar
