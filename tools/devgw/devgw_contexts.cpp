#include "devgw/devgw_contexts.hpp"

namespace quillmar::devgw {

GatewayContexts::GatewayContexts(std::size_t visitor_threads) {
  for (std::size_t i = 0; i < visitor_threads; ++i) {
    visitors_.push_back(std::make_unique<StagedContext>(1));
    keep_running_.push_back(asio::make_work_guard(*visitors_.back()));
  }
  for (auto& context : visitors_) threads_.emplace_back([&context = *context] { context.run(); });
}

GatewayContexts::~GatewayContexts() {
  keep_running_.clear();
  core_->stop();
  for (auto& context : visitors_) context->stop();
  for (auto& thread : threads_) thread.join();
  for (auto& context : visitors_) context->shutdown();
  core_->shutdown();
  // Their services go now as well, so that the contexts' own destructors find nothing
  // to shut down a second time.
  for (auto& context : visitors_) context->destroy();
  core_->destroy();
}

std::vector<asio::any_io_executor> GatewayContexts::visitor_executors() const {
  std::vector<asio::any_io_executor> executors;
  for (const auto& context : visitors_) executors.push_back(context->get_executor());
  return executors;
}

}  // namespace quillmar::devgw
