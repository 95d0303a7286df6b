// The stand-in's own frame reader and frame writer: the same outcomes as the protocol
// library's reader and writer, with many frames per read and per write.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/strand.hpp>

#include "async_test.hpp"
#include "devgw/devgw_frame_reader.hpp"
#include "devgw/devgw_frame_writer.hpp"
#include "fake_halves.hpp"

namespace quillmar::devgw {
namespace {

using quillmar::test::ReadStep;
using quillmar::test::RecordingWriteHalf;
using quillmar::test::ScriptedReadHalf;
using quillmar::test::WriteBehaviour;
using quillmar::test::WriteLog;
using Bytes = std::vector<std::uint8_t>;

Bytes wire_of(const Frame& frame) {
  auto header = encode_header(frame.kind, frame.id, frame.payload.size());
  Bytes wire(header.begin(), header.end());
  wire.insert(wire.end(), frame.payload.begin(), frame.payload.end());
  return wire;
}

Bytes pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

// Reads frames until the end or a failure: the frames, then the last outcome.
struct ReadAll {
  std::vector<Frame> frames;
  Result<std::optional<Frame>> last = std::optional<Frame>();
};

ReadAll read_all(std::vector<ReadStep> steps, std::size_t max_per_read) {
  asio::io_context io;
  ScriptedReadHalf half(std::move(steps), std::make_shared<quillmar::test::ReadLog>(),
                        max_per_read);
  FrameReader reader(half);
  ReadAll all;
  for (;;) {
    auto next = quillmar::test::run_async(io, reader.next());
    if (!next.ok() || !next.value()) {
      all.last = std::move(next);
      return all;
    }
    all.frames.push_back(std::move(*next.value()));
  }
}

TEST(DevgwFrameReader, TakesFramesOfAnySizeOutOfReadsOfAnySize) {
  // Small frames packed together, cut anywhere by small reads; frames larger than the
  // read buffer, with one of the largest size, by larger reads.
  struct Case {
    std::vector<Frame> sent;
    std::vector<std::size_t> read_sizes;
  } cases[] = {
      {{{pattern(3, 1), 7, KIND_DATA},
        {{}, 7, KIND_CLOSE},
        {pattern(100, 2), 9, KIND_DATA},
        {pattern(1, 5), 0xFFFFFFFF, 0}},
       {1, 5, 64}},
      {{{pattern(300 * 1024, 2), 9, KIND_DATA},
        {pattern(70 * 1024, 3), 9, KIND_DATA},
        {pattern(MAX_FRAME_LEN, 4), 1, 255},
        {pattern(3, 1), 7, KIND_DATA}},
       {4096, 100000, std::numeric_limits<std::size_t>::max()}},
  };
  for (const auto& c : cases) {
    Bytes wire;
    for (const auto& frame : c.sent) {
      auto one = wire_of(frame);
      wire.insert(wire.end(), one.begin(), one.end());
    }
    for (std::size_t per_read : c.read_sizes) {
      auto all = read_all({{wire, {}}}, per_read);
      ASSERT_TRUE(all.last.ok()) << per_read;
      EXPECT_FALSE(all.last.value().has_value()) << per_read;
      ASSERT_EQ(all.frames.size(), c.sent.size()) << per_read;
      for (std::size_t i = 0; i < c.sent.size(); ++i) {
        EXPECT_EQ(all.frames[i].kind, c.sent[i].kind) << per_read << " frame " << i;
        EXPECT_EQ(all.frames[i].id, c.sent[i].id) << per_read << " frame " << i;
        EXPECT_TRUE(all.frames[i].payload == c.sent[i].payload) << per_read << " frame " << i;
      }
    }
  }
}

TEST(DevgwFrameReader, EndsAndFailuresAreTheProtocolReadersOnes) {
  const Bytes header{KIND_DATA, 0, 0, 0, 1, 0, 0, 0, 4};
  struct Case {
    const char* name;
    std::vector<ReadStep> steps;
    std::optional<ErrorKind> error;  // none: a clean end
    std::string message;
  } cases[] = {
      {"end between frames", {}, std::nullopt, ""},
      {"end after 1 header byte", {{{KIND_DATA}, {}}}, std::nullopt, ""},
      {"end after 8 header bytes",
       {{Bytes(header.begin(), header.end() - 1), {}}},
       std::nullopt,
       ""},
      {"end inside the payload",
       {{header, {}}, {{'a', 'b'}, {}}},
       ErrorKind::UnexpectedEof,
       "early eof"},
      {"end inside a payload read straight into its place",
       {{{KIND_DATA, 0, 0, 0, 1, 0, 0x01, 0x86, 0xA0}, {}}, {Bytes(70000, 'x'), {}}},
       ErrorKind::UnexpectedEof,
       "early eof"},
      {"length above the limit",
       {{{KIND_DATA, 0, 0, 0, 1, 0, 0x10, 0, 0}, {}}},
       ErrorKind::InvalidData,
       "frame too large"},
      {"reset inside the header",
       {{{KIND_DATA, 0}, {}}, {{}, asio::error::connection_reset}},
       ErrorKind::ConnectionReset,
       ""},
  };
  for (auto& c : cases) {
    auto all = read_all(c.steps, std::numeric_limits<std::size_t>::max());
    EXPECT_TRUE(all.frames.empty()) << c.name;
    if (!c.error) {
      ASSERT_TRUE(all.last.ok()) << c.name;
      EXPECT_FALSE(all.last.value().has_value()) << c.name;
      continue;
    }
    ASSERT_FALSE(all.last.ok()) << c.name;
    EXPECT_EQ(all.last.error().kind, *c.error) << c.name;
    if (!c.message.empty()) {
      EXPECT_EQ(all.last.error().message, c.message) << c.name;
    }
  }
}

class DevgwFrameWriter : public ::testing::Test {
 protected:
  std::shared_ptr<FrameWriter> writer(WriteBehaviour behaviour = {}) {
    return std::make_shared<FrameWriter>(strand_,
                                         std::make_unique<RecordingWriteHalf>(log_, behaviour));
  }

