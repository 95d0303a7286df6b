// A visitor's connection whose system calls run on an executor of its own (one of the
// stand-in's visitor threads, or the core's strand when it has none), while the stream
// that relays it runs on the core's strand. Its reader reads ahead and its writer writes
// behind, so that neither side waits for the other thread on a small request: the core
// waits only once READ_AHEAD bytes are read and not taken, or WRITE_AHEAD bytes are
// handed over and not yet written.
//
// Writes, ends of output and flushes are carried out in the order given; close() cuts
// at once. Owned together by the stream's link and the handlers under way on either
// side: it goes once the link has let go and its socket's operations have ended (after
// close(), or when the visitor has gone). Every public call comes from the core's strand.
#pragma once

#include <asio/awaitable.hpp>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "devgw/devgw_core.hpp"
#include "proto/frame.hpp"
#include "proto/local_wait.hpp"

namespace quillmar::devgw {

inline constexpr std::size_t VISITOR_READ_AHEAD = 256 * 1024;
inline constexpr std::size_t VISITOR_WRITE_AHEAD = 1024 * 1024;

struct VisitorRead {
  std::error_code ec;  // eof once the visitor has ended its input
  std::vector<std::uint8_t> bytes;
};

class VisitorSocket : public std::enable_shared_from_this<VisitorSocket> {
 public:
  // The socket has no operation under way; it runs on its own executor from now on,
  // and reading starts at once.
  static std::shared_ptr<VisitorSocket> start(tcp::socket socket, const Strand& core);

  VisitorSocket(tcp::socket socket, const Strand& core);

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
  struct Command {
    enum class What { write, shutdown_send, flushed } what;
    std::vector<Frame> frames;
  };

  // Visitor side, on executor_ only.
  void read_more();
  void on_read(std::error_code ec, std::size_t n);
  void queue(Command command);
  void run_next();
  void on_written(std::error_code ec, std::size_t n);

  // Core side, on core_ only.
  void arrived(std::error_code ec, std::vector<std::uint8_t> bytes);
  void take(std::size_t n);

  asio::any_io_executor executor_;
  Strand core_;

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

}  // namespace quillmar::devgw
