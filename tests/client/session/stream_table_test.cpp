#include "session/stream_table.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "async_test.hpp"

namespace quillmar {
namespace {

using Bytes = std::vector<std::uint8_t>;

Frame data_frame(std::uint32_t id, std::string_view text) {
  return Frame{Bytes(text.begin(), text.end()), id, KIND_DATA};
}

std::string text_of(const Frame& frame) { return {frame.payload.begin(), frame.payload.end()}; }

// Runs what is ready; an io_context that ran out of work stops, so restart it first.
void poll(asio::io_context& io) {
  io.restart();
  io.poll();
}

// Everything a receiver holds until the queue's end; fails the test if the queue is
// still open (the receive would wait).
std::vector<std::string> drain_to_end(asio::io_context& io, StreamReceiver& receiver) {
  std::vector<std::string> texts;
  for (;;) {
    auto frame = test::run_async(io, receiver.receive(), std::chrono::seconds(2));
    if (!frame) return texts;
    texts.push_back(text_of(*frame));
  }
}

// Spawns a put and notes when it has finished and how.
struct PendingPut {
  bool done = false;
  bool delivered = false;
};
void spawn_put(asio::io_context& io, StreamSender& sender, Frame frame, PendingPut& out) {
  asio::co_spawn(io, StreamTable::put(sender, std::move(frame)),
                 [&out](std::exception_ptr error, bool delivered) {
                   out.done = true;
                   out.delivered = !error && delivered;
                 });
}

TEST(StreamTable, LimitsKeepTheirValues) {
  EXPECT_EQ(MAX_STREAMS, 512u);
  EXPECT_EQ(STREAM_QUEUE_DEPTH, 32u);
  EXPECT_EQ(STREAM_QUEUE_BYTES, 2u * 1024 * 1024);
}

// The old queue ends after what it already holds; the new one stays open.
TEST(StreamTable, InsertingUnderAnIdInUseClosesTheOldQueue) {
  asio::io_context io;
  StreamTable table;
  auto [old_tx, old_rx] = stream_queue();
  auto [new_tx, new_rx] = stream_queue();
  ASSERT_TRUE(old_tx.try_send(data_frame(7, "one")));
  ASSERT_TRUE(old_tx.try_send(data_frame(7, "two")));
  table.insert(7, std::move(old_tx));
  table.insert(7, std::move(new_tx));

  EXPECT_EQ(table.count(), 1u);
  EXPECT_EQ(drain_to_end(io, old_rx), (std::vector<std::string>{"one", "two"}));

  auto sender = table.look_up(7);
  ASSERT_TRUE(sender);
  EXPECT_TRUE(test::run_async(io, StreamTable::put(*sender, data_frame(7, "three"))));
  EXPECT_EQ(text_of(*new_rx.try_receive()), "three");
}

TEST(StreamTable, TakingOutAnAbsentIdGivesNothingAndChangesNothing) {
  asio::io_context io;
  StreamTable table;
  auto [tx1, rx1] = stream_queue();
  auto [tx2, rx2] = stream_queue();
  table.insert(1, std::move(tx1));
  table.insert(2, std::move(tx2));

  EXPECT_FALSE(table.take_out(3));
  EXPECT_EQ(table.count(), 2u);
  bool closed = true;
  EXPECT_FALSE(rx1.try_receive(&closed));
  EXPECT_FALSE(closed);

  // Taken out, the entry is gone; its queue closes once the sending end is released.
  auto taken = table.take_out(1);
  ASSERT_TRUE(taken);
  EXPECT_EQ(table.count(), 1u);
  EXPECT_FALSE(table.take_out(1));
  ASSERT_TRUE(test::run_async(io, StreamTable::put(*taken, data_frame(1, "last"))));
  taken.reset();
  EXPECT_EQ(drain_to_end(io, rx1), (std::vector<std::string>{"last"}));
  EXPECT_FALSE(rx2.try_receive(&closed));
  EXPECT_FALSE(closed);
}

// A looked-up sending end is a second one: the queue lives on until both are gone.
TEST(StreamTable, LookUpLeavesTheEntryInPlace) {
  asio::io_context io;
  StreamTable table;
  auto [tx, rx] = stream_queue();
  table.insert(5, std::move(tx));
  EXPECT_FALSE(table.look_up(6));

  auto second = table.look_up(5);
  ASSERT_TRUE(second);
  EXPECT_EQ(table.count(), 1u);
  table.take_out(5);  // the table's own end is released at once
  EXPECT_EQ(table.count(), 0u);
  bool closed = true;
  EXPECT_FALSE(rx.try_receive(&closed));
  EXPECT_FALSE(closed);

  EXPECT_TRUE(test::run_async(io, StreamTable::put(*second, data_frame(5, "via lookup"))));
  second.reset();
  EXPECT_EQ(drain_to_end(io, rx), (std::vector<std::string>{"via lookup"}));
}

// A stream that ends late removes its own entry only: a newer stream that reuses the
// id stays in the table.
TEST(StreamTable, TakeOutOwnLeavesANewerStreamUnderTheSameId) {
  asio::io_context io;
  StreamTable table;
  auto [old_tx, old_rx] = stream_queue();
  auto [new_tx, new_rx] = stream_queue();
  StreamTicket old_ticket = table.insert(9, std::move(old_tx));
  StreamTicket new_ticket = table.insert(9, std::move(new_tx));

  EXPECT_FALSE(table.take_out_own(9, old_ticket));
  EXPECT_EQ(table.count(), 1u);

  auto own = table.take_out_own(9, new_ticket);
  EXPECT_TRUE(own);
  own.reset();
  EXPECT_EQ(drain_to_end(io, new_rx), std::vector<std::string>{});
}

TEST(StreamTable, TheLastStreamTaskOfABurstReleasesTheHeapsFreeMemoryOnce) {
  int releases = 0;
  StreamTable table([&releases] { ++releases; });
  using Marks = std::vector<std::unique_ptr<StreamTable::TaskMark>>;
  auto run = [&table](std::size_t count) {
    Marks marks;
    for (std::size_t i = 0; i < count; ++i)
      marks.push_back(std::make_unique<StreamTable::TaskMark>(table));
    return marks;
  };

  run(RELEASE_AFTER_STREAMS - 1).clear();
  EXPECT_EQ(releases, 0) << "fewer tasks than a burst";

  Marks burst = run(RELEASE_AFTER_STREAMS);
  burst.erase(burst.begin() + 1, burst.end());
  EXPECT_EQ(releases, 0) << "one task of the burst still runs";
  burst.clear();
  EXPECT_EQ(releases, 1);

  run(1).clear();
  EXPECT_EQ(releases, 1) << "a single task after the burst";
}

TEST(StreamTable, TakeAllEmptiesTheTable) {
  asio::io_context io;
  StreamTable table;
  std::vector<StreamReceiver> receivers;
  for (std::uint32_t id : {10u, 20u, 30u}) {
    auto [tx, rx] = stream_queue();
    table.insert(id, std::move(tx));
    receivers.push_back(std::move(rx));
  }
  auto all = table.take_all();
  EXPECT_EQ(table.count(), 0u);
  std::vector<std::uint32_t> ids;
  for (auto& [id, sender] : all) {
    ids.push_back(id);
    EXPECT_TRUE(test::run_async(io, StreamTable::put(sender, Frame{{}, id, KIND_CLOSE})));
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{10, 20, 30}));
  all.clear();
  for (auto& rx : receivers) {
    auto frames = drain_to_end(io, rx);
    EXPECT_EQ(frames.size(), 1u);  // the close frame, then the end
  }
  EXPECT_TRUE(table.take_all().empty());
}

// A dropped session's streams: every local connection still in the table is closed,
// and one still being made is closed as soon as it is there.
TEST(StreamTable, CutAllClosesTheLocalConnectionsAndEmptiesTheTable) {
  asio::io_context io;
  StreamTable table;
  auto [local, service] = test::tcp_pair(io);
  auto open = std::make_shared<asio::ip::tcp::socket>(std::move(local));
  auto connected = std::make_shared<LocalCut>();
  connected->attach(open);
  auto connecting = std::make_shared<LocalCut>();
  auto [tx1, rx1] = stream_queue();
  auto [tx2, rx2] = stream_queue();
  table.insert(1, std::move(tx1), connected);
  table.insert(2, std::move(tx2), connecting);

  table.cut_all();
  EXPECT_EQ(table.count(), 0u);
  EXPECT_FALSE(open->is_open());
  EXPECT_TRUE(drain_to_end(io, rx1).empty());  // the queues are closed too
  EXPECT_TRUE(drain_to_end(io, rx2).empty());
  char byte;
  std::error_code ec;
  service.read_some(asio::buffer(&byte, 1), ec);
  EXPECT_EQ(ec, asio::error::eof);  // the local service sees the connection end

  auto late = std::make_shared<asio::ip::tcp::socket>(io, asio::ip::tcp::v4());
  connecting->attach(late);
  EXPECT_FALSE(late->is_open());
}

TEST(StreamTablePut, IntoAQueueWhoseReceiverIsGoneFailsAtOnce) {
  asio::io_context io;
  auto [tx, rx] = stream_queue();
  { StreamReceiver gone = std::move(rx); }
  PendingPut put;
  spawn_put(io, tx, data_frame(1, "dropped"), put);
  poll(io);
  EXPECT_TRUE(put.done);
  EXPECT_FALSE(put.delivered);

  // Also a put already waiting on a full queue fails when the receiver goes.
  auto [full_tx, full_rx] = stream_queue();
  for (std::size_t i = 0; i < STREAM_QUEUE_DEPTH; ++i)
    ASSERT_TRUE(full_tx.try_send(data_frame(2, "x")));
  PendingPut waiting;
  spawn_put(io, full_tx, data_frame(2, "waits"), waiting);
  poll(io);
  EXPECT_FALSE(waiting.done);
  { StreamReceiver gone = std::move(full_rx); }
  poll(io);
  EXPECT_TRUE(waiting.done);
  EXPECT_FALSE(waiting.delivered);
}

TEST(StreamTablePut, TheThirtyThirdPutWaitsForTheReceiver) {
  asio::io_context io;
  auto [tx, rx] = stream_queue();
  std::vector<PendingPut> puts(STREAM_QUEUE_DEPTH + 1);
  for (std::size_t i = 0; i < STREAM_QUEUE_DEPTH; ++i) {
    spawn_put(io, tx, data_frame(1, std::to_string(i)), puts[i]);
    poll(io);
    EXPECT_TRUE(puts[i].done && puts[i].delivered) << i;
  }
  spawn_put(io, tx, data_frame(1, "32"), puts.back());
  poll(io);
  EXPECT_FALSE(puts.back().done);
  EXPECT_EQ(rx.size(), STREAM_QUEUE_DEPTH);

  auto first = rx.try_receive();
  ASSERT_TRUE(first);
  EXPECT_EQ(text_of(*first), "0");
  poll(io);
  EXPECT_TRUE(puts.back().done && puts.back().delivered);

  { StreamSender gone = std::move(tx); }
  auto rest = drain_to_end(io, rx);
  ASSERT_EQ(rest.size(), STREAM_QUEUE_DEPTH);
  for (std::size_t i = 0; i < rest.size(); ++i) EXPECT_EQ(rest[i], std::to_string(i + 1));
}

// Large frames for a stream whose local service does not read: the queue holds up the
// next put once it holds STREAM_QUEUE_BYTES, long before 32 frames; a frame larger than
// that still goes into an empty queue.
TEST(StreamTablePut, LargeFramesWaitOnceTheQueueHoldsItsBytes) {
  asio::io_context io;
  auto [tx, rx] = stream_queue();
  const std::size_t big = STREAM_QUEUE_BYTES / 2;
  std::vector<PendingPut> puts(3);
  for (std::size_t i = 0; i < puts.size(); ++i) {
    spawn_put(io, tx, Frame{Bytes(big, 'b'), 1, KIND_DATA}, puts[i]);
    poll(io);
  }
  EXPECT_TRUE(puts[0].delivered && puts[1].delivered);
  EXPECT_FALSE(puts[2].done);
  EXPECT_EQ(rx.bytes(), STREAM_QUEUE_BYTES);

  ASSERT_TRUE(rx.try_receive());
  poll(io);
  EXPECT_TRUE(puts[2].done && puts[2].delivered);

  auto [solo_tx, solo_rx] = stream_queue();
  EXPECT_TRUE(test::run_async(
      io, StreamTable::put(solo_tx, Frame{Bytes(STREAM_QUEUE_BYTES + 1, 'x'), 2, KIND_DATA})));
  PendingPut behind;
  spawn_put(io, solo_tx, data_frame(2, "small"), behind);
  poll(io);
  EXPECT_FALSE(behind.done);
}

// A frame travels through the queue without its payload being copied.
TEST(StreamTablePut, MovesThePayload) {
  asio::io_context io;
  auto [tx, rx] = stream_queue();
  Frame frame = data_frame(9, std::string(100000, 'm'));
  const std::uint8_t* storage = frame.payload.data();
  ASSERT_TRUE(test::run_async(io, StreamTable::put(tx, std::move(frame))));
  auto received = rx.try_receive();
  ASSERT_TRUE(received);
  EXPECT_EQ(received->payload.data(), storage);
}

}  // namespace
}  // namespace quillmar
