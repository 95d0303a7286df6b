// This device's own addresses as the offers carry them. The probe targets here are
// loopback ones: toward them the system names a loopback source, which is never
// offered, so the real lookups only show what they refuse.
#include "direct/local_candidates.hpp"

#include <gtest/gtest.h>

#include "direct_test_support.hpp"

namespace quillmar {
namespace {

asio::ip::address_v4 v4(const char* text) { return asio::ip::make_address_v4(text); }
asio::ip::address_v6 v6(const char* text) { return asio::ip::make_address_v6(text); }

TEST(CandidateText, WritesTheIpv4ItemThenTheIpv6Item) {
  struct Case {
    const char* name;
    std::optional<asio::ip::address_v4> ipv4;
    std::optional<asio::ip::address_v6> ipv6;
    std::uint16_t port;
    std::string text;
  } cases[] = {
      {"both", v4("192.0.2.7"), v6("2001:db8:1::7"), 22, "192.0.2.7|22|lan,!2001:db8:1::7|22|v6"},
      {"ipv4 only", v4("192.0.2.10"), std::nullopt, 8080, "192.0.2.10|8080|lan"},
      {"ipv6 only, port 0", std::nullopt, v6("2001:db8::10"), 0, "!2001:db8::10|0|v6"},
      {"neither", std::nullopt, std::nullopt, 80, ""},
      {"the longest zero run is compressed", std::nullopt, v6("2001:db8:0:0:1:0:0:0"), 1,
       "!2001:db8:0:0:1::|1|v6"},
      {"of equal runs the first", std::nullopt, v6("2001:0:0:1:0:0:1:1"), 1,
       "!2001::1:0:0:1:1|1|v6"},
      {"a single zero group stays", std::nullopt, v6("2001:db8:0:1:1:1:1:1"), 1,
       "!2001:db8:0:1:1:1:1:1|1|v6"},
      {"lower case, no leading zeros", std::nullopt, v6("2001:0DB8:00AB:000C::0100"), 1,
       "!2001:db8:ab:c::100|1|v6"},
      {"a leading run", std::nullopt, v6("::2001:db8"), 1, "!::2001:db8|1|v6"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(candidate_text(c.ipv4, c.ipv6, c.port), c.text) << c.name;
  }
}

TEST(LocalAddresses, RefuseLoopbackUnspecifiedAndNonGlobalSources) {
  struct Case {
    const char* address;
    bool usable_source;
    bool offered_ipv6;  // for IPv6 addresses only
  } cases[] = {
      {"192.168.1.20", true, false}, {"127.0.0.1", false, false},     {"127.200.0.1", false, false},
      {"0.0.0.0", false, false},     {"2001:db8::7", true, true},     {"::", false, false},
      {"::1", false, false},         {"fe80::1", true, false},        {"febf::1", true, false},
      {"fec0::1", true, true},       {"fc00::1", true, false},        {"fd12:3456::1", true, false},
      {"ff02::1", true, false},      {"2606:4700::1111", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    auto address = asio::ip::make_address(c.address);
    EXPECT_EQ(is_usable_source(address), c.usable_source);
    if (address.is_v6()) {
      EXPECT_EQ(is_offered_ipv6(address.to_v6()), c.offered_ipv6);
    }
  }
}

TEST(LocalAddrToward, GivesNothingForLoopbackTargetsAndUnreadableTexts) {
  for (const char* target : {"127.0.0.9:53", "[::1]:53", "", "8.8.8.8", "8.8.8.8:x",
                             "2001:4860:4860::8888:53", "[1.2.3.4]:53", "dns.example:53"}) {
    EXPECT_EQ(local_addr_toward(target), std::nullopt) << target;
  }
}

TEST(LocalCandidates, IsEmptyWhenNoTargetGivesAnOfferableAddress) {
  ProbeTargets targets{test::LOOPBACK_IPV4_TARGETS, test::LOOPBACK_IPV6_TARGETS};
  EXPECT_EQ(local_candidates(8080, targets), "");
  EXPECT_EQ(local_candidates(0, ProbeTargets{{}, {}}), "");
}

}  // namespace
}  // namespace quillmar
