#include "app/memory_release.hpp"

#include <asio/ip/tcp.hpp>
#include <vector>

#include <cstdlib>  // defines __GLIBC__ where glibc is the C library
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "proto/frame.hpp"

namespace quillmar {

void keep_freed_memory_for_reuse() {
#if defined(__GLIBC__)
  // Every frame's payload comes from the heap itself, and the heap keeps up to a few
  // frames' worth of free memory at its top.
  mallopt(M_MMAP_THRESHOLD, static_cast<int>(2 * MAX_FRAME_LEN));
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(8 * MAX_FRAME_LEN));
#endif
}

void release_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void reserve_socket_records(asio::io_context& context, std::size_t count) {
#if defined(ASIO_HAS_EPOLL)
  std::vector<asio::ip::tcp::socket> sockets;
  sockets.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::error_code ec;
    sockets.emplace_back(context).open(asio::ip::tcp::v4(), ec);
    if (ec) break;  // out of descriptors: the records made so far are kept all the same
  }
#else
  (void)context;
  (void)count;
#endif
}

}  // namespace quillmar
