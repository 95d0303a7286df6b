// The frames from the device for one visitor, on their way from the session's frame loop
// to the visitor's writer. Both ends live on the core's strand, so a wait costs no post
// and no allocation, and a wake resumes the waiting side in place.
//
// It closes the way the program's queues do: once every sender is gone the receiver gets
// the frames queued and then the end; once the receiver is gone every send fails and its
// frame is dropped. The senders are copies held by the stream table and the frame loop;
// one send at a time waits for room (the frame loop handles one frame at a time).
#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "proto/frame.hpp"
#include "proto/local_wait.hpp"

namespace quillmar::devgw {
namespace visitor_queue_detail {

struct State {
  explicit State(std::size_t limit) : capacity(limit) {}
  std::deque<Frame> frames;
  std::size_t capacity;
  std::size_t senders = 0;
  bool receiver_gone = false;
  LocalWait arrived;  // the receiver waits here for a frame or the end
  LocalWait room;     // the waiting send waits here for room or the receiver's end
};

}  // namespace visitor_queue_detail

class FrameSender {
 public:
  explicit FrameSender(std::shared_ptr<visitor_queue_detail::State> state)
      : state_(std::move(state)) {
    ++state_->senders;
  }
  FrameSender(const FrameSender& other) : FrameSender(other.state_) {}
  FrameSender(FrameSender&& other) noexcept = default;
  FrameSender& operator=(FrameSender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~FrameSender() {
    if (state_ && --state_->senders == 0) state_->arrived.wake();
  }

  // Waits while the queue is full. False (frame dropped) once the receiver is gone.
  asio::awaitable<bool> send(Frame frame) {
    auto& state = *state_;
    while (!state.receiver_gone && state.frames.size() >= state.capacity) {
      co_await state.room.wait();  // nothing cancels it: woken by a receive or the end
    }
    if (state.receiver_gone) co_return false;
    state.frames.push_back(std::move(frame));
    state.arrived.wake();
    co_return true;
  }

 private:
  std::shared_ptr<visitor_queue_detail::State> state_;
};

class FrameReceiver {
 public:
  explicit FrameReceiver(std::shared_ptr<visitor_queue_detail::State> state)
      : state_(std::move(state)) {}
  FrameReceiver(FrameReceiver&& other) noexcept = default;
  FrameReceiver& operator=(FrameReceiver&&) = delete;
  ~FrameReceiver() {
    if (!state_) return;
    state_->receiver_gone = true;
    state_->frames.clear();
    state_->room.wake();
  }

  // The next frame, or nothing once every sender is gone and the queue is empty.
  asio::awaitable<std::optional<Frame>> receive() {
    auto& state = *state_;
    while (state.frames.empty() && state.senders > 0) {
      co_await state.arrived.wait();  // nothing cancels it: woken by a send or the end
    }
    co_return try_receive();
  }

  // The next frame if one is queued.
  std::optional<Frame> try_receive() {
    auto& state = *state_;
    if (state.frames.empty()) return std::nullopt;
    std::optional<Frame> frame(std::move(state.frames.front()));
    state.frames.pop_front();
    state.room.wake();
    return frame;
  }

 private:
  std::shared_ptr<visitor_queue_detail::State> state_;
};

inline std::pair<FrameSender, FrameReceiver> make_visitor_queue(std::size_t capacity) {
  auto state = std::make_shared<visitor_queue_detail::State>(capacity);
  return {FrameSender(state), FrameReceiver(state)};
}

}  // namespace quillmar::devgw
