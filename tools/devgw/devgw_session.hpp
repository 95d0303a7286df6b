// One device's control connection to the stand-in: the handshake, the welcome or the
// refusal, the frame loop, and the visitor streams relayed over it.
//
// Owned by the core's session set while its connection lives, and by every visitor
// coroutine relaying through it. It ends when the device's connection ends or is
// closed (drop, replacement by a new session of the same name, quota, stop); its end
// closes every visitor of the device after the bytes already received are written.
#pragma once

#include <asio/steady_timer.hpp>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "devgw/devgw_core.hpp"
#include "devgw/devgw_frame_reader.hpp"
#include "devgw/devgw_frame_writer.hpp"
#include "devgw/devgw_visitor_socket.hpp"
#include "proto/frame_queue.hpp"

namespace quillmar::devgw {

// One visitor connection relayed as a stream; shared by its reader and writer.
struct VisitorLink {
  explicit VisitorLink(const Strand& strand) : linger(strand) {}
  std::uint32_t id = 0;
  std::uint16_t port = 0;
  bool http = false;  // the visitor gets a short HTTP reply when the stream fails early
  std::shared_ptr<VisitorSocket> io;
  std::string peer;
  bool wrote_any = false;
  bool input_ended = false;   // the visitor's input is over (or failed)
  asio::steady_timer linger;  // closes the socket if the visitor never ends its input
};

class ControlSession : public std::enable_shared_from_this<ControlSession> {
 public:
  ControlSession(std::shared_ptr<Core> core, std::string peer);

  // The connection's whole life. The core has put the session in its set already.
  static asio::awaitable<void> run(std::shared_ptr<ControlSession> self, tcp::socket socket);

  // Opens a stream for the visitor and relays until the visitor's input has ended or
  // the stream is gone; the visitor's writer runs on until the device closes it.
  static asio::awaitable<void> relay_visitor(std::shared_ptr<ControlSession> self,
                                             std::shared_ptr<tcp::socket> visitor,
                                             std::uint16_t port, std::string first_bytes, bool http,
                                             std::string peer);

  // Ends the connection at once in both directions; the session then winds down.
  void close();
  // A muted session neither reads the device's frames nor sends it any.
  void set_muted(bool muted);
  bool muted() const { return muted_; }
  bool closed() const { return closed_; }

  // Waits while muted; fails once the session is closed.
  asio::awaitable<Status> send(Frame frame);
  // The same for frames that leave together, in this order.
  asio::awaitable<Status> send(std::vector<Frame> frames);
  // The account line now, or after account_interval since the last one.
  void announce_account();
  // Account line, the quota notice, then the end of the connection.
  void end_for_quota(std::string notice);

  const std::string& name() const { return hello_.name; }
  const std::string& token() const { return hello_.token; }
  const std::vector<std::uint16_t>& ports() const { return hello_.ports; }
  const std::string& peer() const { return peer_; }
  bool tls() const { return tls_; }
  std::size_t stream_count() const { return streams_.size(); }

 private:
  struct StreamEntry {
    FrameSender to_visitor;
    std::shared_ptr<VisitorLink> link;
  };

  asio::awaitable<bool> open_connection(tcp::socket socket);
  void use_halves(SplitStream halves);
  asio::awaitable<void> handshake_and_serve();
  asio::awaitable<std::optional<Frame>> read_handshake_frame(std::string_view expecting);
  asio::awaitable<void> refuse(std::string text);
  asio::awaitable<void> frame_loop();
  asio::awaitable<void> dispatch(Frame frame);
  asio::awaitable<void> route_to_visitor(Frame frame, bool remove);
  asio::awaitable<void> drain_until_closed();
  asio::awaitable<void> wait_while_muted();
  asio::awaitable<void> send_account_after(std::chrono::milliseconds delay);
  void shutdown_send();
  void end();

  // Visitor side (devgw_visitor.cpp).
  std::uint32_t allocate_stream_id();
  static asio::awaitable<void> write_to_visitor(std::shared_ptr<ControlSession> self,
                                                std::shared_ptr<VisitorLink> link,
                                                FrameReceiver frames);
  asio::awaitable<void> visitor_failed(const std::shared_ptr<VisitorLink>& link);
  bool stream_is_open(const std::shared_ptr<VisitorLink>& link) const;
  void finish_visitor(const std::shared_ptr<VisitorLink>& link);

  std::shared_ptr<Core> core_;
  std::string peer_;
  bool tls_ = false;
  std::unique_ptr<ReadHalf> read_;
  std::unique_ptr<FrameReader> frames_;  // reads read_
  std::shared_ptr<FrameWriter> writer_;
  // Shuts the TCP connection down under whichever stream type carries it; valid while
  // this session (and with it both halves) lives.
  std::function<void(tcp::socket::shutdown_type)> shutdown_socket_;

  Hello hello_;
  bool welcomed_ = false;
  bool closed_ = false;
  bool closing_ = false;  // after a quota notice: frames are read and dropped
  bool muted_ = false;
  asio::steady_timer wake_;      // cancelled when mute ends or the session closes
  asio::steady_timer deadline_;  // handshake limit, then the linger after a refusal
  asio::steady_timer account_timer_;
  bool account_pending_ = false;
  std::chrono::steady_clock::time_point last_account_{};
  std::uint64_t heartbeats_ = 0;

  std::map<std::uint32_t, StreamEntry> streams_;
  std::uint32_t next_stream_id_ = 1;
};

// Logs a spawned task's escaped exception: each task has this one place for it.
std::function<void(std::exception_ptr)> log_failure(std::shared_ptr<Core> core, std::string what);

}  // namespace quillmar::devgw
