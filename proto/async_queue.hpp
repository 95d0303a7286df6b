// A multi-producer, single-consumer queue for coroutines, bounded or unbounded.
//
// It closes the way the program relies on: when every Sender is gone the Receiver
// still gets the items already queued and then the end (nullopt); when the Receiver is
// gone every send fails and its item is dropped. A waiting send or receive yields its
// thread; cancelling one loses no item.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "proto/context_shutdown.hpp"

namespace quillmar {

namespace queue_detail {

// One waiting coroutine: a one-slot channel that the other side signals, left alone
// once the waiter's context shuts down.
struct Waker {
  explicit Waker(const asio::any_io_executor& executor)
      : channel(executor, 1), stopping(shutdown_flag(executor)) {}

  asio::experimental::concurrent_channel<void(std::error_code, bool)> channel;
  ShutdownFlag stopping;
};

inline std::shared_ptr<Waker> make_waker(const asio::any_io_executor& executor) {
  return std::make_shared<Waker>(executor);
}

inline void wake(const std::shared_ptr<Waker>& waker) {
  if (waker && !shutting_down(waker->stopping)) waker->channel.try_send(std::error_code{}, true);
}

// Suspends until woken; rethrows cancellation so the caller's own cancellation holds.
inline asio::awaitable<void> sleep_until_woken(std::shared_ptr<Waker> waker) {
  auto [ec, unused] =
      co_await waker->channel.async_receive(asio::experimental::as_tuple(asio::use_awaitable));
  if (ec) throw std::system_error(ec);
}

template <class T>
class State {
 public:
  explicit State(std::size_t capacity) : capacity_(capacity) {}

  void add_sender() {
    std::lock_guard lock(mutex_);
    ++senders_;
  }

  void remove_sender() {
    std::shared_ptr<Waker> receiver;
    std::function<void()> hook;
    {
      std::lock_guard lock(mutex_);
      if (--senders_ == 0) {
        receiver = std::move(receiver_waiter_);
        hook = on_arrival_;
      }
    }
    wake(receiver);
    if (hook) hook();
  }

  void set_on_arrival(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    on_arrival_ = std::move(hook);
  }

  void remove_receiver() {
    std::vector<std::shared_ptr<Waker>> senders;
    std::deque<T> dropped;
    {
      std::lock_guard lock(mutex_);
      receiver_gone_ = true;
      dropped.swap(items_);
      senders.swap(send_waiters_);
    }
    for (auto& waker : senders) wake(waker);
  }

  // Puts the item when there is room; otherwise registers waker and keeps the item.
  enum class Put { done, refused, full };
  Put try_put(T& item, const std::shared_ptr<Waker>& waker) {
    std::shared_ptr<Waker> receiver;
    std::function<void()> hook;
    {
      std::lock_guard lock(mutex_);
      if (receiver_gone_) return Put::refused;
      if (capacity_ != 0 && items_.size() >= capacity_) {
        if (waker) send_waiters_.push_back(waker);
        return Put::full;
      }
      items_.push_back(std::move(item));
      receiver = std::move(receiver_waiter_);
      hook = on_arrival_;
    }
    wake(receiver);
    if (hook) hook();
    return Put::done;
  }

  enum class Take { item, closed, empty };
  Take try_take(std::optional<T>& out, const std::shared_ptr<Waker>& waker) {
    std::vector<std::shared_ptr<Waker>> senders;
    {
      std::lock_guard lock(mutex_);
      if (items_.empty()) {
        if (senders_ == 0) return Take::closed;
        if (waker) receiver_waiter_ = waker;
        return Take::empty;
      }
      out.emplace(std::move(items_.front()));
      items_.pop_front();
      senders.swap(send_waiters_);
    }
    // Every waiting sender retries; a cancelled one cannot swallow the room.
    for (auto& w : senders) wake(w);
    return Take::item;
  }

  void forget(const std::shared_ptr<Waker>& waker) {
    std::lock_guard lock(mutex_);
    if (receiver_waiter_ == waker) receiver_waiter_.reset();
    std::erase(send_waiters_, waker);
  }

