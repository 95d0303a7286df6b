// The UDP probe toward an observed address.
#include "direct/punch_probe.hpp"

#include <gtest/gtest.h>

#include "direct_test_support.hpp"

namespace quillmar::test {
namespace {

using asio::ip::udp;

// Whatever reaches the socket within the time: the payload and its source port.
asio::awaitable<std::optional<std::pair<std::string, std::uint16_t>>> datagram_on(
    udp::socket& socket, std::chrono::milliseconds limit) {
  using namespace asio::experimental::awaitable_operators;
  std::array<char, 64> buffer{};
  udp::endpoint from;
  auto first =
      co_await (socket.async_receive_from(asio::buffer(buffer), from, as_tuple_awaitable) ||
                sleep_for(limit));
  if (first.index() == 1) co_return std::nullopt;
  auto [ec, n] = std::get<0>(first);
  if (ec) co_return std::nullopt;
  co_return std::pair<std::string, std::uint16_t>{std::string(buffer.data(), n), from.port()};
}

class PunchProbe : public DirectTest {};

TEST_F(PunchProbe, SendsPunchFromTheGivenPortElseFromAnyPort) {
  run([&]() -> asio::awaitable<int> {
    udp::socket target(io_, {PEER_ADDRESS, 0});
    udp::socket holder(io_, {asio::ip::address_v4::any(), 0});  // a local port in use
    const std::uint16_t taken = holder.local_endpoint().port();
    std::uint16_t free_port = 0;
    {
      udp::socket probe_port(io_, {asio::ip::address_v4::any(), 0});
      free_port = probe_port.local_endpoint().port();
    }
    struct Case {
      std::uint16_t local_port;
      bool from_that_port;
    } cases[] = {{free_port, true}, {taken, false}};
    for (const auto& c : cases) {
      co_await send_punch_probe(target.local_endpoint(), c.local_port);
      auto got = co_await datagram_on(target, 2s);
      EXPECT_TRUE(got.has_value());
      if (!got) continue;
      EXPECT_EQ(got->first, "punch");
      EXPECT_EQ(got->second == c.local_port, c.from_that_port) << c.local_port;
    }
    co_return 0;
  }());
}

TEST_F(PunchProbe, SendsNothingTowardIpv6) {
  run([&]() -> asio::awaitable<int> {
    std::error_code ec;
    udp::socket target(io_);
    target.open(udp::v6(), ec);
    if (!ec) target.bind({asio::ip::address_v6::loopback(), 0}, ec);
    if (ec) co_return 0;  // no IPv6 here: the probe has nothing to be kept from
    co_await send_punch_probe(target.local_endpoint(), 0);
    auto got = co_await datagram_on(target, 200ms);
    EXPECT_FALSE(got.has_value());
    co_return 0;
  }());
}

}  // namespace
}  // namespace quillmar::test
