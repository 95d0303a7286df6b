#include "proto/frame_pipe.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <thread>

#include "async_test.hpp"
#include "fake_halves.hpp"
#include "proto/frame.hpp"
#include "proto/shared_writer.hpp"
#include "proto/stream_halves.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;
using Bytes = std::vector<std::uint8_t>;

#ifdef __linux__

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return bytes;
}

// Waits until the socket holds `count` bytes: loopback delivers within moments.
void wait_until_held(tcp::socket& socket, std::size_t count) {
  for (int i = 0; i < 2000; ++i) {
    asio::socket_base::bytes_readable readable;
    socket.io_control(readable);
    if (readable.get() >= count) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  FAIL() << "the socket never held " << count << " bytes";
}

// Reads `count` bytes of frames off the connection and cuts them into frames.
std::vector<Frame> frames_off(tcp::socket& socket, std::size_t count) {
  Bytes bytes(count);
  asio::read(socket, asio::buffer(bytes));
  auto frames = test::parse_frames(bytes);
  if (!frames) ADD_FAILURE() << "torn frames";
  return frames.value_or(std::vector<Frame>{});
}

std::size_t on_wire(const std::vector<std::size_t>& payloads) {
  std::size_t bytes = 0;
  for (std::size_t size : payloads) bytes += FRAME_HEADER_LEN + size;
  return bytes;
}

struct Sockets {
  asio::io_context io;
  std::pair<tcp::socket, tcp::socket> local = test::tcp_pair(io);    // service, client's end
  std::pair<tcp::socket, tcp::socket> gateway = test::tcp_pair(io);  // client's end, gateway
  Sockets() {
    local.second.non_blocking(true);
    gateway.first.non_blocking(true);
  }
};

// Each fill takes what the socket holds, up to its limits, as frames of the stream whose
// payloads are the socket's bytes in order; the drain sends them whole.
TEST(FramePipe, FillsFramesFromWhatTheSocketHoldsAndDrainsThemWhole) {
  struct Step {
    std::size_t written;                // by the service before the fill
    std::vector<std::size_t> payloads;  // the fill's frames
  };
  struct Case {
    const char* name;
    std::size_t most;
    std::size_t frame_most;
    std::vector<Step> steps;
  } cases[] = {
      {"nothing held", 262144, 65536, {{0, {}}}},
      {"a few bytes", 262144, 65536, {{5, {5}}}},
      {"frames of at most 64 KiB", 262144, 65536, {{100000, {65536, 34464}}}},
      {"at most `most` per fill", 60000, 65536, {{100000, {60000}}, {0, {40000}}, {0, {}}}},
      {"what came since the last fill", 262144, 65536, {{3000, {3000}}, {70000, {65536, 4464}}}},
      {"smaller frames", 262144, 4000, {{10000, {4000, 4000, 2000}}}},
  };
  for (const auto& c : cases) {
    Sockets s;
    auto pipe = FramePipe::open();
    ASSERT_TRUE(pipe) << c.name;
    Bytes sent, joined;
    for (const auto& step : c.steps) {
      const Bytes more = pattern(step.written, static_cast<std::uint8_t>(sent.size()));
      asio::write(s.local.first, asio::buffer(more));
      sent.insert(sent.end(), more.begin(), more.end());
      std::size_t expected = 0;
      for (std::size_t size : step.payloads) expected += size;
      wait_until_held(s.local.second, expected);

      std::size_t put = 0;
      EXPECT_FALSE(pipe->fill(s.local.second, 42, c.most, c.frame_most, put)) << c.name;
      EXPECT_EQ(put, expected) << c.name;
      EXPECT_EQ(pipe->empty(), step.payloads.empty()) << c.name;
      auto drained = test::run_async(s.io, pipe->drain(s.gateway.first));
      EXPECT_FALSE(drained) << c.name;
      EXPECT_TRUE(pipe->empty()) << c.name;
      if (step.payloads.empty()) continue;
      auto frames = frames_off(s.gateway.second, on_wire(step.payloads));
      ASSERT_EQ(frames.size(), step.payloads.size()) << c.name;
      for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].kind, KIND_DATA) << c.name;
        EXPECT_EQ(frames[i].id, 42u) << c.name;
        EXPECT_EQ(frames[i].payload.size(), step.payloads[i]) << c.name;
        joined.insert(joined.end(), frames[i].payload.begin(), frames[i].payload.end());
      }
    }
    EXPECT_TRUE(joined == sent) << c.name << ": the bytes arrived changed or out of order";
  }
}

