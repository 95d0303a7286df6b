#include "direct/punch_probe.hpp"

#include <asio/experimental/as_tuple.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace quillmar {
namespace {

using asio::ip::udp;

bool bind_ipv4(udp::socket& socket, std::uint16_t port) {
  std::error_code ec;
  if (socket.is_open()) socket.close(ec);
  socket.open(udp::v4(), ec);
  if (!ec) socket.bind({asio::ip::address_v4::any(), port}, ec);
  return !ec;
}

}  // namespace

asio::awaitable<void> send_punch_probe(udp::endpoint target, std::uint16_t local_port) {
  udp::socket socket(co_await asio::this_coro::executor);
  if (!bind_ipv4(socket, local_port) && !bind_ipv4(socket, 0)) co_return;
  auto [ec, sent] =
      co_await socket.async_send_to(asio::buffer(PROBE_DATAGRAM.data(), PROBE_DATAGRAM.size()),
                                    target, asio::experimental::as_tuple(asio::use_awaitable));
  (void)ec;  // a probe that cannot leave changes nothing: the test connection follows
  (void)sent;
}

}  // namespace quillmar
