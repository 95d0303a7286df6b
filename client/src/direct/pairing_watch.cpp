#include "direct/pairing_watch.hpp"

#include <asio/experimental/awaitable_operators.hpp>

#include "app/output.hpp"
#include "proto/connect.hpp"
#include "proto/relay.hpp"

namespace quillmar {
namespace {

// The line comes before the relay is abandoned, so it is out when the streams close.
asio::awaitable<void> watch_then_report(SharedStatePtr shared, std::uint64_t generation,
                                        std::chrono::milliseconds interval, std::string line) {
  co_await watch_pairing(std::move(shared), generation, interval);
  print_out(line);
}

}  // namespace

asio::awaitable<void> watch_pairing(SharedStatePtr shared, std::uint64_t generation,
                                    std::chrono::milliseconds interval) {
  while (load(shared->punch_generation) == generation) co_await sleep_for(interval);
}

asio::awaitable<void> relay_while_paired(SplitStream a, SplitStream b, SharedStatePtr shared,
                                         std::uint64_t generation,
                                         std::chrono::milliseconds interval, std::string cut_line) {
  using namespace asio::experimental::awaitable_operators;
  co_await (pipe_streams(std::move(a), std::move(b)) ||
            watch_then_report(std::move(shared), generation, interval, std::move(cut_line)));
}

}  // namespace quillmar
