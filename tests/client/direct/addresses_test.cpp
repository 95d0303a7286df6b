// Reading candidate addresses and writing socket addresses.
#include "direct/addresses.hpp"

#include <gtest/gtest.h>

namespace quillmar {
namespace {

TEST(ReadIp, TakesOnlyWholeIpLiterals) {
  struct Case {
    std::string text;
    std::optional<std::string> address;  // as the address writes itself
  } cases[] = {
      {"198.51.100.9", "198.51.100.9"},
      {"0.0.0.0", "0.0.0.0"},
      {"2001:db8::7", "2001:db8::7"},
      {"::1", "::1"},
      {"::ffff:192.0.2.1", "::ffff:192.0.2.1"},
      {"2001:DB8::A", "2001:db8::a"},
      {"", std::nullopt},
      {"nas.local", std::nullopt},
      {"127.1", std::nullopt},
      {"01.2.3.4", std::nullopt},
      {"1.2.3.256", std::nullopt},
      {"1.2.3.4 ", std::nullopt},
      {" 1.2.3.4", std::nullopt},
      {"1.2.3.4\r", std::nullopt},
      {"[2001:db8::7]", std::nullopt},
      {"fe80::1%eth0", std::nullopt},
      {"2001:db8::7::8", std::nullopt},
      {"1.2.3.4:80", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto read = read_ip(c.text);
    ASSERT_EQ(read.has_value(), c.address.has_value());
    if (read) {
      EXPECT_EQ(read->to_string(), *c.address);
    }
  }
}

TEST(ReadIp, ComparesFamilyAndBytes) {
  std::vector<asio::ip::address> list = {*read_ip("192.0.2.1"), *read_ip("2001:db8::1")};
  EXPECT_TRUE(is_one_of(*read_ip("192.0.2.1"), list));
  EXPECT_TRUE(is_one_of(*read_ip("2001:DB8:0::1"), list));
  EXPECT_FALSE(is_one_of(*read_ip("::ffff:192.0.2.1"), list));  // another family
  EXPECT_FALSE(is_one_of(*read_ip("192.0.2.2"), list));
  EXPECT_FALSE(is_one_of(*read_ip("192.0.2.1"), {}));
}

TEST(SocketAddressText, BracketsIpv6Only) {
  EXPECT_EQ(socket_address_text(*read_ip("192.0.2.7"), 8080), "192.0.2.7:8080");
  EXPECT_EQ(socket_address_text(*read_ip("2001:db8::7"), 0), "[2001:db8::7]:0");
}

}  // namespace
}  // namespace quillmar
