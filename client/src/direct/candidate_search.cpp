#include "direct/candidate_search.hpp"

#include "app/output.hpp"
#include "direct/addresses.hpp"
#include "direct/punch_probe.hpp"
#include "proto/connect.hpp"

namespace quillmar {

bool is_observed_kind(std::string_view kind) {
  return kind == "obs-peer" || kind == "obs" || kind == "ping";
}

std::string_view path_word(std::string_view kind) {
  if (is_observed_kind(kind)) return "ping";
  if (kind == "v6-peer" || kind == "v6") return "v6";
  return "lan";
}

asio::awaitable<std::optional<ReachableCandidate>> find_reachable_candidate(
    std::vector<Candidate> candidates, std::vector<asio::ip::address> gateway_addrs,
    std::uint16_t probe_port, DirectTimings timings) {
  for (const Candidate& candidate : candidates) {
    auto ip = read_ip(candidate.addr);
    if (!ip || candidate.port == 0) continue;
    const bool observed = is_observed_kind(candidate.kind);
    if (observed && is_one_of(*ip, gateway_addrs)) {
      print_out("client: 观测地址 " + candidate.addr + ":" + std::to_string(candidate.port) +
                " 就是网关自己，跳过（同机测试/网关出口直连无意义）\n");
      continue;
    }
    if (observed) {
      asio::ip::udp::endpoint target(*ip, candidate.port);
      co_await send_punch_probe(target, probe_port);
    }
    std::string host = ip->to_string();
    auto tested =
        co_await connect_host(std::move(host), candidate.port, timings.candidate_connect_timeout);
    if (tested && *tested) {
      // The test connection closes here; each local connection makes its own.
      co_return ReachableCandidate{{*ip, candidate.port}, std::string(path_word(candidate.kind))};
    }
  }
  co_return std::nullopt;
}

}  // namespace quillmar
