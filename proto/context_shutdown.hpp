// Tells whether an execution context has begun to shut down.
//
// Destroying an io_context destroys the coroutines still suspended in it, in no set
// order, and their destructors may still signal Asio channels of that context (a queue
// end waking its other end). Asio 1.22's channels do not survive a send then: their
// service has dropped the waiting receive operations but still believes a receiver
// waits, and the send follows a null pointer. Our queues therefore ask this flag before
// they signal a channel.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/execution/context.hpp>
#include <asio/execution_context.hpp>
#include <asio/query.hpp>
#include <atomic>
#include <memory>

namespace quillmar {

using ShutdownFlag = std::shared_ptr<const std::atomic<bool>>;

// One per context. Services shut down in the reverse order of their creation, so it
// must be created after the channel service it protects: create a channel first.
class ContextShutdown : public asio::execution_context::service {
 public:
  using key_type = ContextShutdown;
  static inline asio::execution_context::id id;

  explicit ContextShutdown(asio::execution_context& context) : service(context) {}

  ShutdownFlag flag() const { return flag_; }

 private:
  void shutdown() override { flag_->store(true); }

  std::shared_ptr<std::atomic<bool>> flag_ = std::make_shared<std::atomic<bool>>(false);
};

// The flag of the executor's context; call it after creating the channel it guards.
inline ShutdownFlag shutdown_flag(const asio::any_io_executor& executor) {
  return asio::use_service<ContextShutdown>(asio::query(executor, asio::execution::context)).flag();
}

inline bool shutting_down(const ShutdownFlag& flag) { return flag && flag->load(); }

}  // namespace quillmar
