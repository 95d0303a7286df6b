#include "app/runtime.hpp"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <exception>
#include <thread>
#include <vector>

namespace quillmar {

Runtime::Runtime() = default;

Runtime::~Runtime() {
  session_->stop();
  workers_->stop();
  workers_->shutdown();
  session_->shutdown();
  // Their services go now as well, so that the contexts' own destructors find nothing
  // to shut down again: a second shutdown would join Asio's timer threads on Windows a
  // second time and close their handles twice.
  workers_->destroy();
  session_->destroy();
}

void Runtime::run(asio::awaitable<void> task, const StartWorker& start_worker) {
  auto keep_workers = asio::make_work_guard(*workers_);
  std::vector<std::thread> threads;
  auto stop_workers = [&] {
    workers_->stop();
    for (auto& thread : threads) thread.join();
  };
  const unsigned count = std::max(1u, std::thread::hardware_concurrency());
  try {
    auto body = [this] { workers_->run(); };
    for (unsigned i = 0; i < count; ++i)
      threads.push_back(start_worker ? start_worker(body) : std::thread(body));
  } catch (...) {
    stop_workers();
    throw;
  }

  std::exception_ptr failure;
  asio::co_spawn(*session_, std::move(task), [this, &failure](std::exception_ptr error) {
    failure = error;
    session_->stop();
  });
  session_->run();
  stop_workers();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quillmar
