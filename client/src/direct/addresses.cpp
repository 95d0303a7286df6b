#include "direct/addresses.hpp"

#include <algorithm>

#include "proto/text.hpp"

namespace quillmar {
namespace {

// Four decimal parts of 0 to 255 without leading zeros: the strict dotted form. The
// system readers accept more on some platforms ("127.1" on Windows), so the text is
// checked here before one of them reads it.
bool is_dotted_ipv4(std::string_view text) {
  auto parts = split(text, '.');
  if (parts.size() != 4) return false;
  return std::all_of(parts.begin(), parts.end(), [](std::string_view part) {
    if (part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) return false;
    if (!std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return false;
    return std::stoi(std::string(part)) <= 255;
  });
}

}  // namespace

std::optional<asio::ip::address> read_ip(std::string_view text) {
  std::error_code ec;
  if (is_dotted_ipv4(text)) {
    auto v4 = asio::ip::make_address_v4(std::string(text), ec);
    if (!ec) return asio::ip::address(v4);
    return std::nullopt;
  }
  // Hex digits, ':' and '.' (an IPv4 tail) only: no zone index, no brackets, no blanks.
  bool v6_characters = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '.';
  });
  if (!v6_characters || text.find(':') == std::string_view::npos) return std::nullopt;
  auto v6 = asio::ip::make_address_v6(std::string(text), ec);
  if (ec) return std::nullopt;
  return asio::ip::address(v6);
}

bool is_one_of(const asio::ip::address& address, const std::vector<asio::ip::address>& list) {
  return std::find(list.begin(), list.end(), address) != list.end();
}

std::string socket_address_text(const asio::ip::address& address, std::uint16_t port) {
  std::string host = address.to_string();
  if (address.is_v6()) host = "[" + host + "]";
  return host + ":" + std::to_string(port);
}

std::string socket_address_text(const asio::ip::tcp::endpoint& endpoint) {
  return socket_address_text(endpoint.address(), endpoint.port());
}

}  // namespace quillmar
