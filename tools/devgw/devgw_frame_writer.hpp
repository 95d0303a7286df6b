// The write half of a device's connection, shared by the session and its visitors.
// Frames asked for while a write is under way leave together in the next write, so
// that many small frames cost one system call (and over TLS, records encrypted
// together): the stand-in must not be what limits a benchmark of the client.
//
// send() completes once its frames have been written, or with the error of the write
// that carried them; after a failed write every later send fails with that error. Frames
// leave in the order in which send() was called, the frames of one call together. Strand-bound:
// every call comes from the strand given at construction.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "devgw/devgw_core.hpp"
#include "proto/frame.hpp"
#include "proto/local_wait.hpp"
#include "proto/result.hpp"
#include "proto/stream_halves.hpp"

namespace quillmar::devgw {

class FrameWriter : public std::enable_shared_from_this<FrameWriter> {
 public:
  FrameWriter(const Strand& strand, std::unique_ptr<WriteHalf> half);

  asio::awaitable<Status> send(std::vector<Frame> frames);

 private:
  // A send waiting for the batch that carries its frames, on the sender's own frame.
  struct BatchWaiter {
    std::uint64_t batch;
    LocalWait done;
  };

  // Runs while frames are waiting; one batch per write.
  static asio::awaitable<void> write_batches(std::shared_ptr<FrameWriter> self);
  // After an exception in write_batches (out of memory): every waiting and later send fails.
  void give_up();
  // Resumes, in place, the sends whose batches are done.
  void wake_done();
  asio::awaitable<Status> write_batch(const std::vector<Frame>& batch);
  asio::awaitable<Status> write_all(std::array<asio::const_buffer, 2> pieces);

  Strand strand_;
  std::unique_ptr<WriteHalf> half_;
  std::vector<Frame> waiting_;        // the next batch
  std::vector<std::uint8_t> joined_;  // a batch of several frames, laid end to end
  std::uint64_t batches_started_ = 0;
  std::uint64_t batches_done_ = 0;
  bool writing_ = false;
  std::optional<IoError> failure_;  // of the first failed batch, and every one after it
  std::uint64_t failed_batch_ = 0;
  std::vector<BatchWaiter*> waiters_;
};

}  // namespace quillmar::devgw
