// The write half of the gateway connection, shared by every task of a session that
// sends: one whole frame at a time, senders served in the order in which they came.
#pragma once

#include <array>
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "proto/frame.hpp"
#include "proto/frame_pipe.hpp"
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

  // Waits for its turn, then writes the header and payload as gathered writes. The
  // sender whose turn it is carries the frames of the senders waiting behind it in the
  // same write (in their order, up to MAX_BATCH_FRAMES frames or about MAX_BATCH_BYTES
  // bytes): the bytes on the connection are the same, frames whole and first come first
  // out, but many small frames cost one system call (and over TLS, records encrypted
  // together). A carried sender completes with the result of that write. Senders of
  // other contexts are carried over to the writer's executor and wait there; they cannot
  // be cancelled halfway through a frame. Cancelling a sender whose frame is already
  // being carried ends its wait (Interrupted) but not the frame, which leaves whole.
  //
  // The first failed write breaks the writer for good: the connection may hold part of
  // a frame, and a dead connection may never complete another write. Every later send
  // then fails at once with BrokenPipe, so nothing more is sent on that connection.
  asio::awaitable<Status> send(Frame frame);

  // The same for several frames of one sender, which hold one turn: they leave in
  // their order with no other sender's frame between them, in one write when nothing
  // waits ahead. Their payloads are moved from. One frame over the size limit refuses
  // them all (InvalidInput), before any is sent.
  asio::awaitable<Status> send_frames(std::span<Frame> frames);

  // Over a plain TCP connection on Linux, with senders on the writer's own thread: the
  // bytes a local socket holds now, at most `most`, go in the sender's turn as KIND_DATA
  // frames of `stream_id` (payloads of at most `frame_most` bytes) straight from that
  // socket to the connection, through a kernel pipe, never copied into the program. The
  // payload bytes sent; 0 when the socket held none (a read then learns whether it
  // ended). A failure on either side breaks the writer as a failed write does: the
  // connection may then hold part of a frame.
  bool sends_from_sockets() const { return pipe_ != nullptr; }
  asio::awaitable<Result<std::size_t>> send_from(asio::ip::tcp::socket& local,
                                                 std::uint32_t stream_id, std::size_t most,
                                                 std::size_t frame_most);

  bool broken() const { return broken_; }

  static constexpr std::size_t MAX_BATCH_FRAMES = 32;  // 64 pieces: one writev
  static constexpr std::size_t MAX_BATCH_BYTES = 1024 * 1024;

 private:
  // A sender waiting for its turn, linked oldest first; once carried by another
  // sender's write, linked in the carried list until that write's result is known.
  struct Turn {
    ~Turn();
    LocalWait wait;
    SharedWriter* writer = nullptr;
    std::span<Frame> frames;
    Turn* next = nullptr;
    std::optional<Status> result;  // set for a carried sender
    bool granted = false;
    bool carried = false;
    bool carriable = true;  // false for a send from a socket: its bytes are not in frames
  };
  // The turn, released on every way out. A send left unfinished (the sender cancelled
  // halfway) breaks the writer, and the senders it carried learn it.
  struct Held {
    SharedWriter& writer;
    bool finished = false;
    ~Held();
  };
  struct Line {
    Turn* first = nullptr;
    Turn* last = nullptr;
    void push(Turn& turn);
    Turn* pop();
    void remove(Turn& turn);
  };

  bool sends_here(const asio::any_io_executor& sender) const;
  asio::awaitable<Status> carry_over(std::vector<Frame> frames);
  asio::awaitable<Status> send_owned(std::vector<Frame> frames);
  bool claim_turn();
  asio::awaitable<std::optional<Status>> wait_turn(std::span<Frame> own, bool carriable);
  asio::awaitable<Status> send_here(std::span<Frame> own);
  void gather_batch(std::span<Frame> own);
  void carry_waiting(std::span<Frame> own);
  void settle_carried(const Status& result);
  void release_turn();

  asio::any_io_executor home_;
  bool carry_every_send_ = false;
  std::unique_ptr<WriteHalf> half_;
  bool busy_ = false;  // a sender holds the turn
  Line waiting_;
  Line carried_;
  // The batch being written: the carried frames (moved here, so a carried sender that
  // goes away leaves its bytes behind), the headers and the pieces of the write.
  std::vector<Frame> batch_;
  std::vector<std::array<std::uint8_t, FRAME_HEADER_LEN>> headers_;
  std::vector<asio::const_buffer> pieces_;
  std::unique_ptr<FramePipe> pipe_;  // for sends from sockets, where it could be made
  bool broken_ = false;
};

using SharedWriterPtr = std::shared_ptr<SharedWriter>;

inline asio::awaitable<Status> send_frame(SharedWriter& writer, Frame frame) {
  return writer.send(std::move(frame));
}

}  // namespace quillmar
