// Address texts of the direct connections: reading a candidate's address as an IP
// address, comparing with a list, and the usual written form of a socket address.
#pragma once

#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmar {

// An IPv4 dotted address, else an IPv6 address, each taking the whole text (no zone
// index, no brackets); none for anything else, host names included.
std::optional<asio::ip::address> read_ip(std::string_view text);

// Same family and same bytes as one of the list.
bool is_one_of(const asio::ip::address& address, const std::vector<asio::ip::address>& list);

// "192.0.2.1:80", or "[2001:db8::1]:80" for IPv6.
std::string socket_address_text(const asio::ip::address& address, std::uint16_t port);
std::string socket_address_text(const asio::ip::tcp::endpoint& endpoint);

}  // namespace quillmar
