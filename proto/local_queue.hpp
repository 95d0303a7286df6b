// A bounded queue between coroutines of one thread: the frames the session hands one
// visitor stream. Bounded by items and by bytes, so that a stream whose local service
// stops reading holds at most a few frames' worth of memory.
//
// It closes like async_queue: when every sender is gone the receiver still gets the
// items already queued and then the end (nullopt); when the receiver is gone every put
// fails and drops its item. Waits resume in place (LocalWait); no lock, no allocation
// per wait.
#pragma once

#include <asio/awaitable.hpp>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <utility>

#include "proto/local_wait.hpp"

namespace quillmar {

struct QueueLimits {
  std::size_t items = 0;
  std::size_t bytes = 0;  // one item larger than this still fits into an empty queue
};

namespace local_queue_detail {

// A put waiting for room, linked into its queue's list of waiting puts, oldest first.
struct SendWaiter {
  LocalWait wait;
  SendWaiter* next = nullptr;
  bool listed = false;
};

template <class T, class Size>
class State {
 public:
  explicit State(QueueLimits limits) : limits_(limits) {}

  void add_sender() { ++senders_; }
  void remove_sender() {
    if (--senders_ == 0) receiver_wait_.wake();
  }
  // Every waiting put learns at once that its item is refused.
  void remove_receiver() {
    receiver_gone_ = true;
    std::deque<T>().swap(items_);
    bytes_ = 0;
    SendWaiter* waiter = std::exchange(first_waiter_, nullptr);
    last_waiter_ = nullptr;
    while (waiter) {
      SendWaiter* next = std::exchange(waiter->next, nullptr);
      waiter->listed = false;
      waiter->wait.wake();
      waiter = next;
    }
  }

  bool receiver_gone() const { return receiver_gone_; }
  bool has_room_for(const T& item) const {
    if (items_.size() >= limits_.items) return false;
    return items_.empty() || bytes_ + Size{}(item) <= limits_.bytes;
  }
  void push(T item) {
    bytes_ += Size{}(item);
    items_.push_back(std::move(item));
    receiver_wait_.wake();
  }

  enum class Take { item, closed, empty };
  Take take(std::optional<T>& out) {
    if (items_.empty()) return senders_ == 0 ? Take::closed : Take::empty;
    bytes_ -= Size{}(items_.front());
    out.emplace(std::move(items_.front()));
    items_.pop_front();
    wake_first_sender();
    return Take::item;
  }

  LocalWait& receiver_wait() { return receiver_wait_; }

  void add_send_waiter(SendWaiter* waiter) {
    waiter->listed = true;
    if (last_waiter_) {
      last_waiter_->next = waiter;
    } else {
      first_waiter_ = waiter;
    }
    last_waiter_ = waiter;
  }
  void remove_send_waiter(SendWaiter* waiter) {
    if (!waiter->listed) return;
    SendWaiter* before = nullptr;
    for (SendWaiter* at = first_waiter_; at != waiter; at = at->next) before = at;
    (before ? before->next : first_waiter_) = waiter->next;
    if (last_waiter_ == waiter) last_waiter_ = before;
    waiter->next = nullptr;
    waiter->listed = false;
  }
  // The oldest waiting put looks again; it takes itself out of the list when it runs.
  void wake_first_sender() {
    if (first_waiter_) first_waiter_->wait.wake();
  }

  std::size_t size() const { return items_.size(); }
  std::size_t bytes() const { return bytes_; }

 private:
  QueueLimits limits_;
  std::deque<T> items_;
  std::size_t bytes_ = 0;
  std::size_t senders_ = 0;
  bool receiver_gone_ = false;
  LocalWait receiver_wait_;
  SendWaiter* first_waiter_ = nullptr;
  SendWaiter* last_waiter_ = nullptr;
};

}  // namespace local_queue_detail

template <class T, class Size>
class LocalSender {
 public:
  using State = local_queue_detail::State<T, Size>;
  explicit LocalSender(std::shared_ptr<State> state) : state_(std::move(state)) {
    state_->add_sender();
  }
  LocalSender(const LocalSender& other) : LocalSender(other.state_) {}
  LocalSender(LocalSender&& other) noexcept = default;
  LocalSender& operator=(LocalSender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~LocalSender() {
    if (state_) state_->remove_sender();
  }

  // True when a send of the item would wait for room now.
  bool would_wait(const T& item) const {
    return !state_->receiver_gone() && !state_->has_room_for(item);
  }

  // Puts the item when there is room, never waiting; false (item dropped) otherwise.
  bool try_send(T item) {
    if (state_->receiver_gone() || !state_->has_room_for(item)) return false;
    state_->push(std::move(item));
    return true;
  }

  // Waits while the queue is full. False, with the item dropped, when the receiver is
  // gone (also when it goes while this put waits) or the put was cancelled.
  asio::awaitable<bool> send(T item) {
    for (;;) {
      if (state_->receiver_gone()) co_return false;
      if (state_->has_room_for(item)) {
        state_->push(std::move(item));
        co_return true;
      }
      local_queue_detail::SendWaiter room;
      state_->add_send_waiter(&room);
      bool woken = co_await room.wait.wait();
      state_->remove_send_waiter(&room);
      if (!woken) {
        // A wake meant for this put goes to the next one.
        state_->wake_first_sender();
        co_return false;
      }
    }
  }

 private:
  std::shared_ptr<State> state_;
};

template <class T, class Size>
class LocalReceiver {
 public:
  using State = local_queue_detail::State<T, Size>;
  explicit LocalReceiver(std::shared_ptr<State> state) : state_(std::move(state)) {}
  LocalReceiver(LocalReceiver&&) noexcept = default;
  LocalReceiver& operator=(LocalReceiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~LocalReceiver() { release(); }

  // The next item; nullopt once every sender is gone and the queue is empty, or when
  // the wait was cancelled.
  asio::awaitable<std::optional<T>> receive() {
    for (;;) {
      std::optional<T> item;
      switch (state_->take(item)) {
        case State::Take::item:
          co_return item;
        case State::Take::closed:
          co_return std::nullopt;
        case State::Take::empty:
          break;
      }
      bool woken = state_->receiver_wait().take_wake();
      if (!woken) woken = co_await state_->receiver_wait().suspend();
      if (!woken) co_return std::nullopt;
    }
  }

  // Woken when an item arrives or the last sender goes, for a receiver that waits itself
  // between try_receive() calls (receive() without a coroutine of its own).
  LocalWait& arrival() { return state_->receiver_wait(); }

  // An item when one is queued; closed tells whether the queue has ended.
  std::optional<T> try_receive(bool* closed = nullptr) {
    std::optional<T> item;
    auto outcome = state_->take(item);
    if (closed) *closed = outcome == State::Take::closed;
    return item;
  }

  std::size_t size() const { return state_->size(); }
  std::size_t bytes() const { return state_->bytes(); }

 private:
  void release() {
    if (state_) state_->remove_receiver();
    state_.reset();
  }
  std::shared_ptr<State> state_;
};

template <class T, class Size>
std::pair<LocalSender<T, Size>, LocalReceiver<T, Size>> make_local_queue(QueueLimits limits) {
  auto state = std::make_shared<local_queue_detail::State<T, Size>>(limits);
  return {LocalSender<T, Size>(state), LocalReceiver<T, Size>(state)};
}

}  // namespace quillmar
