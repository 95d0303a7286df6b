// The visitor's search for an owner address that answers: loopback listeners stand in
// for the owner's addresses, a closed port for one that refuses and a full accept
// queue for one that never answers.
#include "direct/candidate_search.hpp"

#include <gtest/gtest.h>

#include <asio/ip/udp.hpp>

#include "direct/addresses.hpp"

#include "direct_test_support.hpp"
#include "stalled_listener.hpp"

namespace quillmar::test {
namespace {

TEST(PathWord, NamesTheKindOfPath) {
  struct Case {
    std::string kind;
    bool observed;
    std::string path;
  } cases[] = {
      {"obs-peer", true, "ping"}, {"obs", true, "ping"},      {"ping", true, "ping"},
      {"v6-peer", false, "v6"},   {"v6", false, "v6"},        {"lan", false, "lan"},
      {"lan-peer", false, "lan"}, {"Obs-peer", false, "lan"}, {"", false, "lan"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_observed_kind(c.kind), c.observed) << c.kind;
    EXPECT_EQ(path_word(c.kind), c.path) << c.kind;
  }
}

class CandidateSearch : public DirectTest {
 protected:
  std::optional<ReachableCandidate> search(std::vector<Candidate> candidates,
                                           std::vector<asio::ip::address> gateway_addrs = {}) {
    return run(find_reachable_candidate(std::move(candidates), std::move(gateway_addrs), 0,
                                        loopback_setup().timings));
  }
};

TEST_F(CandidateSearch, TheFirstCandidateThatAnswersWins) {
  tcp::acceptor owner(io_, {PEER_ADDRESS, 0});
  tcp::acceptor second(io_, {STRANGER_ADDRESS, 0});
  const std::uint16_t port = owner.local_endpoint().port();
  const RefusingPort refusing(io_, LISTEN_ADDRESS);
  const std::string refused = std::to_string(refusing.port());
  struct Case {
    const char* name;
    std::string candidates;            // candidate text; {P} is the owner's port, {Q} the second's
    std::optional<std::string> found;  // "address:port path"
  } cases[] = {
      {"a refusing address is passed over", "127.0.0.2|" + refused + "|lan,127.0.0.3|{P}|v6-peer",
       "127.0.0.3:{P} v6"},
      {"port 0 and host names are passed over silently",
       "127.0.0.3|0|lan,owner.local|{P}|lan,127.0.0.3|{P}|obs-peer", "127.0.0.3:{P} ping"},
      {"in the given order", "127.0.0.4|{Q}|lan,127.0.0.3|{P}|lan", "127.0.0.4:{Q} lan"},
      {"any other kind is lan", "127.0.0.3|{P}|lan-peer", "127.0.0.3:{P} lan"},
      {"none answers", "127.0.0.2|" + refused + "|lan,127.0.0.2|" + refused + "|obs", std::nullopt},
      {"no candidates", "", std::nullopt},
  };
  auto fill = [&](std::string text) {
    for (auto [mark, value] : {std::pair<std::string, std::uint16_t>{"{P}", port},
                               {"{Q}", second.local_endpoint().port()}}) {
      for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark))
        text.replace(at, mark.size(), std::to_string(value));
    }
    return text;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto found = search(parse_candidates(fill(c.candidates)));
    ASSERT_EQ(found.has_value(), c.found.has_value());
    if (found) {
      EXPECT_EQ(socket_address_text(found->endpoint) + " " + found->path, fill(*c.found));
    }
    EXPECT_EQ(stdout_, "");
  }
}

TEST_F(CandidateSearch, SkipsTheGatewaysOwnObservedAddressWithoutProbingIt) {
  using asio::ip::udp;
  const auto gateway = asio::ip::make_address("127.0.0.5");
  tcp::acceptor gateway_listener(io_, {gateway, 0});
  const std::uint16_t gateway_port = gateway_listener.local_endpoint().port();
  udp::socket gateway_udp(io_, {gateway, gateway_port});
  tcp::acceptor owner(io_, {PEER_ADDRESS, 0});
  const std::uint16_t port = owner.local_endpoint().port();
  udp::socket owner_udp(io_, {PEER_ADDRESS, port});

  const std::string text = "127.0.0.5|" + std::to_string(gateway_port) + "|obs-peer,127.0.0.5|" +
                           std::to_string(gateway_port) + "|lan,127.0.0.3|" + std::to_string(port) +
                           "|ping";
  auto found = search(parse_candidates(text), {gateway});
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->path, "lan");  // the gateway's address as a plain candidate is tried
  EXPECT_EQ(found->endpoint.address(), gateway);
  EXPECT_EQ(stdout_, "client: 观测地址 127.0.0.5:" + std::to_string(gateway_port) +
                         " 就是网关自己，跳过（同机测试/网关出口直连无意义）\n");
  // Only the plain candidate came: no probe toward the gateway.
  EXPECT_EQ(gateway_udp.available(), 0u);

  found = search(parse_candidates("127.0.0.3|" + std::to_string(port) + "|ping"), {gateway});
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->path, "ping");
  std::array<char, 16> probe{};
  udp::endpoint from;
  ASSERT_GT(owner_udp.available(), 0u) << "the observed candidate got no probe";
  std::size_t n = owner_udp.receive_from(asio::buffer(probe), from);
  EXPECT_EQ(std::string(probe.data(), n), "punch");
}

TEST_F(CandidateSearch, ACandidateThatNeverAnswersCostsOneTimeout) {
  StalledListener stalled;
  if (!stalled.stalled()) GTEST_SKIP() << "this system refuses instead of dropping";
  tcp::acceptor owner(io_, {PEER_ADDRESS, 0});
  const auto started = std::chrono::steady_clock::now();
  auto found =
      search(parse_candidates("127.0.0.1|" + std::to_string(stalled.port()) + "|lan,127.0.0.3|" +
                              std::to_string(owner.local_endpoint().port()) + "|lan"));
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(found->endpoint.address(), PEER_ADDRESS);
  EXPECT_GE(took, loopback_setup().timings.candidate_connect_timeout);
}

}  // namespace
}  // namespace quillmar::test
