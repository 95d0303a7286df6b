#include "proto/frame.hpp"

#include <gtest/gtest.h>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>

#include "async_test.hpp"
#include "fake_halves.hpp"
#include "proto/shared_writer.hpp"

namespace quillmar {
namespace {

using test::bytes_of;
using test::ReadLog;
using test::ReadStep;
using test::ScriptedReadHalf;
using Bytes = std::vector<std::uint8_t>;

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Runs read_frame over the scripted steps.
Result<std::optional<Frame>> read_scripted(
    std::vector<ReadStep> steps, std::shared_ptr<ReadLog> log = nullptr,
    std::size_t max_per_read = std::numeric_limits<std::size_t>::max()) {
  asio::io_context io;
  ScriptedReadHalf half(std::move(steps), log ? log : std::make_shared<ReadLog>(), max_per_read);
  return test::run_async(io, read_frame(half));
}

TEST(FrameKinds, KeepTheirWireValues) {
  struct Case {
    std::uint8_t kind;
    std::uint8_t value;
  } cases[] = {
      {KIND_HELLO, 0x01},        {KIND_WELCOME, 0x02},     {KIND_INVITE, 0x03},
      {KIND_ACCESS, 0x04},       {KIND_ACCOUNT, 0x05},     {KIND_OPEN, 0x10},
      {KIND_DATA, 0x11},         {KIND_CLOSE, 0x12},       {KIND_HALF_CLOSE, 0x13},
      {KIND_HEARTBEAT, 0x20},    {KIND_PUNCH_OFFER, 0x21}, {KIND_PUNCH_STATUS, 0x22},
      {KIND_PUNCH_RESULT, 0x23}, {KIND_ERROR, 0x30},
  };
  for (const auto& c : cases) EXPECT_EQ(c.kind, c.value);
  EXPECT_EQ(FRAME_HEADER_LEN, 9u);
  EXPECT_EQ(MAX_FRAME_LEN, 1048575u);
}

TEST(EncodeHeader, LaysOutKindIdAndLengthBigEndian) {
  struct Case {
    std::uint8_t kind;
    std::uint32_t id;
    std::size_t length;
    std::array<std::uint8_t, 9> expected;
  } cases[] = {
      {0x11, 7, 3, {0x11, 0, 0, 0, 7, 0, 0, 0, 3}},
      {0x10, 0x01020304, 0x0ABCDE, {0x10, 0x01, 0x02, 0x03, 0x04, 0, 0x0A, 0xBC, 0xDE}},
      {0x00, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {0xFF, 0xFFFFFFFF, MAX_FRAME_LEN, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) EXPECT_EQ(encode_header(c.kind, c.id, c.length), c.expected) << c.id;
}

TEST(ReadFrame, DecodesHandWrittenFrames) {
  struct Case {
    const char* name;
    Bytes wire;
    std::uint8_t kind;
    std::uint32_t id;
    Bytes payload;
  } cases[] = {
      {"data", {0x11, 0, 0, 0, 7, 0, 0, 0, 3, 'a', 'b', 'c'}, 0x11, 7, bytes_of("abc")},
      {"kind 0, id 0, empty", {0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, {}},
      {"kind 255, largest id",
       {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1, 'x'},
       0xFF,
       0xFFFFFFFF,
       bytes_of("x")},
      {"id byte order",
       {0x30, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 2, 0xFE, 0x00},
       0x30,
       0x01020304,
       {0xFE, 0x00}},
      {"undefined kind", {200, 0, 0, 1, 0, 0, 0, 0, 1, 0}, 200, 256, {0}},
  };
  for (const auto& c : cases) {
    for (std::size_t per_read : {std::numeric_limits<std::size_t>::max(), std::size_t{1}}) {
      auto result = read_scripted({{c.wire, {}}}, nullptr, per_read);
      ASSERT_TRUE(result.ok()) << c.name;
      ASSERT_TRUE(result.value().has_value()) << c.name;
      const Frame& frame = *result.value();
      EXPECT_EQ(frame.kind, c.kind) << c.name;
      EXPECT_EQ(frame.id, c.id) << c.name;
      EXPECT_EQ(frame.payload, c.payload) << c.name;
    }
  }
}

TEST(ReadFrame, AnEndInsideTheHeaderIsACleanEnd) {
  const Bytes header{0x11, 0, 0, 0, 1, 0, 0, 0, 4};
  for (std::size_t cut = 0; cut < FRAME_HEADER_LEN; ++cut) {
    Bytes partial(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(cut));
    // Ended by a read of no bytes, and by an end-of-input error.
    for (std::error_code end : {std::error_code{}, std::error_code(asio::error::eof)}) {
      std::vector<ReadStep> steps{{partial, {}}};
      if (end) steps.push_back({{}, end});
      auto result = read_scripted(steps);
      ASSERT_TRUE(result.ok()) << cut;
      EXPECT_FALSE(result.value().has_value()) << cut;
    }
  }
}

TEST(ReadFrame, ReadsFramesOneAfterAnotherThenEndsCleanly) {
  asio::io_context io;
  Bytes wire = concat({0x11, 0, 0, 0, 1, 0, 0, 0, 2, 'h', 'i'}, {0x12, 0, 0, 0, 1, 0, 0, 0, 0});
  ScriptedReadHalf half({{wire, {}}});
  auto first = test::run_async(io, read_frame(half));
  auto second = test::run_async(io, read_frame(half));
  auto third = test::run_async(io, read_frame(half));
  ASSERT_TRUE(first.ok() && first.value());
  EXPECT_EQ(first.value()->payload, bytes_of("hi"));
  ASSERT_TRUE(second.ok() && second.value());
  EXPECT_EQ(second.value()->kind, KIND_CLOSE);
  ASSERT_TRUE(third.ok());
  EXPECT_FALSE(third.value().has_value());
}

TEST(ReadFrame, OtherHeaderErrorsComeBackUnchanged) {
  auto result = read_scripted({{{0x11, 0, 0}, {}}, {{}, asio::error::connection_reset}});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, ErrorKind::ConnectionReset);
  EXPECT_EQ(result.error().os_code, std::optional<int>(asio::error::connection_reset));
}

TEST(ReadFrame, EnforcesTheLengthLimitWithoutReadingTheBody) {
  struct Case {
    Bytes length_field;
    bool accepted;
  } cases[] = {
      {{0x00, 0x0F, 0xFF, 0xFF}, true},   // 1,048,575
      {{0x00, 0x10, 0x00, 0x00}, false},  // 1,048,576
      {{0x00, 0xFF, 0xFF, 0xFF}, false},
      {{0xFF, 0xFF, 0xFF, 0xFF}, false},
  };
  for (const auto& c : cases) {
    auto log = std::make_shared<ReadLog>();
    Bytes header = concat({KIND_DATA, 0, 0, 0, 9}, c.length_field);
    auto result = read_scripted({{header, {}}, {Bytes(MAX_FRAME_LEN, 0x5A), {}}}, log);
    if (c.accepted) {
      ASSERT_TRUE(result.ok());
      ASSERT_TRUE(result.value().has_value());
      EXPECT_EQ(result.value()->payload, Bytes(MAX_FRAME_LEN, 0x5A));
      EXPECT_EQ(log->delivered, FRAME_HEADER_LEN + MAX_FRAME_LEN);
    } else {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error().kind, ErrorKind::InvalidData);
      EXPECT_EQ(result.error().message, "frame too large");
      EXPECT_EQ(log->delivered, FRAME_HEADER_LEN);  // nothing of the body was read
    }
  }
}

TEST(ReadFrame, LengthZeroReadsNoFurther) {
  auto log = std::make_shared<ReadLog>();
  auto result =
      read_scripted({{{KIND_HEARTBEAT, 0, 0, 0, 0, 0, 0, 0, 0}, {}}, {bytes_of("next"), {}}}, log);
  ASSERT_TRUE(result.ok());
  ASSERT_TRUE(result.value().has_value());
  EXPECT_EQ(result.value()->kind, KIND_HEARTBEAT);
  EXPECT_TRUE(result.value()->payload.empty());
  EXPECT_EQ(log->reads, 1u);
  EXPECT_EQ(log->delivered, FRAME_HEADER_LEN);
}

TEST(ReadFrame, AnEndInsideThePayloadIsEarlyEof) {
  const Bytes header{KIND_DATA, 0, 0, 0, 5, 0, 0, 0, 10};
  struct Case {
    const char* name;
    std::vector<ReadStep> steps;
  } cases[] = {
      {"nothing of the payload", {{header, {}}}},
      {"part of the payload", {{concat(header, bytes_of("abcd")), {}}}},
      {"all but one byte, then an eof error",
       {{concat(header, bytes_of("abcdefghi")), {}}, {{}, asio::error::eof}}},
  };
  for (auto& c : cases) {
    auto result = read_scripted(c.steps);
    ASSERT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(result.error().kind, ErrorKind::UnexpectedEof) << c.name;
    EXPECT_EQ(result.error().message, "early eof") << c.name;
  }
}

TEST(ReadFrame, OtherPayloadErrorsComeBackUnchanged) {
  auto result = read_scripted(
      {{{KIND_DATA, 0, 0, 0, 5, 0, 0, 0, 10, 'a'}, {}}, {{}, asio::error::connection_aborted}});
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind, ErrorKind::ConnectionAborted);
  EXPECT_EQ(result.error().os_code, std::optional<int>(asio::error::connection_aborted));
}

TEST(NewFrame, CopiesTheBytes) {
  std::array<std::uint8_t, 3> source{'a', 'b', 'c'};
  Frame frame = new_frame(3, 0, source);
  EXPECT_EQ(frame.kind, 3);
  EXPECT_EQ(frame.id, 0u);
  ASSERT_EQ(frame.payload.size(), 3u);
  EXPECT_NE(frame.payload.data(), source.data());
  source[0] = 'z';
  EXPECT_EQ(frame.payload, bytes_of("abc"));
}

// Every frame FrameReader yields over the scripted steps, then how it ended.
struct ReaderRun {
  std::vector<Frame> frames;
  Result<std::optional<Frame>> last = std::optional<Frame>();
};

ReaderRun read_all_scripted(std::vector<ReadStep> steps, std::size_t max_per_read,
                            bool buffers_input, std::shared_ptr<ReadLog> log) {
  asio::io_context io;
  FrameReader reader(
      std::make_unique<ScriptedReadHalf>(std::move(steps), log, max_per_read, buffers_input));
  ReaderRun run;
  for (;;) {
    auto next = test::run_async(io, reader.next());
    if (!next.ok() || !next.value()) {
      run.last = std::move(next);
      return run;
    }
    run.frames.push_back(std::move(*next.value()));
  }
}

Bytes wire_of(const Frame& frame) {
  auto header = encode_header(frame.kind, frame.id, frame.payload.size());
  return concat(Bytes(header.begin(), header.end()), frame.payload);
}

TEST(FrameReader, YieldsTheFramesOfAnyReadsOverBothKindsOfHalves) {
  std::vector<Frame> sent;
  Bytes wire;
  std::uint32_t id = 1;
  for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{9}, std::size_t{16384},
                             FRAME_READ_CHUNK + 5, std::size_t{1}, MAX_FRAME_LEN}) {
    Bytes payload(length);
    for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>(i * 13 + id);
    sent.push_back(Frame{payload, id++, KIND_DATA});
    wire = concat(wire, wire_of(sent.back()));
  }
  for (bool buffers_input : {false, true}) {
    for (std::size_t per_read :
         {std::numeric_limits<std::size_t>::max(), std::size_t{7000}, std::size_t{999}}) {
      auto run =
          read_all_scripted({{wire, {}}}, per_read, buffers_input, std::make_shared<ReadLog>());
      ASSERT_TRUE(run.last.ok()) << buffers_input << " " << per_read;
      EXPECT_FALSE(run.last.value().has_value());
      ASSERT_EQ(run.frames.size(), sent.size()) << buffers_input << " " << per_read;
      for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(run.frames[i].kind, sent[i].kind);
        EXPECT_EQ(run.frames[i].id, sent[i].id);
        EXPECT_EQ(run.frames[i].payload, sent[i].payload) << i;
      }
    }
  }
}

