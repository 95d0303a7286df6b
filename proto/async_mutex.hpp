// An asynchronous mutex for coroutines. Waiters are served in the order in which they
// asked and yield their thread while they wait; a waiter that is cancelled leaves the
// queue without ever holding the lock.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/use_awaitable.hpp>
#include <optional>
#include <system_error>
#include <utility>

namespace quillmar {

class AsyncMutex {
 public:
  // Proof of holding the mutex; releases it when destroyed. Must not outlive the mutex.
  class [[nodiscard]] Lock {
   public:
    Lock() = default;
    Lock(Lock&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
    Lock& operator=(Lock&& other) noexcept {
      if (this != &other) {
        unlock();
        mutex_ = std::exchange(other.mutex_, nullptr);
      }
      return *this;
    }
    ~Lock() { unlock(); }

    bool owns_lock() const { return mutex_ != nullptr; }
    void unlock() {
      if (mutex_) std::exchange(mutex_, nullptr)->release();
    }

   private:
    friend class AsyncMutex;
    explicit Lock(AsyncMutex* mutex) : mutex_(mutex) {}
    AsyncMutex* mutex_ = nullptr;
  };

  explicit AsyncMutex(asio::any_io_executor executor) : slot_(std::move(executor), 1) {}
  AsyncMutex(const AsyncMutex&) = delete;
  AsyncMutex& operator=(const AsyncMutex&) = delete;

  // Cancellation while waiting throws operation_aborted and leaves the mutex untouched.
  asio::awaitable<Lock> lock() {
    co_await slot_.async_send(std::error_code{}, true, asio::use_awaitable);
    co_return Lock(this);
  }

  // The lock at once, or nothing when someone holds it.
  std::optional<Lock> try_lock() {
    if (!slot_.try_send(std::error_code{}, true)) return std::nullopt;
    return Lock(this);
  }

 private:
  // Emptying the slot lets the oldest waiting send fill it: that waiter now holds the
  // lock.
  void release() {
    slot_.try_receive([](std::error_code, bool) {});
  }

  // A one-slot channel: a value in the slot means the mutex is held; senders waiting
  // for room are the queue of waiters, kept in arrival order by the channel.
  asio::experimental::concurrent_channel<void(std::error_code, bool)> slot_;
};

}  // namespace quillmar
