// The control connection's frames: a 9-byte header (kind, stream id, payload length,
// big-endian) and the payload. The kind table lives here and nowhere else.
#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "proto/result.hpp"
#include "proto/stream_halves.hpp"

namespace quillmar {

inline constexpr std::size_t FRAME_HEADER_LEN = 9;
inline constexpr std::size_t MAX_FRAME_LEN = 0xFFFFF;  // 1,048,575: 20 bits

// Frame kinds, with who sends them.
inline constexpr std::uint8_t KIND_HELLO = 1;          // client: name, ports, token
inline constexpr std::uint8_t KIND_WELCOME = 2;        // gateway: "|key=value" fields
inline constexpr std::uint8_t KIND_INVITE = 3;         // client: invite code, when set
inline constexpr std::uint8_t KIND_ACCESS = 4;         // client: access list, always
inline constexpr std::uint8_t KIND_ACCOUNT = 5;        // gateway: "v1|…" account line
inline constexpr std::uint8_t KIND_OPEN = 16;          // gateway: port "\n" first bytes
inline constexpr std::uint8_t KIND_DATA = 17;          // both: bytes; empty ends a direction
inline constexpr std::uint8_t KIND_CLOSE = 18;         // both: the stream is over
inline constexpr std::uint8_t KIND_HALF_CLOSE = 19;    // gateway: shut the local send side
inline constexpr std::uint8_t KIND_HEARTBEAT = 32;     // client: every 25 s
inline constexpr std::uint8_t KIND_PUNCH_OFFER = 33;   // client: direct-connection offer
inline constexpr std::uint8_t KIND_PUNCH_STATUS = 34;  // gateway: direct-connection status
inline constexpr std::uint8_t KIND_PUNCH_RESULT = 35;  // client: direct-connection result
inline constexpr std::uint8_t KIND_ERROR = 48;         // both: refusal, notice or stream end

struct Frame {
  std::vector<std::uint8_t> payload;
  std::uint32_t id = 0;
  std::uint8_t kind = 0;
};

// Copies the bytes into a new payload.
Frame new_frame(std::uint8_t kind, std::uint32_t id, std::span<const std::uint8_t> bytes);

// One frame, or nullopt when the connection ended cleanly between frames or inside a
// header. A caller must let a started read finish: abandoning it loses the boundary.
asio::awaitable<Result<std::optional<Frame>>> read_frame(ReadHalf& half);

// Bytes asked of the connection per read by FrameReader.
inline constexpr std::size_t FRAME_READ_CHUNK = 256 * 1024;
// The same for a half that buffers its input itself (TLS): enough for the headers and
// payloads of many small frames at once, little of a large payload.
inline constexpr std::size_t FRAME_READ_AHEAD = 4 * 1024;

// The frame loop's reader: the same frames and endings as read_frame, but each read of
// the connection asks for FRAME_READ_CHUNK bytes, and the frames are cut out of what
// arrived, so one read may yield many frames. Bytes that arrived after a frame wait
// here for the next call. A half that buffers its input itself (TLS) is read
// FRAME_READ_AHEAD bytes at a time, and the rest of a payload beyond them straight into
// its frame. Like read_frame, a started call must be let finish.
class FrameReader {
 public:
  explicit FrameReader(std::unique_ptr<ReadHalf> half);
  asio::awaitable<Result<std::optional<Frame>>> next();

 private:
  enum class Fill { more, ended, failed };
  asio::awaitable<Fill> read_more(std::error_code& error);
  std::size_t buffered() const { return end_ - start_; }
  const std::uint8_t* data() const { return buffer_.get() + start_; }

  std::unique_ptr<ReadHalf> half_;
  std::size_t chunk_;  // bytes asked per read, and the buffer's size
  // Made at the first read; not zero-filled: only read bytes are used.
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

// The header bytes of a frame of that kind, id and payload length.
std::array<std::uint8_t, FRAME_HEADER_LEN> encode_header(std::uint8_t kind, std::uint32_t id,
                                                         std::size_t length);

}  // namespace quillmar
