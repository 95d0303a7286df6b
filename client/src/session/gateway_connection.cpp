#include "session/gateway_connection.hpp"

#include <asio/detail/socket_ops.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/this_coro.hpp>

#include "app/environment.hpp"
#include "app/output.hpp"
#include "proto/connect.hpp"
#include "proto/text.hpp"
#include "proto/tls_config.hpp"
#include "proto/tls_stream.hpp"
#include "settings/key_file.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;

// The first n characters (not bytes) of a text.
std::string first_chars(std::string_view text, std::size_t n) {
  std::size_t pos = 0;
  for (std::size_t count = 0; count < n && pos < text.size(); ++count) next_code_point(text, pos);
  return std::string(text.substr(0, std::min(pos, text.size())));
}

std::string host_part(std::string_view address) {
  auto colon = address.rfind(':');
  return std::string(colon == std::string_view::npos ? address : address.substr(0, colon));
}

struct TlsAttempt {
  TlsConnection connection;
  // The TCP connection under it, to be cut without a TLS goodbye when the gateway is
  // refused; valid for as long as the connection's halves are.
  tcp::socket::native_handle_type socket;
};

// A refused gateway is dropped, not taken leave of: ending the TCP sending direction
// first makes the close notice that releasing the TLS connection would send fail.
void drop_without_close_notice(TlsAttempt& refused) {
  std::error_code ignored;  // the connection is about to close either way
  asio::detail::socket_ops::shutdown(refused.socket, asio::socket_base::shutdown_send, ignored);
}

// The TLS attempt: steps up to the handshake; the pin check comes after it.
asio::awaitable<Result<TlsAttempt>> try_tls(const std::string& address,
                                            const SessionTimings& timings) {
  auto connected = co_await connect_gateway(address, timings.gateway_connect_timeout);
  if (!connected) co_return connected.error();
  tcp::socket socket = std::move(connected).value();
  const auto native = socket.native_handle();
  std::error_code ignored;  // a missing TCP_NODELAY only costs latency
  socket.set_option(tcp::no_delay(true), ignored);

  auto name = server_name_for_host(host_part(address));
  if (!name) co_return name.error();

  using namespace asio::experimental::awaitable_operators;
  auto outcome = co_await (tls_handshake(std::move(socket), gateway_tls_config(), name.value()) ||
                           sleep_for(timings.tls_handshake_timeout));
  if (outcome.index() == 1) {
    co_return IoError::make(ErrorKind::TimedOut, "TLS 握手超时（网关可能不支持 TLS）");
  }
  auto& handshake = std::get<0>(outcome);
  if (!handshake)
    co_return IoError::make(ErrorKind::Other, "TLS 握手失败: " + handshake.error().display());
  co_return TlsAttempt{std::move(handshake).value(), native};
}

asio::awaitable<Result<Transport>> plain_transport(const std::string& address,
                                                   const SessionTimings& timings) {
  auto connected = co_await connect_gateway(address, timings.gateway_connect_timeout);
  if (!connected) {
    print_err("client: " + connected.error().display() + "\n");
    co_return connected.error();
  }
  co_return Transport{split_tcp(std::move(connected).value()), false};
}

}  // namespace

asio::awaitable<Result<tcp::socket>> connect_gateway(std::string_view address,
                                                     std::chrono::milliseconds deadline) {
  auto colon = address.rfind(':');
  if (colon == std::string_view::npos)
    co_return IoError::make(ErrorKind::Other, "网关地址应为 host:port");
  auto port = parse_u16(address.substr(colon + 1));
  if (!port) co_return IoError::make(ErrorKind::Other, "网关端口不是数字");
  auto connected = co_await connect_host(std::string(address.substr(0, colon)), *port, deadline);
  if (!connected) co_return IoError::make(ErrorKind::TimedOut, "连接网关超时");
  co_return std::move(*connected);
}

asio::awaitable<Result<Transport>> open_transport(std::string address, SharedStatePtr shared,
                                                  SessionTimings timings) {
  if (shared->tls_mode == TlsMode::TLS_OFF) co_return co_await plain_transport(address, timings);

  auto tls = co_await try_tls(address, timings);
  bool dropped = co_await session_dropped();
  if (dropped) co_return IoError::make(ErrorKind::Interrupted, "session dropped");
  if (tls) {
    if (!check_gateway_pin(tls.value().connection.peer_fingerprint, *shared)) {
      drop_without_close_notice(tls.value());
      co_return IoError::make(ErrorKind::PermissionDenied, "gateway certificate changed");
    }
    co_return Transport{std::move(tls.value().connection.halves), true};
  }

  const std::string reason = tls.error().display();
  if (shared->tls_mode == TlsMode::TLS_REQUIRED) {
    print_err("client: --tls required 但握手失败: " + reason + "\n");
    co_return tls.error();
  }
  if (!load_creds(shared->key_path).gw_pin.empty()) {
    print_err("client: TLS 握手失败（" + reason + "）—— 这台网关之前是加密的，不退回明文\n");
    co_return tls.error();
  }
  print_err("client: TLS 握手没成（" + reason + "）—— 老网关则正常，这条退回明文\n");
  co_return co_await plain_transport(address, timings);
}

asio::awaitable<bool> session_dropped() {
  asio::cancellation_state state = co_await asio::this_coro::cancellation_state;
  co_return state.cancelled() != asio::cancellation_type::none;
}

bool check_gateway_pin(const std::string& fingerprint, SharedState& shared) {
  std::string pinned;
  update_creds(shared.key_path, [&](Creds& creds) {
    pinned = creds.gw_pin;
    if (!pinned.empty()) return false;
    creds.gw_pin = fingerprint;
    return true;
  });
  if (pinned.empty()) {
    print_out("client: 已记住网关证书指纹（" + first_chars(fingerprint, PIN_PREFIX_LEN) +
              "…）—— 以后它变了会拒绝连接\n");
    return true;
  }
  if (pinned == fingerprint) return true;

  print_err("client: 网关证书变了，拒绝连接（指纹 " + first_chars(pinned, PIN_PREFIX_LEN) + "… → " +
            first_chars(fingerprint, PIN_PREFIX_LEN) + "…）。\n");
  print_err("client: 确认是运维换了证书之后，删掉 " + path_to_utf8(shared.key_path) +
            " 里的 gw_pin= 那一行再启动。\n");
  shared.connection_error.set("网关证书已更新，请在 Quillmar 页面确认更新后重新连接。");
  return false;
}

}  // namespace quillmar
