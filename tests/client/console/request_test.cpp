// Request framing and the request checks as pure functions.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "console/server.hpp"

namespace quillmar {
namespace {

TEST(FindHeader, FirstMatchingLineAfterTheRequestLine) {
  struct Case {
    const char* name;
    std::string text;
    const char* header;
    std::optional<std::string> expected;
  } cases[] = {
      {"plain", "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n", "host", "localhost"},
      {"name case ignored", "GET / HTTP/1.1\r\nHOST: a\r\n", "host", "a"},
      {"value trimmed, case kept", "GET / HTTP/1.1\r\nHost: \t LocalHost \t\r\n", "host",
       "LocalHost"},
      {"name trimmed", "GET / HTTP/1.1\r\n  Host  : a\r\n", "host", "a"},
      {"split at the first colon", "GET / HTTP/1.1\r\nHost: [::1]:7788\r\n", "host", "[::1]:7788"},
      {"first of two wins", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n", "host", "a"},
      {"request line skipped", "Host: a\r\nX: y\r\n", "host", std::nullopt},
      {"line without colon passed over", "GET / HTTP/1.1\r\nHost localhost\r\nHost: b\r\n", "host",
       "b"},
      {"bare line feeds", "GET / HTTP/1.1\nHost: a\n\n", "host", "a"},
      {"found in the body", "GET / HTTP/1.1\r\nX: 1\r\n\r\nhost: localhost\r\n", "host",
       "localhost"},
      {"head line wins over body line", "GET / HTTP/1.1\r\nHost: a\r\n\r\nhost: b\r\n", "host",
       "a"},
      {"name must match whole", "GET / HTTP/1.1\r\nHostname: a\r\nX-Host: b\r\n", "host",
       std::nullopt},
      {"empty value", "GET / HTTP/1.1\r\nOrigin:\r\n", "origin", ""},
      {"last line without line feed", "GET / HTTP/1.1\r\nContent-Length: 12", "content-length",
       "12"},
      {"missing", "GET / HTTP/1.1\r\n\r\n", "origin", std::nullopt},
      {"empty text", "", "host", std::nullopt},
      {"not folded beyond ASCII", "GET / HTTP/1.1\r\nHOſT: a\r\n", "host", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(find_header(c.text, c.header), c.expected);
  }
}

TEST(ContentLength, OptionalPlusAndDigitsFitting64Bits) {
  struct Case {
    std::optional<std::string> value;
    std::uint64_t expected;
  } cases[] = {
      {"12", 12},
      {"+12", 12},
      {"0012", 12},
      {" 12 ", 12},
      {"18446744073709551615", 18446744073709551615ull},
      {"18446744073709551616", 0},
      {"", 0},
      {"+", 0},
      {"-", 0},
      {"-5", 0},
      {"5a", 0},
      {"1 2", 0},
      {"abc", 0},
      {"++1", 0},
      {"0x10", 0},
      {std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value.value_or("<none>"));
    EXPECT_EQ(content_length_value(c.value), c.expected);
  }
}

TEST(RequestComplete, HeadPlusDeclaredBodyOrAnOversizedDeclaration) {
  struct Case {
    const char* name;
    std::string bytes;
    bool expected;
  } cases[] = {
      {"head without body", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", true},
      {"head not ended", "GET / HTTP/1.1\r\nHost: a\r\n", false},
      {"bare line feeds do not end the head", "GET / HTTP/1.1\nHost: a\n\n", false},
      {"body still missing", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabc", false},
      {"body complete", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde", true},
      {"more than the body", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcdefg", true},
      {"oversized declaration, no body yet", "POST / HTTP/1.1\r\nContent-Length: 8193\r\n\r\n",
       true},
      {"the limit itself waits for its body", "POST / HTTP/1.1\r\nContent-Length: 8192\r\n\r\n",
       false},
      {"unparsable length counts as 0", "POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", true},
      {"only the head's length counts here", "POST / HTTP/1.1\r\n\r\nContent-Length: 99\r\n", true},
      {"empty", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(request_complete(c.bytes), c.expected);
  }
}

TEST(ParseConsoleRequest, MethodPathAndBodyCut) {
  struct Case {
    const char* name;
    std::string bytes;
    std::string method;
    std::string path;
    std::string body;
  } cases[] = {
      {"plain", "GET /api/state HTTP/1.1\r\nHost: a\r\n\r\n", "GET", "/api/state", ""},
      {"no version", "GET /x\r\n\r\n", "GET", "/x", ""},
      {"no space at all", "GET\r\n\r\n", "GET", "", ""},
      {"two spaces", "GET  /x HTTP/1.1\r\n\r\n", "GET", "", ""},
      {"query kept in the path", "GET /api/state?x=1 HTTP/1.1\r\n\r\n", "GET", "/api/state?x=1",
       ""},
      {"bare line feed", "POST /p HTTP/1.1\n\n", "POST", "/p", ""},
      {"body cut at the length", "POST /p HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcdef", "POST",
       "/p", "abc"},
      {"body shorter than declared", "POST /p HTTP/1.1\r\nContent-Length: 100\r\n\r\nabc", "POST",
       "/p", "abc"},
      {"no length: no body", "POST /p HTTP/1.1\r\n\r\nabc", "POST", "/p", ""},
      {"length taken from a body line", "POST /p HTTP/1.1\r\n\r\ncontent-length: 99\r\n", "POST",
       "/p", "content-length: 99\r\n"},
      {"huge length does not overflow",
       "POST /p HTTP/1.1\r\nContent-Length: 18446744073709551615\r\n\r\nab", "POST", "/p", "ab"},
      {"invalid bytes replaced", "POST /p\xff HTTP/1.1\r\nContent-Length: 2\r\n\r\n\xc3(", "POST",
       "/p\xEF\xBF\xBD", "\xEF\xBF\xBD("},
      {"empty", "", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ConsoleRequest request = parse_console_request(c.bytes);
    EXPECT_EQ(request.method, c.method);
    EXPECT_EQ(request.path, c.path);
    EXPECT_EQ(request.body, c.body);
  }
}

TEST(CheckHost, ConsoleOn7788) {
  struct Case {
    const char* host_line;
    bool expected;
  } cases[] = {
      {"Host: localhost:7788", true},
      {"Host: LOCALHOST", true},
      {"Host: [::1]", true},
      {"Host: 127.0.0.1", true},
      {"Host: 127.0.0.1:7788", true},
      {"Host: [::1]:7788", true},
      {"Host: localhost:80", false},
      {"Host: 192.168.1.5:7788", false},
      {"Host: attacker.test:7788", false},
      {"Host: localhost.attacker.test:7788", false},
      {"Host: 127.0.0.1.attacker.test", false},
      {"Host: localhost.", false},
      {"Host:", false},
      {"Host: localhost:07788", false},
      {"Host: localhost:7788 ", true},
      {"X-Host: localhost", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host_line);
    EXPECT_EQ(check_host(std::string("GET / HTTP/1.1\r\n") + c.host_line + "\r\n\r\n", 7788),
              c.expected);
  }
  EXPECT_FALSE(check_host("GET / HTTP/1.1\r\n\r\n", 7788));
}

TEST(CheckOrigin, ConsoleOn7788) {
  struct Case {
    const char* origin_line;
    bool expected;
  } cases[] = {
      {"", true},
      {"Origin: http://localhost:7788", true},
      {"Origin: http://127.0.0.1:7788", true},
      {"Origin: http://[::1]:7788", true},
      {"Origin: http://localhost", false},
      {"Origin: null", false},
      {"Origin: https://localhost:7788", false},
      {"Origin: http://localhost:7788/", false},
      {"Origin: http://evil.test", false},
      {"Origin: http://localhost:7789", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.origin_line);
    EXPECT_EQ(check_origin(std::string("POST / HTTP/1.1\r\nHost: localhost\r\n") + c.origin_line +
                               "\r\n\r\n",
                           7788),
              c.expected);
  }
}

}  // namespace
}  // namespace quillmar
