// The UDP probe that both sides send toward an address the gateway observed for the
// other side, before a test connection to it.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <string_view>

namespace quillmar {

inline constexpr std::string_view PROBE_DATAGRAM = "punch";

// One datagram "punch" toward the target, from 0.0.0.0 at the local port, else from
// any port; no answer is read. Every failure is ignored: the socket is IPv4 only, so
// toward an IPv6 target nothing leaves.
asio::awaitable<void> send_punch_probe(asio::ip::udp::endpoint target, std::uint16_t local_port);

}  // namespace quillmar
