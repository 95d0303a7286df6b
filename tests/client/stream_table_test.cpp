// The session's stream table: entries by stream id, each the sending end of that
// stream's 32-frame queue.
#include "stream_table.hpp"

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "async_test.hpp"
#include "connect.hpp"

namespace quillmar {
namespace {

using namespace std::chrono_literals;

Frame data_frame(std::uint32_t id, std::string_view text) {
  return Frame{std::vector<std::uint8_t>(text.begin(), text.end()), id, KIND_DATA};
}

std::string text_of(const std::optional<Frame>& frame) {
  return frame ? std::string(frame->payload.begin(), frame->payload.end()) : "<end>";
}

class StreamTableTest : public ::testing::Test {
 protected:
  template <class T>
  T run(asio::awaitable<T> task) {
    return test::run_async(io_, std::move(task));
  }

  asio::io_context io_;
  StreamTablePtr table_ = std::make_shared<StreamTable>(io_.get_executor());
};

TEST_F(StreamTableTest, InsertingUnderATakenIdClosesTheOldQueueAfterItsFrames) {
  run([&]() -> asio::awaitable<int> {
    auto [old_tx, old_rx] = stream_queue();
    auto [new_tx, new_rx] = stream_queue();
    StreamTicket first = co_await table_->insert(5, std::move(old_tx));
    auto second_end = co_await table_->look_up(5);
    bool queued = co_await StreamTable::put(*second_end, data_frame(5, "queued"));
    EXPECT_TRUE(queued);
    second_end.reset();
    StreamTicket second = co_await table_->insert(5, std::move(new_tx));
    EXPECT_NE(first, second);

    auto got = co_await old_rx.receive();
    EXPECT_EQ(text_of(got), "queued");
    got = co_await old_rx.receive();
    EXPECT_FALSE(got.has_value()) << "the old queue is closed behind its frames";

    auto current = co_await table_->look_up(5);
    bool routed = co_await StreamTable::put(*current, data_frame(5, "new"));
    EXPECT_TRUE(routed);
    got = co_await new_rx.receive();
    EXPECT_EQ(text_of(got), "new");
    co_return 0;
  }());
}

TEST_F(StreamTableTest, TakeOutOfAMissingIdChangesNothing) {
  run([&]() -> asio::awaitable<int> {
    auto [tx, rx] = stream_queue();
    co_await table_->insert(1, std::move(tx));
    auto missing = co_await table_->take_out(2);
    EXPECT_FALSE(missing.has_value());
    std::size_t count = co_await table_->count();
    EXPECT_EQ(count, 1u);
    auto taken = co_await table_->take_out(1);
    EXPECT_TRUE(taken.has_value());
    count = co_await table_->count();
    EXPECT_EQ(count, 0u);
    co_return 0;
  }());
}

// A stream that ends after the gateway reused its id removes only its own entry.
TEST_F(StreamTableTest, TakeOutOwnLeavesANewerStreamUnderTheSameId) {
  run([&]() -> asio::awaitable<int> {
    auto [old_tx, old_rx] = stream_queue();
    auto [new_tx, new_rx] = stream_queue();
    StreamTicket old_ticket = co_await table_->insert(9, std::move(old_tx));
    StreamTicket new_ticket = co_await table_->insert(9, std::move(new_tx));

    auto stale = co_await table_->take_out_own(9, old_ticket);
    EXPECT_FALSE(stale.has_value());
    std::size_t count = co_await table_->count();
    EXPECT_EQ(count, 1u);

    auto own = co_await table_->take_out_own(9, new_ticket);
    EXPECT_TRUE(own.has_value());
    own.reset();
    auto end = co_await new_rx.receive();
    EXPECT_FALSE(end.has_value()) << "the last sending end is gone: the queue is closed";
    co_return 0;
  }());
}

TEST_F(StreamTableTest, APutIntoAQueueWhoseReceiverIsGoneFailsAtOnce) {
  run([&]() -> asio::awaitable<int> {
    auto [tx, rx] = stream_queue();
    { StreamReceiver gone = std::move(rx); }
    bool queued = co_await StreamTable::put(tx, data_frame(1, "dropped"));
    EXPECT_FALSE(queued);
    co_return 0;
  }());
}

TEST_F(StreamTableTest, The33rdPutWaitsUntilTheReceiverTakesAFrame) {
  run([&]() -> asio::awaitable<int> {
    auto [tx, rx] = stream_queue();
    for (std::size_t i = 0; i < STREAM_QUEUE_DEPTH; ++i) {
      bool queued = co_await StreamTable::put(tx, data_frame(1, std::to_string(i)));
      EXPECT_TRUE(queued);
    }
    bool put_done = false;
    asio::co_spawn(
        io_,
        [](StreamSender sender, bool& done) -> asio::awaitable<void> {
          co_await StreamTable::put(sender, data_frame(1, "32"));
          done = true;
        }(tx, put_done),
        asio::detached);
    co_await sleep_for(50ms);
    EXPECT_FALSE(put_done) << "the queue holds 32 frames: the 33rd waits";
    auto first = co_await rx.receive();
    EXPECT_EQ(text_of(first), "0");
    for (int i = 0; i < 100 && !put_done; ++i) co_await sleep_for(1ms);
    EXPECT_TRUE(put_done);
    EXPECT_EQ(rx.size(), STREAM_QUEUE_DEPTH);
    co_return 0;
  }());
}

}  // namespace
}  // namespace quillmar