  asio::io_context io_;
  Strand strand_ = asio::make_strand(io_);
  std::shared_ptr<WriteLog> log_ = std::make_shared<WriteLog>();
};

TEST_F(DevgwFrameWriter, FramesOfConcurrentSendersLeaveWholeInOrderAndTogether) {
  constexpr int SENDERS = 8;
  auto shared = writer({.max_per_write = 1000, .yield_each_write = true});
  std::vector<Frame> expected;
  int done = 0;
  auto sender = [&](int index) -> asio::awaitable<void> {
    std::vector<Frame> frames;
    frames.push_back({pattern(5000 + index, static_cast<std::uint8_t>(index)),
                      static_cast<std::uint32_t>(index), KIND_DATA});
    frames.push_back({{}, static_cast<std::uint32_t>(index), KIND_CLOSE});
    expected.insert(expected.end(), frames.begin(), frames.end());
    auto sent = co_await shared->send(std::move(frames));
    EXPECT_TRUE(sent.ok()) << index;
    ++done;
  };
  for (int i = 0; i < SENDERS; ++i) asio::co_spawn(strand_, sender(i), asio::detached);
  quillmar::test::run_async(io_, [&]() -> asio::awaitable<void> {
    asio::steady_timer timer(strand_);
    while (done < SENDERS) {
      timer.expires_after(std::chrono::milliseconds(1));
      co_await timer.async_wait(asio::use_awaitable);
    }
  }());

  auto frames = quillmar::test::parse_frames(log_->snapshot());
  ASSERT_TRUE(frames.has_value());
  ASSERT_EQ(frames->size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ((*frames)[i].id, expected[i].id) << i;
    EXPECT_EQ((*frames)[i].kind, expected[i].kind) << i;
    EXPECT_TRUE((*frames)[i].payload == expected[i].payload) << i;
  }
  // The senders shared writes: at most two batches, each written in pieces of 1000 bytes
  // (one batch per sender would take a partial piece per sender, 48 writes here).
  std::size_t total = log_->snapshot().size();
  EXPECT_LE(log_->calls.size(), (total + 999) / 1000 + 1);
}

TEST_F(DevgwFrameWriter, AFailedWriteFailsItsSendersAndEveryLaterOne) {
  auto shared = writer({.failing_writes = 1});
  quillmar::test::run_async(io_, [&]() -> asio::awaitable<void> {
    std::vector<Frame> too_large;
    too_large.push_back({Bytes(MAX_FRAME_LEN + 1), 1, KIND_DATA});
    auto refused = co_await shared->send(std::move(too_large));
    EXPECT_FALSE(refused.ok());
    if (refused.ok()) co_return;
    EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(refused.error().message, "frame too large");
    EXPECT_TRUE(log_->calls.empty());

    for (int attempt = 0; attempt < 2; ++attempt) {
      std::vector<Frame> frames;
      frames.push_back({pattern(10, 0), 1, KIND_DATA});
      auto sent = co_await shared->send(std::move(frames));
      EXPECT_FALSE(sent.ok()) << attempt;
      if (sent.ok()) co_return;
      EXPECT_EQ(sent.error().kind, ErrorKind::BrokenPipe) << attempt;
    }
    EXPECT_EQ(log_->calls.size(), 1u);  // the later send did not write
  }());
}

}  // namespace
}  // namespace quillmar::devgw
