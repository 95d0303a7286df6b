// The gateway addresses start-up resolves once for the direct connections. Only
// literals and "localhost" are resolved here, so no query leaves the machine.
#include "app/run_client.hpp"

#include <gtest/gtest.h>

namespace quillmar {
namespace {

TEST(ResolveGateway, TakesLiteralsAndTheSystemResolversAnswer) {
  struct Case {
    const char* gateway;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"127.0.0.1:7000", {"127.0.0.1"}},
      {"127.0.0.2:+0443", {"127.0.0.2"}},
      {"[::1]:7000", {"::1"}},
      {"::1:7000", {"::1"}},  // split at the last ':'
      {"127.0.0.1:0", {"127.0.0.1"}},
      // No usable port: nothing is resolved.
      {"127.0.0.1", {}},
      {"127.0.0.1:", {}},
      {"127.0.0.1:abc", {}},
      {"127.0.0.1:65536", {}},
      {"127.0.0.1: 80", {}},
      {"[::1]", {}},
      {"[not-an-address]:80", {}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> got;
    for (const auto& address : resolve_gateway(c.gateway)) got.push_back(address.to_string());
    EXPECT_EQ(got, c.expected) << c.gateway;
  }
}

TEST(ResolveGateway, AHostNameGivesItsAddresses) {
  auto addresses = resolve_gateway("localhost:7000");
  ASSERT_FALSE(addresses.empty());
  for (const auto& address : addresses) EXPECT_TRUE(address.is_loopback()) << address;
}

}  // namespace
}  // namespace quillmar
