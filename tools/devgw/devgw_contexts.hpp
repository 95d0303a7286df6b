// The execution contexts of the quillmar-devgw program: the core's, run by the main
// thread, and one per visitor thread, each run by a thread of its own, where the
// visitors' connections do their system calls.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <cstddef>
#include <memory>
#include <thread>
#include <vector>

#include "proto/staged_context.hpp"

namespace quillmar::devgw {

class GatewayContexts {
 public:
  // Starts the visitor threads at once; they idle until visitors come.
  explicit GatewayContexts(std::size_t visitor_threads);
  // Stops every context, waits for the visitor threads, then shuts all contexts down
  // before any is destroyed: a connection of one context may sit in another's handlers.
  ~GatewayContexts();
  GatewayContexts(const GatewayContexts&) = delete;
  GatewayContexts& operator=(const GatewayContexts&) = delete;

  asio::io_context& core() { return *core_; }
  std::vector<asio::any_io_executor> visitor_executors() const;

 private:
  using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

  std::unique_ptr<StagedContext> core_ = std::make_unique<StagedContext>(1);
  std::vector<std::unique_ptr<StagedContext>> visitors_;
  std::vector<WorkGuard> keep_running_;
  std::vector<std::thread> threads_;
};

}  // namespace quillmar::devgw
