#include "session/handshake.hpp"

#include "app/environment.hpp"
#include "app/output.hpp"
#include "proto/access.hpp"
#include "proto/frame.hpp"
#include "proto/text.hpp"
#include "session/gateway_connection.hpp"

namespace quillmar {
namespace {

std::string join_ports(const std::vector<std::uint16_t>& ports) {
  std::string out;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (i > 0) out += ',';
    out += std::to_string(ports[i]);
  }
  return out;
}

Frame text_frame(std::uint8_t kind, std::string_view text) {
  return new_frame(kind, 0, as_bytes(text));
}

std::string access_payload(const SessionInputs& inputs, SharedState& shared) {
  std::vector<AccessEntry> entries = shared.access.with([&](const PortDigests& access) {
    std::vector<AccessEntry> out;
    for (auto port : inputs.ports) {
      if (auto it = access.find(port); it != access.end()) out.push_back({port, it->second});
    }
    return out;
  });
  return format_access_list(entries);
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// What the welcome itself sets; the direct-connection offers follow it.
void take_welcome(const std::string& text, SharedState& shared) {
  store(shared.front_http_port, welcome_number(text, "pubport"));
  store(shared.front_https_port, welcome_number(text, "pubtls"));
  if (debug_enabled()) {
    print_out("client: 正门端口 http=" + std::to_string(load(shared.front_http_port)) +
              " / https=" + std::to_string(load(shared.front_https_port)) +
              "（0 = 没配，被撤销后无法回落）\n");
  }
  shared.blocked_ports.set({});
}

// The session is accepted: its flags, then the ready banner.
void mark_connected(const SessionInputs& inputs, SharedState& shared) {
  store(shared.quota_used, 0);
  store(shared.ownership, OWNERSHIP_MINE);
  store(shared.connected, 1);
  shared.connection_error.set("");
  print_ready_banner(inputs, shared);
}

SessionOutcome handle_refusal(const std::string& text, SharedState& shared) {
  print_err("client: 网关拒绝 —— " + text + "\n");
  if (text.find("接入码") != std::string::npos) {
    print_err("client: 加 --invite <码> 再启动一次（会存进 id.ini，以后不用再给）\n");
  }
  if (starts_with(text, "slug-taken: ")) return SessionOutcome::OUTCOME_NAME_TAKEN;
  if (starts_with(text, "quota:")) {
    if (auto notice = mapping_limit_notice(text)) {
      store(shared.quota_used, 0);
      std::uint64_t max = load(shared.max_mappings);
      store(shared.hello_port_limit, max == 0 ? 1 : max);
      shared.connection_error.set(*notice);
      return SessionOutcome::OUTCOME_RETRY;
    }
    store(shared.quota_used, 1);
    return SessionOutcome::OUTCOME_QUOTA;
  }
  if (auto blocked = parse_blocked_ports(text)) shared.blocked_ports.set(std::move(*blocked));
  return SessionOutcome::OUTCOME_RETRY;
}

}  // namespace

asio::awaitable<std::optional<SessionOutcome>> send_handshake(SharedWriter& writer,
                                                              const SessionInputs& inputs,
                                                              SharedState& shared) {
  std::string hello = inputs.sub + "\n" + join_ports(inputs.ports) + "\n" + inputs.token;
  Status hello_sent = co_await writer.send(text_frame(KIND_HELLO, hello));
  if (!hello_sent) {
    bool dropped = co_await session_dropped();
    if (!dropped) print_err("client: 发送握手失败 " + hello_sent.error().display() + "\n");
    co_return SessionOutcome::OUTCOME_RETRY;
  }
  if (!inputs.invite.empty()) {
    auto sent = co_await writer.send(text_frame(KIND_INVITE, inputs.invite));
    if (!sent) co_return SessionOutcome::OUTCOME_RETRY;
  }
  auto sent = co_await writer.send(text_frame(KIND_ACCESS, access_payload(inputs, shared)));
  if (!sent) co_return SessionOutcome::OUTCOME_RETRY;
  co_return std::nullopt;
}

asio::awaitable<std::optional<SessionOutcome>> handle_handshake_reply(ReadHalf& reader,
                                                                      const SessionInputs& inputs,
                                                                      SharedState& shared,
                                                                      PunchContext& punch) {
  auto read = co_await read_frame(reader);
  if (!read) {
    bool dropped = co_await session_dropped();
    if (!dropped) print_err("client: 握手读失败 " + read.error().display() + "\n");
    co_return SessionOutcome::OUTCOME_RETRY;
  }
  auto& frame = read.value();
  if (!frame || (frame->kind != KIND_WELCOME && frame->kind != KIND_ERROR)) {
    print_err("client: 握手中收到意外帧\n");
    co_return SessionOutcome::OUTCOME_RETRY;
  }
  std::string text = decode_utf8_lossy(frame->payload);
  if (frame->kind == KIND_ERROR) co_return handle_refusal(text, shared);
  take_welcome(text, shared);
  co_await register_punch(punch);
  mark_connected(inputs, shared);
  co_return std::nullopt;
}

std::uint64_t welcome_number(std::string_view text, std::string_view key) {
  std::string needle = "|" + std::string(key) + "=";
  auto at = text.find(needle);
  if (at == std::string_view::npos) return 0;
  auto value = text.substr(at + needle.size());
  value = value.substr(0, value.find('|'));
  return parse_decimal(trim(value), UINT64_MAX).value_or(0);
}

std::optional<std::string> mapping_limit_notice(std::string_view text) {
  if (!starts_with(text, "quota:")) return std::nullopt;
  if (text.find("映射") == std::string_view::npos && text.find("隧道") == std::string_view::npos)
    return std::nullopt;
  return std::string(trim(text.substr(6)));
}

std::optional<std::vector<std::uint16_t>> parse_blocked_ports(std::string_view text) {
  constexpr std::string_view MARKER = "blocked ports:";
  auto at = text.find(MARKER);
  if (at == std::string_view::npos) return std::nullopt;
  auto part = text.substr(at + MARKER.size());
  part = part.substr(0, part.find(MARKER));

  std::vector<std::uint16_t> ports;
  std::size_t pos = 0;
  while (pos < part.size()) {
    if (part[pos] < '0' || part[pos] > '9') {
      ++pos;
      continue;
    }
    std::size_t end = pos;
    while (end < part.size() && part[end] >= '0' && part[end] <= '9') ++end;
    if (auto port = parse_u16(part.substr(pos, end - pos))) ports.push_back(*port);
    pos = end;
  }
  if (ports.empty()) return std::nullopt;
  return ports;
}

std::string target_host_for(SharedState& shared, std::uint16_t port) {
  return shared.targets.with([port](const PortHosts& targets) {
    auto it = targets.find(port);
    return it == targets.end() ? std::string("127.0.0.1") : it->second;
  });
}

void print_ready_banner(const SessionInputs& inputs, SharedState& shared) {
  print_out("\n  ✔ 已就绪  https://" + inputs.sub + "." + inputs.domain + "\n");
  for (auto port : inputs.ports) {
    std::string p = std::to_string(port);
    print_out("    https://" + inputs.sub + "-" + p + "." + inputs.domain + "  ->  http://" +
              target_host_for(shared, port) + ":" + p + "\n");
  }
  if (inputs.ports.empty()) print_out("    （还没有映射，去管理页面添加）\n");
  print_out("\n");
}

}  // namespace quillmar
