// The public side's request reading: where an HTTP request head ends, its Host
// header, the device label in "<name>-<port>.<domain>", and the stand-in's own short
// replies. Pure functions over text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "proto/result.hpp"

namespace quillmar::devgw {

inline constexpr std::size_t MAX_REQUEST_HEAD = 16 * 1024;

// The length of the head including its empty line ("\r\n\r\n", or "\n\n" from sloppy
// clients), or nullopt while it is incomplete.
std::optional<std::size_t> find_head_end(std::string_view bytes);

// The value of the single Host header of a complete head, lower-cased and trimmed.
// InvalidData with a reason for the visitor when there is no request line, no Host
// header or more than one.
Result<std::string> request_host(std::string_view head);

// The device label of a public host name: the host without its ":port" and without a
// final '.', ending in "." + domain, with exactly one label in front.
struct PublicName {
  std::string label;  // "kite-80" or "kite"
  // The label read as "<name>-<port>" when it ends in '-' and a port 1 to 65535.
  std::optional<std::pair<std::string, std::uint16_t>> with_port;
};
std::optional<PublicName> parse_public_host(std::string_view host, std::string_view domain);

// A complete "Connection: close" reply with a plain-text body.
std::string http_reply(int status, std::string_view reason, std::string_view body);

}  // namespace quillmar::devgw
