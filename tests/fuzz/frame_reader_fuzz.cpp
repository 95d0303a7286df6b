// The frame reader over a byte stream cut into reads of a chosen size: every frame it
// returns is exactly the next header and payload of the stream, and it stops the way
// the rest of the stream says (a clean end inside or between headers, "frame too
// large" for a length above the limit, "early eof" inside a payload, a read error
// unchanged).
#include <asio/error.hpp>
#include <vector>

#include "fake_halves.hpp"
#include "fuzz_async.hpp"
#include "proto/frame.hpp"

namespace quillmar::fuzz {
namespace {

struct Outcome {
  std::vector<Frame> frames;
  Result<std::optional<Frame>> last;
};

asio::awaitable<Outcome> read_all(ReadHalf& half) {
  Outcome outcome;
  for (;;) {
    auto read = co_await read_frame(half);
    if (!read || !read.value()) {
      outcome.last = std::move(read);
      co_return outcome;
    }
    outcome.frames.push_back(std::move(*read.value()));
  }
}

std::uint32_t be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void frame_reader(Input input) {
  InputReader reader(input);
  const std::uint8_t steer = reader.byte();
  // Low four bits: the most bytes one read delivers (0: no limit); bit 4: the stream
  // ends with a reset connection instead of a clean end.
  const std::size_t per_read = (steer & 0x0F) == 0 ? SIZE_MAX : (steer & 0x0F);
  const bool ends_with_error = (steer & 0x10) != 0;
  const Input stream = reader.rest();

  std::vector<test::ReadStep> steps{{{stream.begin(), stream.end()}, {}}};
  if (ends_with_error) steps.push_back({{}, asio::error::connection_reset});
  test::ScriptedReadHalf half(std::move(steps), std::make_shared<test::ReadLog>(), per_read);
  Outcome outcome = run_to_end(read_all(half));

  std::size_t at = 0;
  for (const Frame& frame : outcome.frames) {
    require(stream.size() - at >= FRAME_HEADER_LEN, "a frame from less than a header");
    const std::uint8_t* header = stream.data() + at;
    const std::uint32_t length = be32(header + 5);
    require(length <= MAX_FRAME_LEN, "a frame above the limit was returned");
    require(frame.kind == header[0] && frame.id == be32(header + 1), "kind or id changed");
    require(frame.payload.size() == length, "payload length differs from the header's");
    require(stream.size() - at - FRAME_HEADER_LEN >= length, "payload longer than the stream");
    require(std::equal(frame.payload.begin(), frame.payload.end(), header + FRAME_HEADER_LEN),
            "payload bytes changed");
    at += FRAME_HEADER_LEN + length;
  }

  const std::size_t left = stream.size() - at;
  if (outcome.last) {
    require(!ends_with_error, "a read error was taken for a clean end");
    require(left < FRAME_HEADER_LEN, "a clean end with a whole header left unread");
    return;
  }
  const IoError& error = outcome.last.error();
  if (left < FRAME_HEADER_LEN) {
    require(ends_with_error && error.kind == ErrorKind::ConnectionReset,
            "an error inside a header that the stream did not report: " + error.display());
    return;
  }
  const std::uint32_t length = be32(stream.data() + at + 5);
  if (length > MAX_FRAME_LEN) {
    require(error.kind == ErrorKind::InvalidData && error.message == "frame too large",
            "a length above the limit gave " + error.display());
    return;
  }
  require(left - FRAME_HEADER_LEN < length, "an error with the whole payload in the stream");
  if (ends_with_error) {
    require(error.kind == ErrorKind::ConnectionReset, "the read error was changed");
  } else {
    require(error.kind == ErrorKind::UnexpectedEof && error.message == "early eof",
            "an end inside a payload gave " + error.display());
  }
}

}  // namespace
}  // namespace quillmar::fuzz

QUILLMAR_FUZZ_TARGET(frame_reader, quillmar::fuzz::frame_reader)
