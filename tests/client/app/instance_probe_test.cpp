#include "app/instance_probe.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "async_test.hpp"
#include "desktop/open_browser.hpp"
#include "scoped_env.hpp"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace quillmar {
namespace {

using asio::ip::tcp;
using test::ScopedEnv;
using namespace std::chrono_literals;

// For occupants that never answer: the probe must end at these limits.
constexpr ProbeTimeouts SHORT{std::chrono::milliseconds(300), std::chrono::milliseconds(200)};
// For occupants that answer and close: the limits are never reached, so they are wide
// enough for a loaded machine.
constexpr ProbeTimeouts WIDE{std::chrono::milliseconds(5000), std::chrono::milliseconds(5000)};

const std::string STATE_REPLY =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
    "{\"device_id\":\"29ad3693a5db187313829d3f649cf00b\",\"sub\":\"office\",\"ports\":[80]}";

// A loopback server that accepts one connection and hands it to the behaviour; the
// request it read (up to the blank line) is kept for the test.
class OneShotServer {
 public:
  using Behaviour = std::function<void(tcp::socket&)>;

  explicit OneShotServer(Behaviour behaviour)
      : acceptor_(io_, {asio::ip::address_v4::loopback(), 0}),
        port_(acceptor_.local_endpoint().port()) {
    thread_ = std::thread([this, behaviour = std::move(behaviour)] {
      std::error_code ec;
      tcp::socket socket = acceptor_.accept(ec);
      if (!ec) behaviour(socket);
    });
  }
  ~OneShotServer() {
    // A connection of our own ends an accept that is still waiting.
    std::error_code ignored;
    tcp::socket wake(io_);
    wake.connect({asio::ip::address_v4::loopback(), port_}, ignored);
    thread_.join();
  }

  std::uint16_t port() const { return port_; }

