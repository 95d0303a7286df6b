#include "proto/bad_gateway.hpp"

#include <gtest/gtest.h>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <string>
#include <vector>

#include "async_test.hpp"
#include "fake_halves.hpp"
#include "proto/frame.hpp"
#include "proto/shared_writer.hpp"
#include "proto/text.hpp"

namespace quillmar {
namespace {

using test::bytes_of;
using test::RecordingWriteHalf;
using test::WriteBehaviour;
using test::WriteLog;
using Bytes = std::vector<std::uint8_t>;

// The page around the message, written out here piece by piece.
std::string page_prefix() {
  const std::pair<const char*, const char*> rules[] = {
      {"body",
       "margin:0;font:15px/1.7 system-ui,'Microsoft "
       "YaHei',sans-serif;background:#f1f5f9;color:#334155;display:grid;place-items:center;"
       "min-height:100vh"},
      {".card",
       "background:#fff;border-radius:14px;box-shadow:0 12px 40px "
       "#0f172a14;padding:34px 36px;max-width:460px;margin:20px"},
      {".code", "font-size:13px;font-weight:700;color:#7c3aed"},
      {"h1", "margin:6px 0 10px;font-size:22px;color:#0f172a"},
      {"pre",
       "white-space:pre-wrap;word-break:break-all;background:#f8fafc;border-radius:8px;"
       "padding:10px;font-size:13px;color:#64748b"},
  };
  std::string style;
  for (const auto& [selector, declarations] : rules) {
    style += std::string(selector) + "{" + declarations + "}";
  }
  return std::string("<!doctype html><html lang=\"zh-CN\"><head>") + "<meta charset=\"utf-8\">" +
         "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">" +
         "<title>502 本地服务无法连接 · Quillmar</title>" + "<style>" + style + "</style></head>" +
         "<body><div class=\"card\">" + "<div class=\"code\">ERROR 502</div>" +
         "<h1>本地服务无法连接</h1>" +
         "<p>隧道连接正常，但分享者电脑上的目标服务没有响应。请确认服务已启动、Quillmar "
         "中填写的主机和端口正确。</p>" +
         "<pre>";
}
constexpr std::string_view PAGE_SUFFIX = "</pre></div></body></html>";

std::string head_of(std::string_view content_type, std::size_t length) {
  return "HTTP/1.1 502 Bad Gateway\r\ncontent-type: " + std::string(content_type) +
         "\r\ncache-control: no-store\r\ncontent-length: " + std::to_string(length) +
         "\r\nconnection: close\r\n\r\n";
}

constexpr std::string_view ASKS_FOR_HTML =
    "GET / HTTP/1.1\r\nHost: nas-8080.example\r\nAccept: text/html,*/*;q=0.8\r\n\r\n";
constexpr std::string_view ASKS_FOR_ANYTHING = "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n";

TEST(BadGatewayPage, HasItsExactPrefixAndSuffix) {
  const std::string prefix = page_prefix();
  ASSERT_EQ(prefix.size(), 947u);
  ASSERT_EQ(PAGE_SUFFIX.size(), 26u);

  std::string reply =
      bad_gateway_reply(as_bytes(ASKS_FOR_HTML), "127.0.0.1", "Connection refused", 8080);
  const std::string escaped = "Quillmar 客户端无法连接本地服务 127.0.0.1:8080：Connection refused";
  const std::string body = prefix + escaped + std::string(PAGE_SUFFIX);
  EXPECT_EQ(reply, head_of("text/html; charset=utf-8", body.size()) + body);
}

TEST(BadGatewayReply, PlainTextIsTheMessageAndALineFeed) {
  std::string reply =
      bad_gateway_reply(as_bytes(ASKS_FOR_ANYTHING), "127.0.0.1", "连接超时（8 秒）", 8080);
  // 84 bytes, though only 46 characters: the content length counts bytes.
  EXPECT_EQ(reply,
            "HTTP/1.1 502 Bad Gateway\r\n"
            "content-type: text/plain; charset=utf-8\r\n"
            "cache-control: no-store\r\n"
            "content-length: 84\r\n"
            "connection: close\r\n"
            "\r\n"
            "Quillmar 客户端无法连接本地服务 127.0.0.1:8080：连接超时（8 秒）\n");
}

TEST(BadGatewayReply, EscapesTheMessageOnlyInThePage) {
  const std::string reason = "a & b <c> \"q\" 'x' &lt;";
  const std::string message = "Quillmar 客户端无法连接本地服务 nas.lan:22：" + reason;

  std::string plain = bad_gateway_reply({}, "nas.lan", reason, 22);
  EXPECT_EQ(plain, head_of("text/plain; charset=utf-8", message.size() + 1) + message + "\n");

  std::string html = bad_gateway_reply(as_bytes(ASKS_FOR_HTML), "nas.lan", reason, 22);
  const std::string escaped =
      "Quillmar 客户端无法连接本地服务 nas.lan:22：a &amp; b &lt;c&gt; "
      "\"q\" 'x' &amp;lt;";
  const std::string body = page_prefix() + escaped + std::string(PAGE_SUFFIX);
  EXPECT_EQ(html, head_of("text/html; charset=utf-8", body.size()) + body);
}

TEST(BadGatewayReply, TheHostIsEscapedTooAndThePortIsDecimal) {
  std::string html = bad_gateway_reply(as_bytes(ASKS_FOR_HTML), "<h>", "r", 65535);
  EXPECT_NE(html.find("<pre>Quillmar 客户端无法连接本地服务 &lt;h&gt;:65535：r</pre>"),
            std::string::npos);
  std::string plain = bad_gateway_reply({}, "h", "r", 1);
  EXPECT_TRUE(plain.ends_with("\r\n\r\nQuillmar 客户端无法连接本地服务 h:1：r\n")) << plain;
}

std::string filler(std::size_t length) {
  std::string text = "GET / HTTP/1.1\r\nX-Pad: ";
  text.resize(length - 2, 'p');
  return text + "\r\n";
}

TEST(RequestAcceptsHtml, DecisionTable) {
  struct Case {
    const char* name;
    std::string request;
    bool html;
  } cases[] = {
      {"capital A, text/html among other types", std::string(ASKS_FOR_HTML), true},
      {"all upper case", "GET / HTTP/1.1\r\nACCEPT: TEXT/HTML\r\n\r\n", true},
      {"no blank after the colon", "GET / HTTP/1.1\r\naccept:text/html\r\n\r\n", true},
      {"line feeds alone", "GET / HTTP/1.1\naccept: text/html\n\n", true},
      {"last line without a line end", "GET / HTTP/1.1\r\nAccept: text/html", true},
      {"a body line counts too", "POST / HTTP/1.1\r\nAccept: */*\r\n\r\naccept: text/html", true},
      {"invalid UTF-8 around it", "GET /\xFF HTTP/1.1\r\nAccept: \xC3(text/html\xE4\xBD\r\n\r\n",
       true},
      {"the wildcard only", std::string(ASKS_FOR_ANYTHING), false},
      {"no Accept header", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", false},
      {"blank before the name", "GET / HTTP/1.1\r\n Accept: text/html\r\n\r\n", false},
      {"blank before the colon", "GET / HTTP/1.1\r\nAccept : text/html\r\n\r\n", false},
      {"another header naming text/html", "GET / HTTP/1.1\r\nX-Accept: text/html\r\n\r\n", false},
      {"Accept-Language", "GET / HTTP/1.1\r\nAccept-Language: text/html\r\n\r\n", false},
      {"text/html on the next line", "GET / HTTP/1.1\r\nAccept:\r\n text/html\r\n\r\n", false},
      {"name alone", "accept:", false},
      {"empty", "", false},
      // Only the first 8,192 bytes are looked at.
      {"line ending at byte 8,192", filler(8192 - 17) + "accept: text/html", true},
      {"line cut at byte 8,192", filler(8192 - 16) + "accept: text/html", false},
      {"line beginning at byte 8,192", filler(8192) + "accept: text/html\r\n", false},
      {"a character cut in half at byte 8,192",
       "accept: text/html\r\nX: " + std::string(8192 - 23, 'p') + "中文", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(request_accepts_html(as_bytes(c.request)), c.html) << c.name;
    std::string reply = bad_gateway_reply(as_bytes(c.request), "h", "r", 1);
    const char* type = c.html ? "content-type: text/html; charset=utf-8\r\n"
                              : "content-type: text/plain; charset=utf-8\r\n";
    EXPECT_NE(reply.find(type), std::string::npos) << c.name;
  }
}

// What send_bad_gateway puts on the connection: the reply, then the empty frame.
TEST(SendBadGateway, SendsTheReplyAndAnEmptyFrameOverTheConnection) {
  asio::io_context io;
  auto [client, server] = test::tcp_pair(io);
  auto out = split_tcp(std::move(client));
  auto in = split_tcp(std::move(server));
  SharedWriter writer(io.get_executor(), std::move(out.write));
  const std::string expected = bad_gateway_reply(as_bytes(ASKS_FOR_HTML), "127.0.0.1",
                                                 "Connection refused (os error 111)", 3000);

  std::vector<Frame> frames;
  auto receive_three = [&]() -> asio::awaitable<void> {
    for (int i = 0; i < 3; ++i) {
      auto frame = co_await read_frame(*in.read);
      if (!frame.ok() || !frame.value()) co_return;
      frames.push_back(std::move(*frame.value()));
    }
  };
  auto reply_then_marker = [&]() -> asio::awaitable<void> {
    co_await send_bad_gateway(writer, as_bytes(ASKS_FOR_HTML), "127.0.0.1",
                              "Connection refused (os error 111)", 0x01020304, 3000);
    // A frame of the test's own after it: nothing else came in between.
    Frame marker{bytes_of("after"), 9, KIND_CLOSE};
    (void)co_await send_frame(writer, std::move(marker));
  };
  using namespace asio::experimental::awaitable_operators;
  test::run_async(io, receive_three() && reply_then_marker());

  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].kind, KIND_DATA);
  EXPECT_EQ(frames[0].id, 0x01020304u);
  EXPECT_EQ(std::string(frames[0].payload.begin(), frames[0].payload.end()), expected);
  EXPECT_EQ(frames[1].kind, KIND_DATA);
  EXPECT_EQ(frames[1].id, 0x01020304u);
  EXPECT_TRUE(frames[1].payload.empty());
  EXPECT_EQ(frames[2].payload, bytes_of("after"));
}

// However the first frame fares, the empty one is tried after it; after a failed write
// the writer is broken, so that try fails at once without writing.
TEST(SendBadGateway, TheEmptyFrameFollowsEvenWhenTheReplyFails) {
  const Bytes empty_frame{KIND_DATA, 0, 0, 0, 7, 0, 0, 0, 0};
  struct Case {
    const char* name;
    WriteBehaviour behaviour;
    std::string reason;
    std::size_t writes;
    Bytes written;
  } cases[] = {
      // The connection refuses the first write.
      {"write error", {.failing_writes = 1}, "Connection refused", 1, {}},
      // A reply beyond the frame limit is refused before anything is written.
      {"reply too large", {}, std::string(MAX_FRAME_LEN, 'r'), 1, empty_frame},
  };
  for (auto& c : cases) {
    asio::io_context io;
    auto log = std::make_shared<WriteLog>();
    SharedWriter writer(io.get_executor(), std::make_unique<RecordingWriteHalf>(log, c.behaviour));
    test::run_async(io, send_bad_gateway(writer, {}, "127.0.0.1", c.reason, 7, 8080));
    EXPECT_EQ(log->snapshot(), c.written) << c.name;
    EXPECT_EQ(log->calls.size(), c.writes) << c.name;
  }
}

TEST(SendBadGateway, BothFramesGoOutWhenEverythingWorks) {
  asio::io_context io;
  auto log = std::make_shared<WriteLog>();
  SharedWriter writer(io.get_executor(), std::make_unique<RecordingWriteHalf>(log));
  test::run_async(io, send_bad_gateway(writer, {}, "10.0.0.2", "No route to host", 42, 22));
  auto frames = test::parse_frames(log->snapshot());
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->size(), 2u);
  const std::string reply = bad_gateway_reply({}, "10.0.0.2", "No route to host", 22);
  EXPECT_EQ((*frames)[0].payload, bytes_of(reply));
  EXPECT_EQ((*frames)[0].kind, KIND_DATA);
  EXPECT_EQ((*frames)[0].id, 42u);
  EXPECT_TRUE((*frames)[1].payload.empty());
  EXPECT_EQ((*frames)[1].kind, KIND_DATA);
  EXPECT_EQ((*frames)[1].id, 42u);
}

}  // namespace
}  // namespace quillmar