// A gateway connection that takes less than a fill at a time: the drain waits for room,
// and megabytes pass through whole.
TEST(FramePipe, DrainWaitsWhileTheGatewayIsFull) {
  Sockets s;
  auto pipe = FramePipe::open();
  ASSERT_TRUE(pipe);
  // A send buffer far smaller than one fill: every drain has to wait for room.
  s.gateway.first.set_option(asio::socket_base::send_buffer_size(32 * 1024));
  constexpr std::size_t TOTAL = 4 * 1024 * 1024;
  const Bytes sent = pattern(TOTAL, 9);
  std::jthread service([&] { asio::write(s.local.first, asio::buffer(sent)); });

  Bytes arrived;
  bool ended = false;
  auto reader = [&]() -> asio::awaitable<void> {
    Bytes chunk(1500);
    for (;;) {
      auto [ec, n] = co_await s.gateway.second.async_read_some(
          asio::buffer(chunk), asio::experimental::as_tuple(asio::use_awaitable));
      arrived.insert(arrived.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
      if (ec) break;
    }
    ended = true;
  };
  std::size_t drains = 0;
  auto relay = [&]() -> asio::awaitable<std::size_t> {
    std::size_t moved = 0;
    while (moved < TOTAL) {
      co_await s.local.second.async_wait(tcp::socket::wait_read, asio::use_awaitable);
      std::size_t put = 0;
      std::error_code failed = pipe->fill(s.local.second, 1, FramePipe::CAPACITY, 65536, put);
      if (failed) break;
      failed = co_await pipe->drain(s.gateway.first);
      if (failed) break;
      EXPECT_LE(put, FramePipe::CAPACITY);
      moved += put;
      ++drains;
    }
    s.gateway.first.shutdown(tcp::socket::shutdown_send);
    co_return moved;
  };
  asio::co_spawn(s.io, reader(), asio::detached);
  EXPECT_EQ(test::run_async(s.io, relay()), TOTAL);
  test::run_async(s.io, [&]() -> asio::awaitable<void> {
    while (!ended) {
      asio::steady_timer timer(s.io, std::chrono::milliseconds(1));
      co_await timer.async_wait(asio::use_awaitable);
    }
  }());
  service.join();
  auto frames = test::parse_frames(arrived);
  ASSERT_TRUE(frames);
  Bytes joined;
  for (const Frame& frame : *frames) {
    EXPECT_LE(frame.payload.size(), 65536u);
    joined.insert(joined.end(), frame.payload.begin(), frame.payload.end());
  }
  EXPECT_TRUE(joined == sent) << "the bytes arrived changed or out of order";
  EXPECT_GT(drains, 1u);
}

// A gateway that has gone makes the drain fail; the program goes on (no SIGPIPE).
TEST(FramePipe, DrainingToAGoneGatewayFailsAndTheProgramGoesOn) {
  Sockets s;
  auto pipe = FramePipe::open();
  ASSERT_TRUE(pipe);
  s.gateway.second.set_option(asio::socket_base::linger(true, 0));
  s.gateway.second.close();  // a reset
  const Bytes sent = pattern(100000, 1);
  std::error_code failed;
  for (int round = 0; round < 20 && !failed; ++round) {
    asio::write(s.local.first, asio::buffer(sent));
    wait_until_held(s.local.second, sent.size());
    std::size_t put = 0;
    failed = pipe->fill(s.local.second, 5, FramePipe::CAPACITY, 65536, put);
    if (!failed) failed = test::run_async(s.io, pipe->drain(s.gateway.first));
  }
  EXPECT_TRUE(failed) << "the drain never saw the gateway gone";
}

// Senders from sockets keep the writer's order: each waits its turn behind the frames
// before it, is never carried in another sender's write, and the frames behind it wait.
TEST(SendFrom, TakesItsTurnInOrderAmongFrameSenders) {
  Sockets s;
  SharedWriter writer(s.io.get_executor(), split_tcp(std::move(s.gateway.first)).write);
  ASSERT_TRUE(writer.sends_from_sockets());
  const Bytes sent = pattern(100000, 4);
  asio::write(s.local.first, asio::buffer(sent));
  wait_until_held(s.local.second, sent.size());

  std::vector<std::string> done;  // in the order the senders happen to resume
  auto frame_sender = [&](std::uint32_t id) -> asio::awaitable<void> {
    Frame frame{Bytes(10, 'f'), id, KIND_DATA};
    auto status = co_await writer.send(std::move(frame));
    done.push_back(status ? "frame " + std::to_string(id) : "failed");
  };
  auto socket_sender = [&]() -> asio::awaitable<void> {
    auto moved = co_await writer.send_from(s.local.second, 2, 262144, 65536);
    done.push_back(moved ? "moved " + std::to_string(moved.value()) : "failed");
  };
  asio::co_spawn(s.io, frame_sender(1), asio::detached);
  asio::co_spawn(s.io, socket_sender(), asio::detached);
  asio::co_spawn(s.io, frame_sender(3), asio::detached);
  test::run_async(s.io, [&]() -> asio::awaitable<void> {
    while (done.size() < 3) {
      asio::steady_timer timer(s.io, std::chrono::milliseconds(1));
      co_await timer.async_wait(asio::use_awaitable);
    }
  }());
  std::sort(done.begin(), done.end());
  EXPECT_EQ(done, (std::vector<std::string>{"frame 1", "frame 3", "moved 100000"}));
  auto frames = frames_off(s.gateway.second, on_wire({10, 65536, 34464, 10}));
  std::vector<std::uint32_t> ids;
  Bytes joined;
  for (const Frame& frame : frames) {
    ids.push_back(frame.id);
    if (frame.id == 2) joined.insert(joined.end(), frame.payload.begin(), frame.payload.end());
  }
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 2, 3}));
  EXPECT_TRUE(joined == sent);
}

