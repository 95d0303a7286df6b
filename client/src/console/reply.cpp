#include "console/reply.hpp"

#include "console/assets.hpp"

namespace quillmar {
namespace {

constexpr std::string_view PLAIN_TEXT = "text/plain; charset=utf-8";

}  // namespace

std::string console_reply(std::string_view status, std::string_view content_type,
                          std::string_view body) {
  std::string reply;
  reply.reserve(128 + body.size());
  reply += "HTTP/1.1 ";
  reply += status;
  reply += "\r\ncontent-type: ";
  reply += content_type;
  reply += "\r\ncache-control: no-store\r\ncontent-length: ";
  reply += std::to_string(body.size());
  reply += "\r\nconnection: close\r\n\r\n";
  reply += body;
  return reply;
}

std::string json_response(std::string body) {
  return console_reply("200 OK", "application/json", body);
}

std::string page_response() {
  return console_reply("200 OK", "text/html; charset=utf-8", console_page_bytes());
}

std::string favicon_response() {
  return console_reply("200 OK", "image/png", console_icon_bytes());
}

std::string forbidden_response() { return console_reply("403 Forbidden", PLAIN_TEXT, "forbidden"); }

std::string not_found_response() { return console_reply("404 Not Found", PLAIN_TEXT, "not found"); }

std::string too_large_response() {
  return console_reply("413 Content Too Large", PLAIN_TEXT, "request too large");
}

}  // namespace quillmar
