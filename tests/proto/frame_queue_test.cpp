// The frame queue between coroutines of one thread: its end, its limit, and sends once
// the receiver is gone.
#include "proto/frame_queue.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <limits>
#include <optional>
#include <vector>

#include "async_test.hpp"

namespace quillmar {
namespace {

Frame data(std::uint32_t id, std::uint8_t byte) { return Frame{{byte}, id, KIND_DATA}; }

// Counted by frames only.
QueueLimits frames_only(std::size_t items) {
  return QueueLimits{items, std::numeric_limits<std::size_t>::max()};
}

TEST(FrameQueue, TheReceiverGetsWhatIsQueuedThenTheEndOnceEverySenderIsGone) {
  asio::io_context io;
  auto frames = test::run_async(io, []() -> asio::awaitable<std::vector<std::uint8_t>> {
    auto [sender, receiver] = make_frame_queue(frames_only(4));
    {
      FrameSender copy = sender;  // as a frame loop holds one beside a stream table's
      bool first = co_await copy.send(data(1, 10));
      EXPECT_TRUE(first);
      bool second = co_await sender.send(data(1, 11));
      EXPECT_TRUE(second);
      auto drop = std::move(sender);
    }
    std::vector<std::uint8_t> got;
    for (;;) {
      auto frame = co_await receiver.receive();
      if (!frame) break;
      got.push_back(frame->payload.at(0));
    }
    co_return got;
  }());
  EXPECT_EQ(frames, (std::vector<std::uint8_t>{10, 11}));
}

TEST(FrameQueue, AFullQueueHoldsTheSenderUntilThereIsRoom) {
  asio::io_context io;
  auto order = test::run_async(io, [&io]() -> asio::awaitable<std::vector<std::uint8_t>> {
    auto [sender, receiver] = make_frame_queue(frames_only(2));
    auto sent = std::make_shared<int>(0);
    asio::co_spawn(
        io,
        [](FrameSender to, std::shared_ptr<int> count) -> asio::awaitable<void> {
          for (std::uint8_t i = 0; i < 5; ++i) {
            bool taken = co_await to.send(data(1, i));
            EXPECT_TRUE(taken);
            ++*count;
          }
        }(std::move(sender), sent),
        asio::detached);
    co_await asio::post(io, asio::use_awaitable);
    EXPECT_EQ(*sent, 2);  // the third send waits for room
    std::vector<std::uint8_t> got;
    for (;;) {
      auto frame = co_await receiver.receive();
      if (!frame) break;
      got.push_back(frame->payload.at(0));
    }
    EXPECT_EQ(*sent, 5);
    co_return got;
  }());
  EXPECT_EQ(order, (std::vector<std::uint8_t>{0, 1, 2, 3, 4}));
}

TEST(FrameQueue, SendsFailOnceTheReceiverIsGoneAndAWaitingSendIsReleased) {
  asio::io_context io;
  test::run_async(io, [&io]() -> asio::awaitable<void> {
    auto [sender, receiver] = make_frame_queue(frames_only(1));
    bool first = co_await sender.send(data(1, 1));
    EXPECT_TRUE(first);
    auto outcome = std::make_shared<std::optional<bool>>();
    asio::co_spawn(
        io,
        [](FrameSender to, std::shared_ptr<std::optional<bool>> result) -> asio::awaitable<void> {
          *result = co_await to.send(data(1, 2));  // the queue is full: waits
        }(sender, outcome),
        asio::detached);
    co_await asio::post(io, asio::use_awaitable);
    EXPECT_FALSE(outcome->has_value());
    { auto gone = std::move(receiver); }
    EXPECT_EQ(*outcome, std::optional<bool>(false));
    bool after = co_await sender.send(data(1, 3));
    EXPECT_FALSE(after);
  }());
}

}  // namespace
}  // namespace quillmar
