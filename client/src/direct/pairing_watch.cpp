#include "direct/pairing_watch.hpp"

#include <asio/experimental/awaitable_operators.hpp>

#include "proto/connect.hpp"
#include "proto/relay.hpp"

namespace quillmar {

asio::awaitable<void> watch_pairing(SharedStatePtr shared, std::uint64_t generation,
                                    std::chrono::milliseconds interval) {
  while (load(shared->punch_generation) == generation) co_await sleep_for(interval);
}

asio::awaitable<bool> relay_while_paired(SplitStream a, SplitStream b, SharedStatePtr shared,
                                         std::uint64_t generation,
                                         std::chrono::milliseconds interval) {
  using namespace asio::experimental::awaitable_operators;
  auto first = co_await (pipe_streams(std::move(a), std::move(b)) ||
                         watch_pairing(std::move(shared), generation, interval));
  co_return first.index() == 1;
}

}  // namespace quillmar
