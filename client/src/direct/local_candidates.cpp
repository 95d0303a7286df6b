#include "direct/local_candidates.hpp"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include "direct/addresses.hpp"
#include "proto/text.hpp"

namespace quillmar {
namespace {

using asio::ip::udp;

std::optional<udp::endpoint> read_socket_address(std::string_view text) {
  auto colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto port = parse_u16(text.substr(colon + 1));
  std::string_view host = text.substr(0, colon);
  bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  auto address = read_ip(host);
  if (!port || !address || address->is_v6() != bracketed) return std::nullopt;
  return udp::endpoint(*address, *port);
}

// RFC 5952: lower-case groups without leading zeros, the longest run of two or more
// zero groups (the first of equal runs) written "::". Written here rather than by the
// system, whose forms differ between platforms.
std::string standard_ipv6_text(const asio::ip::address_v6& address) {
  auto bytes = address.to_bytes();
  std::array<unsigned, 8> groups{};
  for (std::size_t i = 0; i < 8; ++i) groups[i] = (bytes[2 * i] << 8) | bytes[2 * i + 1];
  std::size_t best_start = 8, best_len = 0;
  for (std::size_t i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_len) {
      best_start = i;
      best_len = j - i;
    }
    i = j;
  }
  if (best_len < 2) best_start = 8;
  static constexpr char HEX[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == best_start) {
      text += "::";
      i += best_len - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    std::string group;
    for (unsigned value = groups[i]; group.empty() || value != 0; value >>= 4)
      group.insert(group.begin(), HEX[value & 0xF]);
    text += group;
  }
  return text;
}

// The first address of the wanted family found toward the targets, in order.
std::optional<asio::ip::address> first_found(std::span<const std::string_view> targets, bool v6) {
  for (std::string_view target : targets) {
    auto found = local_addr_toward(target);
    if (found && found->is_v6() == v6) return found;
  }
  return std::nullopt;
}

}  // namespace

std::optional<asio::ip::address> local_addr_toward(std::string_view target) {
  auto endpoint = read_socket_address(target);
  if (!endpoint) return std::nullopt;
  asio::io_context io;
  udp::socket socket(io);  // closed when it goes, on every path
  std::error_code ec;
  socket.open(endpoint->protocol(), ec);
  if (!ec) {
    auto any = endpoint->protocol() == udp::v4() ? asio::ip::address(asio::ip::address_v4::any())
                                                 : asio::ip::address(asio::ip::address_v6::any());
    socket.bind({any, 0}, ec);
  }
  if (!ec) socket.connect(*endpoint, ec);  // picks the route and the source; sends nothing
  if (ec) return std::nullopt;
  auto local = socket.local_endpoint(ec);
  if (ec || !is_usable_source(local.address())) return std::nullopt;
  return local.address();
}

bool is_usable_source(const asio::ip::address& address) {
  if (address.is_v4()) {
    auto v4 = address.to_v4();
    return v4.to_bytes()[0] != 127 && !v4.is_unspecified();
  }
  auto v6 = address.to_v6();
  return !v6.is_unspecified() && !v6.is_loopback();
}

bool is_offered_ipv6(const asio::ip::address_v6& address) {
  auto bytes = address.to_bytes();
  bool multicast = bytes[0] == 0xff;
  bool link_local = bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
  bool unique_local = bytes[0] == 0xfc || bytes[0] == 0xfd;
  return !multicast && !link_local && !unique_local && !address.is_unspecified() &&
         !address.is_loopback();
}

std::string candidate_text(const std::optional<asio::ip::address_v4>& v4,
                           const std::optional<asio::ip::address_v6>& v6, std::uint16_t port) {
  const std::string p = std::to_string(port);
  std::string text;
  if (v4) text = v4->to_string() + "|" + p + "|lan";
  if (v6) text += (text.empty() ? "" : ",") + ("!" + standard_ipv6_text(*v6)) + "|" + p + "|v6";
  return text;
}

std::string local_candidates(std::uint16_t port, const ProbeTargets& targets) {
  std::optional<asio::ip::address_v4> v4;
  if (auto found = first_found(targets.ipv4, false)) v4 = found->to_v4();
  // Only the first IPv6 address found is weighed: one not worth offering ends the
  // search, so a second target is tried only when the first gave no IPv6 address.
  std::optional<asio::ip::address_v6> v6;
  if (auto found = first_found(targets.ipv6, true); found && is_offered_ipv6(found->to_v6()))
    v6 = found->to_v6();
  return candidate_text(v4, v6, port);
}

}  // namespace quillmar
