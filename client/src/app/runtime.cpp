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
}

void Runtime::run(asio::awaitable<void> task) {
  auto keep_workers = asio::make_work_guard(*workers_);
  std::vector<std::thread> threads;
  const unsigned count = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 0; i < count; ++i) threads.emplace_back([this] { workers_->run(); });

  std::exception_ptr failure;
  asio::co_spawn(*session_, std::move(task), [this, &failure](std::exception_ptr error) {
    failure = error;
    session_->stop();
  });
  session_->run();
  workers_->stop();
  for (auto& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace quillmar
