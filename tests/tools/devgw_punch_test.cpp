// The stand-in's side of direct connections: the offers and results a device sends,
// shown by the admin commands, and the TLS front door a visitor falls back to.
#include <asio/strand.hpp>

#include "async_test.hpp"
#include "devgw_test_support.hpp"
#include "proto/tls_config.hpp"
#include "proto/tls_stream.hpp"

namespace quillmar::devgw::test {
namespace {

class DevgwPunch : public GatewayFixture {};

TEST_F(DevgwPunch, KeepsEachDevicesOffersAndResultsForTheAdmin) {
  auto ports = start();
  run([&]() -> asio::awaitable<void> {
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "80", "token-a");
    EXPECT_EQ((co_await device.next_other()).kind, KIND_WELCOME);
    co_await device.send(KIND_PUNCH_OFFER, 0, "owner|nas,pc|192.0.2.7|80|lan");
    co_await device.send(KIND_PUNCH_RESULT, 0, "result|lan|0");
    co_await device.send(KIND_PUNCH_OFFER, 0, "visitor||");
    EXPECT_TRUE(co_await wait_for_log("direct-connection offer \"visitor||\""));
    EXPECT_EQ(co_await admin(*ports.admin, "offers kite"),
              R"(ok "owner|nas,pc|192.0.2.7|80|lan" "visitor||")");
    EXPECT_EQ(co_await admin(*ports.admin, "results kite"), R"(ok "result|lan|0")");
    EXPECT_EQ(co_await admin(*ports.admin, "results nobody"), "ok");
    EXPECT_EQ(co_await admin(*ports.admin, "offers"),
              "error give the device's name: offers <name>");
    // What a device sent stays listed after it went offline.
    EXPECT_EQ(co_await admin(*ports.admin, "drop kite"), "ok");
    EXPECT_TRUE(co_await device.ends());
    EXPECT_EQ(co_await admin(*ports.admin, "results kite"), R"(ok "result|lan|0")");
  }());
  EXPECT_TRUE(logged("kite: direct-connection result \"result|lan|0\"")) << log_text();
}

// A TLS visitor of the front door, verifying with the given configuration.
asio::awaitable<Result<TlsConnection>> front_door_visit(std::uint16_t port, ClientConfigPtr config,
                                                        std::string name) {
  tcp::socket socket(co_await asio::this_coro::executor);
  co_await socket.async_connect(loopback(port), asio::use_awaitable);
  auto server_name = server_name_for_host(name);
  if (!server_name) co_return server_name.error();
  auto connection =
      co_await tls_handshake(std::move(socket), std::move(config), std::move(server_name).value());
  co_return connection;
}

class DevgwFrontDoor : public GatewayFixture {
 protected:
  DevGatewayOptions front_door_options() {
    auto options = quick_options();
    options.public_https_port = 0;
    options.pubtls_is_public_https = true;
    options.front_ca_file = dir_.path() / "front-ca.pem";
    return options;
  }
  ClientConfigPtr trusting_the_stand_in() {
    auto config = front_door_tls_config(gateway_->front_door_authority());
    if (!config) throw std::runtime_error(config.error().display());
    return config.value();
  }
  quillmar::test::TempDir dir_;
};

TEST_F(DevgwFrontDoor, GivesEachNameUnderTheDomainItsOwnCertificateAndServesTheDevice) {
  auto ports = start(front_door_options());
  ASSERT_TRUE(ports.public_https.has_value());
  EXPECT_EQ(quillmar::test::read_file(dir_.path() / "front-ca.pem"),
            gateway_->front_door_authority());
  run([&]() -> asio::awaitable<void> {
    auto device = co_await TestDevice::connect(ports.control);
    co_await device.register_as("kite", "80", "token-a");
    Frame welcome = co_await device.next_other();
    EXPECT_EQ(text_of(welcome), "|pubport=0|pubtls=" + std::to_string(*ports.public_https));

    auto visit =
        co_await front_door_visit(*ports.public_https, trusting_the_stand_in(), "kite.localhost");
    EXPECT_TRUE(visit.ok()) << (visit.ok() ? "" : visit.error().display());
    if (!visit) co_return;
    auto& halves = visit.value().halves;
    const std::string request = get_request("kite.localhost");
    std::error_code written = co_await write_all(*halves.write, as_bytes(request));
    EXPECT_FALSE(written);
    Frame open = co_await device.next_other();
    EXPECT_EQ(open.kind, KIND_OPEN);
    EXPECT_EQ(text_of(open), "80\n" + request);
    co_await device.send(KIND_DATA, open.id, "served over TLS");
    co_await device.send(KIND_CLOSE, open.id, "");
    std::string reply;
    std::array<char, 256> chunk{};
    for (;;) {
      auto [ec, n] = co_await halves.read->read_some(asio::buffer(chunk));
      reply.append(chunk.data(), n);
      if (ec || n == 0) break;
    }
    EXPECT_EQ(reply, "served over TLS");
  }());
}

TEST_F(DevgwFrontDoor, ANameOutsideTheDomainGetsTheDomainsCertificate) {
  auto ports = start(front_door_options());
  run([&]() -> asio::awaitable<void> {
    auto outside = co_await front_door_visit(*ports.public_https, trusting_the_stand_in(),
                                             "kite.example.test");
    EXPECT_FALSE(outside.ok());
    auto domain =
        co_await front_door_visit(*ports.public_https, trusting_the_stand_in(), "localhost");
    EXPECT_TRUE(domain.ok()) << (domain.ok() ? "" : domain.error().display());
    auto builtin = front_door_tls_config(std::nullopt);  // the built-in roots
    EXPECT_TRUE(builtin.ok());
    if (!builtin) co_return;
    auto untrusted =
        co_await front_door_visit(*ports.public_https, builtin.value(), "kite.localhost");
    EXPECT_FALSE(untrusted.ok());
  }());
}

TEST_F(DevgwFrontDoor, NeedsThePublicListenerBehindIt) {
  auto options = front_door_options();
  options.public_http_port.reset();
  DevGateway gateway(std::move(options));
  auto started = gateway.start(io_);
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error().message, "the TLS front door needs the public HTTP listener behind it");
}

}  // namespace
}  // namespace quillmar::devgw::test
