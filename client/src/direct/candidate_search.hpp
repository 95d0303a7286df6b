// The visitor's search for an owner address that answers: the ready
// status's candidates are tried in order with a test connection each, observed ones
// after a probe.
#pragma once

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "direct/direct_setup.hpp"
#include "direct/records.hpp"

namespace quillmar {

// A candidate that answered, and the kind of path it is: "ping", "v6" or "lan".
struct ReachableCandidate {
  asio::ip::tcp::endpoint endpoint;
  std::string path;
};

// "obs-peer", "obs" and "ping": addresses the gateway observed.
bool is_observed_kind(std::string_view kind);
// "ping" for an observed kind; "v6" for "v6-peer" and "v6"; "lan" for every other.
std::string_view path_word(std::string_view kind);

// Runs inside the session, which reads no frame meanwhile: at most one probe and one
// candidate_connect_timeout per candidate. The probes leave from probe_port.
asio::awaitable<std::optional<ReachableCandidate>> find_reachable_candidate(
    std::vector<Candidate> candidates, std::vector<asio::ip::address> gateway_addrs,
    std::uint16_t probe_port, DirectTimings timings);

}  // namespace quillmar
