#include "proto/local_wait.hpp"

namespace quillmar::local_wait_detail {

void Registry::add(LocalWait* waiter) {
  std::lock_guard lock(lock_);
  waiter->prev_ = nullptr;
  waiter->next_ = first_;
  if (first_) first_->prev_ = waiter;
  first_ = waiter;
}

void Registry::remove(LocalWait* waiter) {
  std::lock_guard lock(lock_);
  if (waiter->prev_) {
    waiter->prev_->next_ = waiter->next_;
  } else if (first_ == waiter) {
    first_ = waiter->next_;
  }
  if (waiter->next_) waiter->next_->prev_ = waiter->prev_;
  waiter->next_ = waiter->prev_ = nullptr;
}

// Destroying a suspended coroutine may end others (their waiters leave the list on the
// way), so the list is taken from the front again after each one.
void Registry::shutdown() {
  shutting_down_.store(true, std::memory_order_release);
  for (;;) {
    LocalWait* waiter = nullptr;
    {
      std::lock_guard lock(lock_);
      waiter = first_;
    }
    if (!waiter) return;
    waiter->discard();
  }
}

}  // namespace quillmar::local_wait_detail
