#include "proto/relay.hpp"

#include <gtest/gtest.h>

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_future.hpp>
#include <asio/write.hpp>
#include <limits>

#include "async_test.hpp"
#include "fake_halves.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;
using test::bytes_of;
using test::ReadStep;
using test::RecordingWriteHalf;
using test::ScriptedReadHalf;
using test::WriteBehaviour;
using test::WriteLog;
constexpr auto as_tuple = asio::experimental::as_tuple(asio::use_awaitable);

void poll(asio::io_context& io) {
  io.restart();
  io.poll();
}

asio::awaitable<void> sleep_for(std::chrono::milliseconds delay) {
  asio::steady_timer timer(co_await asio::this_coro::executor, delay);
  co_await timer.async_wait(as_tuple);
}

// Everything a socket receives until its peer's side ends, and how it ended.
struct Received {
  std::string bytes;
  std::error_code end;  // asio::error::eof for a clean end
};
asio::awaitable<Received> read_to_end(tcp::socket& socket) {
  Received out;
  std::array<char, 8192> buffer;
  for (;;) {
    auto [ec, n] = co_await socket.async_read_some(asio::buffer(buffer), as_tuple);
    out.bytes.append(buffer.data(), n);
    if (ec) {
      out.end = ec;
      co_return out;
    }
  }
}

asio::awaitable<std::string> read_exactly(tcp::socket& socket, std::size_t count) {
  std::string out(count, '\0');
  auto [ec, n] = co_await asio::async_read(socket, asio::buffer(out), as_tuple);
  out.resize(n);
  co_return out;
}

asio::awaitable<void> write_text(tcp::socket& socket, std::string_view text) {
  co_await asio::async_write(socket, asio::buffer(text), as_tuple);
}

// Waits (in short steps) until the flag is set or the limit passes.
asio::awaitable<bool> eventually(const bool& flag, std::chrono::milliseconds limit = 3000ms) {
  for (auto waited = 0ms; !flag && waited < limit; waited += 5ms) co_await sleep_for(5ms);
  co_return flag;
}

// Two loopback connections joined by pipe_streams: the test talks through the outer
// ends (a_peer, b_peer); `piped` is set when the call has completed.
struct Joined {
  asio::io_context& io;
  tcp::socket a_peer;
  tcp::socket a_end;
  tcp::socket b_end;
  tcp::socket b_peer;
  bool piped = false;

  static Joined make(asio::io_context& io) {
    auto [a_peer, a_end] = test::tcp_pair(io);
    auto [b_end, b_peer] = test::tcp_pair(io);
    return Joined{io, std::move(a_peer), std::move(a_end), std::move(b_end), std::move(b_peer)};
  }

  void start(SplitStream a, SplitStream b) {
    asio::co_spawn(io, pipe_streams(std::move(a), std::move(b)),
                   [this](std::exception_ptr) { piped = true; });
  }
  void start() { start(split_tcp(std::move(a_end)), split_tcp(std::move(b_end))); }
};

TEST(PipeStreams, HalfClosingEachDirectionInTurn) {
  asio::io_context io;
  auto j = Joined::make(io);
  j.start();
  test::run_async(io, [&]() -> asio::awaitable<void> {
    co_await write_text(j.a_peer, "ping");
    j.a_peer.shutdown(tcp::socket::shutdown_send);
    Received at_b = co_await read_to_end(j.b_peer);
    EXPECT_EQ(at_b.bytes, "ping");
    EXPECT_EQ(at_b.end, asio::error::eof);
    EXPECT_FALSE(j.piped);  // b to a is still open

    co_await write_text(j.b_peer, "pong");
    j.b_peer.shutdown(tcp::socket::shutdown_send);
    Received at_a = co_await read_to_end(j.a_peer);
    EXPECT_EQ(at_a.bytes, "pong");
    EXPECT_EQ(at_a.end, asio::error::eof);
    EXPECT_TRUE(co_await eventually(j.piped));
  }());
}

TEST(PipeStreams, WhenBClosesAtOnceAToBGoesOnUntilAEnds) {
  asio::io_context io;
  auto j = Joined::make(io);
  j.start();
  test::run_async(io, [&]() -> asio::awaitable<void> {
    j.b_peer.close();
    Received at_a = co_await read_to_end(j.a_peer);  // b to a shut a's sending side
    EXPECT_EQ(at_a.bytes, "");
    EXPECT_EQ(at_a.end, asio::error::eof);
    co_await sleep_for(50ms);
    EXPECT_FALSE(j.piped);  // a to b is still reading a
    j.a_peer.shutdown(tcp::socket::shutdown_send);
    EXPECT_TRUE(co_await eventually(j.piped));
  }());
}

