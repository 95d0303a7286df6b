// Inside the gateway stand-in: the shared core (listeners, device registry, traffic
// counts, TLS context) and the control session of one device. Every member is used on
// the core's strand only, except where a comment says otherwise.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "devgw/dev_gateway.hpp"
#include "devgw/devgw_cert.hpp"
#include "devgw/devgw_front_door.hpp"
#include "devgw/devgw_punch.hpp"
#include "devgw/devgw_rules.hpp"
#include "proto/frame.hpp"
#include "proto/local_queue.hpp"

namespace quillmar::devgw {

// A strand of the io_context, or the io_context's own executor where only one thread
// runs it (DevGatewayOptions::one_core_thread).
using Strand = asio::any_io_executor;
using asio::ip::tcp;

class ControlSession;
class VisitorSocket;
class VisitorHandoffs;

// Frames from the device for one visitor, waiting for the visitor's writer; counted by
// frames only. When the queue is full the device's frame loop waits: the protocol has no
// per-stream window.
inline constexpr QueueLimits VISITOR_QUEUE_LIMITS{64, std::numeric_limits<std::size_t>::max()};
// A visitor's bytes are read in large pieces and sent as frames of the client's own size,
// which leave together in one write.
inline constexpr std::size_t VISITOR_READ_BUFFER = 256 * 1024;
inline constexpr std::size_t VISITOR_FRAME = 64 * 1024;
// Frames already queued for a visitor go out together, up to this many per write.
inline constexpr std::size_t VISITOR_WRITE_FRAMES = 16;

struct Usage {
  std::uint64_t used = 0;
  std::uint64_t reset_at = 0;
  bool quota_announced = false;  // the quota notice went out for this day
};

// One admin command's outcome; stop_after asks the caller to stop the gateway once
// the reply is out.
struct AdminReply {
  std::string text;
  bool stop_after = false;
};

struct PublicName;

// Where a visitor's host name leads: a device session and port, or why nowhere.
struct VisitorRoute {
  std::shared_ptr<ControlSession> session;
  std::uint16_t port = 0;
  std::string problem;  // the 404 text when session is null
};

struct Core : std::enable_shared_from_this<Core> {
  Core(asio::io_context& io, DevGatewayOptions options);

  Result<BoundPorts> start();
  void stop();
  asio::awaitable<AdminReply> execute(std::string line);

  void log(std::string_view line) const;
  void debug(std::string_view line) const;  // only with options.verbose

  // Registry, used by the sessions.
  std::optional<std::string> refusal_for(const Hello& hello,
                                         const std::optional<std::string>& invite);
  void register_device(const std::shared_ptr<ControlSession>& session);
  void unregister(ControlSession* session);
  std::shared_ptr<ControlSession> device(std::string_view name) const;
  std::vector<std::shared_ptr<ControlSession>> sessions_of(std::string_view token) const;
  VisitorRoute route_visitor(const PublicName& name) const;
  Usage& usage_of(const std::string& token);
  AccountFigures account_for(const std::string& token);
  // Counts relayed bytes for the token; announces the account change and, once the
  // daily quota is reached, ends the token's sessions with the quota notice.
  void count_usage(const std::string& token, std::uint64_t bytes);
  void recheck_quota_and_accounts();
  // Where the next visitor's connection runs: the visitor threads in turn, else the strand.
  asio::any_io_executor next_visitor_executor();

  std::shared_ptr<asio::ssl::context> tls_context() const { return tls_context_; }
  // Presents this certificate to connections accepted from now on.
  Status install_certificate(const CertificatePair& pair);
  std::string fingerprint() const;  // any thread

  Strand strand;
  DevGatewayOptions options;
  // How the visitors' connections and the strand hand each other their work.
  std::shared_ptr<VisitorHandoffs> visitor_handoffs;
  BoundPorts ports;
  bool stopping = false;

  std::set<std::shared_ptr<ControlSession>> sessions;  // every live control connection
  std::map<std::string, std::shared_ptr<ControlSession>, std::less<>> devices;  // welcomed, by name
  std::map<std::string, std::string, std::less<>> owners;  // name -> token, first come
  std::map<std::string, Usage> usage;                      // token -> today's traffic
  std::optional<std::string> refuse_next;
  bool stall_next = false;
  PunchLog punch_log;  // the devices' direct-connection offers and results
  std::set<std::shared_ptr<tcp::socket>> loose_sockets;  // visitors before routing, admin clients
  std::set<std::shared_ptr<VisitorSocket>> relayed_visitors;  // public visitors after routing

  std::optional<tcp::acceptor> control_acceptor;
  std::optional<tcp::acceptor> public_acceptor;
  std::optional<tcp::acceptor> front_door_acceptor;
  std::unique_ptr<FrontDoor> front_door;  // set at start, with its listener; read-only then
  std::optional<tcp::acceptor> admin_acceptor;
  std::vector<tcp::acceptor> raw_acceptors;
  asio::steady_timer swap_timer;

 private:
  std::shared_ptr<asio::ssl::context> tls_context_;
  mutable std::mutex fingerprint_mutex_;  // fingerprint() is read from other threads
  std::string fingerprint_;
};

// The public listeners' connections (devgw_visitor.cpp): an HTTP visitor routed by its
// Host header, and a raw one sent to its listener's fixed device and port.
asio::awaitable<void> serve_public_visitor(std::shared_ptr<Core> core, tcp::socket socket);
asio::awaitable<void> serve_raw_visitor(std::shared_ptr<Core> core, tcp::socket socket,
                                        RawRoute route);

// "127.0.0.1:5555", or "?" once the socket has no peer.
std::string peer_text(const tcp::socket& socket);

}  // namespace quillmar::devgw