 private:
  asio::io_context io_;
  tcp::acceptor acceptor_;
  std::uint16_t port_;
  std::thread thread_;
};

std::string read_request(tcp::socket& socket) {
  asio::streambuf buffer;
  std::error_code ec;
  asio::read_until(socket, buffer, "\r\n\r\n", ec);
  return {asio::buffers_begin(buffer.data()), asio::buffers_end(buffer.data())};
}

void answer(tcp::socket& socket, const std::string& reply) {
  std::error_code ec;
  (void)read_request(socket);
  asio::write(socket, asio::buffer(reply), ec);
}

template <class F>
std::chrono::milliseconds time_of(F&& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

TEST(LooksLikeInstance, NeedsBothQuotedKeys) {
  struct Case {
    const char* name;
    std::string reply;
    bool expected;
  };
  const Case cases[] = {
      {"state document", STATE_REPLY, true},
      {"keys in a header", "HTTP/1.1 404 Not Found\r\nX-A: \"device_id\" \"ports\"\r\n\r\n", true},
      {"any status", "HTTP/1.1 500 Oops\r\n\r\n{\"ports\":1,\"device_id\":2}", true},
      {"only device_id", "{\"device_id\":\"x\"}", false},
      {"only ports", "{\"ports\":[]}", false},
      {"unquoted words", "device_id ports", false},
      {"single quotes", "{'device_id':1,'ports':2}", false},
      {"around invalid UTF-8", "\xFF\"device_id\"\xC3\"ports\"\xE2\x82", true},
      {"empty", "", false},
  };
  for (const auto& c : cases) EXPECT_EQ(looks_like_instance(c.reply), c.expected) << c.name;
}

TEST(ProbeRunningInstance, AnInstanceAnswers) {
  std::promise<std::string> request;
  OneShotServer server([&](tcp::socket& socket) {
    request.set_value(read_request(socket));
    std::error_code ec;
    asio::write(socket, asio::buffer(STATE_REPLY), ec);
  });
  EXPECT_TRUE(probe_running_instance(server.port(), WIDE));
  EXPECT_EQ(request.get_future().get(),
            "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                "\r\nConnection: close\r\n\r\n");
}

TEST(ProbeRunningInstance, AnswerInSmallPiecesCounts) {
  OneShotServer server([](tcp::socket& socket) {
    (void)read_request(socket);
    std::error_code ec;
    for (char c : STATE_REPLY) {
      asio::write(socket, asio::buffer(&c, 1), ec);
      if (ec) return;
    }
  });
  EXPECT_TRUE(probe_running_instance(server.port(), WIDE));
}

TEST(ProbeRunningInstance, AForeignProgramIsNoInstance) {
  OneShotServer server([](tcp::socket& socket) {
    answer(socket, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
  });
  EXPECT_FALSE(probe_running_instance(server.port(), WIDE));
}

TEST(ProbeRunningInstance, ImmediateCloseIsNoInstance) {
  OneShotServer server([](tcp::socket& socket) {
    std::error_code ignored;
    socket.close(ignored);
  });
  EXPECT_FALSE(probe_running_instance(server.port(), WIDE));
}

TEST(ProbeRunningInstance, ClosedPortIsNoInstance) {
  std::uint16_t port = 0;
  {
    asio::io_context io;
    tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
    port = acceptor.local_endpoint().port();
  }
  EXPECT_FALSE(probe_running_instance(port, WIDE));
}

TEST(ProbeRunningInstance, SilentListenerEndsAtTheReadTimeout) {
  std::promise<void> done;
  OneShotServer server([&](tcp::socket&) { done.get_future().wait(); });
  bool answer_given = true;
  auto took = time_of([&] { answer_given = probe_running_instance(server.port(), SHORT); });
  done.set_value();
  EXPECT_FALSE(answer_given);
  EXPECT_GE(took, 150ms);
  EXPECT_LT(took, 3000ms);
}

TEST(ProbeRunningInstance, ListenerThatNeverAcceptsEndsAtTheReadTimeout) {
  asio::io_context io;
  tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});  // listening, never accepting
  bool answer_given = true;
  auto took = time_of(
      [&] { answer_given = probe_running_instance(acceptor.local_endpoint().port(), SHORT); });
  EXPECT_FALSE(answer_given);
  EXPECT_LT(took, 3000ms);
}

TEST(ProbeRunningInstance, StalledReplyCountsByWhatArrived) {
  // The reply must arrive within one read limit, however loaded the machine is.
  constexpr ProbeTimeouts STALL{std::chrono::milliseconds(5000), std::chrono::milliseconds(1000)};
  std::promise<void> done;
  OneShotServer server([&](tcp::socket& socket) {
    answer(socket, STATE_REPLY);  // and then neither more bytes nor the end
    done.get_future().wait();
  });
  bool answer_given = false;
  auto took = time_of([&] { answer_given = probe_running_instance(server.port(), STALL); });
  done.set_value();
  EXPECT_TRUE(answer_given);
  EXPECT_GE(took, 900ms);  // it ended at the read limit, not at an end of the connection
}

TEST(ProbeRunningInstance, ReadsAtMostTheLimit) {
  std::string padding(PROBE_READ_LIMIT, 'x');
  {
    OneShotServer server([&](tcp::socket& socket) { answer(socket, padding + STATE_REPLY); });
    EXPECT_FALSE(probe_running_instance(server.port(), WIDE));  // the keys lie beyond the limit
  }
  {
    OneShotServer server(
        [&](tcp::socket& socket) { answer(socket, STATE_REPLY + padding + padding); });
    EXPECT_TRUE(probe_running_instance(server.port(), WIDE));
  }
}

TEST(HandOver, PrintsTheLineAndOpensNoBrowserWhenAsked) {
  ScopedEnv no_browser("TUNNEL_NO_BROWSER", "");
  testing::internal::CaptureStdout();
  hand_over_to_running_instance(7788);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Quillmar 已在运行，打开已有的管理页面\n");
}

#ifndef _WIN32
// A stand-in for xdg-open on the PATH that records the address it was given.
struct FakeOpener {
  test::TempDir dir;
  std::filesystem::path record = dir.path() / "opened.txt";
  test::ScopedEnv path{"PATH", dir.path().string()};
  test::ScopedEnv display{"DISPLAY", ":0"};  // a browser is opened only in a graphical session

  FakeOpener() {
    auto script = dir.path() / "xdg-open";
    // Only shell built-ins: the PATH holds nothing but this folder.
    test::write_file(script, "#!/bin/sh\nprintf '%s' \"$1\" > \"" + record.string() + "\"\n");
    ::chmod(script.c_str(), 0755);
  }

  std::string wait_for_record() const {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    std::string text;
    while ((text = test::read_file(record)).empty() &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    return text;
  }
};

TEST(HandOver, OpensTheConsoleAddress) {
  if (!std::filesystem::exists("/bin/sh")) GTEST_SKIP() << "no /bin/sh";
  FakeOpener opener;
  ScopedEnv browser("TUNNEL_NO_BROWSER", std::nullopt);
  testing::internal::CaptureStdout();
  hand_over_to_running_instance(7789);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Quillmar 已在运行，打开已有的管理页面\n");
  EXPECT_EQ(opener.wait_for_record(), "http://127.0.0.1:7789/");
}

TEST(HandOver, NoBrowserMeansNoOpener) {
  FakeOpener opener;
  ScopedEnv no_browser("TUNNEL_NO_BROWSER", "");
  testing::internal::CaptureStdout();
  hand_over_to_running_instance(7790);
  (void)testing::internal::GetCapturedStdout();
  std::this_thread::sleep_for(300ms);  // long enough for a started opener to have written
  EXPECT_FALSE(std::filesystem::exists(opener.record));
}

TEST(OpenBrowser, WithoutAnOpenerOnThePathDoesNothing) {
  test::TempDir empty;
  ScopedEnv path("PATH", empty.path().string());
  auto took = time_of([] { open_browser("http://127.0.0.1:1/"); });
  EXPECT_LT(took, 2000ms);
}
#endif

}  // namespace
}  // namespace quillmar
