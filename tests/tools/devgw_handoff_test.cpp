// The stand-in's hand-offs: the mailboxes between its threads.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <memory>
#include <thread>
#include <vector>

#include "devgw/devgw_mailbox.hpp"
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

}  // namespace
}  // namespace quillmar::devgw
