#include "proto/async_mutex.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <memory>
#include <vector>

#include "proto/async_queue.hpp"

namespace quillmar {
namespace {

// Destroying a context destroys its suspended coroutines in no set order. Here the
// holder of the lock goes after the channels have shut down, with another coroutine
// waiting for the lock: the release must find nobody to hand the lock to. As in the
// program, the coroutines own the mutex, so it goes with the last of them.
TEST(AsyncMutex, ALockDroppedWhileItsContextIsDestroyedReleasesQuietly) {
  auto [never_tx, never_rx] = make_queue<int>(1);
  std::weak_ptr<AsyncMutex> gone;
  {
    asio::io_context io;
    auto mutex = std::make_shared<AsyncMutex>(io.get_executor());
    gone = mutex;
    auto hold = [](std::shared_ptr<AsyncMutex> m, Receiver<int>& never) -> asio::awaitable<void> {
      auto lock = co_await m->lock();
      co_await never.receive();  // waits until the context is destroyed
    };
    auto wait_for_lock = [](std::shared_ptr<AsyncMutex> m) -> asio::awaitable<void> {
      auto lock = co_await m->lock();
    };
    asio::co_spawn(io, hold(mutex, never_rx), asio::detached);
    asio::co_spawn(io, wait_for_lock(mutex), asio::detached);
    io.poll();
    EXPECT_FALSE(mutex->try_lock().has_value());
    mutex.reset();
  }
  EXPECT_TRUE(gone.expired());
  EXPECT_EQ(never_rx.try_receive(), std::nullopt);  // reached without a crash
}

TEST(AsyncMutex, TheNextWaiterGetsTheLockWhenItIsReleased) {
  asio::io_context io;
  AsyncMutex mutex(io.get_executor());
  std::vector<int> order;
  auto take = [&](int who) -> asio::awaitable<void> {
    auto lock = co_await mutex.lock();
    order.push_back(who);
  };
  auto first = mutex.try_lock();
  ASSERT_TRUE(first.has_value());
  for (int who = 1; who <= 3; ++who) asio::co_spawn(io, take(who), asio::detached);
  io.poll();
  EXPECT_TRUE(order.empty());
  first->unlock();
  io.restart();
  io.poll();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(mutex.try_lock().has_value());
}

}  // namespace
}  // namespace quillmar