  std::size_t size() {
    std::lock_guard lock(mutex_);
    return items_.size();
  }

 private:
  std::mutex mutex_;
  std::deque<T> items_;
  std::size_t capacity_;
  std::size_t senders_ = 0;
  bool receiver_gone_ = false;
  std::shared_ptr<Waker> receiver_waiter_;
  std::vector<std::shared_ptr<Waker>> send_waiters_;
  std::function<void()> on_arrival_;
};

// Removes the waker from the queue when the wait ends in any way.
template <class T>
struct WaiterGuard {
  State<T>& state;
  std::shared_ptr<Waker> waker;
  ~WaiterGuard() { state.forget(waker); }
};

}  // namespace queue_detail

template <class T>
class Sender {
 public:
  explicit Sender(std::shared_ptr<queue_detail::State<T>> state) : state_(std::move(state)) {
    state_->add_sender();
  }
  Sender(const Sender& other) : Sender(other.state_) {}
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(Sender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~Sender() {
    if (state_) state_->remove_sender();
  }

  // Waits while the queue is full. False (item dropped) when the receiver is gone.
  asio::awaitable<bool> send(T item) {
    using Put = typename queue_detail::State<T>::Put;
    switch (state_->try_put(item, nullptr)) {
      case Put::done:
        co_return true;
      case Put::refused:
        co_return false;
      case Put::full:
        break;
    }
    for (;;) {
      auto waker = queue_detail::make_waker(co_await asio::this_coro::executor);
      queue_detail::WaiterGuard<T> guard{*state_, waker};
      switch (state_->try_put(item, waker)) {
        case Put::done:
          co_return true;
        case Put::refused:
          co_return false;
        case Put::full:
          co_await queue_detail::sleep_until_woken(waker);
      }
    }
  }

  // Never waits; for unbounded queues (and full bounded ones it refuses).
  bool try_send(T item) {
    return state_->try_put(item, nullptr) == queue_detail::State<T>::Put::done;
  }

 private:
  std::shared_ptr<queue_detail::State<T>> state_;
};

template <class T>
class Receiver {
 public:
  explicit Receiver(std::shared_ptr<queue_detail::State<T>> state) : state_(std::move(state)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Receiver() { release(); }

  // The next item, or nullopt once every sender is gone and the queue is empty.
  asio::awaitable<std::optional<T>> receive() {
    using Take = typename queue_detail::State<T>::Take;
    {
      std::optional<T> item;
      switch (state_->try_take(item, nullptr)) {
        case Take::item:
          co_return item;
        case Take::closed:
          co_return std::nullopt;
        case Take::empty:
          break;
      }
    }
    for (;;) {
      auto waker = queue_detail::make_waker(co_await asio::this_coro::executor);
      queue_detail::WaiterGuard<T> guard{*state_, waker};
      std::optional<T> item;
      switch (state_->try_take(item, waker)) {
        case Take::item:
          co_return item;
        case Take::closed:
          co_return std::nullopt;
        case Take::empty:
          co_await queue_detail::sleep_until_woken(waker);
      }
    }
  }

  // An item when one is queued; closed tells whether the queue has ended.
  std::optional<T> try_receive(bool* closed = nullptr) {
    std::optional<T> item;
    auto outcome = state_->try_take(item, nullptr);
    if (closed) *closed = outcome == queue_detail::State<T>::Take::closed;
    return item;
  }

  std::size_t size() const { return state_->size(); }

  // Called on the sender's thread after each item is queued and when the last sender
  // goes, for a receiver that polls with try_receive instead of waiting; an empty
  // function removes it. It must not call back into this queue.
  void on_arrival(std::function<void()> hook) { state_->set_on_arrival(std::move(hook)); }

 private:
  void release() {
    if (state_) state_->remove_receiver();
    state_.reset();
  }
  std::shared_ptr<queue_detail::State<T>> state_;
};

// capacity 0 makes the queue unbounded.
template <class T>
std::pair<Sender<T>, Receiver<T>> make_queue(std::size_t capacity) {
  auto state = std::make_shared<queue_detail::State<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

// A message without content: a signal on the reload and exit channels.
struct Signal {};

}  // namespace quillmar
