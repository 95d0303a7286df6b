// A visitor's connection whose system calls run on an executor of its own (one of the
// stand-in's visitor threads, or the core's strand when it has none), while the stream
// that relays it runs on the core's strand. Its reader reads ahead and its writer writes
// behind, so that neither side waits for the other thread on a small request: the core
// waits only once READ_AHEAD bytes are read and not taken, or WRITE_AHEAD bytes are
// handed over and not yet written.
//
// Writes, ends of output and flushes are carried out in the order given; close() cuts
// at once. The two sides hand each other their work through mailboxes that all visitors'
// connections share (VisitorHandoffs), so that one post carries the work of many.
// Owned together by the stream's link, the handlers under way on either side and the
// hand-offs waiting: it goes once the link has let go and its socket's operations have
// ended (after close(), or when the visitor has gone). Every public call comes from the
// core's strand.
#pragma once

#include <asio/awaitable.hpp>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "devgw/devgw_core.hpp"
#include "devgw/devgw_mailbox.hpp"
#include "proto/frame.hpp"
#include "proto/local_wait.hpp"

namespace quillmar::devgw {

inline constexpr std::size_t VISITOR_READ_AHEAD = 256 * 1024;
inline constexpr std::size_t VISITOR_WRITE_AHEAD = 1024 * 1024;

struct VisitorRead {
  std::error_code ec;  // eof once the visitor has ended its input
  std::vector<std::uint8_t> bytes;
};

class VisitorHandoffs;

class VisitorSocket : public std::enable_shared_from_this<VisitorSocket> {
 public:
  // What the visitor side hands to the core.
  struct CoreEvent {
    enum class What { bytes, input_end, flushed, write_failed, writable } what;
    std::shared_ptr<VisitorSocket> socket;
    std::error_code ec;
    std::vector<std::uint8_t> bytes;
    void operator()() &&;
  };
  // What the core hands to the visitor side.
  struct Command {
    enum class What { read_more, write, shutdown_send, flushed, close } what;
    std::shared_ptr<VisitorSocket> socket;
    std::vector<Frame> frames;
    void operator()() &&;
  };

  // The socket has no operation under way; it runs on its own executor from now on,
  // and reading starts at once.
  static std::shared_ptr<VisitorSocket> start(tcp::socket socket,
                                              const std::shared_ptr<VisitorHandoffs>& handoffs);

  VisitorSocket(tcp::socket socket, std::shared_ptr<Mailbox<CoreEvent>> to_core,
                std::shared_ptr<Mailbox<Command>> to_visitor);

  // The next bytes in the order they came, or the error that ended the input, which
  // every read returns from then on.
  asio::awaitable<VisitorRead> read();
  // Hands the frames' payloads over to be written after everything handed over before.
  // Gives the error of an earlier write that failed; the frames are then dropped.
  asio::awaitable<std::error_code> write(std::vector<Frame> frames);
  // Waits until everything handed over has been written or has failed.
  asio::awaitable<void> flush();
  // Ends the output once the writes handed over before are done.
  void shutdown_send();
  // Closes the connection at once: writes under way or waiting fail, a read under way ends.
  void close();

 private:
  // Visitor side, on the visitor's executor only.
  void read_more();
  void on_read(std::error_code ec, std::size_t n);
  void queue(Command command);
  void run_next();
  void on_written(std::error_code ec, std::size_t n);
  void to_core(CoreEvent::What what, std::error_code ec = {}, std::vector<std::uint8_t> bytes = {});

  // Core side, on the core's strand only.
  void arrived(CoreEvent event);
  void take(std::size_t n);
  void to_visitor(Command::What what, std::vector<Frame> frames = {});

  std::shared_ptr<Mailbox<CoreEvent>> to_core_;
  std::shared_ptr<Mailbox<Command>> to_visitor_;

  // Visitor side.
  tcp::socket socket_;
  std::unique_ptr<std::uint8_t[]> buffer_;  // filled by the read under way
  std::deque<Command> commands_;
  std::vector<Frame> writing_;  // the frames of the write under way
  bool running_ = false;        // a command is under way
  bool write_failed_ = false;

  // Both sides: bytes in flight between them, and who waits for them to drop below
  // their limit. Each waiter announces itself, then looks again; whoever takes the flag
  // back does the waking, so none is lost.
  std::atomic<std::size_t> unread_{0};
  std::atomic<std::size_t> unwritten_{0};
  std::atomic<bool> reader_paused_{false};
  std::atomic<bool> writer_paused_{false};

  // Core side.
  std::deque<std::vector<std::uint8_t>> chunks_;
  std::optional<std::error_code> input_end_;
  std::optional<std::error_code> write_error_;
  std::uint64_t flushes_asked_ = 0;
  std::uint64_t flushes_done_ = 0;
  LocalWait read_wake_;
  LocalWait write_wake_;
  LocalWait flush_wake_;
};

// The mailboxes between the core's strand and the visitors' executors, shared by every
// visitor's connection: what one thread hands to another while a hand-off is on its way
// joins it. Owned by the core and by the connections.
class VisitorHandoffs {
 public:
  // Without visitor executors the connections run on the strand itself.
  VisitorHandoffs(const Strand& core, const std::vector<asio::any_io_executor>& visitors);

  // Where the next visitor's connection runs: the visitor executors in turn.
  asio::any_io_executor next_executor();
  // The mailbox to the executor a connection runs on.
  std::shared_ptr<Mailbox<VisitorSocket::Command>> to(const asio::any_io_executor& executor) const;
  const std::shared_ptr<Mailbox<VisitorSocket::CoreEvent>>& to_core() const { return to_core_; }

 private:
  std::shared_ptr<Mailbox<VisitorSocket::CoreEvent>> to_core_;
  std::vector<std::shared_ptr<Mailbox<VisitorSocket::Command>>> to_visitors_;
  std::size_t next_ = 0;
};

}  // namespace quillmar::devgw
