#include "proto/shared_writer.hpp"

#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>
#include <thread>

#include "async_test.hpp"
#include "fake_halves.hpp"

namespace quillmar {
namespace {

// Runs what is ready; an io_context that ran out of work stops, so restart it first.
void poll(asio::io_context& io) {
  io.restart();
  io.poll();
}

using test::bytes_of;
using test::RecordingWriteHalf;
using test::WriteBehaviour;
using test::WriteLog;
using Bytes = std::vector<std::uint8_t>;

struct Fixture {
  asio::io_context io;
  std::shared_ptr<WriteLog> log = std::make_shared<WriteLog>();
  SharedWriter writer;
  explicit Fixture(WriteBehaviour behaviour = {})
      : writer(io.get_executor(), std::make_unique<RecordingWriteHalf>(log, std::move(behaviour))) {
  }

  Status send(Frame frame) { return test::run_async(io, send_frame(writer, std::move(frame))); }
};

// Spawns a send whose outcome is noted in `done` (true: it completed; an exception
// counts as completed too, with `failed` set).
struct Spawned {
  bool done = false;
  bool failed = false;
  Status status;
};
void spawn_send(asio::io_context& io, SharedWriter& writer, Frame frame, Spawned& out,
                asio::cancellation_slot slot = {}) {
  asio::co_spawn(
      io, send_frame(writer, std::move(frame)),
      asio::bind_cancellation_slot(slot, [&out](std::exception_ptr error, Status status) {
        out.done = true;
        out.failed = error != nullptr;
        if (!error) out.status = std::move(status);
      }));
}

TEST(SendFrame, WritesHeaderAndPayloadInOneGatheredWrite) {
  Fixture f;
  ASSERT_TRUE(f.send(Frame{bytes_of("hello"), 0x01020304, KIND_DATA}).ok());
  EXPECT_EQ(f.log->snapshot(),
            (Bytes{0x11, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 5, 'h', 'e', 'l', 'l', 'o'}));
  ASSERT_EQ(f.log->calls.size(), 1u);
  EXPECT_EQ(f.log->calls[0], (std::vector<std::size_t>{9, 5}));
}

TEST(SendFrame, EmptyPayloadWritesTheHeaderOnly) {
  Fixture f;
  ASSERT_TRUE(f.send(Frame{{}, 9, KIND_CLOSE}).ok());
  EXPECT_EQ(f.log->snapshot(), (Bytes{0x12, 0, 0, 0, 9, 0, 0, 0, 0}));
}

TEST(SendFrame, AWriterTakingThreeBytesAtATimeGetsTheExactBytesHeaderFirst) {
  Fixture f({.max_per_write = 3});
  ASSERT_TRUE(f.send(Frame{bytes_of("abcdefgh"), 258, KIND_OPEN}).ok());
  EXPECT_EQ(f.log->snapshot(),
            (Bytes{0x10, 0, 0, 1, 2, 0, 0, 0, 8, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
  // While header bytes remain, each write carries the rest of the header and the
  // whole payload; then only the rest of the payload.
  std::vector<std::vector<std::size_t>> expected{{9, 8}, {6, 8}, {3, 8}, {8}, {5}, {2}};
  EXPECT_EQ(f.log->calls, expected);
}

TEST(SendFrame, TheLargestPayloadGoesOutWhole) {
  Fixture f;
  ASSERT_TRUE(f.send(Frame{Bytes(MAX_FRAME_LEN, 0xAB), 1, KIND_DATA}).ok());
  auto bytes = f.log->snapshot();
  ASSERT_EQ(bytes.size(), 1048584u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 9),
            (Bytes{0x11, 0, 0, 0, 1, 0x00, 0x0F, 0xFF, 0xFF}));
  EXPECT_EQ(bytes.back(), 0xAB);
}

TEST(SendFrame, ATooLargePayloadWritesNothingAndFreesTheMutex) {
  Fixture f;
  auto status = f.send(Frame{Bytes(MAX_FRAME_LEN + 1), 1, KIND_DATA});
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(status.error().message, "frame too large");
  EXPECT_TRUE(f.log->calls.empty());
  // The next sender gets the mutex at once.
  ASSERT_TRUE(test::run_async(f.io, send_frame(f.writer, Frame{{}, 2, KIND_HEARTBEAT}),
                              std::chrono::seconds(2))
                  .ok());
  EXPECT_EQ(f.log->snapshot(), (Bytes{0x20, 0, 0, 0, 2, 0, 0, 0, 0}));
}

TEST(SendFrame, WriteFailures) {
  struct Case {
    const char* name;
    WriteBehaviour behaviour;
    ErrorKind kind;
    std::string message;
  } cases[] = {
      {"accepts nothing", {.accept_nothing = true}, ErrorKind::WriteZero, "write zero"},
      {"fails",
       {.failing_writes = 1, .failure = asio::error::broken_pipe},
       ErrorKind::BrokenPipe,
       IoError::from(asio::error::broken_pipe).message},
  };
  for (auto& c : cases) {
    Fixture f(c.behaviour);
    auto status = f.send(Frame{bytes_of("x"), 1, KIND_DATA});
    ASSERT_FALSE(status.ok()) << c.name;
    EXPECT_EQ(status.error().kind, c.kind) << c.name;
    EXPECT_EQ(status.error().message, c.message) << c.name;
  }
}

TEST(SendFrame, WaitingSendersAreServedInArrivalOrder) {
  asio::io_context io;
  auto log = std::make_shared<WriteLog>();
  auto gate = std::make_shared<test::WriteGate>(io.get_executor());
  SharedWriter writer(io.get_executor(),
                      std::make_unique<RecordingWriteHalf>(log, WriteBehaviour{.gate = gate}));

  constexpr std::uint32_t SENDERS = 6;
  std::vector<Spawned> sends(SENDERS);
  for (std::uint32_t i = 0; i < SENDERS; ++i) {
    spawn_send(io, writer, Frame{bytes_of("p"), i, KIND_DATA}, sends[i]);
    poll(io);  // sender i is now holding the mutex or waiting for it
  }
  EXPECT_TRUE(log->calls.empty());
  gate->open();
  io.restart();
  io.run();
  auto frames = test::parse_frames(log->snapshot());
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->size(), SENDERS);
  for (std::uint32_t i = 0; i < SENDERS; ++i) {
    EXPECT_EQ((*frames)[i].id, i);
    EXPECT_TRUE(sends[i].done && sends[i].status.ok());
  }
}

// Senders that wait while another writes leave together in the next write, in their
// order; a waiting frame beyond the limit is refused on its own; a failed batch fails
// every sender it carried.
TEST(SendFrame, WaitingSendersLeaveTogetherInTheNextWrite) {
  struct Case {
    const char* name;
    bool batch_fails;
  };
  const Case cases[] = {{"written", false}, {"the batch fails", true}};
  for (const auto& c : cases) {
    asio::io_context io;
    auto log = std::make_shared<WriteLog>();
    auto gate = std::make_shared<test::WriteGate>(io.get_executor());
    WriteBehaviour behaviour{.gate = gate};
    if (c.batch_fails) {
      behaviour.passing_writes = 1;
      behaviour.failing_writes = 1;
    }
    SharedWriter writer(io.get_executor(), std::make_unique<RecordingWriteHalf>(log, behaviour));

    constexpr std::uint32_t SENDERS = 6;
    constexpr std::uint32_t TOO_LARGE = 3;
    std::vector<Spawned> sends(SENDERS);
    for (std::uint32_t i = 0; i < SENDERS; ++i) {
      Bytes payload = i == TOO_LARGE ? Bytes(MAX_FRAME_LEN + 1, 'x') : Bytes{'a', 'b'};
      spawn_send(io, writer, Frame{std::move(payload), i, KIND_DATA}, sends[i]);
      poll(io);  // sender 0 is writing, the others wait
    }
    gate->open();
    io.restart();
    io.run();

    // Sender 0's frame went alone; sender 1 carried 2, 4 and 5 in its write.
    const std::vector<std::vector<std::size_t>> expected{{9, 2}, {9, 2, 9, 2, 9, 2, 9, 2}};
    EXPECT_EQ(log->calls, expected) << c.name;
    auto frames = test::parse_frames(log->snapshot());
    ASSERT_TRUE(frames) << c.name;
    const std::vector<std::uint32_t> ids{0, 1, 2, 4, 5};
    std::vector<std::uint32_t> written;
    for (const auto& frame : *frames) written.push_back(frame.id);
    EXPECT_EQ(written, c.batch_fails ? std::vector<std::uint32_t>{0} : ids) << c.name;
    for (std::uint32_t i = 0; i < SENDERS; ++i) {
      ASSERT_TRUE(sends[i].done && !sends[i].failed) << c.name << " " << i;
      if (i == TOO_LARGE) {
        EXPECT_EQ(sends[i].status.error().kind, ErrorKind::InvalidInput) << c.name;
      } else {
        EXPECT_EQ(sends[i].status.ok(), i == 0 || !c.batch_fails) << c.name << " " << i;
      }
    }
  }
}

// Spawns a send of several frames of one sender, noted like spawn_send.
void spawn_send_frames(asio::io_context& io, SharedWriter& writer, std::vector<Frame> frames,
                       Spawned& out) {
  auto send = [](SharedWriter& writer, std::vector<Frame> frames) -> asio::awaitable<Status> {
    co_return co_await writer.send_frames(frames);
  };
  asio::co_spawn(io, send(writer, std::move(frames)),
                 [&out](std::exception_ptr error, Status status) {
                   out.done = true;
                   out.failed = error != nullptr;
                   if (!error) out.status = std::move(status);
                 });
}

std::vector<Frame> data_frames(std::initializer_list<std::pair<std::uint32_t, std::size_t>> specs) {
  std::vector<Frame> frames;
  for (auto [id, size] : specs) frames.push_back(Frame{Bytes(size, 'd'), id, KIND_DATA});
  return frames;
}

std::vector<std::uint32_t> ids_written(WriteLog& log) {
  std::vector<std::uint32_t> ids;
  auto frames = test::parse_frames(log.snapshot());
  if (frames) {
    for (const auto& frame : *frames) ids.push_back(frame.id);
  }
  return ids;
}

// A sender's frames hold one turn: they go in one write when the writer is free, are
// carried all together or not at all behind another sender, and one frame too large
// refuses them all.
TEST(SendFrames, ASendersFramesLeaveTogether) {
  constexpr std::size_t BIG = 600000;
  struct Case {
    const char* name;
    std::vector<std::vector<Frame>> senders;  // sender 0 holds the turn while the others queue
    std::vector<std::vector<std::size_t>> writes;
    std::vector<std::uint32_t> ids;
    std::vector<bool> refused;
  } cases[] = {
      {"alone: one write",
       {data_frames({{1, 3}, {2, 4}, {3, 5}})},
       {{9, 3, 9, 4, 9, 5}},
       {1, 2, 3},
       {false}},
      {"carried whole with a single frame, a refused group left out",
       {data_frames({{0, 2}}), data_frames({{10, 2}, {11, 2}, {12, 2}}), data_frames({{20, 2}}),
        data_frames({{30, 2}, {31, MAX_FRAME_LEN + 1}})},
       {{9, 2}, {9, 2, 9, 2, 9, 2, 9, 2}},
       {0, 10, 11, 12, 20},
       {false, false, false, true}},
      {"a group that does not fit waits for the next write, still whole",
       {data_frames({{0, 2}}), data_frames({{10, BIG}}),
        data_frames({{20, BIG / 2}, {21, BIG / 2}})},
       {{9, 2}, {9, BIG}, {9, BIG / 2, 9, BIG / 2}},
       {0, 10, 20, 21},
       {false, false, false}},
  };
  for (auto& c : cases) {
    asio::io_context io;
    auto log = std::make_shared<WriteLog>();
    auto gate = std::make_shared<test::WriteGate>(io.get_executor());
    SharedWriter writer(io.get_executor(),
                        std::make_unique<RecordingWriteHalf>(log, WriteBehaviour{.gate = gate}));
    std::vector<Spawned> sends(c.senders.size());
    for (std::size_t i = 0; i < c.senders.size(); ++i) {
      spawn_send_frames(io, writer, std::move(c.senders[i]), sends[i]);
      poll(io);
    }
    gate->open();
    io.restart();
    io.run();

    EXPECT_EQ(log->calls, c.writes) << c.name;
    EXPECT_EQ(ids_written(*log), c.ids) << c.name;
    for (std::size_t i = 0; i < sends.size(); ++i) {
      ASSERT_TRUE(sends[i].done && !sends[i].failed) << c.name << " " << i;
      if (c.refused[i]) {
        EXPECT_EQ(sends[i].status.error().kind, ErrorKind::InvalidInput) << c.name;
      } else {
        EXPECT_TRUE(sends[i].status.ok()) << c.name << " " << i;
      }
    }
  }
}

TEST(SendFrame, ACancelledWaiterTakesNothingAndTheQueueMovesOn) {
  asio::io_context io;
  auto log = std::make_shared<WriteLog>();
  auto gate = std::make_shared<test::WriteGate>(io.get_executor());
  SharedWriter writer(io.get_executor(),
                      std::make_unique<RecordingWriteHalf>(log, WriteBehaviour{.gate = gate}));

  Spawned first, cancelled, last;
  asio::cancellation_signal signal;
  spawn_send(io, writer, Frame{{}, 1, KIND_DATA}, first);
  poll(io);
  spawn_send(io, writer, Frame{{}, 2, KIND_DATA}, cancelled, signal.slot());
  poll(io);
  spawn_send(io, writer, Frame{{}, 3, KIND_DATA}, last);
  poll(io);
  signal.emit(asio::cancellation_type::terminal);
  poll(io);
  ASSERT_TRUE(cancelled.done);
  EXPECT_FALSE(cancelled.failed);
  EXPECT_EQ(cancelled.status.error().kind, ErrorKind::Interrupted);
  gate->open();
  io.restart();
  io.run();
  auto frames = test::parse_frames(log->snapshot());
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->size(), 2u);
  EXPECT_EQ((*frames)[0].id, 1u);
  EXPECT_EQ((*frames)[1].id, 3u);
  EXPECT_TRUE(first.status.ok() && last.status.ok());
}

// A sender cut off inside a frame leaves no frame boundary behind: the writer refuses
// every later frame rather than send bytes the gateway would misread.
TEST(SendFrame, ASenderCancelledMidFrameBreaksTheWriter) {
  asio::io_context io;
  auto log = std::make_shared<WriteLog>();
  SharedWriter writer(io.get_executor(),
                      std::make_unique<RecordingWriteHalf>(
                          log, WriteBehaviour{.max_per_write = 3, .yield_each_write = true}));
  Spawned cut;
  asio::cancellation_signal signal;
  spawn_send(io, writer, Frame{Bytes(30, 'x'), 1, KIND_DATA}, cut, signal.slot());
  while (log->snapshot().size() < 12) io.run_one();
  signal.emit(asio::cancellation_type::terminal);
  io.restart();
  io.run();
  ASSERT_TRUE(cut.done);
  const std::size_t written = log->snapshot().size();
  EXPECT_LT(written, 39u);

  auto later =
      test::run_async(io, send_frame(writer, Frame{{}, 2, KIND_DATA}), std::chrono::seconds(2));
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error().kind, ErrorKind::BrokenPipe);
  EXPECT_EQ(log->snapshot().size(), written);
}

// Runs sender(0) to sender(count - 1) side by side on the pool until all have ended.
template <class Sender>
void run_senders(asio::thread_pool& pool, std::uint32_t count, Sender& sender) {
  std::vector<std::future<void>> running;
  for (std::uint32_t who = 0; who < count; ++who)
    running.push_back(asio::co_spawn(pool, sender(who), asio::use_future));
  for (auto& f : running)
    ASSERT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

// Frames of concurrent senders on several threads never mix, however the writes are cut.
TEST(SendFrame, ConcurrentSendersNeverInterleave) {
  constexpr std::uint32_t SENDERS = 8;
  constexpr std::uint32_t FRAMES_EACH = 25;
  asio::thread_pool pool(4);
  auto log = std::make_shared<WriteLog>();
  SharedWriter writer(pool.get_executor(),
                      std::make_unique<RecordingWriteHalf>(
                          log, WriteBehaviour{.max_per_write = 3, .yield_each_write = true}));
  auto sender = [&](std::uint32_t who) -> asio::awaitable<void> {
    for (std::uint32_t n = 0; n < FRAMES_EACH; ++n) {
      Frame frame{Bytes(10 + n, static_cast<std::uint8_t>(who)), who * 1000 + n, KIND_DATA};
      auto status = co_await send_frame(writer, std::move(frame));
      EXPECT_TRUE(status.ok());
    }
  };
  ASSERT_NO_FATAL_FAILURE(run_senders(pool, SENDERS, sender));

  auto frames = test::parse_frames(log->snapshot());
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->size(), SENDERS * FRAMES_EACH);
  std::vector<std::uint32_t> next(SENDERS, 0);
  for (const auto& frame : *frames) {
    std::uint32_t who = frame.id / 1000;
    ASSERT_LT(who, SENDERS);
    EXPECT_EQ(frame.id % 1000, next[who]++);  // each sender's frames in its own order
    EXPECT_EQ(frame.payload, Bytes(10 + frame.id % 1000, static_cast<std::uint8_t>(who)));
  }
}

// Groups of frames sent from a thread pool are carried over to the writer whole: no
// other sender's frame comes between the frames of one group.
TEST(SendFrames, GroupsFromAThreadPoolStayTogether) {
  constexpr std::uint32_t SENDERS = 6;
  constexpr std::uint32_t GROUPS_EACH = 12;
  asio::thread_pool pool(4);
  auto log = std::make_shared<WriteLog>();
  SharedWriter writer(pool.get_executor(),
                      std::make_unique<RecordingWriteHalf>(
                          log, WriteBehaviour{.max_per_write = 5, .yield_each_write = true}));
  // Frame id: sender * 1000 + group * 10 + place in the group.
  auto sender = [&](std::uint32_t who) -> asio::awaitable<void> {
    for (std::uint32_t group = 0; group < GROUPS_EACH; ++group) {
      std::vector<Frame> frames;
      for (std::uint32_t place = 0; place <= group % 3; ++place)
        frames.push_back(Frame{Bytes(7, 'g'), who * 1000 + group * 10 + place, KIND_DATA});
      auto status = co_await writer.send_frames(frames);
      EXPECT_TRUE(status.ok());
    }
  };
  ASSERT_NO_FATAL_FAILURE(run_senders(pool, SENDERS, sender));

  std::vector<std::uint32_t> ids = ids_written(*log);
  std::size_t expected = 0;
  for (std::uint32_t group = 0; group < GROUPS_EACH; ++group) expected += group % 3 + 1;
  ASSERT_EQ(ids.size(), SENDERS * expected);
  std::vector<std::uint32_t> next_group(SENDERS, 0);
  for (std::size_t at = 0; at < ids.size();) {
    const std::uint32_t who = ids[at] / 1000, group = ids[at] / 10 % 100;
    ASSERT_LT(who, SENDERS);
    EXPECT_EQ(group, next_group[who]++) << "each sender's groups in its own order";
    for (std::uint32_t place = 0; place <= group % 3; ++place, ++at) {
      ASSERT_LT(at, ids.size());
      EXPECT_EQ(ids[at], who * 1000 + group * 10 + place) << "a group split at " << at;
    }
  }
}

// The same over a real connection with frames large enough to need several writes.
TEST(SendFrame, ConcurrentSendersOverTcpArriveWhole) {
  constexpr std::uint32_t SENDERS = 4;
  constexpr std::uint32_t FRAMES_EACH = 6;
  asio::thread_pool pool(4);
  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
  asio::ip::tcp::socket client(pool);  // the senders' side runs on the pool's threads
  client.connect(acceptor.local_endpoint());
  auto out = split_tcp(std::move(client));
  auto in = split_tcp(acceptor.accept());
  SharedWriter writer(pool.get_executor(), std::move(out.write));

  auto sender = [&](std::uint32_t who) -> asio::awaitable<void> {
    for (std::uint32_t n = 0; n < FRAMES_EACH; ++n) {
      Frame frame{Bytes(300000 + n, static_cast<std::uint8_t>(who)), who, KIND_DATA};
      auto status = co_await send_frame(writer, std::move(frame));
      EXPECT_TRUE(status.ok());
    }
  };
  std::vector<std::future<void>> running;
  for (std::uint32_t who = 0; who < SENDERS; ++who)
    running.push_back(asio::co_spawn(pool, sender(who), asio::use_future));

  auto reader = [&]() -> asio::awaitable<std::size_t> {
    std::size_t whole = 0;
    for (std::uint32_t i = 0; i < SENDERS * FRAMES_EACH; ++i) {
      auto frame = co_await read_frame(*in.read);
      if (!frame.ok() || !frame.value()) break;
      const Frame& f = *frame.value();
      if (f.payload.size() >= 300000 &&
          f.payload == Bytes(f.payload.size(), static_cast<std::uint8_t>(f.id)))
        ++whole;
    }
    co_return whole;
  };
  EXPECT_EQ(test::run_async(io, reader()), SENDERS * FRAMES_EACH);
  for (auto& f : running)
    ASSERT_EQ(f.wait_for(std::chrono::seconds(20)), std::future_status::ready);
}

}  // namespace
}  // namespace quillmar
