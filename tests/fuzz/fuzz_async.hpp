// Runs a coroutine of a fuzz target to its end on one io_context kept for the whole
// run; an exception leaving it is a failed check.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "fuzz_target.hpp"

namespace quillmar::fuzz {

// The one io_context of the run, for targets that need its executor.
inline asio::io_context& fuzz_io() {
  static asio::io_context io;
  return io;
}

template <class T>
T run_to_end(asio::awaitable<T> task) {
  asio::io_context& io = fuzz_io();
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr error, T value) {
    failure = error;
    if (!error) result = std::move(value);
  });
  io.restart();
  io.run();
  if (failure) {
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      fail(std::string("the coroutine threw: ") + e.what());
    }
  }
  require(result.has_value(), "the coroutine did not finish");
  return std::move(*result);
}

}  // namespace quillmar::fuzz