// Small frames come many in one read over both kinds of half. Of a large payload, a half
// that buffers its input (TLS) hands the reader's buffer only the first FRAME_READ_AHEAD
// bytes; the rest is read straight into the frame, in one read.
TEST(FrameReader, ReadsSmallFramesInBulkAndLargePayloadsIntoTheirFrames) {
  Bytes small;
  for (const Frame& frame : {Frame{bytes_of("hello"), 1, KIND_DATA}, Frame{{}, 1, KIND_CLOSE},
                             Frame{bytes_of("x"), 2, KIND_DATA}})
    small = concat(small, wire_of(frame));
  const Bytes large = concat(wire_of(Frame{Bytes(4 * FRAME_READ_AHEAD, 7), 3, KIND_DATA}), small);
  struct Case {
    const char* name;
    const Bytes& wire;
    std::size_t frames;
    bool buffers_input;
    std::size_t reads;  // the last one finds the end
  } cases[] = {
      {"small, plain", small, 3, false, 2},
      {"small, buffering", small, 3, true, 2},
      {"large, plain", large, 4, false, 2},
      // the read-ahead, the payload's rest, the small frames, the end
      {"large, buffering", large, 4, true, 4},
  };
  for (const auto& c : cases) {
    auto log = std::make_shared<ReadLog>();
    auto run = read_all_scripted({{c.wire, {}}}, std::numeric_limits<std::size_t>::max(),
                                 c.buffers_input, log);
    ASSERT_EQ(run.frames.size(), c.frames) << c.name;
    EXPECT_EQ(log->reads, c.reads) << c.name;
    EXPECT_EQ(log->delivered, c.wire.size()) << c.name;
  }
}