TEST(PipeStreams, AReadErrorStillShutsTheDestinationDown) {
  asio::io_context io;
  auto j = Joined::make(io);
  j.start();
  test::run_async(io, [&]() -> asio::awaitable<void> {
    co_await write_text(j.a_peer, "before");
    EXPECT_EQ(co_await read_exactly(j.b_peer, 6), "before");
    // A reset instead of an end: a's read half fails.
    j.a_peer.set_option(asio::socket_base::linger(true, 0));
    j.a_peer.close();
    Received at_b = co_await read_to_end(j.b_peer);
    EXPECT_EQ(at_b.bytes, "");
    EXPECT_EQ(at_b.end, asio::error::eof);  // an orderly end, not a reset
    j.b_peer.shutdown(tcp::socket::shutdown_send);
    EXPECT_TRUE(co_await eventually(j.piped));
  }());
}

// b's socket refuses every write (its sending side is already shut down): a to b ends
// at its first write, while b to a keeps working. The call completes when b to a ends
// although a never ended its side, which only a finished a to b allows.
TEST(PipeStreams, ADestinationThatRefusesWritesEndsOnlyThatDirection) {
  asio::io_context io;
  auto j = Joined::make(io);
  j.b_end.shutdown(tcp::socket::shutdown_send);
  j.start();
  test::run_async(io, [&]() -> asio::awaitable<void> {
    co_await write_text(j.a_peer, "lost");
    Received at_b = co_await read_to_end(j.b_peer);
    EXPECT_EQ(at_b.bytes, "");
    co_await write_text(j.b_peer, "still flowing");
    EXPECT_EQ(co_await read_exactly(j.a_peer, 13), "still flowing");
    EXPECT_FALSE(j.piped);
    j.b_peer.shutdown(tcp::socket::shutdown_send);
    Received at_a = co_await read_to_end(j.a_peer);
    EXPECT_EQ(at_a.bytes, "");
    EXPECT_EQ(at_a.end, asio::error::eof);
    EXPECT_TRUE(co_await eventually(j.piped));
  }());
}

TEST(PipeStreams, AbandoningItStopsBothDirectionsAndClosesBothStreams) {
  asio::io_context io;
  auto j = Joined::make(io);
  asio::cancellation_signal cut;
  asio::co_spawn(
      io, pipe_streams(split_tcp(std::move(j.a_end)), split_tcp(std::move(j.b_end))),
      asio::bind_cancellation_slot(cut.slot(), [&](std::exception_ptr) { j.piped = true; }));
  test::run_async(io, [&]() -> asio::awaitable<void> {
    co_await write_text(j.a_peer, "one");
    EXPECT_EQ(co_await read_exactly(j.b_peer, 3), "one");
    co_await write_text(j.b_peer, "two");
    EXPECT_EQ(co_await read_exactly(j.a_peer, 3), "two");

    cut.emit(asio::cancellation_type::terminal);
    EXPECT_TRUE(co_await eventually(j.piped, 1000ms));
    co_await write_text(j.a_peer, "after");  // nobody relays this any more
    co_await write_text(j.b_peer, "after");
    Received at_a = co_await read_to_end(j.a_peer);
    Received at_b = co_await read_to_end(j.b_peer);
    EXPECT_EQ(at_a.bytes, "");
    EXPECT_EQ(at_b.bytes, "");
    EXPECT_TRUE(at_a.end);
    EXPECT_TRUE(at_b.end);
  }());
}

TEST(PipeStreams, CutOffAsTheLosingSideOfAnOr) {
  asio::io_context io;
  auto j = Joined::make(io);
  test::run_async(io, [&]() -> asio::awaitable<void> {
    using namespace asio::experimental::awaitable_operators;
    co_await (pipe_streams(split_tcp(std::move(j.a_end)), split_tcp(std::move(j.b_end))) ||
              sleep_for(30ms));
    Received at_a = co_await read_to_end(j.a_peer);
    Received at_b = co_await read_to_end(j.b_peer);
    EXPECT_EQ(at_a.end, asio::error::eof);
    EXPECT_EQ(at_b.end, asio::error::eof);
  }());
}

