// Shared test helpers: run a coroutine to completion with a deadline, connected
// loopback socket pairs, and temporary folders.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_future.hpp>
#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <string>
#include <utility>

namespace quillmar::test {

// Runs the awaitable on the io_context until it completes; fails the test by
// throwing when it takes longer than the limit.
template <class T>
T run_async(asio::io_context& io, asio::awaitable<T> task,
            std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto future = asio::co_spawn(io, std::move(task), asio::use_future);
  io.restart();
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    if (std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("test coroutine timed out");
    io.run_for(std::chrono::milliseconds(10));
  }
  return future.get();
}

// Two connected TCP sockets over 127.0.0.1.
std::pair<asio::ip::tcp::socket, asio::ip::tcp::socket> tcp_pair(asio::io_context& io);

// A fresh folder under the system's temporary folder, removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view content);

}  // namespace quillmar::test