TEST(FrameReader, EndsAsReadFrameDoes) {
  const Bytes header{KIND_DATA, 0, 0, 0, 5, 0, 0, 0, 10};
  struct Case {
    const char* name;
    std::vector<ReadStep> steps;
    std::optional<ErrorKind> error;  // none: a clean end
    const char* message;             // empty: not checked
  } cases[] = {
      {"between frames", {{concat(header, bytes_of("0123456789")), {}}}, std::nullopt, ""},
      {"inside a header", {{concat(header, bytes_of("0123456789abc")), {}}}, std::nullopt, ""},
      {"inside a payload",
       {{concat(header, bytes_of("abcd")), {}}},
       ErrorKind::UnexpectedEof,
       "early eof"},
      {"a length over the limit",
       {{{KIND_DATA, 0, 0, 0, 1, 0, 0x10, 0, 0}, {}}},
       ErrorKind::InvalidData,
       "frame too large"},
      {"a read error",
       {{concat(header, bytes_of("ab")), {}}, {{}, asio::error::connection_reset}},
       ErrorKind::ConnectionReset,
       ""},  // the system's own text
  };
  for (bool buffers_input : {false, true}) {
    for (auto& c : cases) {
      auto run = read_all_scripted(c.steps, std::numeric_limits<std::size_t>::max(), buffers_input,
                                   std::make_shared<ReadLog>());
      if (!c.error) {
        ASSERT_TRUE(run.last.ok()) << c.name;
        EXPECT_FALSE(run.last.value().has_value()) << c.name;
        continue;
      }
      ASSERT_FALSE(run.last.ok()) << c.name;
      EXPECT_EQ(run.last.error().kind, *c.error) << c.name << " " << buffers_input;
      if (*c.message) {
        EXPECT_EQ(run.last.error().message, c.message) << c.name;
      }
    }
  }
}

