#include "direct/owner_listener.hpp"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>

#include "app/environment.hpp"
#include "app/output.hpp"
#include "direct/addresses.hpp"
#include "direct/pairing_watch.hpp"
#include "direct/punch_probe.hpp"
#include "direct/punch_result.hpp"
#include "proto/connect.hpp"

namespace quillmar {
namespace {

using asio::ip::tcp;
constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

bool is_peer_kind(std::string_view kind) { return kind.ends_with("-peer"); }

const Candidate* first_of_kind(const std::vector<Candidate>& candidates, std::string_view kind) {
  auto found = std::find_if(candidates.begin(), candidates.end(),
                            [&](const Candidate& c) { return c.kind == kind; });
  return found == candidates.end() ? nullptr : &*found;
}

std::string address_and_port(const Candidate& candidate) {
  return candidate.addr + ":" + std::to_string(candidate.port);
}

// What the gateway observed, for the user.
void report_observations(const std::vector<Candidate>& candidates) {
  if (peer_addresses(candidates).empty())
    print_out("client: 访客没上报地址，本次直连只靠同网段判定\n");
  if (const Candidate* own = first_of_kind(candidates, "obs")) {
    const Candidate* peer = first_of_kind(candidates, "obs-peer");
    print_out("client: 网关看到的本机映射 " + address_and_port(*own) + "，访客在 " +
              (peer ? address_and_port(*peer) : std::string("无观测地址")) + "\n");
  }
}

// A datagram and a test connection toward every address at which the gateway
// saw the peer, one after the other; nothing of the outcome matters.
asio::awaitable<void> reach_toward_peer(const OwnerPairing& pairing,
                                        std::chrono::milliseconds connect_timeout) {
  for (const Candidate& candidate : pairing.candidates) {
    if (candidate.kind != "obs-peer" || candidate.port == 0) continue;
    auto ip = read_ip(candidate.addr);
    if (ip && is_one_of(*ip, pairing.gateway_addrs)) {
      print_out("client: 访客的观测地址 " + address_and_port(candidate) +
                " 就是网关自己，跳过（同机测试/网关出口直连无意义）\n");
      continue;
    }
    if (!ip) continue;
    asio::ip::udp::endpoint target(*ip, candidate.port);
    co_await send_punch_probe(target, pairing.status_port);
    std::string host = ip->to_string();
    auto tested = co_await connect_host(std::move(host), candidate.port, connect_timeout);
    (void)tested;  // an established test connection is closed at once
  }
}

// The peer addresses that read as IP addresses; none means no address check.
std::optional<std::vector<asio::ip::address>> admitted_addresses(
    const std::vector<Candidate>& candidates) {
  std::vector<asio::ip::address> admitted;
  for (const std::string& text : peer_addresses(candidates)) {
    if (auto ip = read_ip(text)) admitted.push_back(*ip);
  }
  if (admitted.empty()) return std::nullopt;
  return admitted;
}

// Everything but the debug line at the end.
asio::awaitable<Status> open_direct_listeners(OwnerPairing pairing, SharedWriterPtr writer,
                                              SharedStatePtr shared, asio::any_io_executor pool,
                                              DirectSetup setup) {
  report_observations(pairing.candidates);
  co_await reach_toward_peer(pairing, setup.timings.punch_probe_connect_timeout);
  shared->direct_peer_addrs.set(admitted_addresses(pairing.candidates));
  store(shared->direct_active, 1);

  std::size_t served = 0;
  for (std::uint16_t port : pairing.ports) {
    bool listening = shared->direct_ports.with([port](const std::vector<std::uint16_t>& ports) {
      return std::find(ports.begin(), ports.end(), port) != ports.end();
    });
    if (listening) {
      ++served;
      continue;
    }
    asio::any_io_executor strand = asio::make_strand(pool);
    auto listener = listen_tcp(strand, {setup.listen_address, port});
    if (!listener) {
      if (listener.error().kind != ErrorKind::AddrInUse) co_return listener.error();
      print_out("client: :" + std::to_string(port) +
                " 已被本地服务占用，不再另开监听（直连由服务自己接）\n");
      continue;
    }
    shared->direct_ports.with([port](std::vector<std::uint16_t>& ports) { ports.push_back(port); });
    ++served;
    const std::string p = std::to_string(port);
    print_out("client: 直连监听 :" + p + " → 127.0.0.1:" + p + "\n");
    asio::co_spawn(strand,
                   serve_direct_listener(std::move(listener).value(), shared, writer, port, pool,
                                         setup.timings),
                   asio::detached);
  }
  if (served == 0) co_return IoError::make(ErrorKind::NotConnected, std::string(ALL_PORTS_TAKEN));
  co_return Status{};
}

}  // namespace

std::vector<std::string> peer_addresses(const std::vector<Candidate>& candidates) {
  std::vector<std::string> peers;
  for (const Candidate& candidate : candidates) {
    if (is_peer_kind(candidate.kind)) peers.push_back(candidate.addr);
  }
  return peers;
}

std::optional<std::string_view> refusal_reason(
    std::uint64_t direct_active, const std::optional<std::vector<asio::ip::address>>& admitted,
    const asio::ip::address& from) {
  if (direct_active != 1) return REASON_REVOKED;
  if (admitted && !is_one_of(from, *admitted)) return REASON_NOT_LISTED;
  return std::nullopt;
}

asio::awaitable<Status> run_direct_listener(OwnerPairing pairing, SharedWriterPtr writer,
                                            SharedStatePtr shared, asio::any_io_executor pool,
                                            DirectSetup setup) {
  Status ended = co_await open_direct_listeners(
      std::move(pairing), std::move(writer), std::move(shared), std::move(pool), std::move(setup));
  if (!ended && debug_enabled())
    print_err("client: 直连监听退出 " + ended.error().display() + "\n");
  co_return ended;
}

asio::awaitable<void> serve_direct_listener(tcp::acceptor listener, SharedStatePtr shared,
                                            SharedWriterPtr writer, std::uint16_t port,
                                            asio::any_io_executor pool, DirectTimings timings) {
  for (;;) {
    // Each joined connection gets a strand of its own, its sockets with it.
    asio::any_io_executor strand = asio::make_strand(pool);
    auto [accept_ec, peer] = co_await listener.async_accept(strand, as_tuple_awaitable);
    if (accept_ec) co_return;  // the listener closes; its port stays in direct_ports
    std::error_code ec;
    const tcp::endpoint from = peer.remote_endpoint(ec);
    if (ec) continue;  // gone again before it could be looked at

    const std::uint64_t active = load(shared->direct_active);
    auto reason = refusal_reason(active, shared->direct_peer_addrs.get(), from.address());
    if (reason) {
      print_out("client: 拒绝直连 " + socket_address_text(from) + "（" + std::string(*reason) +
                "）\n");
      continue;  // the refused connection closes here
    }
    tcp::socket local(strand);
    auto [connect_ec] =
        co_await local.async_connect({asio::ip::address_v4::loopback(), port}, as_tuple_awaitable);
    if (connect_ec) continue;  // no local service: the peer's connection just closes

    print_out("client: 直连来自 " + socket_address_text(from) + " → :" + std::to_string(port) +
              "\n");
    const std::uint64_t generation = load(shared->punch_generation);
    asio::co_spawn(strand, send_owner_result(result_payload("lan"), writer), asio::detached);
    asio::co_spawn(strand,
                   run_owner_direct_session(std::move(peer), std::move(local), shared, generation,
                                            from.address(), timings.pairing_watch_interval),
                   asio::detached);
  }
}

asio::awaitable<void> run_owner_direct_session(tcp::socket peer, tcp::socket local,
                                               SharedStatePtr shared, std::uint64_t generation,
                                               asio::ip::address peer_ip,
                                               std::chrono::milliseconds watch_interval) {
  SplitStream peer_halves = split_tcp(std::move(peer));
  SplitStream local_halves = split_tcp(std::move(local));
  std::string cut_line =
      "client: 名单变了，掐断与 " + peer_ip.to_string() + " 的直连（之后重新配对才会再连上）\n";
  co_await relay_while_paired(std::move(peer_halves), std::move(local_halves), std::move(shared),
                              generation, watch_interval, std::move(cut_line));
}

asio::awaitable<void> send_owner_result(std::string payload, SharedWriterPtr writer) {
  co_await send_punch_result(std::move(payload), std::move(writer));
}

}  // namespace quillmar
