#include "direct/front_door.hpp"

#include "app/output.hpp"
#include "proto/connect.hpp"
#include "proto/relay.hpp"
#include "proto/tls_config.hpp"
#include "proto/tls_stream.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;

// The shared verifying configuration from --front-ca, else one over the built-in
// roots, built for this connection only.
Result<ClientConfigPtr> front_door_config(SharedState& shared) {
  return shared.front_door_tls.with([](const ClientConfigPtr& held) -> Result<ClientConfigPtr> {
    if (held) return held;
    return front_door_tls_config(std::nullopt);
  });
}

// The TLS front door's stream, or none (after its line, when there is one) to go on
// with the plain front door.
asio::awaitable<std::optional<SplitStream>> open_tls_front_door(
    const FrontDoor& door, std::uint16_t port, SharedState& shared,
    std::chrono::milliseconds connect_timeout) {
  const std::string address = door.host + ":" + std::to_string(port);
  auto connected = co_await connect_host(door.host, port, connect_timeout);
  if (!connected || !*connected) co_return std::nullopt;
  tcp::socket socket = std::move(*connected).value();

  auto config = front_door_config(shared);
  auto name = server_name_for_host(door.name);
  if (!name) {
    print_out("client: 正门名 " + door.name + " 拼不出来: " + name.error().display() + "\n");
    co_return std::nullopt;
  }
  auto verify_failed = [&](const IoError& error) {
    print_out("client: 正门 " + address + " 的证书校验失败（" + error.display() + "）\n");
  };
  if (!config) {
    verify_failed(config.error());
    co_return std::nullopt;
  }
  auto tls = co_await tls_handshake(std::move(socket), config.value(), name.value());
  if (!tls) {
    verify_failed(tls.error());
    co_return std::nullopt;
  }
  co_return std::move(tls.value().halves);
}

}  // namespace

std::string front_door_host(std::string_view gateway) {
  auto colon = gateway.rfind(':');
  return std::string(colon == std::string_view::npos ? gateway : gateway.substr(0, colon));
}

asio::awaitable<void> serve_through_front_door(tcp::socket local, FrontDoor door,
                                               SharedStatePtr shared,
                                               std::chrono::milliseconds connect_timeout) {
  if (const auto https_port = static_cast<std::uint16_t>(load(shared->front_https_port))) {
    auto tls = co_await open_tls_front_door(door, https_port, *shared, connect_timeout);
    if (tls) {
      SplitStream local_halves = split_tcp(std::move(local));
      co_await pipe_streams(std::move(local_halves), std::move(*tls));
      co_return;
    }
  }
  const auto http_port = static_cast<std::uint16_t>(load(shared->front_http_port));
  if (http_port == 0) {
    print_out(
        "client: 没有可回落的正门（网关没配 --public-http-port / --public-https-port），"
        "这条连接关闭\n");
    co_return;  // the local connection closes here
  }
  auto plain = co_await connect_host(door.host, http_port, connect_timeout);
  if (!plain || !*plain) {
    print_out("client: 回落去正门 " + door.host + ":" + std::to_string(http_port) +
              " 连不上 —— 这条关掉，App 重连会再试\n");
    co_return;
  }
  SplitStream local_halves = split_tcp(std::move(local));
  SplitStream door_halves = split_tcp(std::move(*plain).value());
  co_await pipe_streams(std::move(local_halves), std::move(door_halves));
}

}  // namespace quillmar
