// A value behind its own short-held lock: copied out or updated, never held across a wait.
#pragma once

#include <mutex>
#include <utility>

namespace quillmar {

template <class T>
class Locked {
 public:
  Locked() = default;
  explicit Locked(T value) : value_(std::move(value)) {}

  T get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }

  void set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }

  // Runs f on the value with the lock held; f must not wait.
  template <class F>
  decltype(auto) with(F&& f) {
    std::lock_guard lock(mutex_);
    return std::forward<F>(f)(value_);
  }
  template <class F>
  decltype(auto) with(F&& f) const {
    std::lock_guard lock(mutex_);
    return std::forward<F>(f)(value_);
  }

 private:
  mutable std::mutex mutex_;
  T value_{};
};

}  // namespace quillmar