// Only a plain TCP connection is sent to from sockets; a failure there breaks the
// writer like a failed write.
TEST(SendFrom, OnlyPlainConnectionsAndAFailureBreaksTheWriter) {
  asio::io_context io;
  SharedWriter recording(io.get_executor(), std::make_unique<test::RecordingWriteHalf>(
                                                std::make_shared<test::WriteLog>()));
  EXPECT_FALSE(recording.sends_from_sockets());

  Sockets s;
  s.gateway.second.set_option(asio::socket_base::linger(true, 0));
  s.gateway.second.close();
  SharedWriter writer(s.io.get_executor(), split_tcp(std::move(s.gateway.first)).write);
  const Bytes sent = pattern(100000, 2);
  bool failed = false;
  for (int round = 0; round < 20 && !failed; ++round) {
    asio::write(s.local.first, asio::buffer(sent));
    wait_until_held(s.local.second, sent.size());
    auto moved = test::run_async(s.io, writer.send_from(s.local.second, 1, 262144, 65536));
    failed = !moved;
  }
  ASSERT_TRUE(failed);
  EXPECT_TRUE(writer.broken());
  auto later = test::run_async(s.io, writer.send(Frame{Bytes(3, 'x'), 1, KIND_DATA}));
  ASSERT_FALSE(later);
  EXPECT_EQ(later.error().kind, ErrorKind::BrokenPipe);
}

#else

TEST(FramePipe, OnlyOnLinux) { EXPECT_EQ(FramePipe::open(), nullptr); }

#endif

}  // namespace
}  // namespace quillmar
