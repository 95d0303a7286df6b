// The one record through which the running client's parts see each other's state.
// Fixed fields are set once before the record is shared; every text, list or map has
// a lock of its own; every number or flag is a 64-bit atomic used with relaxed order.
#pragma once

#include <asio/ip/address.hpp>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "direct/records.hpp"
#include "proto/async_queue.hpp"
#include "session/tls_mode.hpp"
#include "settings/key_file_writers.hpp"
#include "settings/locked.hpp"

namespace quillmar {

class ClientConfig;

inline constexpr std::uint64_t OWNERSHIP_NONE = 0;
inline constexpr std::uint64_t OWNERSHIP_MINE = 1;
inline constexpr std::uint64_t OWNERSHIP_THEIRS = 2;

inline constexpr std::uint64_t PUNCH_OFF = 0;
inline constexpr std::uint64_t PUNCH_PENDING = 1;
inline constexpr std::uint64_t PUNCH_DIRECT = 2;
inline constexpr std::uint64_t PUNCH_RELAY = 3;

inline constexpr std::uint64_t INITIAL_USAGE_LIMIT = 10485760;  // 10 MiB

using Counter = std::atomic<std::uint64_t>;

struct SharedState {
  // Fixed.
  std::string device_id;
  std::filesystem::path key_path;
  std::uint64_t started_at = 0;
  TlsMode tls_mode = TlsMode::TLS_AUTO;
  bool punch_api_off = true;

  Locked<std::vector<std::uint16_t>> ports;
  Locked<PortHosts> targets;
  Locked<std::string> plan{"free"};
  Counter usage_used{0};
  Counter usage_limit{INITIAL_USAGE_LIMIT};
  Counter usage_reset_at{0};
  Counter max_mappings{1};
  Counter hello_port_limit{0};
  Counter plan_ends_at{0};
  Locked<std::string> connection_error;
  Locked<PortDigests> access;
  Locked<std::string> invite;
  Counter connected{0};
  Counter ownership{OWNERSHIP_NONE};
  Locked<std::string> sub;
  Locked<std::vector<std::uint16_t>> blocked_ports;
  Counter punch_state{PUNCH_OFF};
  Locked<std::string> punch_note;
  Locked<AllowList> punch_allow;
  Locked<std::string> punch_visit;
  Counter direct_active{0};
  Counter punch_generation{0};
  Counter front_http_port{0};
  Counter front_https_port{0};
  Counter tls_active{0};
  Locked<std::shared_ptr<ClientConfig>> front_door_tls;
  Locked<std::vector<std::uint16_t>> direct_ports;
  Locked<std::optional<std::vector<asio::ip::address>>> direct_peer_addrs;
  Locked<std::vector<PunchRequest>> punch_requests;
  Counter quota_used{0};
};

using SharedStatePtr = std::shared_ptr<SharedState>;

inline std::uint64_t load(const Counter& counter) {
  return counter.load(std::memory_order_relaxed);
}
inline void store(Counter& counter, std::uint64_t value) {
  counter.store(value, std::memory_order_relaxed);
}

// Direct-connection settings changed in place by a running session.
struct SessionControl {
  enum class Tag { CONTROL_ALLOW_LIST = 0, CONTROL_VISIT = 1 } tag;
  AllowList allow;    // CONTROL_ALLOW_LIST
  std::string visit;  // CONTROL_VISIT: a device name, or empty for none
};

// The three channels of start-up; all unbounded.
using ReloadSender = Sender<Signal>;
using ReloadReceiver = Receiver<Signal>;
using ExitSender = Sender<Signal>;
using ExitReceiver = Receiver<Signal>;
using ControlSender = Sender<SessionControl>;
using ControlReceiver = Receiver<SessionControl>;

// What start-up resolves once for the direct connections, lent to every session.
struct PunchOptions {
  std::vector<asio::ip::address> gateway_addrs;
  std::uint16_t entry_port = 0;
};

}  // namespace quillmar