// Several megabytes each way at once, on several threads: every byte arrives in order.
TEST(PipeStreams, RelaysLargeVolumesBothWaysAtOnce) {
  constexpr std::size_t VOLUME = 3 * 1024 * 1024 + 17;
  asio::thread_pool pool(4);
  auto pair_on_pool = [&pool] {
    tcp::acceptor acceptor(pool, {asio::ip::address_v4::loopback(), 0});
    tcp::socket client(pool);
    client.connect(acceptor.local_endpoint());
    tcp::socket server = acceptor.accept();
    // Each peer is read and written at once from two threads, as split_tcp's halves are:
    // made non-blocking first for the same reason.
    client.native_non_blocking(true);
    server.native_non_blocking(true);
    return std::pair<tcp::socket, tcp::socket>(std::move(client), std::move(server));
  };
  auto [a_peer, a_end] = pair_on_pool();
  auto [b_end, b_peer] = pair_on_pool();
  std::string a_data(VOLUME, '\0'), b_data(VOLUME, '\0');
  for (std::size_t i = 0; i < VOLUME; ++i) {
    a_data[i] = static_cast<char>(i * 31 % 251);
    b_data[i] = static_cast<char>(i * 17 % 253);
  }
  auto piped =
      asio::co_spawn(pool, pipe_streams(split_tcp(std::move(a_end)), split_tcp(std::move(b_end))),
                     asio::use_future);
  auto send_then_end = [](tcp::socket& s, const std::string& data) -> asio::awaitable<void> {
    co_await write_text(s, data);
    s.shutdown(tcp::socket::shutdown_send);
  };
  auto sent_a = asio::co_spawn(pool, send_then_end(a_peer, a_data), asio::use_future);
  auto sent_b = asio::co_spawn(pool, send_then_end(b_peer, b_data), asio::use_future);
  auto at_b = asio::co_spawn(pool, read_to_end(b_peer), asio::use_future);
  auto at_a = asio::co_spawn(pool, read_to_end(a_peer), asio::use_future);
  ASSERT_EQ(at_a.wait_for(20s), std::future_status::ready);
  ASSERT_EQ(at_b.wait_for(20s), std::future_status::ready);
  ASSERT_EQ(piped.wait_for(5s), std::future_status::ready);
  sent_a.get();
  sent_b.get();
  Received got_b = at_b.get(), got_a = at_a.get();
  EXPECT_TRUE(got_b.bytes == a_data) << got_b.bytes.size();
  EXPECT_TRUE(got_a.bytes == b_data) << got_a.bytes.size();
  EXPECT_EQ(got_a.end, asio::error::eof);
  EXPECT_EQ(got_b.end, asio::error::eof);
}

// However the source ends, the destination gets what was read and then an orderly end.
TEST(CopyOneWay, EveryEndOfTheSourceShutsTheDestinationDown) {
  struct Case {
    const char* name;
    std::vector<ReadStep> source;
  } cases[] = {
      {"end of input", {{bytes_of("abc"), {}}}},
      {"read error after data", {{bytes_of("abc"), {}}, {{}, asio::error::connection_reset}}},
      {"read error at once", {{{}, asio::error::connection_aborted}}},
  };
  for (auto& c : cases) {
    asio::io_context io;
    auto [near_end, far_end] = test::tcp_pair(io);
    auto destination = split_tcp(std::move(near_end));
    std::string expected = c.source.front().bytes.empty() ? "" : "abc";
    test::run_async(io, copy_one_way(std::make_unique<ScriptedReadHalf>(c.source),
                                     std::move(destination.write)));
    destination.read.reset();
    Received got = test::run_async(io, read_to_end(far_end));
    EXPECT_EQ(got.bytes, expected) << c.name;
    EXPECT_EQ(got.end, asio::error::eof) << c.name;
  }
}

TEST(CopyOneWay, AFailingDestinationEndsTheCopy) {
  struct Case {
    const char* name;
    WriteBehaviour behaviour;
  } cases[] = {
      {"write error", {.failing_writes = 1000}},
      {"accepts nothing", {.accept_nothing = true}},
  };
  for (auto& c : cases) {
    asio::io_context io;
    auto log = std::make_shared<WriteLog>();
    auto read_log = std::make_shared<test::ReadLog>();
    // The source would go on for ever; the copy must stop at its first write.
    std::vector<ReadStep> endless(50, ReadStep{std::vector<std::uint8_t>(1000, 'x'), {}});
    test::run_async(io, copy_one_way(std::make_unique<ScriptedReadHalf>(endless, read_log),
                                     std::make_unique<RecordingWriteHalf>(log, c.behaviour)));
    EXPECT_EQ(log->calls.size(), 1u) << c.name;
    EXPECT_EQ(read_log->reads, 1u) << c.name;
    EXPECT_EQ(log->shutdowns, 1u) << c.name;
    EXPECT_TRUE(log->released) << c.name;
  }
}

