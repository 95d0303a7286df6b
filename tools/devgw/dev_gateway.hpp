// The gateway stand-in: a local gateway for the client to register with, visitors to
// reach devices through, and tests and humans to steer. Everything listens on
// 127.0.0.1 only.
//
//   DevGatewayOptions options;            // ports 0 = any free port
//   DevGateway gateway(options);
//   auto ports = gateway.start(io);       // binds now, serves while io runs
//   ... co_await gateway.command("notice @kite maintenance at 3:00");
//   gateway.stop();
//
// All of its work runs on one strand of the io_context, which may be run by any
// number of threads (or on the io_context itself when one thread runs it); only the
// system calls of visitors' connections run on the visitor executors when it is given
// some.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/result.hpp"

namespace quillmar::devgw {

// A listener whose every connection goes to one device's port (benchmarks).
struct RawRoute {
  std::uint16_t listen_port = 0;  // 0 = any free port
  std::string device;
  std::uint16_t port = 0;
};

enum class TlsSetup {
  off,        // plain TCP on the control listener
  generated,  // TLS with a certificate generated at start
  files,      // TLS with cert_file and key_file (generated and written there when both are missing)
};

struct DevGatewayOptions {
  std::string domain = "localhost";
  std::uint16_t control_port = 0;
  std::optional<std::uint16_t> public_http_port = 0;  // nullopt: no public listener
  // The public TLS front door in front of the public listener; nullopt: none.
  std::optional<std::uint16_t> public_https_port;
  // Where the front door's test authority is written at start (PEM), for --front-ca.
  std::filesystem::path front_ca_file;
  std::optional<std::uint16_t> admin_port;  // nullopt: no admin listener
  std::vector<RawRoute> raw_routes;

  TlsSetup tls = TlsSetup::off;
  std::filesystem::path cert_file;
  std::filesystem::path key_file;
  std::chrono::milliseconds swap_cert_after{0};  // 0: only on the swap-cert command

  // The welcome's "|pubport=N|pubtls=M"; pubport_is_public_http sends the public
  // listener's bound port as pubport, pubtls_is_public_https the front door's as pubtls.
  std::uint64_t pubport = 0;
  std::uint64_t pubtls = 0;
  bool pubport_is_public_http = false;
  bool pubtls_is_public_https = false;

  // Registration rules; empty or 0 switches a rule off.
  std::string invite_code;
  std::uint32_t max_mappings = 0;
  std::vector<std::uint16_t> blocked_ports;
  std::uint64_t daily_quota = 0;  // bytes relayed per device (token) and UTC day

  // The account line's plan name and plan end (Unix seconds, 0 = none).
  std::string plan = "dev";
  std::uint64_t plan_ends_at = 0;

  // Send KIND_HALF_CLOSE after the empty KIND_DATA when a visitor ends its input.
  bool half_close = false;

  std::chrono::milliseconds handshake_timeout{
      15000};  // from accept to the hello, invite and access
  std::chrono::milliseconds visitor_head_timeout{10000};  // for a visitor's request head
  std::chrono::milliseconds account_interval{1000};       // least time between account lines
  std::chrono::milliseconds linger{1000};  // reading on after a refusal before closing

  // Visitors' connections are spread over these in turn (each one a thread's own
  // context, say), so that relaying them does not load the core's thread; empty: on
  // the core's strand. They must outlive the gateway's connections.
  std::vector<asio::any_io_executor> visitor_executors;
  // Only one thread runs the io_context given to start(): the core then needs no strand,
  // whose locks and hand-offs would cost on every completion.
  bool one_core_thread = false;

  bool verbose = false;  // also log every stream and every heartbeat
  // One line without "devgw: " and without a line end; default: "devgw: …" on stderr.
  std::function<void(std::string_view)> log;
  // Unix seconds, for the daily quota; default: the system clock.
  std::function<std::uint64_t()> clock;
  // Called once when the gateway stops (the stop() call or the shutdown command).
  std::function<void()> on_stop;
};

struct BoundPorts {
  std::uint16_t control = 0;
  std::optional<std::uint16_t> public_http;
  std::optional<std::uint16_t> public_https;
  std::optional<std::uint16_t> admin;
  std::vector<std::uint16_t> raw;  // in the order of raw_routes
};

struct Core;

class DevGateway {
 public:
  explicit DevGateway(DevGatewayOptions options);
  ~DevGateway();  // stops the gateway; the io_context may outlive it
  DevGateway(const DevGateway&) = delete;
  DevGateway& operator=(const DevGateway&) = delete;

  // Loads or generates the certificate, binds every listener and starts serving on
  // the io_context. Call once; an error leaves nothing listening.
  Result<BoundPorts> start(asio::io_context& io);
  // Closes the listeners and every connection. Safe from any thread, any number of times.
  void stop();

  // Runs one admin command line and gives its one-line reply.
  asio::awaitable<std::string> command(std::string line);

  // The control certificate's SHA-256 fingerprint, "" when TLS is off. Any thread.
  std::string fingerprint() const;
  // The front door's test authority (PEM), "" without a front door. Any thread.
  std::string front_door_authority() const;

 private:
  DevGatewayOptions options_;  // handed to the core at start
  std::shared_ptr<Core> core_;
};

}  // namespace quillmar::devgw
