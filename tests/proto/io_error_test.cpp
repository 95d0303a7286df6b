#include "proto/io_error.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

namespace quillmar {
namespace {

// Socket errors come from Asio's own system category; they are operating-system
// errors all the same and keep their code.
TEST(IoErrorFrom, KeepsTheCodeOfSocketErrors) {
  asio::io_context io;
  asio::ip::tcp::endpoint unused;
  {
    asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
    unused = probe.local_endpoint();
  }  // nothing listens there any more
  asio::ip::tcp::socket socket(io);
  std::error_code ec;
  socket.connect(unused, ec);
  ASSERT_EQ(ec, asio::error::connection_refused);

  IoError error = IoError::from(ec);
  EXPECT_EQ(error.kind, ErrorKind::ConnectionRefused);
  EXPECT_EQ(error.os_code, std::optional<int>(ec.value()));
  EXPECT_EQ(error.display(), ec.message() + " (os error " + std::to_string(ec.value()) + ")");
}

TEST(IoErrorFrom, MapsAsioErrorEnumsLikeTheSystemsCodes) {
  struct Case {
    std::error_code ec;
    ErrorKind kind;
  } cases[] = {
      {asio::error::connection_reset, ErrorKind::ConnectionReset},
      {asio::error::connection_aborted, ErrorKind::ConnectionAborted},
      {asio::error::broken_pipe, ErrorKind::BrokenPipe},
      {asio::error::timed_out, ErrorKind::TimedOut},
  };
  for (const auto& c : cases) {
    IoError error = IoError::from(c.ec);
    EXPECT_EQ(error.kind, c.kind) << c.ec.message();
    EXPECT_EQ(error.os_code, std::optional<int>(c.ec.value())) << c.ec.message();
  }
}

}  // namespace
}  // namespace quillmar
