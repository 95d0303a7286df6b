// Opening the control connection when the gateway does not answer: a listener that
// accepts and never speaks TLS (the handshake deadline), and one that never completes
// a connection (the connect deadline), for each TLS mode, with scaled-down deadlines.
#include "session/gateway_connection.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>

#include "async_test.hpp"
#include "proto/connect.hpp"
#include "scoped_env.hpp"
#include "settings/key_file.hpp"
#include "stalled_listener.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

constexpr std::string_view KEY_HEADER =
    "# Quillmar 设备凭据。删掉本文件 = 换一台新设备（原域名将不再归你）。\n";
constexpr std::string_view TOKEN = "0123456789abcdef0123456789abcdef";
const std::string PIN(64, 'c');

const std::string HANDSHAKE_TIMEOUT = "TLS 握手超时（网关可能不支持 TLS）";
const std::string CONNECT_TIMEOUT = "连接网关超时";

std::string required_line(const std::string& reason) {
  return "client: --tls required 但握手失败: " + reason + "\n";
}
std::string pinned_line(const std::string& reason) {
  return "client: TLS 握手失败（" + reason + "）—— 这台网关之前是加密的，不退回明文\n";
}
std::string fallback_line(const std::string& reason) {
  return "client: TLS 握手没成（" + reason + "）—— 老网关则正常，这条退回明文\n";
}

// A listener that accepts every connection and then neither reads nor writes.
class MuteListener {
 public:
  explicit MuteListener(asio::io_context& io)
      : acceptor_(io, {asio::ip::address_v4::loopback(), 0}) {
    asio::co_spawn(io, accept_all(), asio::detached);
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  std::size_t accepted() const { return accepted_.size(); }

 private:
  asio::awaitable<void> accept_all() {
    for (;;) {
      auto [ec, socket] =
          co_await acceptor_.async_accept(asio::experimental::as_tuple(asio::use_awaitable));
      if (ec) co_return;
      accepted_.push_back(std::move(socket));
    }
  }
  tcp::acceptor acceptor_;
  std::vector<tcp::socket> accepted_;
};

struct ModeCase {
  const char* name;
  TlsMode mode;
  bool pinned;              // the key file holds a pin
  bool opens;               // open_transport gives a (plain) connection
  std::size_t connections;  // attempts the gateway sees
  std::string err;          // standard error, exactly
};

class OpenTransportTest : public ::testing::Test {
 protected:
  OpenTransportTest() {
    shared_->key_path = dir_.path() / "id.ini";
    timings_.gateway_connect_timeout = 300ms;
    timings_.tls_handshake_timeout = 300ms;
  }

  void write_key_file(bool pinned) {
    std::string text = std::string(KEY_HEADER) + "token=" + std::string(TOKEN) + "\n";
    if (pinned) text += "gw_pin=" + PIN + "\n";
    test::write_file(shared_->key_path, text);
  }

  // Runs open_transport; the time it took, what it printed, and whether it opened.
  struct Opened {
    bool ok = false;
    bool tls = false;
    std::chrono::milliseconds took{};
    std::string out;
    std::string err;
  };
  Opened open(std::uint16_t port) {
    Opened result;
    std::fflush(stdout);  // what is still buffered belongs to the test run, not the capture
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto started = std::chrono::steady_clock::now();
    auto transport = test::run_async(
        io_, open_transport("127.0.0.1:" + std::to_string(port), shared_, timings_));
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    result.ok = transport.ok();
    if (transport.ok()) result.tls = transport.value().tls;
    return result;
  }

