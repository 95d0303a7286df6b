// The control connection over TLS with the real programs: the first connection pins
// the stand-in's certificate, a swapped certificate is refused for good, and a plain
// connection never pins.
#include <gtest/gtest.h>

#include "e2e_support.hpp"

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
  EXPECT_NE(client.err().find("client: TLS 握手"), std::string::npos) << client.describe();
  EXPECT_NE(client.err().find("—— 老网关则正常，这条退回明文\n"), std::string::npos)
      << client.describe();
  EXPECT_FALSE(key_value(setup.key_file(), "gw_pin").has_value()) << read_file(setup.key_file());
}

}  // namespace
}  // namespace quillmar::test
