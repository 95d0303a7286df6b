#include "devgw/devgw_host.hpp"

#include <algorithm>

#include "proto/text.hpp"

namespace quillmar::devgw {
namespace {

IoError bad_request(std::string message) {
  return IoError::make(ErrorKind::InvalidData, std::move(message));
}

bool all_digits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "GET /x HTTP/1.1": a method token, a target and an HTTP version.
bool is_request_line(std::string_view line) {
  auto parts = split(line, ' ');
  if (parts.size() != 3 || parts[0].empty() || parts[1].empty()) return false;
  if (!std::all_of(parts[0].begin(), parts[0].end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
    return false;
  return parts[2].starts_with("HTTP/");
}

}  // namespace

std::optional<std::size_t> find_head_end(std::string_view bytes) {
  auto crlf = bytes.find("\r\n\r\n");
  auto lf = bytes.find("\n\n");
  if (crlf == std::string_view::npos && lf == std::string_view::npos) return std::nullopt;
  if (lf == std::string_view::npos || (crlf != std::string_view::npos && crlf < lf))
    return crlf + 4;
  return lf + 2;
}

Result<std::string> request_host(std::string_view head) {
  auto lines = split_lines(head);
  if (lines.empty() || !is_request_line(lines[0]))
    return bad_request("devgw: this is not an HTTP request");
  std::optional<std::string> host;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    auto line = lines[i];
    if (line.empty()) break;
    auto colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (!equals_ignore_ascii_case(line.substr(0, colon), "host")) continue;
    if (host) return bad_request("devgw: the request has more than one Host header");
    host = ascii_lower(trim(line.substr(colon + 1)));
  }
  if (!host || host->empty()) return bad_request("devgw: the request has no Host header");
  return *host;
}

std::optional<PublicName> parse_public_host(std::string_view host, std::string_view domain) {
  if (host.empty() || host.front() == '[') return std::nullopt;  // an IPv6 literal is no device
  auto colon = host.rfind(':');
  if (colon != std::string_view::npos) {
    if (!all_digits(host.substr(colon + 1))) return std::nullopt;
    host = host.substr(0, colon);
  }
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);

  std::string name = ascii_lower(host);
  std::string suffix = "." + ascii_lower(domain);
  if (name.size() <= suffix.size() || !name.ends_with(suffix)) return std::nullopt;
  PublicName result;
  result.label = name.substr(0, name.size() - suffix.size());
  if (result.label.find('.') != std::string::npos) return std::nullopt;

  auto dash = result.label.rfind('-');
  if (dash != std::string::npos && dash > 0) {
    std::string_view port_text = std::string_view(result.label).substr(dash + 1);
    auto port = all_digits(port_text) ? parse_u16(port_text) : std::nullopt;
    if (port && *port != 0) result.with_port.emplace(result.label.substr(0, dash), *port);
  }
  return result;
}

std::string http_reply(int status, std::string_view reason, std::string_view body) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  text += "Content-Type: text/plain; charset=utf-8\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "Connection: close\r\n\r\n";
  text += body;
  return text;
}

}  // namespace quillmar::devgw
