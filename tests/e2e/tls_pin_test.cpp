// The control connection over TLS against the stand-in: the first connection pins its
// certificate, a swapped certificate is refused for good, a pinned gateway is never
// tried in plain TCP, "required" never falls back and "off" never pins. The real
// programs first; then one session of the client's own code per case, in this process,
// with the stand-in on loopback.
#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/ssl.hpp>

#include "devgw/devgw_cert.hpp"
#include "e2e_support.hpp"
#include "proto/text.hpp"
#include "session/gateway_connection.hpp"
#include "session/session.hpp"

namespace quillmar::test {
namespace {

std::string mismatch_line(const std::string& pinned, const std::string& presented) {
  return "client: 网关证书变了，拒绝连接（指纹 " + pinned.substr(0, 12) + "… → " +
         presented.substr(0, 12) + "…）。\n";
}

std::string remove_pin_line(const std::filesystem::path& key_file) {
  return "client: 确认是运维换了证书之后，删掉 " + path_to_utf8(key_file) +
         " 里的 gw_pin= 那一行再启动。\n";
}

TEST(TlsPin, FirstConnectionPinsTheCertificate) {
  Gateway gateway(tls_gateway());
  const std::string fingerprint = gateway.fingerprint();
  ASSERT_EQ(fingerprint.size(), 64u);
  ClientSetup setup;
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--sub", "pinner"});
  ChildProcess client(client_options(setup, args));

  ASSERT_TRUE(client.wait_for_out(banner_line("pinner"), WAIT))
      << client.describe() << gateway.log();
  std::string stored =
      std::string(PIN_STORED_PREFIX) + fingerprint.substr(0, 12) + "…）—— 以后它变了会拒绝连接\n";
  EXPECT_NE(client.out().find(stored), std::string::npos) << client.describe();
  EXPECT_LT(client.out().find(stored), client.out().find("已就绪"))
      << "the pin is stored before the session goes on";
  auto pin = key_value(setup.key_file(), "gw_pin");
  ASSERT_TRUE(pin.has_value()) << read_file(setup.key_file());
  EXPECT_TRUE(std::regex_match(*pin, std::regex("[0-9a-f]{64}"))) << *pin;
  EXPECT_EQ(*pin, fingerprint);
  EXPECT_EQ(client.err(), "") << client.describe();
}

TEST(TlsPin, SwappedCertificateIsRefusedAgainAndAgain) {
  Gateway gateway(tls_gateway());
  const std::string first = gateway.fingerprint();
  ClientSetup setup;
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--sub", "pinned"});
  ChildProcess client(client_options(setup, args));
  ASSERT_TRUE(client.wait_for_out(banner_line("pinned"), WAIT))
      << client.describe() << gateway.log();
  const std::string key_before = read_file(setup.key_file());

  ASSERT_TRUE(gateway.command("swap-cert").starts_with("ok")) << gateway.log();
  const std::string second = gateway.fingerprint();
  ASSERT_NE(second, first);
  ASSERT_TRUE(gateway.command("drop pinned").starts_with("ok")) << gateway.log();

  // The reconnect comes after the 2 s back-off, the next one 4 s after that.
  const std::string mismatch = mismatch_line(first, second);
  ASSERT_TRUE(client.wait_for_err(mismatch, WAIT)) << client.describe() << gateway.log();
  ASSERT_TRUE(client.wait_for_err(remove_pin_line(setup.key_file()), WAIT)) << client.describe();
  EXPECT_TRUE(client.err().find(mismatch) < client.err().find(remove_pin_line(setup.key_file())));
  EXPECT_EQ(read_file(setup.key_file()), key_before)
      << "a changed certificate never replaces the pin";

  ASSERT_TRUE(
      client.wait_for_err(mismatch + remove_pin_line(setup.key_file()) + mismatch, WAIT + WAIT))
      << client.describe() << gateway.log();
  EXPECT_TRUE(client.running());
  EXPECT_EQ(count_of(client.out(), "已就绪"), 1u)
      << "no session after the swap: " << client.describe();
  EXPECT_EQ(client.err().find("退回明文"), std::string::npos)
      << "a pinned gateway is never tried in plain TCP";
  EXPECT_EQ(read_file(setup.key_file()), key_before);
}

TEST(TlsPin, TlsOffNeverPins) {
  Gateway gateway(plain_gateway());
  ClientSetup setup;
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--tls", "off", "--sub", "plain"});
  ChildProcess client(client_options(setup, args));

  ASSERT_TRUE(client.wait_for_out(banner_line("plain"), WAIT))
      << client.describe() << gateway.log();
  EXPECT_EQ(client.out().find(PIN_STORED_PREFIX), std::string::npos) << client.describe();
  EXPECT_FALSE(key_value(setup.key_file(), "gw_pin").has_value()) << read_file(setup.key_file());
  EXPECT_EQ(client.err(), "") << client.describe();
}

TEST(TlsPin, AutoFallsBackToPlainWithoutAPinAndStoresNone) {
  Gateway gateway(plain_gateway());
  ClientSetup setup;
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--sub", "fallback"});
  ChildProcess client(client_options(setup, args));

  // The stand-in in plain TCP cannot complete a TLS hello (it fails, or runs into the
  // 4 s handshake limit); the plain connection follows.
  ASSERT_TRUE(client.wait_for_out(banner_line("fallback"), WAIT))
      << client.describe() << gateway.log();
  // Standard error is read by a thread of its own: the line may come in after the banner.
  EXPECT_TRUE(client.wait_for_err("—— 老网关则正常，这条退回明文\n", WAIT)) << client.describe();
  EXPECT_TRUE(client.err().starts_with("client: TLS 握手没成（TLS 握手")) << client.describe();
  EXPECT_FALSE(key_value(setup.key_file(), "gw_pin").has_value()) << read_file(setup.key_file());
}

TEST(TlsPin, RequiredNeverFallsBackToPlain) {
  Gateway gateway(plain_gateway());
  ClientSetup setup;
  std::vector<std::string> args = gateway.client_args();
  args.insert(args.end(), {"--tls", "required", "--sub", "strict"});
  ChildProcess client(client_options(setup, args));

  ASSERT_TRUE(client.wait_for_err("client: --tls required 但握手失败: TLS 握手", WAIT))
      << client.describe() << gateway.log();
  ASSERT_TRUE(client.wait_for_err("\n", WAIT)) << client.describe();
  EXPECT_TRUE(client.running());
  EXPECT_EQ(client.out().find("已就绪"), std::string::npos) << client.describe();
  EXPECT_EQ(client.err().find("退回明文"), std::string::npos) << client.describe();
  EXPECT_EQ(gateway.log().find("strict is online"), std::string::npos) << gateway.log();
}

// --- one session in this process ------------------------------------------------------

constexpr std::string_view PIN_PREFIX = "client: 已记住网关证书指纹（";

struct SessionRun {
  bool welcomed = false;
  std::optional<SessionOutcome> outcome;  // none: welcomed, then dropped
  std::string out;
  std::string err;
};

class InProcessSession : public ::testing::Test {
 protected:
  InProcessSession() {
    shared_->key_path = keys_.path() / "id.ini";
    for (int i = 0; i < 2; ++i) workers_.emplace_back([this] { pool_.run(); });
  }
  ~InProcessSession() override {
    pool_guard_.reset();
    pool_.stop();
    for (auto& w : workers_) w.join();
  }

