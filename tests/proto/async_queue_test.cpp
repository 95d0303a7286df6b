#include "proto/async_queue.hpp"

#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>

#include "async_test.hpp"

namespace quillmar {
namespace {

// Runs what is ready; an io_context that ran out of work stops, so restart it first.
void poll(asio::io_context& io) {
  io.restart();
  io.poll();
}

// Spawns a coroutine and notes its completion: done, and whether it threw.
template <class T>
struct Outcome {
  bool done = false;
  bool threw = false;
  std::optional<T> value;
};
template <class T>
void spawn(asio::io_context& io, asio::awaitable<T> task, Outcome<T>& out,
           asio::cancellation_slot slot = {}) {
  asio::co_spawn(io, std::move(task),
                 asio::bind_cancellation_slot(slot, [&out](std::exception_ptr error, T value) {
                   out.done = true;
                   out.threw = error != nullptr;
                   if (!error) out.value = std::move(value);
                 }));
}

TEST(AsyncQueue, QueuedItemsArriveAfterTheLastSenderIsGone) {
  asio::io_context io;
  auto [sender, receiver] = make_queue<int>(4);
  auto second = std::make_optional(sender);
  EXPECT_TRUE(test::run_async(io, sender.send(1)));
  EXPECT_TRUE(test::run_async(io, second->send(2)));
  { auto gone = std::move(sender); }
  EXPECT_EQ(test::run_async(io, receiver.receive()), std::optional<int>(1));
  second.reset();  // the last sender
  EXPECT_EQ(test::run_async(io, receiver.receive()), std::optional<int>(2));
  EXPECT_EQ(test::run_async(io, receiver.receive()), std::nullopt);
  EXPECT_EQ(test::run_async(io, receiver.receive()), std::nullopt);
}

TEST(AsyncQueue, AWaitingReceiverWakesForAnItemAndForTheEnd) {
  asio::io_context io;
  auto [sender, receiver] = make_queue<int>(4);
  Outcome<std::optional<int>> first, second;
  spawn(io, receiver.receive(), first);
  poll(io);
  EXPECT_FALSE(first.done);
  EXPECT_TRUE(sender.try_send(7));
  poll(io);
  ASSERT_TRUE(first.done);
  EXPECT_EQ(*first.value, std::optional<int>(7));

  spawn(io, receiver.receive(), second);
  poll(io);
  EXPECT_FALSE(second.done);
  { auto gone = std::move(sender); }
  poll(io);
  ASSERT_TRUE(second.done);
  EXPECT_EQ(*second.value, std::nullopt);
}

TEST(AsyncQueue, SendsFailOnceTheReceiverIsGoneAndQueuedItemsAreDropped) {
  asio::io_context io;
  auto [sender, receiver] = make_queue<std::shared_ptr<int>>(4);
  auto item = std::make_shared<int>(1);
  EXPECT_TRUE(test::run_async(io, sender.send(item)));
  EXPECT_EQ(item.use_count(), 2);
  { auto gone = std::move(receiver); }
  EXPECT_EQ(item.use_count(), 1);
  EXPECT_FALSE(test::run_async(io, sender.send(item)));
  EXPECT_FALSE(sender.try_send(item));
  EXPECT_EQ(item.use_count(), 1);
}

TEST(AsyncQueue, The33rdPutWaitsUntilATake) {
  asio::io_context io;
  auto [sender, receiver] = make_queue<int>(32);
  for (int i = 0; i < 32; ++i)
    ASSERT_TRUE(test::run_async(io, sender.send(i), std::chrono::seconds(2)));
  EXPECT_FALSE(sender.try_send(99));

  Outcome<bool> put;
  spawn(io, sender.send(32), put);
  poll(io);
  EXPECT_FALSE(put.done);
  EXPECT_EQ(receiver.size(), 32u);
  EXPECT_EQ(receiver.try_receive(), std::optional<int>(0));
  poll(io);
  ASSERT_TRUE(put.done);
  EXPECT_TRUE(*put.value);
  for (int i = 1; i <= 32; ++i) EXPECT_EQ(receiver.try_receive(), std::optional<int>(i));
}

TEST(AsyncQueue, AWaitingSenderFailsWhenTheReceiverGoes) {
  asio::io_context io;
  auto [sender, receiver] = make_queue<int>(1);
  ASSERT_TRUE(sender.try_send(1));
  Outcome<bool> put;
  spawn(io, sender.send(2), put);
  poll(io);
  EXPECT_FALSE(put.done);
  { auto gone = std::move(receiver); }
  poll(io);
  ASSERT_TRUE(put.done);
  EXPECT_FALSE(*put.value);
}

TEST(AsyncQueue, ACancelledReceiveLosesNoItem) {
  asio::io_context io;
  auto [sender, receiver] = make_queue<int>(4);
  asio::cancellation_signal signal;
  Outcome<std::optional<int>> cancelled;
  spawn(io, receiver.receive(), cancelled, signal.slot());
  poll(io);
  signal.emit(asio::cancellation_type::terminal);
  poll(io);
  ASSERT_TRUE(cancelled.done);
  EXPECT_TRUE(cancelled.threw);
  EXPECT_TRUE(sender.try_send(5));
  EXPECT_EQ(test::run_async(io, receiver.receive()), std::optional<int>(5));
}

TEST(AsyncQueue, ACancelledPutKeepsTheQueueAndLeavesTheRoomToOthers) {
  asio::io_context io;
  auto [sender, receiver] = make_queue<int>(2);
  ASSERT_TRUE(sender.try_send(1));
  ASSERT_TRUE(sender.try_send(2));
  asio::cancellation_signal signal;
  Outcome<bool> cancelled, waiting;
  spawn(io, sender.send(100), cancelled, signal.slot());
  spawn(io, sender.send(3), waiting);
  poll(io);
  signal.emit(asio::cancellation_type::terminal);
  poll(io);
  ASSERT_TRUE(cancelled.done);
  EXPECT_TRUE(cancelled.threw);
  EXPECT_FALSE(waiting.done);

  EXPECT_EQ(test::run_async(io, receiver.receive()), std::optional<int>(1));
  poll(io);
  EXPECT_TRUE(waiting.done);
  EXPECT_EQ(test::run_async(io, receiver.receive()), std::optional<int>(2));
  EXPECT_EQ(test::run_async(io, receiver.receive()), std::optional<int>(3));
  EXPECT_EQ(receiver.try_receive(), std::nullopt);
}

TEST(AsyncQueue, CapacityZeroIsUnbounded) {
  auto [sender, receiver] = make_queue<int>(0);
  for (int i = 0; i < 10000; ++i) ASSERT_TRUE(sender.try_send(i));
  EXPECT_EQ(receiver.size(), 10000u);
}

// Producers on several threads against a small queue: every item arrives once, each
// producer's in order.
TEST(AsyncQueue, ConcurrentProducersLoseNothing) {
  constexpr int PRODUCERS = 4;
  constexpr int ITEMS = 2000;
  asio::thread_pool pool(4);
  auto queue = make_queue<std::pair<int, int>>(32);
  auto& sender = queue.first;
  auto& receiver = queue.second;
  std::vector<std::future<void>> producers;
  for (int p = 0; p < PRODUCERS; ++p) {
    auto produce = [](Sender<std::pair<int, int>> out, int who) -> asio::awaitable<void> {
      for (int i = 0; i < ITEMS; ++i) EXPECT_TRUE(co_await out.send({who, i}));
    };
    producers.push_back(asio::co_spawn(pool, produce(sender, p), asio::use_future));
  }
  { auto gone = std::move(sender); }
  auto consume = [&receiver]() -> asio::awaitable<std::vector<int>> {
    std::vector<int> next(PRODUCERS, 0);
    while (auto item = co_await receiver.receive()) {
      EXPECT_EQ(item->second, next[item->first]);
      ++next[item->first];
    }
    co_return next;
  };
  auto counts = asio::co_spawn(pool, consume(), asio::use_future);
  ASSERT_EQ(counts.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(counts.get(), std::vector<int>(PRODUCERS, ITEMS));
  for (auto& p : producers) p.get();
}

// Destroying a context destroys its suspended coroutines in no set order. Here the
// holder of the only sender goes after the waiting receiver's channel has shut down:
// dropping the sender then must not signal that channel.
TEST(AsyncQueue, ADestroyedContextEndsWaitingSendersAndReceiversQuietly) {
  auto [stop_tx, stop_rx] = make_queue<int>(1);
  {
    asio::io_context io;
    auto [sender, receiver] = make_queue<int>(1);
    auto receive = [](Receiver<int> rx) -> asio::awaitable<void> { co_await rx.receive(); };
    auto hold_sender = [](Sender<int> tx, Receiver<int>& never) -> asio::awaitable<void> {
      co_await never.receive();  // waits until the context is destroyed
      co_await tx.send(1);
    };
    asio::co_spawn(io, receive(std::move(receiver)), asio::detached);
    asio::co_spawn(io, hold_sender(std::move(sender), stop_rx), asio::detached);
    poll(io);
  }
  EXPECT_EQ(stop_rx.try_receive(), std::nullopt);  // reached without a crash
}

}  // namespace
}  // namespace quillmar