// The writer and the reader agree over a real connection, partial reads and writes
// included.
TEST(FrameRoundTrip, OverTcp) {
  asio::io_context io;
  auto [client, server] = test::tcp_pair(io);
  auto out = split_tcp(std::move(client));
  auto in = split_tcp(std::move(server));
  SharedWriter writer(io.get_executor(), std::move(out.write));

  std::vector<Frame> sent;
  for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{65536}, MAX_FRAME_LEN}) {
    Bytes payload(length);
    for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + length);
    sent.push_back(Frame{payload, static_cast<std::uint32_t>(length), KIND_DATA});
  }

  std::vector<Frame> received;
  auto reader = [&]() -> asio::awaitable<void> {
    for (std::size_t i = 0; i < sent.size(); ++i) {
      auto frame = co_await read_frame(*in.read);
      if (!frame.ok() || !frame.value()) co_return;
      received.push_back(std::move(*frame.value()));
    }
  };
  auto sender = [&]() -> asio::awaitable<void> {
    for (const auto& frame : sent) EXPECT_TRUE((co_await send_frame(writer, frame)).ok());
  };
  using namespace asio::experimental::awaitable_operators;
  test::run_async(io, reader() && sender());
  ASSERT_EQ(received.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(received[i].kind, sent[i].kind);
    EXPECT_EQ(received[i].id, sent[i].id);
    EXPECT_EQ(received[i].payload, sent[i].payload);
  }
}

}  // namespace
}  // namespace quillmar