TEST(CopyOneWay, ReadsIntoOneBufferOfAtMost65536Bytes) {
  asio::io_context io;
  auto log = std::make_shared<WriteLog>();
  std::vector<std::uint8_t> big(200000, 'q');
  test::run_async(io,
                  copy_one_way(std::make_unique<ScriptedReadHalf>(std::vector<ReadStep>{{big, {}}}),
                               std::make_unique<RecordingWriteHalf>(log)));
  EXPECT_EQ(log->snapshot(), big);
  std::vector<std::vector<std::size_t>> expected{{65536}, {65536}, {65536}, {3392}};
  EXPECT_EQ(log->calls, expected);
  EXPECT_EQ(log->shutdowns, 1u);
}

Frame frame(std::uint8_t kind, std::string_view payload = {}) {
  return Frame{bytes_of(payload), 5, kind};
}

// Each queue the session could hand a stream's writer, and what the local service
// then receives before its end of input. The writer ends by itself in every case.
const std::string LARGE_A(70000, 'A');  // payloads large enough to be written together
const std::string LARGE_B(20000, 'B');

TEST(RunStreamWriter, DeliversTheQueueToTheLocalService) {
  struct Case {
    const char* name;
    std::string first_bytes;
    std::vector<Frame> frames;
    bool close_queue;  // the session's sending end is released after the frames
    std::string expected;
  } cases[] = {
      {"queue closed before any frame", "", {}, true, ""},
      {"first bytes, then the queue closes",
       "GET / HTTP/1.1\r\n\r\n",
       {},
       true,
       "GET / HTTP/1.1\r\n\r\n"},
      {"first bytes and data, then close",
       "head:",
       {frame(KIND_DATA, "abc"), frame(KIND_CLOSE)},
       false,
       "head:abc"},
      {"empty data ends it and later frames are not read",
       "",
       {frame(KIND_DATA, "one"), frame(KIND_DATA, "two"), frame(KIND_DATA),
        frame(KIND_DATA, "three")},
       false,
       "onetwo"},
      {"half close, then data that cannot be written",
       "",
       {frame(KIND_HALF_CLOSE), frame(KIND_DATA, "late")},
       false,
       ""},
      {"half close, then the queue closes", "x", {frame(KIND_HALF_CLOSE)}, true, "x"},
      {"other kinds are ignored",
       "",
       {frame(KIND_OPEN, "80\nGET"), frame(200, "?"), frame(KIND_HEARTBEAT), frame(KIND_DATA, "z"),
        frame(KIND_CLOSE)},
       false,
       "z"},
      {"close ends it",
       "",
       {frame(KIND_DATA, "a"), frame(KIND_CLOSE), frame(KIND_DATA, "b")},
       false,
       "a"},
      {"error ends it",
       "",
       {frame(KIND_DATA, "a"), frame(KIND_ERROR, "gone"), frame(KIND_DATA, "b")},
       false,
       "a"},
      // Large payloads are written together with those queued behind them; the first
      // frame that is no payload still takes effect in its place.
      {"large payloads, then a half close and data that cannot be written",
       "",
       {frame(KIND_DATA, LARGE_A), frame(KIND_DATA, LARGE_B), frame(KIND_DATA, "c"),
        frame(KIND_HALF_CLOSE), frame(KIND_DATA, "late")},
       false,
       LARGE_A + LARGE_B + "c"},
      {"large payloads, then empty data ends it",
       "first:",
       {frame(KIND_DATA, LARGE_A), frame(KIND_DATA, "b"), frame(KIND_DATA), frame(KIND_DATA, "x")},
       false,
       "first:" + LARGE_A + "b"},
      {"large payloads, then close",
       "",
       {frame(KIND_DATA, "a"), frame(KIND_DATA, LARGE_B), frame(KIND_DATA, LARGE_A),
        frame(KIND_CLOSE), frame(KIND_DATA, "z")},
       false,
       "a" + LARGE_B + LARGE_A},
      {"large payloads, then the queue closes",
       "",
       {frame(KIND_DATA, LARGE_B), frame(KIND_OPEN, "ignored"), frame(KIND_DATA, LARGE_A)},
       true,
       LARGE_B + LARGE_A},
  };
  for (auto& c : cases) {
    asio::io_context io;
    auto [local_end, service] = test::tcp_pair(io);
    auto [sender, receiver] = make_frame_queue({32, 1 << 20});
    for (auto& f : c.frames) ASSERT_TRUE(sender.try_send(std::move(f))) << c.name;
    std::optional<FrameSender> kept(std::move(sender));
    if (c.close_queue) kept.reset();

    auto halves = split_tcp(std::move(local_end));
    test::run_async(
        io,
        run_stream_writer(bytes_of(c.first_bytes), std::move(halves.write), std::move(receiver)),
        5s);
    halves.read.reset();
    Received got = test::run_async(io, read_to_end(service));
    EXPECT_EQ(got.bytes, c.expected) << c.name;
    EXPECT_EQ(got.end, asio::error::eof) << c.name;
    if (kept) {
      EXPECT_FALSE(kept->try_send(frame(KIND_DATA, "more")))
          << c.name << ": the queue is still open";
    }
  }
}

