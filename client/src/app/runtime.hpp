// The program's threads and their execution contexts. The main thread runs the
// supervisor, and with it the gateway session, its frame loop, its heartbeat and every
// visitor stream task, on a context of its own: a frame's way from the gateway to a
// local service never crosses a thread. The workers, one per processor, share a second
// context for every other task (the console, the Ctrl-C watcher, direct connections).
#pragma once

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <functional>
#include <memory>
#include <thread>

#include "proto/staged_context.hpp"

namespace quillmar {

class Runtime {
 public:
  Runtime();
  // Stops both contexts, waits for every thread, then shuts both down before either is
  // destroyed: a task of one context may hold sockets or queues of the other (a direct
  // connection's task holds the session's writer), and each must still find the other's
  // services when it is torn down.
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  asio::io_context& session_context() { return *session_; }
  asio::io_context& worker_context() { return *workers_; }

  // How a worker thread is started; empty: std::thread. Tests make it fail.
  using StartWorker = std::function<std::thread(std::function<void()>)>;

  // Starts the workers, runs the task on the main thread until it returns, then stops
  // everything; a task's exception, and a worker that cannot be started, are rethrown
  // here.
  void run(asio::awaitable<void> task, const StartWorker& start_worker = {});

 private:
  std::unique_ptr<StagedContext> session_ = std::make_unique<StagedContext>(1);
  std::unique_ptr<StagedContext> workers_ = std::make_unique<StagedContext>();
};

}  // namespace quillmar
