// The stand-in's hand-offs: the mailboxes between its threads, and the queue of a
// visitor's frames on the core's strand.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <thread>

#include "async_test.hpp"
#include "devgw/devgw_mailbox.hpp"
#include "devgw/devgw_visitor_queue.hpp"
#include "proto/staged_context.hpp"

namespace quillmar::devgw {
namespace {

struct Record {
  std::vector<int>* seen;
  int value;
  void operator()() && { seen->push_back(value); }
};

TEST(DevgwMailbox, ItemsPushedWhileADeliveryWaitsGoInItInOrder) {
  asio::io_context target;
  auto box = std::make_shared<Mailbox<Record>>(target.get_executor());
  std::vector<int> seen;
  std::thread pusher([&] {
    for (int i = 0; i < 1000; ++i) box->push(Record{&seen, i});
  });
  pusher.join();
  EXPECT_EQ(target.poll_one(), 1u);  // one delivery carries all of them
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(seen[i], i);
  box->push(Record{&seen, 1000});  // a later push posts a delivery of its own
  target.restart();
  EXPECT_EQ(target.poll(), 1u);
  EXPECT_EQ(seen.back(), 1000);
}

// An item that owns the mailbox itself (a connection owns its mailboxes): a context shut
// down before the delivery ran must still free both.
struct Owning {
  std::shared_ptr<Mailbox<Owning>> box;
  void operator()() && {}
};

TEST(DevgwMailbox, AContextShutDownBeforeTheDeliveryFreesTheItems) {
  std::weak_ptr<Mailbox<Owning>> left;
  {
    StagedContext target(1);
    auto box = std::make_shared<Mailbox<Owning>>(target.get_executor());
    left = box;
    box->push(Owning{box});
    box.reset();
    EXPECT_FALSE(left.expired());
    target.shutdown();
    target.destroy();
  }
  EXPECT_TRUE(left.expired());
}

Frame data(std::uint32_t id, std::uint8_t byte) { return Frame{{byte}, id, KIND_DATA}; }

TEST(DevgwVisitorQueue, TheReceiverGetsWhatIsQueuedThenTheEndOnceEverySenderIsGone) {
  asio::io_context io;
  auto frames = test::run_async(io, []() -> asio::awaitable<std::vector<std::uint8_t>> {
    auto [sender, receiver] = make_visitor_queue(4);
    {
      FrameSender copy = sender;  // as the frame loop holds one beside the table's
      EXPECT_TRUE(co_await copy.send(data(1, 10)));
      EXPECT_TRUE(co_await sender.send(data(1, 11)));
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

TEST(DevgwVisitorQueue, AFullQueueHoldsTheSenderUntilThereIsRoom) {
  asio::io_context io;
  auto order = test::run_async(io, [&io]() -> asio::awaitable<std::vector<std::uint8_t>> {
    auto [sender, receiver] = make_visitor_queue(2);
    auto sent = std::make_shared<int>(0);
    asio::co_spawn(
        io,
        [](FrameSender to, std::shared_ptr<int> count) -> asio::awaitable<void> {
          for (std::uint8_t i = 0; i < 5; ++i) {
            EXPECT_TRUE(co_await to.send(data(1, i)));
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

TEST(DevgwVisitorQueue, SendsFailOnceTheReceiverIsGoneAndAWaitingSendIsReleased) {
  asio::io_context io;
  test::run_async(io, [&io]() -> asio::awaitable<void> {
    auto [sender, receiver] = make_visitor_queue(1);
    EXPECT_TRUE(co_await sender.send(data(1, 1)));
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
    EXPECT_FALSE(co_await sender.send(data(1, 3)));
  }());
}

}  // namespace
}  // namespace quillmar::devgw