TEST(RunStreamWriter, WritesNothingBeforeTheFirstFrame) {
  asio::io_context io;
  auto log = std::make_shared<WriteLog>();
  auto [sender, receiver] = make_frame_queue({32, 1 << 20});
  bool ended = false;
  asio::co_spawn(
      io, run_stream_writer({}, std::make_unique<RecordingWriteHalf>(log), std::move(receiver)),
      [&](std::exception_ptr) { ended = true; });
  poll(io);
  EXPECT_TRUE(log->calls.empty());
  ASSERT_TRUE(sender.try_send(frame(KIND_DATA, "a")));
  poll(io);
  EXPECT_EQ(log->text(), "a");
  EXPECT_EQ(log->calls.size(), 1u);
  EXPECT_FALSE(ended);
  { auto gone = std::move(sender); }
  poll(io);
  EXPECT_TRUE(ended);
  EXPECT_EQ(log->shutdowns, 1u);
  EXPECT_TRUE(log->released);
}

// Payloads queued together behind a large one leave in one gathered write, also when
// the local side takes a few bytes at a time; a payload that comes later is written
// on its own.
TEST(RunStreamWriter, QueuedPayloadsBehindALargeOneLeaveInOneWrite) {
  struct Case {
    const char* name;
    std::size_t max_per_write;
    std::size_t writes;  // for the three queued payloads
  } cases[] = {{"taken whole", std::numeric_limits<std::size_t>::max(), 1},
               {"taken 40000 bytes at a time", 40000, 4}};
  for (const auto& c : cases) {
    asio::io_context io;
    auto log = std::make_shared<WriteLog>();
    auto [sender, receiver] = make_frame_queue({32, 1 << 20});
    for (const std::string* payload : {&LARGE_A, &LARGE_B, &LARGE_A})
      ASSERT_TRUE(sender.try_send(frame(KIND_DATA, *payload)));
    asio::co_spawn(io,
                   run_stream_writer({},
                                     std::make_unique<RecordingWriteHalf>(
                                         log, WriteBehaviour{.max_per_write = c.max_per_write}),
                                     std::move(receiver)),
                   asio::detached);
    poll(io);
    ASSERT_EQ(log->calls.size(), c.writes) << c.name;
    EXPECT_EQ(log->calls[0],
              (std::vector<std::size_t>{LARGE_A.size(), LARGE_B.size(), LARGE_A.size()}))
        << c.name << ": the first write offers all three";
    ASSERT_TRUE(sender.try_send(frame(KIND_DATA, "later")));
    poll(io);
    EXPECT_EQ(log->calls.size(), c.writes + 1) << c.name;
    EXPECT_EQ(log->text(), LARGE_A + LARGE_B + LARGE_A + "later") << c.name;
  }
}

