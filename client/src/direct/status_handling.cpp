#include "direct/status_handling.hpp"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/strand.hpp>

#include "app/output.hpp"
#include "direct/addresses.hpp"
#include "direct/candidate_search.hpp"
#include "direct/offers.hpp"
#include "direct/owner_listener.hpp"
#include "direct/records.hpp"
#include "direct/visitor_entry.hpp"
#include "proto/text.hpp"
#include "settings/device_id.hpp"
#include "settings/key_file_writers.hpp"

namespace quillmar {
namespace {

std::uint16_t first_port(const std::vector<std::uint16_t>& ports) {
  return ports.empty() ? 0 : ports.front();
}

void advance_generation(SharedState& shared) {
  shared.punch_generation.fetch_add(1, std::memory_order_relaxed);
}

void control_line(std::string_view change) {
  print_out("client: " + std::string(change) + "（隧道不重连，立刻生效）\n");
}

asio::awaitable<void> ready_as_visitor(PunchContext& context, PunchStatus status) {
  SharedState& shared = *context.shared;
  print_out("client: 直连候选 " + quoted_candidates(status.candidates) + "\n");
  auto found = co_await find_reachable_candidate(status.candidates, context.punch.gateway_addrs,
                                                 first_port(context.ports), context.setup.timings);
  if (!found) {
    store(shared.punch_state, PUNCH_RELAY);
    store(shared.direct_active, 0);
    shared.punch_note.set(status.peer + " 在同网段但连不上（走中继）");
    print_out("client: 候选 " + quoted_candidates(status.candidates) + " 都连不通 —— 继续走中继\n");
    co_return;
  }
  print_out("client: 已直连 " + status.peer + "（" + socket_address_text(found->endpoint) + "，" +
            found->path + "），这条流量的带宽不过网关\n");
  store(shared.direct_active, 1);
  store(shared.punch_state, PUNCH_DIRECT);
  shared.punch_note.set("与 " + status.peer + " 直连成功（" + found->path + "）");
  const std::uint16_t entry =
      visitor_entry_port(context.punch.entry_port, status.port, context.ports);
  asio::co_spawn(
      asio::make_strand(context.pool),
      run_direct_entry(context.gateway, status.peer + "." + context.domain, std::move(*found),
                       context.writer, context.shared, entry, context.pool, context.setup.timings),
      asio::detached);
}

void ready_as_owner(PunchContext& context, PunchStatus status) {
  SharedState& shared = *context.shared;
  print_out("client: " + status.peer + " 要直连过来，本机 :" + std::to_string(status.port) +
            " 之后的连接直转本地服务\n");
  store(shared.punch_state, PUNCH_DIRECT);
  shared.punch_note.set(status.peer + " 可直连本机关口");
  OwnerPairing pairing{std::move(status.candidates), context.ports, context.punch.gateway_addrs,
                       status.port};
  asio::co_spawn(asio::make_strand(context.pool),
                 run_direct_listener(std::move(pairing), context.writer, context.shared,
                                     context.pool, context.setup),
                 asio::detached);
}

}  // namespace

asio::awaitable<void> register_punch(PunchContext& context) {
  SharedState& shared = *context.shared;
  bool registered = false;

  const std::string visit = shared.punch_visit.get();
  if (!visit.empty()) {
    registered = true;
    auto sent = co_await send_visitor_offer(*context.writer, shared, context.setup.probe_targets);
    if (sent) {
      store(shared.punch_state, PUNCH_PENDING);
      shared.punch_note.set("等待 " + visit + " 的直连配对");
      print_out("client: 已向网关登记直连候选（目标 " + visit + "，候选 " + sent.value() + "）\n");
    }
  }

  const AllowList allow = shared.punch_allow.get();
  if (!allow.empty()) {
    registered = true;
    auto sent = co_await send_owner_offer(*context.writer, shared, context.ports,
                                          context.setup.probe_targets);
    if (sent) {
      store(shared.punch_state, PUNCH_PENDING);
      shared.punch_note.set("已允许 " + join_names(allow, "、") + " 直连（本机首个端口）");
      print_out("client: 已声明可被 " + join_names(allow, ",") + " 直连，候选 " + sent.value() +
                "\n");
    }
  }

  if (!registered) {
    store(shared.punch_state, PUNCH_OFF);
    shared.punch_note.set("");
  }
}

asio::awaitable<void> handle_punch_status(PunchContext& context, const Frame& frame) {
  if (frame.id != 0) co_return;
  PunchStatus status =
      parse_punch_status(frame.payload).value_or(PunchStatus{"unknown", "?", 0, {}});
  SharedState& shared = *context.shared;

  if (status.status == "request") {
    record_punch_request(shared, status.peer);
    print_out("client: " + status.peer +
              " 想直连本机 —— 在管理页「允许谁直连」里点允许即可（现在它走中继）\n");
    co_return;
  }
  if (status.status == "waiting") {
    store(shared.direct_active, 0);
    advance_generation(shared);
    store(shared.punch_state, PUNCH_PENDING);
    shared.punch_note.set("等 " + status.peer + " 上线");
    co_return;
  }
  if (status.status == "ready") {
    const std::string visit = shared.punch_visit.get();
    const bool visitor = !visit.empty() && status.peer == visit && shared.sub.get() != visit;
    if (visitor) {
      co_await ready_as_visitor(context, std::move(status));
    } else {
      ready_as_owner(context, std::move(status));
    }
    co_return;
  }
  store(shared.punch_state, PUNCH_RELAY);
  store(shared.direct_active, 0);
  advance_generation(shared);
  shared.punch_note.set(status.peer + " 无可用直连地址（走中继）");
  print_out("client: " + status.peer + " 没有可用的同网段地址 —— 继续走中继\n");
}

asio::awaitable<Status> apply_punch_control(PunchContext& context, SessionControl message) {
  SharedState& shared = *context.shared;
  if (message.tag == SessionControl::Tag::CONTROL_ALLOW_LIST) {
    advance_generation(shared);
    shared.punch_allow.set(message.allow);
    store(shared.direct_active, 0);
    save_punch_settings(shared.key_path, message.allow, shared.punch_visit.get());
    auto sent = co_await send_owner_offer(*context.writer, shared, context.ports,
                                          context.setup.probe_targets);
    if (!sent) co_return sent.error();
    const bool any = !message.allow.empty();
    store(shared.punch_state, any ? PUNCH_PENDING : PUNCH_OFF);
    shared.punch_note.set(any ? "已允许 " + join_names(message.allow, "、") + " 直连"
                              : std::string("直连已关闭（名单为空）"));
    control_line("「允许谁直连」:= " + quoted_list(message.allow));
    co_return Status{};
  }

  store(shared.direct_active, 0);
  advance_generation(shared);
  shared.punch_visit.set(message.visit);
  save_punch_settings(shared.key_path, shared.punch_allow.get(), message.visit);
  const bool any = !message.visit.empty();
  Status sent;
  if (any) {
    auto offered =
        co_await send_visitor_offer(*context.writer, shared, context.setup.probe_targets);
    if (!offered) sent = offered.error();
  } else {
    std::string clearing = offer_payload("visitor", "", "");
    sent = co_await send_offer_frame(*context.writer, std::move(clearing));
  }
  if (!sent) co_return sent;
  store(shared.punch_state, any ? PUNCH_PENDING : PUNCH_OFF);
  shared.punch_note.set(any ? "等待 " + message.visit + " 的直连配对"
                            : std::string("不再直连任何设备（走中继）"));
  control_line("「我要直连谁」:= " + quoted_form(message.visit));
  co_return Status{};
}

void record_punch_request(SharedState& shared, std::string_view name) {
  shared.punch_requests.with([&](std::vector<PunchRequest>& requests) {
    const std::uint64_t now = unix_now_secs();
    forget_requests_from(requests, name);
    requests.insert(requests.begin(), PunchRequest{std::string(name), now});
    keep_recent_requests(requests);
  });
}

std::uint16_t visitor_entry_port(std::uint16_t on_port, std::uint16_t status_port,
                                 const std::vector<std::uint16_t>& ports) {
  if (on_port != 0) return on_port;
  return std::max(status_port, first_port(ports));
}

}  // namespace quillmar
