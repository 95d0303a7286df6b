#include "proto/relay.hpp"

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <optional>
#include <span>

namespace quillmar {
namespace {

bool stopped(const asio::cancellation_state& state) {
  return state.cancelled() != asio::cancellation_type::none;
}

enum class Next { wait, end };

// What one frame of the gateway other than a payload does to the local connection.
asio::awaitable<Next> deliver(WriteHalf& half, const Frame& frame) {
  switch (frame.kind) {
    case KIND_DATA:                    // empty: the end of the gateway's data
      (void)co_await half.shutdown();  // the task ends either way
      co_return Next::end;
    case KIND_HALF_CLOSE:
      // A failed shutdown is left alone: a later payload then fails to write and
      // ends the task.
      (void)co_await half.shutdown();
      co_return Next::wait;
    case KIND_CLOSE:
    case KIND_ERROR:
      co_return Next::end;
    default:
      co_return Next::wait;  // nothing the local side has to know about
  }
}

// A large payload most often comes with others the session took from the same read of
// the gateway. The writer takes every payload queued behind it and writes them
// together: one system call, and one wake-up of the local service, instead of one each.
constexpr std::size_t GATHER_FROM = 16 * 1024;
constexpr std::size_t GATHER_MOST = 32;  // payloads in one write

// The first payload and those queued right behind it. The first queued frame that is
// not a payload stops the run and is kept in `next`, to be delivered after it.
std::vector<Frame> gather(Frame first, FrameReceiver& queue, std::optional<Frame>& next) {
  std::vector<Frame> run;
  run.push_back(std::move(first));
  while (run.size() < GATHER_MOST) {
    std::optional<Frame> more = queue.try_receive();
    if (!more) break;
    if (more->kind != KIND_DATA || more->payload.empty()) {
      next = std::move(more);
      break;
    }
    run.push_back(std::move(*more));
  }
  return run;
}

// Writes the payloads in one gathered write; the error of the write that failed.
asio::awaitable<std::error_code> write_payloads(WriteHalf& half, const std::vector<Frame>& run) {
  std::vector<asio::const_buffer> pieces;
  pieces.reserve(run.size());
  for (const Frame& frame : run) pieces.push_back(asio::buffer(frame.payload));
  co_return co_await write_all(half, pieces);
}

}  // namespace

asio::awaitable<void> copy_one_way(std::unique_ptr<ReadHalf> source,
                                   std::unique_ptr<WriteHalf> destination) {
  try {
    std::vector<std::uint8_t> buffer(COPY_BUFFER_LEN);
    for (;;) {
      auto [ec, n] = co_await source->read_some(asio::buffer(buffer));
      if (ec || n == 0) break;
      std::error_code failed = co_await write_all(*destination, std::span(buffer.data(), n));
      if (failed) break;
    }
    auto cancellation = co_await asio::this_coro::cancellation_state;
    if (stopped(cancellation)) co_return;
    // A failed shutdown changes nothing: this direction is over either way.
    (void)co_await destination->shutdown();
  } catch (...) {
    // A cancelled wait throws operation_aborted; any other failure ends only this
    // direction, like an I/O error. The halves are released with the frame.
  }
}

asio::awaitable<void> pipe_streams(SplitStream a, SplitStream b) {
  using namespace asio::experimental::awaitable_operators;
  try {
    // Neither side throws, so `&&` waits for both; cancelling it cancels both.
    co_await (copy_one_way(std::move(a.read), std::move(b.write)) &&
              copy_one_way(std::move(b.read), std::move(a.write)));
  } catch (...) {
    // Only a call cancelled before it started gets here; the unstarted copies have
    // released their halves already.
  }
}

asio::awaitable<void> run_stream_writer(std::vector<std::uint8_t> first_bytes,
                                        std::unique_ptr<WriteHalf> half, FrameReceiver queue) {
  try {
    auto executor = co_await asio::this_coro::executor;
    bool open = true;
    if (!first_bytes.empty()) {
      std::error_code failed = co_await write_all(*half, first_bytes);
      open = !failed;
    }
    std::vector<std::uint8_t>().swap(first_bytes);
    std::optional<Frame> next;  // taken from the queue while gathering, not yet delivered
    while (open) {
      std::optional<Frame> frame = std::move(next);
      next.reset();
      bool ended = false;
      if (!frame) frame = queue.try_receive(&ended);
      if (!frame && !ended) {
        // Nothing queued: wait here for the next frame (no coroutine per wait), then look.
        bool woken = queue.arrival().take_wake();
        if (!woken) woken = co_await queue.arrival().suspend();
        if (woken) continue;
      }
      auto cancellation = co_await asio::this_coro::cancellation_state;
      if (stopped(cancellation)) break;  // aborted: the release below does the rest
      if (!frame) {
        (void)co_await half->shutdown();  // the task ends either way
        break;
      }
      if (frame->kind == KIND_DATA && frame->payload.size() >= GATHER_FROM) {
        // Lets the session put the frames that came in the same read first.
        co_await asio::post(executor, asio::use_awaitable);
        std::vector<Frame> run = gather(std::move(*frame), queue, next);
        std::error_code failed = co_await write_payloads(*half, run);
        open = !failed;
        continue;
      }
      if (frame->kind == KIND_DATA && !frame->payload.empty()) {
        std::error_code failed = co_await write_all(*half, frame->payload);
        open = !failed;
        continue;
      }
      Next after = co_await deliver(*half, *frame);
      open = after == Next::wait;
    }
  } catch (...) {
    // The stream task aborting its writer: the cancelled wait throws. What remains is
    // the release below, the same as on every other way out.
  }
  // Releasing the write half shuts the sending side down unless a shutdown already
  // succeeded; dropping the receiver makes the session's further puts fail.
  half.reset();
  { FrameReceiver closing = std::move(queue); }
}

}  // namespace quillmar
