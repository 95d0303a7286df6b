#include "app/runtime.hpp"

#include <gtest/gtest.h>

#include <asio/execution_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace quillmar {
namespace {

// Counts the shutdowns of the context it belongs to, into a counter that outlives it.
class ShutdownCounter : public asio::execution_context::service {
 public:
  using key_type = ShutdownCounter;
  static inline asio::execution_context::id id;

  explicit ShutdownCounter(asio::execution_context& context) : service(context) {}

  int* shutdowns = nullptr;

 private:
  void shutdown() override { ++*shutdowns; }
};

// A second shutdown would join Asio's timer thread on Windows again and close its
// handles twice, so each context must be shut down once, timers used or not.
TEST(Runtime, ShutsEachContextDownExactlyOnce) {
  int session_shutdowns = 0;
  int worker_shutdowns = 0;
  {
    Runtime runtime;
    asio::use_service<ShutdownCounter>(runtime.session_context()).shutdowns = &session_shutdowns;
    asio::use_service<ShutdownCounter>(runtime.worker_context()).shutdowns = &worker_shutdowns;
    runtime.run([]() -> asio::awaitable<void> {
      asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::milliseconds(1));
      co_await pause.async_wait(asio::use_awaitable);
    }());
  }
  EXPECT_EQ(session_shutdowns, 1);
  EXPECT_EQ(worker_shutdowns, 1);
}

TEST(Runtime, RunsTheTaskOnTheCallingThreadAndHandsBackItsException) {
  Runtime runtime;
  std::thread::id ran_on;
  auto task = [&ran_on]() -> asio::awaitable<void> {
    ran_on = std::this_thread::get_id();
    throw std::runtime_error("the task failed");
    co_return;
  };
  EXPECT_THROW(runtime.run(task()), std::runtime_error);
  EXPECT_EQ(ran_on, std::this_thread::get_id());
}

}  // namespace
}  // namespace quillmar
