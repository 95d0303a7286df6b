// A value or an IoError. The project stays on C++20, where std::expected is missing.
#pragma once

#include <optional>
#include <utility>
#include <variant>

#include "proto/io_error.hpp"

namespace quillmar {

template <class T>
class [[nodiscard]] Result {
 public:
  // An error of kind Other: only for plumbing that needs default-constructible results.
  Result() : state_(std::in_place_index<1>, IoError{}) {}
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(IoError error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const IoError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, IoError> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(IoError error) : error_(std::move(error)) {}

  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  const IoError& error() const { return *error_; }

 private:
  std::optional<IoError> error_;
};

using Status = Result<void>;

}  // namespace quillmar
