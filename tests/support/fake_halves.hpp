// Stream halves with scripted behaviour, for the cases a real socket cannot be made to
// show on demand: reads that end or fail at an exact byte, writes that accept a few
// bytes, none, or fail, and writes that wait until the test lets them go.
#pragma once

#include <algorithm>
#include <asio/error.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "proto/frame.hpp"
#include "proto/stream_halves.hpp"

namespace quillmar::test {

inline std::vector<std::uint8_t> bytes_of(std::string_view text) {
  return {text.begin(), text.end()};
}

// One step of a read script: bytes to deliver (over as many reads as it takes), or an
// error to report once.
struct ReadStep {
  std::vector<std::uint8_t> bytes;
  std::error_code error;
};

// What a ScriptedReadHalf did, kept by the test after the half has been handed away.
struct ReadLog {
  std::mutex mutex;
  std::size_t reads = 0;      // read_some calls
  std::size_t delivered = 0;  // bytes handed out
};

// Plays its script, then reports the end of input (asio::error::eof). It says it
// buffers its input, as TLS does, when told so.
class ScriptedReadHalf final : public ReadHalf {
 public:
  ScriptedReadHalf(std::vector<ReadStep> steps,
                   std::shared_ptr<ReadLog> log = std::make_shared<ReadLog>(),
                   std::size_t max_per_read = std::numeric_limits<std::size_t>::max(),
                   bool buffers_input = false)
      : steps_(steps.begin(), steps.end()),
        log_(std::move(log)),
        max_per_read_(max_per_read),
        buffers_input_(buffers_input) {}

  bool buffers_input() const override { return buffers_input_; }

  asio::awaitable<IoCount> read_some(asio::mutable_buffer buffer) override {
    std::lock_guard lock(log_->mutex);
    ++log_->reads;
    while (!steps_.empty() && !steps_.front().error && steps_.front().bytes.empty())
      steps_.pop_front();
    if (steps_.empty()) co_return IoCount{asio::error::eof, 0};
    ReadStep& step = steps_.front();
    if (step.error) {
      IoCount failed{step.error, 0};
      steps_.pop_front();
      co_return failed;
    }
    std::size_t n = std::min({buffer.size(), step.bytes.size(), max_per_read_});
    std::copy_n(step.bytes.begin(), n, static_cast<std::uint8_t*>(buffer.data()));
    step.bytes.erase(step.bytes.begin(), step.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    log_->delivered += n;
    co_return IoCount{{}, n};
  }

 private:
  std::deque<ReadStep> steps_;
  std::shared_ptr<ReadLog> log_;
  std::size_t max_per_read_;
  bool buffers_input_;
};

// What a RecordingWriteHalf received.
struct WriteLog {
  std::mutex mutex;
  std::vector<std::uint8_t> bytes;
  std::vector<std::vector<std::size_t>> calls;  // piece sizes of each write_some
  std::size_t shutdowns = 0;
  bool released = false;

  std::vector<std::uint8_t> snapshot() {
    std::lock_guard lock(mutex);
    return bytes;
  }
  std::string text() {
    auto copy = snapshot();
    return {copy.begin(), copy.end()};
  }
};

// Lets held writes go; until then they wait (and can be cancelled).
class WriteGate {
 public:
  explicit WriteGate(asio::any_io_executor executor) : timer_(std::move(executor)) {
    timer_.expires_at(asio::steady_timer::time_point::max());
  }
  void open() {
    open_ = true;
    timer_.cancel();
  }
  bool is_open() const { return open_; }
  // True when the gate opened, false when the waiting write was cancelled.
  asio::awaitable<bool> pass() {
    while (!open_) {
      auto [ec] = co_await timer_.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
      if (ec && !open_) co_return false;
    }
    co_return true;
  }

 private:
  asio::steady_timer timer_;
  bool open_ = false;
};

struct WriteBehaviour {
  std::size_t max_per_write = std::numeric_limits<std::size_t>::max();
  std::size_t failing_writes = 0;  // this many writes fail with `failure`, after
  std::error_code failure = asio::error::broken_pipe;
  bool accept_nothing = false;                // every write accepts 0 bytes
  bool yield_each_write = false;              // let other tasks run inside every write
  std::shared_ptr<WriteGate> gate = nullptr;  // every write waits for it
  std::size_t passing_writes = 0;             // the first this many, which succeed
};

class RecordingWriteHalf final : public WriteHalf {
 public:
  explicit RecordingWriteHalf(std::shared_ptr<WriteLog> log, WriteBehaviour behaviour = {})
      : log_(std::move(log)), behaviour_(std::move(behaviour)) {}
  ~RecordingWriteHalf() override {
    std::lock_guard lock(log_->mutex);
    log_->released = true;
  }

  asio::awaitable<IoCount> write_some(std::span<const asio::const_buffer> pieces) override {
    if (behaviour_.gate) {
      bool passed = co_await behaviour_.gate->pass();
      if (!passed) co_return IoCount{asio::error::operation_aborted, 0};
    }
    if (behaviour_.yield_each_write) {
      co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    }
    std::lock_guard lock(log_->mutex);
    auto& sizes = log_->calls.emplace_back();
    for (const auto& piece : pieces) sizes.push_back(piece.size());
    if (behaviour_.passing_writes > 0) {
      --behaviour_.passing_writes;
    } else if (behaviour_.failing_writes > 0) {
      --behaviour_.failing_writes;
      co_return IoCount{behaviour_.failure, 0};
    }
    if (behaviour_.accept_nothing) co_return IoCount{{}, 0};
    std::size_t budget = behaviour_.max_per_write;
    std::size_t taken = 0;
    for (const auto& piece : pieces) {
      std::size_t n = std::min(budget - taken, piece.size());
      const auto* data = static_cast<const std::uint8_t*>(piece.data());
      log_->bytes.insert(log_->bytes.end(), data, data + n);
      taken += n;
    }
    co_return IoCount{{}, taken};
  }

  asio::awaitable<std::error_code> shutdown() override {
    std::lock_guard lock(log_->mutex);
    ++log_->shutdowns;
    co_return std::error_code{};
  }

 private:
  std::shared_ptr<WriteLog> log_;
  WriteBehaviour behaviour_;
};

// Cuts recorded bytes back into frames; fails the parse (nullopt) on a torn frame.
inline std::optional<std::vector<Frame>> parse_frames(const std::vector<std::uint8_t>& bytes) {
  std::vector<Frame> frames;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < FRAME_HEADER_LEN) return std::nullopt;
    const std::uint8_t* h = &bytes[at];
    std::uint32_t id = (std::uint32_t{h[1]} << 24) | (std::uint32_t{h[2]} << 16) |
                       (std::uint32_t{h[3]} << 8) | h[4];
    std::size_t length =
        (std::size_t{h[5]} << 24) | (std::size_t{h[6]} << 16) | (std::size_t{h[7]} << 8) | h[8];
    if (bytes.size() - at - FRAME_HEADER_LEN < length) return std::nullopt;
    auto payload_start = bytes.begin() + static_cast<std::ptrdiff_t>(at + FRAME_HEADER_LEN);
    frames.push_back(
        Frame{{payload_start, payload_start + static_cast<std::ptrdiff_t>(length)}, id, h[0]});
    at += FRAME_HEADER_LEN + length;
  }
  return frames;
}

}  // namespace quillmar::test
