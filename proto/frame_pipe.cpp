#include "proto/frame_pipe.hpp"

#include <algorithm>

#include "proto/frame.hpp"

#ifdef __linux__
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <asio/experimental/as_tuple.hpp>
#include <asio/use_awaitable.hpp>
#endif

namespace quillmar {

#ifdef __linux__
namespace {

// The most an unprivileged process may ask for by default: room for CAPACITY in frames
// of 64 KiB, each payload in 4 KiB pages, with room to spare.
constexpr int PIPE_SIZE = 1024 * 1024;

// The pipe buffers one frame may take: its header, and its payload by pages, one more
// where the payload does not start on a page boundary.
std::size_t page_size() {
  static const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

std::size_t buffers_for(std::size_t payload) {
  return 1 + (payload + page_size() - 1) / page_size() + 1;
}

std::error_code last_error() { return {errno, std::system_category()}; }

// Splicing into a socket whose peer has gone raises SIGPIPE, which would end the
// program; on the threads that splice it is blocked, and the splice fails with EPIPE.
void block_sigpipe_on_this_thread() {
  thread_local bool blocked = false;
  if (blocked) return;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  blocked = true;
}

}  // namespace

std::unique_ptr<FramePipe> FramePipe::open() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  std::unique_ptr<FramePipe> pipe(new FramePipe(ends[0], ends[1]));
  // Refused where the system allows smaller pipes, or the user's pipes have taken
  // their share: a default pipe holds less than one frame of 64 KiB with its header.
  const int size = fcntl(ends[1], F_SETPIPE_SZ, PIPE_SIZE);
  if (size < PIPE_SIZE) return nullptr;
  pipe->buffers_ = static_cast<std::size_t>(size) / page_size();
  return pipe;
}

FramePipe::~FramePipe() {
  ::close(read_end_);
  ::close(write_end_);
}

std::error_code FramePipe::fill(asio::ip::tcp::socket& local, std::uint32_t stream_id,
                                std::size_t most, std::size_t frame_most, std::size_t& put) {
  put = 0;
  asio::socket_base::bytes_readable readable;
  std::error_code unknown;
  local.io_control(readable, unknown);
  if (unknown) return {};
  std::size_t left = std::min({readable.get(), most, CAPACITY});
  while (left > 0) {
    const std::size_t length = std::min(left, frame_most);
    if (buffers_used_ + buffers_for(length) > buffers_) break;
    const auto header = encode_header(KIND_DATA, stream_id, length);
    if (::write(write_end_, header.data(), header.size()) != static_cast<ssize_t>(header.size()))
      return last_error();
    held_ += header.size();
    buffers_used_ += buffers_for(length);
    for (std::size_t got = 0; got < length;) {
      const ssize_t n = ::splice(local.native_handle(), nullptr, write_end_, nullptr, length - got,
                                 SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
      // The socket said it holds these bytes: an end or a wait now means they are gone.
      if (n == 0) return asio::error::eof;
      if (n < 0) return last_error();
      got += static_cast<std::size_t>(n);
      held_ += static_cast<std::size_t>(n);
    }
    put += length;
    left -= length;
  }
  return {};
}

asio::awaitable<std::error_code> FramePipe::drain(asio::ip::tcp::socket& gateway) {
  block_sigpipe_on_this_thread();
  while (held_ > 0) {
    const ssize_t n = ::splice(read_end_, nullptr, gateway.native_handle(), nullptr, held_,
                               SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n > 0) {
      held_ -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) co_return asio::error::broken_pipe;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) co_return last_error();
    auto [ec] = co_await gateway.async_wait(asio::ip::tcp::socket::wait_write,
                                            asio::experimental::as_tuple(asio::use_awaitable));
    if (ec) co_return ec;
  }
  buffers_used_ = 0;
  co_return std::error_code{};
}

#else

std::unique_ptr<FramePipe> FramePipe::open() { return nullptr; }
FramePipe::~FramePipe() = default;
std::error_code FramePipe::fill(asio::ip::tcp::socket&, std::uint32_t, std::size_t, std::size_t,
                                std::size_t& put) {
  put = 0;
  return asio::error::operation_not_supported;
}
asio::awaitable<std::error_code> FramePipe::drain(asio::ip::tcp::socket&) {
  co_return asio::error::operation_not_supported;
}

#endif

}  // namespace quillmar
