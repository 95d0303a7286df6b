// What the direct connections take from outside the shared state: their time limits,
// the targets toward which the local addresses are looked up, and the address the
// owner's direct listeners bind. Production uses the defaults; tests scale the times
// down and keep every address on loopback, never through a user-visible option.
#pragma once

#include <asio/ip/address.hpp>
#include <chrono>
#include <span>
#include <string_view>
#include <type_traits>

namespace quillmar {

using namespace std::chrono_literals;

inline constexpr std::chrono::milliseconds CANDIDATE_CONNECT_TIMEOUT = 1s;
inline constexpr std::chrono::milliseconds DIRECT_CONNECT_TIMEOUT = 2s;
inline constexpr std::chrono::milliseconds FRONT_DOOR_CONNECT_TIMEOUT = 3s;
inline constexpr std::chrono::milliseconds PAIRING_WATCH_INTERVAL = 150ms;
inline constexpr std::chrono::milliseconds PUNCH_PROBE_CONNECT_TIMEOUT = 600ms;

struct DirectTimings {
  // The visitor's test connection to each candidate.
  std::chrono::milliseconds candidate_connect_timeout = CANDIDATE_CONNECT_TIMEOUT;
  // The visitor's connection to the owner for each local connection.
  std::chrono::milliseconds direct_connect_timeout = DIRECT_CONNECT_TIMEOUT;
  // Each front-door port, name resolution included.
  std::chrono::milliseconds front_door_connect_timeout = FRONT_DOOR_CONNECT_TIMEOUT;
  // How often a direct relay looks whether its pairing changed (both sides).
  std::chrono::milliseconds pairing_watch_interval = PAIRING_WATCH_INTERVAL;
  // The owner's test connection toward each "obs-peer" address.
  std::chrono::milliseconds punch_probe_connect_timeout = PUNCH_PROBE_CONNECT_TIMEOUT;
};

// The system is asked which source address it would use toward these: a UDP connect,
// which sends nothing. IPv4 targets are tried in order until one gives an
// address; IPv6 targets likewise, and the first IPv6 address found is kept or dropped.
inline constexpr std::string_view PUBLIC_IPV4_PROBE_TARGETS[] = {"8.8.8.8:53", "1.1.1.1:53",
                                                                 "239.255.255.250:1900"};
inline constexpr std::string_view PUBLIC_IPV6_PROBE_TARGETS[] = {"[2001:4860:4860::8888]:53",
                                                                 "[2606:4700:4700::1111]:53"};

// Views of texts that live for the program (literals), so that this record, and the
// timings that carry it, stay trivially destructible: GCC 12 destroys some
// temporaries of a co_await expression twice.
struct ProbeTargets {
  std::span<const std::string_view> ipv4 = PUBLIC_IPV4_PROBE_TARGETS;
  std::span<const std::string_view> ipv6 = PUBLIC_IPV6_PROBE_TARGETS;
};

struct DirectSetup {
  DirectTimings timings;
  ProbeTargets probe_targets;
  // Every direct listener binds this address at its mapped port: all IPv4 interfaces.
  asio::ip::address listen_address = asio::ip::address_v4::any();
};
static_assert(std::is_trivially_destructible_v<DirectSetup>);

}  // namespace quillmar