// After a half close the local service sees its end of input while the stream lives on:
// its answer still flows back, and only the next payload ends the writer.
TEST(RunStreamWriter, HalfCloseShutsTheSendingSideAndKeepsTheStream) {
  asio::io_context io;
  // Named ends, not structured bindings: the coroutine lambda below captures them.
  auto ends = test::tcp_pair(io);
  auto& service = ends.second;
  auto halves = split_tcp(std::move(ends.first));
  auto queue = make_frame_queue({32, 1 << 20});
  auto& sender = queue.first;
  auto& receiver = queue.second;
  bool ended = false;
  asio::co_spawn(io,
                 run_stream_writer(bytes_of("req"), std::move(halves.write), std::move(receiver)),
                 [&](std::exception_ptr) { ended = true; });
  ASSERT_TRUE(sender.try_send(frame(KIND_HALF_CLOSE)));
  test::run_async(io, [&]() -> asio::awaitable<void> {
    Received got = co_await read_to_end(service);
    EXPECT_EQ(got.bytes, "req");
    EXPECT_EQ(got.end, asio::error::eof);
    EXPECT_FALSE(ended);
    co_await write_text(service, "answer");
    std::array<std::uint8_t, 6> answer{};
    auto [ec, n] = co_await halves.read->read_some(asio::buffer(answer));
    EXPECT_EQ(std::string(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(n)),
              "answer");
    EXPECT_TRUE(co_await sender.send(frame(KIND_DATA, "late")));
    EXPECT_TRUE(co_await eventually(ended));
  }());
}

// The stream task aborts its writer when the local side has ended: wherever the writer
// waits, it ends at once, releases the write half and closes the queue.
TEST(RunStreamWriter, AbortingItEndsItAtEveryWait) {
  struct Case {
    const char* name;
    std::string first_bytes;
    std::vector<Frame> frames;
    bool gated;  // writes wait until cancelled
  } cases[] = {
      {"writing the first bytes", "hello", {}, true},
      {"waiting for a frame", "", {}, false},
      {"waiting for a frame after a half close", "", {frame(KIND_HALF_CLOSE)}, false},
      {"writing a payload", "", {frame(KIND_DATA, "abc")}, true},
      {"writing large payloads together",
       "",
       {frame(KIND_DATA, LARGE_A), frame(KIND_DATA, LARGE_B)},
       true},
  };
  for (auto& c : cases) {
    asio::io_context io;
    auto log = std::make_shared<WriteLog>();
    WriteBehaviour behaviour;
    if (c.gated) behaviour.gate = std::make_shared<test::WriteGate>(io.get_executor());
    auto [sender, receiver] = make_frame_queue({32, 1 << 20});
    for (auto& f : c.frames) ASSERT_TRUE(sender.try_send(std::move(f)));
    asio::cancellation_signal abort;
    bool ended = false;
    asio::co_spawn(
        io,
        run_stream_writer(bytes_of(c.first_bytes),
                          std::make_unique<RecordingWriteHalf>(log, behaviour),
                          std::move(receiver)),
        asio::bind_cancellation_slot(abort.slot(), [&](std::exception_ptr) { ended = true; }));
    poll(io);
    ASSERT_FALSE(ended) << c.name;
    abort.emit(asio::cancellation_type::terminal);
    poll(io);
    EXPECT_TRUE(ended) << c.name;
    EXPECT_TRUE(log->released) << c.name;
    EXPECT_EQ(log->text(), "") << c.name;
    EXPECT_FALSE(sender.try_send(frame(KIND_DATA, "x"))) << c.name << ": the queue is still open";
  }
}

TEST(RunStreamWriter, AnAbortedWriterLeavesTheServiceWithEndOfInput) {
  asio::io_context io;
  // Named ends, not structured bindings: the coroutine lambda below captures them.
  auto ends = test::tcp_pair(io);
  auto& service = ends.second;
  auto halves = split_tcp(std::move(ends.first));
  auto queue = make_frame_queue({32, 1 << 20});
  auto& sender = queue.first;
  auto& receiver = queue.second;
  ASSERT_TRUE(sender.try_send(frame(KIND_DATA, "data")));
  asio::cancellation_signal abort;
  bool ended = false;
  asio::co_spawn(
      io, run_stream_writer({}, std::move(halves.write), std::move(receiver)),
      asio::bind_cancellation_slot(abort.slot(), [&](std::exception_ptr) { ended = true; }));
  test::run_async(io, [&]() -> asio::awaitable<void> {
    EXPECT_EQ(co_await read_exactly(service, 4), "data");
    abort.emit(asio::cancellation_type::terminal);
    EXPECT_TRUE(co_await eventually(ended));
    Received got = co_await read_to_end(service);
    EXPECT_EQ(got.bytes, "");
    EXPECT_EQ(got.end, asio::error::eof);
  }());
}

}  // namespace
}  // namespace quillmar
