// A coroutine waiting for an event that code on its own thread raises: the queues and the
// writer mutex of one session, whose tasks all run on one thread. Waking resumes the
// waiting coroutine in place, inside the wake() call; nothing is posted, nothing is
// allocated, nothing throws. Not for waits that another thread ends (use async_queue).
//
// Lifetime: a waiter still suspended when its execution context shuts down is destroyed
// with the context's other pending work, and a wake() from then on destroys instead of
// resuming.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/execution_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>

namespace quillmar {

class LocalWait;

namespace local_wait_detail {

// Per context: the waiters that hold a suspended coroutine, so that the context's
// shutdown can destroy them (nothing else owns a suspended coroutine).
class Registry : public asio::execution_context::service {
 public:
  using key_type = Registry;
  static inline asio::execution_context::id id;
  explicit Registry(asio::execution_context& context) : service(context) {}

  void add(LocalWait* waiter);
  void remove(LocalWait* waiter);
  // Read on every wake: a flag of its own, so that a wake takes no lock.
  bool shutting_down() const { return shutting_down_.load(std::memory_order_acquire); }

 private:
  void shutdown() override;

  // Strands of one context may wait on several threads. Every wait takes it twice and
  // holds it for a few pointer moves, so a spin lock: a mutex cost more than the list.
  class SpinLock {
   public:
    void lock() {
      while (held_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    void unlock() { held_.clear(std::memory_order_release); }

   private:
    std::atomic_flag held_;
  };
  SpinLock lock_;
  LocalWait* first_ = nullptr;
  std::atomic<bool> shutting_down_ = false;
};

}  // namespace local_wait_detail

class LocalWait {
 public:
  LocalWait() = default;
  LocalWait(const LocalWait&) = delete;
  LocalWait& operator=(const LocalWait&) = delete;
  ~LocalWait() { discard(); }

  // Suspends until wake(); returns at once when a wake() came since the last wait.
  // False when the wait was cancelled (the coroutine is then resumed through its
  // executor, never inside the canceller).
  asio::awaitable<bool> wait() {
    if (take_wake()) co_return true;
    bool woken = co_await suspend();
    co_return woken;
  }

  // The two steps of wait(), for the waits of a session's hot path, which then cost no
  // coroutine of their own: true when a wake() came since the last wait, and otherwise
  // suspend() until the next one.
  bool take_wake() { return std::exchange(woken_, false); }
  asio::awaitable<bool> suspend() {
    return asio::async_initiate<decltype(asio::use_awaitable), void(bool)>(
        [this](auto handler) { hold(std::move(handler)); }, asio::use_awaitable);
  }

  bool waiting() const { return handler_.complete != nullptr; }

  // Resumes the waiting coroutine now, or lets its next wait() return at once.
  void wake() {
    if (!waiting()) {
      woken_ = true;
      return;
    }
    if (registry_->shutting_down()) {
      discard();
      return;
    }
    complete(true);
  }

 private:
  friend class local_wait_detail::Registry;

  // The suspended coroutine's handler, kept in place: small enough for every handler
  // of an awaitable, checked at compile time.
  struct Stored {
    alignas(std::max_align_t) unsigned char bytes[64];
    void (*complete)(Stored&, bool) = nullptr;  // moves the handler out, then calls it
    void (*destroy)(Stored&) = nullptr;         // moves the handler out, then drops it
    void (*post_cancelled)(Stored&) = nullptr;  // moves the handler out to its executor
  };

  template <class Handler>
  void hold(Handler handler) {
    static_assert(sizeof(Handler) <= sizeof(Stored::bytes));
    static_assert(alignof(Handler) <= alignof(std::max_align_t));
    auto slot = asio::get_associated_cancellation_slot(handler);
    auto& context = asio::query(asio::get_associated_executor(handler), asio::execution::context);
    registry_ = &asio::use_service<local_wait_detail::Registry>(context);
    new (handler_.bytes) Handler(std::move(handler));
    handler_.complete = [](Stored& stored, bool woken) {
      Handler* held = std::launder(reinterpret_cast<Handler*>(stored.bytes));
      Handler taken(std::move(*held));
      held->~Handler();
      std::move(taken)(woken);
    };
    handler_.destroy = [](Stored& stored) {
      Handler* held = std::launder(reinterpret_cast<Handler*>(stored.bytes));
      Handler taken(std::move(*held));
      held->~Handler();
    };
    handler_.post_cancelled = [](Stored& stored) {
      Handler* held = std::launder(reinterpret_cast<Handler*>(stored.bytes));
      Handler taken(std::move(*held));
      held->~Handler();
      auto executor = asio::get_associated_executor(taken);
      asio::post(executor, [taken = std::move(taken)]() mutable { std::move(taken)(false); });
    };
    registry_->add(this);
    if (slot.is_connected()) {
      slot.assign([this](asio::cancellation_type) { cancel(); });
    }
  }

  // Each of these forgets the handler before calling into it: whatever the handler runs
  // may use this waiter again.
  using Action = void (*)(Stored&);
  Action release() {
    registry_->remove(this);
    handler_.complete = nullptr;
    return std::exchange(handler_.destroy, nullptr);
  }

  void complete(bool woken) {
    auto call = handler_.complete;
    release();
    call(handler_, woken);
  }

  void discard() {
    if (!waiting()) return;
    release()(handler_);
  }

  // Resumed through the executor: the canceller may be in the middle of other work.
  void cancel() {
    if (!waiting()) return;
    auto post = handler_.post_cancelled;
    release();
    post(handler_);
  }

  Stored handler_;
  local_wait_detail::Registry* registry_ = nullptr;
  LocalWait* next_ = nullptr;  // in the registry's list
  LocalWait* prev_ = nullptr;
  bool woken_ = false;
};

}  // namespace quillmar