  asio::io_context io_;
  test::TempDir dir_;
  test::ScopedEnv no_debug_{"TUNNEL_DEBUG", std::nullopt};
  SharedStatePtr shared_ = std::make_shared<SharedState>();
  SessionTimings timings_;
};

TEST_F(OpenTransportTest, AGatewayThatNeverSpeaksTlsRunsIntoTheHandshakeDeadline) {
  const ModeCase cases[] = {
      {"required", TlsMode::TLS_REQUIRED, false, false, 1, required_line(HANDSHAKE_TIMEOUT)},
      {"auto, pinned", TlsMode::TLS_AUTO, true, false, 1, pinned_line(HANDSHAKE_TIMEOUT)},
      {"auto, nothing pinned", TlsMode::TLS_AUTO, false, true, 2, fallback_line(HANDSHAKE_TIMEOUT)},
      {"off", TlsMode::TLS_OFF, true, true, 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MuteListener gateway(io_);
    write_key_file(c.pinned);
    const std::string key_before = test::read_file(shared_->key_path);
    shared_->tls_mode = c.mode;
    Opened opened = open(gateway.port());
    EXPECT_EQ(opened.ok, c.opens);
    EXPECT_FALSE(opened.tls);
    EXPECT_EQ(opened.err, c.err);
    EXPECT_EQ(opened.out, "");
    io_.restart();
    io_.run_for(20ms);  // the listener takes in what is still waiting
    EXPECT_EQ(gateway.accepted(), c.connections);
    EXPECT_EQ(test::read_file(shared_->key_path), key_before) << "nothing is pinned";
    if (c.mode != TlsMode::TLS_OFF) {
      EXPECT_GE(opened.took, 300ms) << "the handshake has its whole deadline";
      EXPECT_LT(opened.took, 3000ms);
    }
  }
}

TEST_F(OpenTransportTest, AGatewayThatNeverAcceptsRunsIntoTheConnectDeadline) {
  test::StalledListener gateway;
  if (!gateway.stalled()) GTEST_SKIP() << "this system refuses connections to a full listener";
  const ModeCase cases[] = {
      {"off", TlsMode::TLS_OFF, false, false, 1, "client: " + CONNECT_TIMEOUT + "\n"},
      {"required", TlsMode::TLS_REQUIRED, false, false, 1, required_line(CONNECT_TIMEOUT)},
      {"auto, pinned", TlsMode::TLS_AUTO, true, false, 1, pinned_line(CONNECT_TIMEOUT)},
      {"auto, nothing pinned: tried twice", TlsMode::TLS_AUTO, false, false, 2,
       fallback_line(CONNECT_TIMEOUT) + "client: " + CONNECT_TIMEOUT + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_key_file(c.pinned);
    shared_->tls_mode = c.mode;
    Opened opened = open(gateway.port());
    EXPECT_FALSE(opened.ok);
    EXPECT_EQ(opened.err, c.err);
    EXPECT_GE(opened.took, 300ms * c.connections) << "each attempt has its whole deadline";
    EXPECT_LT(opened.took, 3000ms * c.connections);
  }
}

// TLS off reads no key file: a missing one is not created, as reading it would.
TEST_F(OpenTransportTest, TlsOffNeverReadsTheKeyFile) {
  MuteListener gateway(io_);
  shared_->tls_mode = TlsMode::TLS_OFF;
  Opened opened = open(gateway.port());
  EXPECT_TRUE(opened.ok);
  EXPECT_FALSE(opened.tls);
  EXPECT_FALSE(std::filesystem::exists(shared_->key_path));
  EXPECT_EQ(opened.err, "");
}

TEST_F(OpenTransportTest, AnAddressWithoutPortFailsAtOnceInEveryMode) {
  for (TlsMode mode : {TlsMode::TLS_OFF, TlsMode::TLS_REQUIRED, TlsMode::TLS_AUTO}) {
    write_key_file(true);
    shared_->tls_mode = mode;
    testing::internal::CaptureStderr();
    auto transport = test::run_async(io_, open_transport("gateway.example", shared_, timings_));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(transport.ok());
    const std::string reason = "网关地址应为 host:port";
    std::string expected = mode == TlsMode::TLS_OFF        ? "client: " + reason + "\n"
                           : mode == TlsMode::TLS_REQUIRED ? required_line(reason)
                                                           : pinned_line(reason);
    EXPECT_EQ(err, expected);
  }
}

}  // namespace
}  // namespace quillmar
