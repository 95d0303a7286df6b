// The owner's half of a direct connection: on a ready pairing, probe the
// peer's observed addresses, record who may connect, switch direct connections on and
// open a listener on every mapped port; each admitted connection is joined with the
// local service on 127.0.0.1 at the same port, without the gateway.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "direct/direct_setup.hpp"
#include "direct/records.hpp"
#include "proto/result.hpp"
#include "proto/shared_writer.hpp"
#include "settings/shared_state.hpp"

namespace quillmar {

inline constexpr std::string_view ALL_PORTS_TAKEN = "所有端口都被本地服务占着";
inline constexpr std::string_view REASON_REVOKED = "已撤销";
inline constexpr std::string_view REASON_NOT_LISTED = "不在名单";

// The ready status as the owner side takes it, owned by its task.
struct OwnerPairing {
  std::vector<Candidate> candidates;             // in the order of the status text
  std::vector<std::uint16_t> ports;              // the session's mapped ports
  std::vector<asio::ip::address> gateway_addrs;  // the gateway's own addresses
  std::uint16_t status_port = 0;                 // field 5; the probes' source port
};

// Task body, spawned once per ready status in the owner role; nobody waits for it.
// Ends after opening the listeners, which live on by themselves; an error (a bind
// failure other than a taken port, or no port served at all) is only reported by the
// TUNNEL_DEBUG line, and is returned for the tests. Runs on a strand of the pool;
// every listener, relay and report it starts runs on a strand of its own there.
asio::awaitable<Status> run_direct_listener(OwnerPairing pairing, SharedWriterPtr writer,
                                            SharedStatePtr shared, asio::any_io_executor pool,
                                            DirectSetup setup);

// Task body, one per opened listener: admits connections while direct connections are
// on and only from the peer's addresses, until an accept fails; the port stays in
// direct_ports after that.
asio::awaitable<void> serve_direct_listener(asio::ip::tcp::acceptor listener, SharedStatePtr shared,
                                            SharedWriterPtr writer, std::uint16_t port,
                                            asio::any_io_executor pool, DirectTimings timings);

// Task body, one per joined connection: relays until both directions end, or until
// punch_generation moves away from the value read when the connection was joined,
// which cuts it off (both connections closed) with a line.
asio::awaitable<void> run_owner_direct_session(asio::ip::tcp::socket peer,
                                               asio::ip::tcp::socket local, SharedStatePtr shared,
                                               std::uint64_t generation, asio::ip::address peer_ip,
                                               std::chrono::milliseconds watch_interval);

// Task body, one per joined connection: "result|lan|0".
asio::awaitable<void> send_owner_result(std::string payload, SharedWriterPtr writer);

// The address texts of the candidates whose kind ends in "-peer", in order.
std::vector<std::string> peer_addresses(const std::vector<Candidate>& candidates);
// Why a connection from the address is refused, or none to admit it.
std::optional<std::string_view> refusal_reason(
    std::uint64_t direct_active, const std::optional<std::vector<asio::ip::address>>& admitted,
    const asio::ip::address& from);

}  // namespace quillmar