  void write_key_file(std::optional<std::string> pin) {
    std::string text = std::string(KEY_HEADER) + "token=" + std::string(TEST_TOKEN) + "\n";
    if (pin) text += "gw_pin=" + *pin + "\n";
    write_file(shared_->key_path, text);
  }

  // One session until its welcome (then dropped, as the supervisor would on a reload)
  // or its end.
  SessionRun run_session_against(const Gateway& gateway, TlsMode mode) {
    shared_->tls_mode = mode;
    store(shared_->connected, 0);
    SessionInputs inputs{
        gateway.address(), std::string(TEST_DOMAIN), "pinner", std::string(TEST_TOKEN), {}, ""};
    auto [control_tx, control_rx] = make_queue<SessionControl>(0);
    asio::cancellation_signal drop;
    SessionRun result;
    std::fflush(stdout);  // what is still buffered belongs to the test run, not the capture
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto future = asio::co_spawn(io_,
                                 run_session(std::move(inputs), shared_, punch_, control_rx,
                                             SessionEnvironment{pool_.get_executor(), timings_}),
                                 asio::bind_cancellation_slot(drop.slot(), asio::use_future));
    auto deadline = std::chrono::steady_clock::now() + WAIT;
    bool dropped = false;
    while (future.wait_for(0s) != std::future_status::ready &&
           std::chrono::steady_clock::now() < deadline) {
      io_.restart();
      io_.run_for(5ms);
      if (!dropped && load(shared_->connected) == 1) {
        result.welcomed = true;
        dropped = true;
        drop.emit(asio::cancellation_type::terminal);
      }
    }
    result.out = testing::internal::GetCapturedStdout();
    result.err = testing::internal::GetCapturedStderr();
    if (future.wait_for(0s) != std::future_status::ready) {
      ADD_FAILURE() << "the session neither ended nor was welcomed";
      return result;
    }
    try {
      SessionOutcome outcome = future.get();
      if (!dropped) result.outcome = outcome;
    } catch (const std::exception&) {
      // the drop ends the frame loop's wait by cancellation
    }
    return result;
  }

