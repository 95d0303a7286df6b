// This device's own addresses as candidate text for the offers: the
// source address the system would use toward a few targets, learnt by a UDP connect
// that sends nothing.
#pragma once

#include <asio/ip/address.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "direct/direct_setup.hpp"

namespace quillmar {

// The local address the system picks as the source toward the target ("192.0.2.1:53"
// or "[2001:db8::1]:53"); none when the text is no socket address, a step fails, or
// the address is a loopback or unspecified one. Blocking socket calls that exchange
// no packet.
std::optional<asio::ip::address> local_addr_toward(std::string_view target);

// A source address local_addr_toward may return: not 0.0.0.0, no 127.x.x.x, not
// "::" and not "::1".
bool is_usable_source(const asio::ip::address& address);
// An IPv6 address worth offering: not multicast (ff00::/8), "::", "::1", link-local
// (fe80::/10) or unique-local (fc00::/7).
bool is_offered_ipv6(const asio::ip::address_v6& address);

// "{v4}|{port}|lan" and "!{v6}|{port}|v6", in that order, joined by ","; empty when
// neither is given.
std::string candidate_text(const std::optional<asio::ip::address_v4>& v4,
                           const std::optional<asio::ip::address_v6>& v6, std::uint16_t port);

// The candidate text for the port from the addresses found toward the targets.
std::string local_candidates(std::uint16_t port, const ProbeTargets& targets = {});

}  // namespace quillmar
