#include "proto/bad_gateway.hpp"

#include <algorithm>
#include <string>

#include "proto/text.hpp"

namespace quillmar {
namespace {

// Only the start of a request is examined: enough for any request head.
constexpr std::size_t ACCEPT_SCAN_LEN = 8192;

// Everything of the page before the escaped message, and everything after it.
constexpr std::string_view PAGE_HEAD =
    "<!doctype html><html lang=\"zh-CN\"><head><meta charset=\"utf-8\">"
    "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
    "<title>502 本地服务无法连接 · Quillmar</title><style>"
    "body{margin:0;font:15px/1.7 system-ui,'Microsoft "
    "YaHei',sans-serif;background:#f1f5f9;color:#334155;"
    "display:grid;place-items:center;min-height:100vh}"
    ".card{background:#fff;border-radius:14px;box-shadow:0 12px 40px #0f172a14;padding:34px 36px;"
    "max-width:460px;margin:20px}"
    ".code{font-size:13px;font-weight:700;color:#7c3aed}"
    "h1{margin:6px 0 10px;font-size:22px;color:#0f172a}"
    "pre{white-space:pre-wrap;word-break:break-all;background:#f8fafc;border-radius:8px;padding:"
    "10px;"
    "font-size:13px;color:#64748b}"
    "</style></head><body><div class=\"card\"><div class=\"code\">ERROR 502</div>"
    "<h1>本地服务无法连接</h1>"
    "<p>隧道连接正常，但分享者电脑上的目标服务没有响应。请确认服务已启动、Quillmar "
    "中填写的主机和端口正确。</p>"
    "<pre>";
constexpr std::string_view PAGE_TAIL = "</pre></div></body></html>";

void replace_all(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Ampersands first, so the ones the other two replacements write stay as they are.
std::string escape_html(std::string text) {
  replace_all(text, "&", "&amp;");
  replace_all(text, "<", "&lt;");
  replace_all(text, ">", "&gt;");
  return text;
}

}  // namespace

bool request_accepts_html(std::span<const std::uint8_t> first_bytes) {
  const std::string text = ascii_lower(
      decode_utf8_lossy(first_bytes.first(std::min(first_bytes.size(), ACCEPT_SCAN_LEN))));
  for (std::string_view line : split_lines(text)) {
    if (line.starts_with("accept:") && line.find("text/html") != std::string_view::npos)
      return true;
  }
  return false;
}

std::string bad_gateway_reply(std::span<const std::uint8_t> first_bytes, std::string_view host,
                              std::string_view reason, std::uint16_t port) {
  std::string message = "Quillmar 客户端无法连接本地服务 ";
  message.append(host).append(":").append(std::to_string(port)).append("：").append(reason);

  std::string body;
  std::string_view content_type;
  if (request_accepts_html(first_bytes)) {
    body.append(PAGE_HEAD).append(escape_html(std::move(message))).append(PAGE_TAIL);
    content_type = "text/html; charset=utf-8";
  } else {
    body = std::move(message) + "\n";
    content_type = "text/plain; charset=utf-8";
  }

  std::string reply = "HTTP/1.1 502 Bad Gateway\r\ncontent-type: ";
  reply.append(content_type)
      .append("\r\ncache-control: no-store\r\ncontent-length: ")
      .append(std::to_string(body.size()))
      .append("\r\nconnection: close\r\n\r\n")
      .append(body);
  return reply;
}

asio::awaitable<void> send_bad_gateway(SharedWriter& writer,
                                       std::span<const std::uint8_t> first_bytes,
                                       std::string_view host, std::string_view reason,
                                       std::uint32_t stream_id, std::uint16_t port) {
  const std::string reply = bad_gateway_reply(first_bytes, host, reason, port);
  // Named frames, not braced temporaries inside the co_await: GCC 12 destroys such a
  // temporary twice.
  Frame page{std::vector<std::uint8_t>(reply.begin(), reply.end()), stream_id, KIND_DATA};
  Frame end{{}, stream_id, KIND_DATA};
  // Both outcomes are dropped: the caller ends the stream with KIND_CLOSE in any case,
  // and there is nobody else to tell.
  (void)co_await send_frame(writer, std::move(page));
  (void)co_await send_frame(writer, std::move(end));
}

}  // namespace quillmar