  asio::io_context pool_;  // the session's writer and stream table live here: last to go
  asio::io_context io_;
  asio::executor_work_guard<asio::io_context::executor_type> pool_guard_{pool_.get_executor()};
  std::vector<std::thread> workers_;
  TempDir keys_;
  SharedStatePtr shared_ = std::make_shared<SharedState>();
  PunchOptions punch_;
  SessionTimings timings_;
};

TEST_F(InProcessSession, EachModeOpensOrRefusesAsItsPinAllows) {
  struct Case {
    const char* name;
    bool tls_gateway;
    TlsMode mode;
    std::optional<std::string> pin;  // "*": the stand-in's own fingerprint
    bool welcomed;
    bool tls_active;
    std::vector<std::string> err_parts;  // standard error holds these, in order
    bool pin_stored;                     // the key file then pins the stand-in
  } cases[] = {
      {"auto pins the first certificate",
       true,
       TlsMode::TLS_AUTO,
       std::nullopt,
       true,
       true,
       {},
       true},
      {"required pins too", true, TlsMode::TLS_REQUIRED, std::nullopt, true, true, {}, true},
      {"the pinned certificate is accepted silently",
       true,
       TlsMode::TLS_AUTO,
       "*",
       true,
       true,
       {},
       true},
      {"auto falls back to plain while nothing is pinned",
       false,
       TlsMode::TLS_AUTO,
       std::nullopt,
       true,
       false,
       {"client: TLS 握手没成（TLS 握手", "）—— 老网关则正常，这条退回明文\n"},
       false},
      {"auto never falls back once pinned",
       false,
       TlsMode::TLS_AUTO,
       std::string(64, 'a'),
       false,
       false,
       {"client: TLS 握手失败（TLS 握手", "）—— 这台网关之前是加密的，不退回明文\n"},
       false},
      {"required never falls back",
       false,
       TlsMode::TLS_REQUIRED,
       std::nullopt,
       false,
       false,
       {"client: --tls required 但握手失败: TLS 握手"},
       false},
      {"off connects in plain TCP and never pins",
       false,
       TlsMode::TLS_OFF,
       std::nullopt,
       true,
       false,
       {},
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Gateway gateway(c.tls_gateway ? tls_gateway() : plain_gateway());
    const std::string fingerprint = gateway.fingerprint();
    std::optional<std::string> pin = c.pin;
    if (pin && *pin == "*") pin = fingerprint;
    write_key_file(pin);
    store(shared_->tls_active, c.tls_active ? 0 : 1);  // shows that it is written

    SessionRun run = run_session_against(gateway, c.mode);
    EXPECT_EQ(run.welcomed, c.welcomed) << run.err << gateway.log();
    if (c.welcomed) {
      EXPECT_EQ(load(shared_->tls_active), c.tls_active ? 1u : 0u);
    } else {
      EXPECT_EQ(run.outcome, SessionOutcome::OUTCOME_RETRY);
      EXPECT_EQ(load(shared_->tls_active), c.tls_active ? 0u : 1u) << "left as it was";
    }
    std::size_t at = 0;
    for (const auto& part : c.err_parts) {
      at = run.err.find(part, at);
      EXPECT_NE(at, std::string::npos) << quoted_form(part) << " in " << run.err;
    }
    if (c.err_parts.empty()) {
      EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(count_of(run.err, "\n"), c.err_parts.empty() ? 0u : 1u) << run.err;

    const bool first_pin = c.pin_stored && !pin;
    std::string stored_line =
        std::string(PIN_PREFIX) + fingerprint.substr(0, 12) + "…）—— 以后它变了会拒绝连接\n";
    if (first_pin) {
      EXPECT_TRUE(run.out.starts_with(stored_line)) << run.out;
    } else {
      EXPECT_EQ(run.out.find(PIN_PREFIX), std::string::npos) << run.out;
    }
    auto stored = key_value(shared_->key_path, "gw_pin");
    if (c.pin_stored) {
      EXPECT_EQ(stored, fingerprint);
    } else {
      EXPECT_EQ(stored, pin) << "the pin is not touched";
    }
    EXPECT_EQ(shared_->connection_error.get(), "");
  }
}

// A changed certificate is refused with both lines and the console's text, also when
// the pin names the same digest in capitals; once the pin line is removed from the key
// file, which is read anew for every connection, the next connection pins again.
TEST_F(InProcessSession, AChangedCertificateIsRefusedUntilThePinIsRemoved) {
  Gateway gateway(tls_gateway());
  const std::string fingerprint = gateway.fingerprint();
  std::string upper = fingerprint;
  for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  for (const std::string& pin : {std::string(64, 'e'), upper}) {
    SCOPED_TRACE(pin);
    write_key_file(pin);
    const std::string key_before = read_file(shared_->key_path);
    store(shared_->tls_active, 0);
    SessionRun run = run_session_against(gateway, TlsMode::TLS_AUTO);
    EXPECT_FALSE(run.welcomed);
    EXPECT_EQ(run.outcome, SessionOutcome::OUTCOME_RETRY);
    EXPECT_EQ(run.err, "client: 网关证书变了，拒绝连接（指纹 " + pin.substr(0, 12) + "… → " +
                           fingerprint.substr(0, 12) +
                           "…）。\n"
                           "client: 确认是运维换了证书之后，删掉 " +
                           path_to_utf8(shared_->key_path) + " 里的 gw_pin= 那一行再启动。\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(shared_->connection_error.get(),
              "网关证书已更新，请在 Quillmar 页面确认更新后重新连接。");
    EXPECT_EQ(load(shared_->tls_active), 0u);
    EXPECT_EQ(read_file(shared_->key_path), key_before);
    EXPECT_EQ(load(shared_->connected), 0u);
  }

  write_key_file(std::nullopt);  // the pin line removed, as the console's reset does
  SessionRun run = run_session_against(gateway, TlsMode::TLS_AUTO);
  EXPECT_TRUE(run.welcomed) << run.err;
  EXPECT_EQ(key_value(shared_->key_path, "gw_pin"), fingerprint);
  EXPECT_EQ(shared_->connection_error.get(), "") << "the welcome clears it";
  EXPECT_EQ(load(shared_->tls_active), 1u);
}

// A TLS server of the test's own for one connection: it completes the handshake and
// then reads until the client's side ends, telling how it ended: the end of input
// after a close notice, or a connection cut without one (stream_truncated).
class OneTlsConnection {
 public:
  OneTlsConnection() {
    auto pair = devgw::generate_certificate("gateway.test");
    if (!pair) throw std::runtime_error(pair.error().display());
    auto context = devgw::make_server_context(pair.value());
    if (!context) throw std::runtime_error(context.error().display());
    context_ = std::move(context).value();
    ended_ = asio::co_spawn(io_, serve(), asio::use_future);
    thread_ = std::thread([this] { io_.run(); });
  }
  ~OneTlsConnection() {
    io_.stop();
    thread_.join();
  }

  std::string address() const {
    return "127.0.0.1:" + std::to_string(acceptor_.local_endpoint().port());
  }
  std::optional<std::error_code> end(std::chrono::milliseconds limit) {
    if (ended_.wait_for(limit) != std::future_status::ready) return std::nullopt;
    return ended_.get();
  }

 private:
  asio::awaitable<std::error_code> serve() {
    auto [accept_ec, socket] = co_await acceptor_.async_accept(as_tuple_awaitable);
    if (accept_ec) co_return accept_ec;
    asio::ssl::stream<tcp::socket> stream(std::move(socket), *context_);
    auto [handshake_ec] =
        co_await stream.async_handshake(asio::ssl::stream_base::server, as_tuple_awaitable);
    if (handshake_ec) co_return handshake_ec;
    std::array<char, 256> buffer{};
    for (;;) {
      auto [ec, n] = co_await stream.async_read_some(asio::buffer(buffer), as_tuple_awaitable);
      if (ec) co_return ec;
    }
  }

  asio::io_context io_;
  tcp::acceptor acceptor_{io_, {asio::ip::address_v4::loopback(), 0}};
  std::shared_ptr<asio::ssl::context> context_;
  std::future<std::error_code> ended_;
  std::thread thread_;
};

// Refusing a gateway is no orderly goodbye to it: the connection is dropped, no close
// notice is sent.
TEST(TlsPin, ARefusedCertificateIsDroppedWithoutACloseNotice) {
  OneTlsConnection gateway;
  TempDir keys;
  auto shared = std::make_shared<SharedState>();
  shared->key_path = keys.path() / "id.ini";
  shared->tls_mode = TlsMode::TLS_REQUIRED;
  write_file(shared->key_path, std::string(KEY_HEADER) + "token=" + std::string(TEST_TOKEN) +
                                   "\ngw_pin=" + std::string(64, 'e') + "\n");

  asio::io_context io;
  testing::internal::CaptureStderr();
  auto opened = run_async(io, open_transport(gateway.address(), shared, SessionTimings{}));
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_FALSE(opened.ok());
  EXPECT_TRUE(err.starts_with("client: 网关证书变了，拒绝连接")) << err;

  // Whatever the client does after the refusal runs here.
  std::optional<std::error_code> ended;
  auto deadline = std::chrono::steady_clock::now() + WAIT;
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    io.restart();
    io.run_for(10ms);
    ended = gateway.end(0ms);
  }
  ASSERT_TRUE(ended.has_value()) << "the connection was not closed";
  EXPECT_EQ(*ended, asio::ssl::error::stream_truncated) << ended->message();
}

}  // namespace
}  // namespace quillmar::test
