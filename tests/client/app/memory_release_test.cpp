#include "app/memory_release.hpp"

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <filesystem>
#include <vector>

#if defined(__GLIBC__) && defined(ASIO_HAS_EPOLL)
#include <malloc.h>
#include <sys/resource.h>

namespace quillmar {
namespace {

constexpr std::size_t SOCKETS = 64;

std::size_t open_descriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

// The context's reactor, with its own descriptors, is made by its first socket.
void start_reactor(asio::io_context& context) {
  asio::ip::tcp::socket(context).open(asio::ip::tcp::v4());
}

// The heap bytes in use that opening SOCKETS sockets of the context at once adds.
std::size_t heap_growth_of_open_sockets(asio::io_context& context) {
  std::vector<asio::ip::tcp::socket> sockets;
  sockets.reserve(SOCKETS);
  const std::size_t before = mallinfo2().uordblks;
  for (std::size_t i = 0; i < SOCKETS; ++i) sockets.emplace_back(context).open(asio::ip::tcp::v4());
  return mallinfo2().uordblks - before;
}

TEST(ReserveSocketRecords, LaterSocketsTakeTheReservedRecordsAndNoDescriptorStaysOpen) {
  asio::io_context unreserved;
  start_reactor(unreserved);
  const std::size_t growth_unreserved = heap_growth_of_open_sockets(unreserved);

  asio::io_context reserved;
  start_reactor(reserved);
  const std::size_t descriptors = open_descriptors();
  reserve_socket_records(reserved, SOCKETS);
  EXPECT_EQ(open_descriptors(), descriptors);
  const std::size_t growth_reserved = heap_growth_of_open_sockets(reserved);

  // A sanitizer's allocator reports no heap figures.
  if (mallinfo2().uordblks == 0) GTEST_SKIP() << "no heap figures under this allocator";
  // Without the reservation every socket but the first makes a record of its own.
  EXPECT_GE(growth_unreserved, (SOCKETS - 1) * 64);
  EXPECT_EQ(growth_reserved, 0u);
}

TEST(ReserveSocketRecords, StopsWhenDescriptorsRunOutAndLeavesNoneOpen) {
  asio::io_context context;
  start_reactor(context);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const std::size_t descriptors = open_descriptors();
  rlimit tight = saved;
  tight.rlim_cur = descriptors + 8;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);

  reserve_socket_records(context, SOCKETS);
  const std::size_t after = open_descriptors();
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(after, descriptors);

  // The context works on as before: a socket opens and closes.
  asio::ip::tcp::socket socket(context);
  std::error_code ec;
  socket.open(asio::ip::tcp::v4(), ec);
  EXPECT_FALSE(ec) << ec.message();
}

}  // namespace
}  // namespace quillmar
#endif
