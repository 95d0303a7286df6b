#include "proto/connect.hpp"

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "proto/async_queue.hpp"

namespace quillmar {
namespace {

using asio::experimental::as_tuple;
using asio::ip::tcp;

asio::awaitable<Result<tcp::socket>> resolve_and_connect(std::string host, std::uint16_t port) {
  auto executor = co_await asio::this_coro::executor;
  tcp::socket socket(executor);
  std::error_code parse_error;
  auto address = asio::ip::make_address(host, parse_error);
  if (!parse_error) {
    auto [ec] = co_await socket.async_connect({address, port}, as_tuple(asio::use_awaitable));
    if (ec) co_return IoError::from(ec);
    co_return std::move(socket);
  }
  tcp::resolver resolver(executor);
  auto [resolve_ec, endpoints] =
      co_await resolver.async_resolve(host, std::to_string(port), as_tuple(asio::use_awaitable));
  if (resolve_ec) co_return IoError::from(resolve_ec);
  auto [ec, endpoint] =
      co_await asio::async_connect(socket, endpoints, as_tuple(asio::use_awaitable));
  if (ec) co_return IoError::from(ec);
  co_return std::move(socket);
}

}  // namespace

Result<tcp::acceptor> listen_tcp(const asio::any_io_executor& executor,
                                 const tcp::endpoint& endpoint) {
  tcp::acceptor acceptor(executor);
  std::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
#ifndef _WIN32
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return IoError::from(ec);
  return acceptor;
}

asio::awaitable<void> sleep_for(std::chrono::nanoseconds duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(asio::use_awaitable);
}

asio::awaitable<std::optional<Result<tcp::socket>>> connect_host(
    std::string host, std::uint16_t port, std::chrono::nanoseconds deadline) {
  using namespace asio::experimental::awaitable_operators;
  auto [result_tx, result_rx] = make_queue<Result<tcp::socket>>(1);
  asio::co_spawn(
      co_await asio::this_coro::executor,
      [](std::string host, std::uint16_t port,
         Sender<Result<tcp::socket>> tx) -> asio::awaitable<void> {
        auto connected = co_await resolve_and_connect(std::move(host), port);
        tx.try_send(std::move(connected));
      }(std::move(host), port, std::move(result_tx)),
      asio::detached);

  auto outcome = co_await (result_rx.receive() || sleep_for(deadline));
  if (outcome.index() == 1) co_return std::nullopt;
  auto& received = std::get<0>(outcome);
  if (!received) co_return std::nullopt;  // the attempt ended without an answer
  co_return std::move(*received);
}

}  // namespace quillmar
