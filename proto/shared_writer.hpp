// The write half of the gateway connection, shared by every task of a session that
// sends: one whole frame at a time, senders served in the order in which they came.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <memory>

#include "proto/frame.hpp"
#include "proto/local_wait.hpp"
#include "proto/result.hpp"
#include "proto/stream_halves.hpp"

namespace quillmar {

class SharedWriter : public std::enable_shared_from_this<SharedWriter> {
 public:
  // The writer lives on its executor. Senders of the same execution context go
  // straight to it, so they must all run on that executor and it must not run two
  // handlers at once (an io_context run by one thread, or a strand that every sender of
  // that context uses). A thread pool's executor gets a strand, and its senders are
  // carried over to it.
  SharedWriter(asio::any_io_executor executor, std::unique_ptr<WriteHalf> half);

  // Waits for its turn, then writes the header and payload as gathered writes. Senders
  // of other contexts are carried over to the writer's executor and wait there; they
  // cannot be cancelled halfway through a frame.
  //
  // The first failed write breaks the writer for good: the connection may hold part of
  // a frame, and a dead connection may never complete another write. Every later send
  // then fails at once with BrokenPipe, so nothing more is sent on that connection.
  asio::awaitable<Status> send(Frame frame);

  bool broken() const { return broken_; }

 private:
  asio::awaitable<Status> send_here(Frame frame);
  asio::awaitable<Status> write_locked(const Frame& frame);
  void release_turn();

  // A sender waiting for its turn, linked oldest first.
  struct Turn {
    ~Turn();
    LocalWait wait;
    SharedWriter* writer = nullptr;
    Turn* next = nullptr;
    bool granted = false;
  };
  void enqueue(Turn& turn);
  void dequeue(Turn& turn);

  asio::any_io_executor home_;
  bool carry_every_send_ = false;
  std::unique_ptr<WriteHalf> half_;
  bool busy_ = false;  // a sender holds the turn
  Turn* first_waiting_ = nullptr;
  Turn* last_waiting_ = nullptr;
  bool broken_ = false;
};

using SharedWriterPtr = std::shared_ptr<SharedWriter>;

inline asio::awaitable<Status> send_frame(SharedWriter& writer, Frame frame) {
  return writer.send(std::move(frame));
}

}  // namespace quillmar
