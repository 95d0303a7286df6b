// Opening listeners.
#include "proto/connect.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

namespace quillmar {
namespace {

using asio::ip::tcp;

TEST(ListenTcp, ReportsATakenAddressAsAddressInUse) {
  asio::io_context io;
  const auto here = asio::ip::make_address("127.0.0.2");
  const auto there = asio::ip::make_address("127.0.0.3");
  tcp::acceptor holder(io, {here, 0});
  const std::uint16_t port = holder.local_endpoint().port();

  auto taken = listen_tcp(io.get_executor(), {here, port});
  ASSERT_FALSE(taken.ok());
  EXPECT_EQ(taken.error().kind, ErrorKind::AddrInUse);

  auto beside = listen_tcp(io.get_executor(), {there, port});
  ASSERT_TRUE(beside.ok()) << beside.error().display();
  EXPECT_EQ(beside.value().local_endpoint(), tcp::endpoint(there, port));
}

}  // namespace
}  // namespace quillmar
