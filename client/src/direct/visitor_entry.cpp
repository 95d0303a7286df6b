#include "direct/visitor_entry.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "app/environment.hpp"
#include "app/output.hpp"
#include "direct/addresses.hpp"
#include "direct/front_door.hpp"
#include "direct/pairing_watch.hpp"
#include "direct/punch_result.hpp"
#include "proto/connect.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

// Binds, then decides every accepted connection; all but the debug line at the end.
asio::awaitable<Status> serve_entry(FrontDoor door, ReachableCandidate owner,
                                    SharedWriterPtr writer, SharedStatePtr shared,
                                    std::uint16_t entry_port, asio::any_io_executor pool,
                                    DirectTimings timings) {
  if (entry_port == 0) co_return IoError::make(ErrorKind::InvalidInput, std::string(NO_ENTRY_PORT));
  asio::any_io_executor executor = co_await asio::this_coro::executor;
  auto listener = listen_tcp(executor, {asio::ip::address_v4::loopback(), entry_port});
  if (!listener) co_return listener.error();
  print_out("client: 直连入口 http://127.0.0.1:" + std::to_string(entry_port) +
            " → 对端 :" + std::to_string(owner.endpoint.port()) + "\n");

  for (;;) {
    asio::any_io_executor strand = asio::make_strand(pool);
    auto [accept_ec, local] = co_await listener.value().async_accept(strand, as_tuple_awaitable);
    if (accept_ec) co_return Status{};
    std::error_code ignored;  // Nagle only costs latency
    local.set_option(tcp::no_delay(true), ignored);

    if (load(shared->direct_active) == 1) {
      std::string owner_host = owner.endpoint.address().to_string();
      auto direct = co_await connect_host(std::move(owner_host), owner.endpoint.port(),
                                          timings.direct_connect_timeout);
      if (direct && *direct) {
        asio::co_spawn(strand, send_visitor_result(result_payload(owner.path), writer),
                       asio::detached);
        const std::uint64_t generation = load(shared->punch_generation);
        asio::co_spawn(
            strand,
            run_visitor_direct_session(std::move(local), std::move(*direct).value(), shared,
                                       generation, timings.pairing_watch_interval),
            asio::detached);
        continue;
      }
    }
    asio::co_spawn(strand,
                   serve_through_front_door(std::move(local), door, shared,
                                            timings.front_door_connect_timeout),
                   asio::detached);
  }
}

}  // namespace

asio::awaitable<Status> run_direct_entry(std::string gateway, std::string front_door_name,
                                         ReachableCandidate owner, SharedWriterPtr writer,
                                         SharedStatePtr shared, std::uint16_t entry_port,
                                         asio::any_io_executor pool, DirectTimings timings) {
  FrontDoor door{front_door_host(gateway), std::move(front_door_name)};
  Status ended = co_await serve_entry(std::move(door), std::move(owner), std::move(writer),
                                      std::move(shared), entry_port, std::move(pool), timings);
  if (!ended && debug_enabled())
    print_err("client: 直连入口退出 " + ended.error().display() + "\n");
  co_return ended;
}

asio::awaitable<void> send_visitor_result(std::string payload, SharedWriterPtr writer) {
  co_await send_punch_result(std::move(payload), std::move(writer));
}

asio::awaitable<void> run_visitor_direct_session(tcp::socket local, tcp::socket owner,
                                                 SharedStatePtr shared, std::uint64_t generation,
                                                 std::chrono::milliseconds watch_interval) {
  SplitStream local_halves = split_tcp(std::move(local));
  SplitStream owner_halves = split_tcp(std::move(owner));
  std::string cut_line = "client: 对方撤了直连，这条断开（重连后走中继）\n";
  co_await relay_while_paired(std::move(local_halves), std::move(owner_halves), std::move(shared),
                              generation, watch_interval, std::move(cut_line));
}

}  // namespace quillmar
