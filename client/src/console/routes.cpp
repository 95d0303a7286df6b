#include "console/routes.hpp"

#include <algorithm>

#include "console/body_readers.hpp"
#include "console/reply.hpp"
#include "console/state_document.hpp"
#include "proto/access.hpp"
#include "settings/key_file.hpp"
#include "settings/key_file_writers.hpp"

namespace quillmar {
namespace {

std::string note_reply(std::string_view note) {
  return json_response("{\"ok\":true,\"note\":" + json_string(note) + "}");
}

// A reader's message, or any other text of ours that may hold arbitrary characters.
std::string reader_refusal(std::string_view message) {
  return json_response("{\"ok\":false,\"error\":" + json_string(message) + "}");
}

// collect_ports' messages hold only digits and fixed text.
std::string port_list_refusal(std::string_view message) {
  return json_response("{\"ok\":false,\"error\":\"" + std::string(message) + "\"}");
}

std::string fixed_refusal(std::string_view error) {
  return json_response("{\"ok\":false,\"error\":" + json_string(error) + "}");
}

// A failed send means the supervisor is gone; there is nobody left to tell.
void request_reload(RouteContext& ctx) { (void)ctx.reload_tx.try_send(Signal{}); }

void clear_connection_error(SharedState& shared) { shared.connection_error.set(std::string()); }

std::string join(const std::vector<std::string>& texts, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) out += separator;
    out += texts[i];
  }
  return out;
}

std::string punch_lists_reply(const SharedState& shared) {
  const PunchListsJson lists = punch_lists_json(shared);
  const bool connected = load(shared.connected) != 0;
  return json_response("{\"allow\":[" + lists.allow + "],\"requests\":[" + lists.requests +
                       "],\"visit\":" + lists.visit +
                       ",\"connected\":" + (connected ? "true" : "false") + "}");
}

std::string punch_change(std::string_view body, RouteContext& ctx) {
  SharedState& shared = *ctx.shared;
  std::vector<std::string> invalid;
  bool changed = false;
  bool all_sent = true;

  if (auto visit = parse_visit_field(body, invalid)) {
    shared.punch_visit.set(*visit);
    const AllowList allow = shared.punch_allow.get();
    save_punch_settings(shared.key_path, allow, *visit);
    SessionControl control{SessionControl::Tag::CONTROL_VISIT, {}, *visit};
    if (!ctx.control_tx.try_send(std::move(control))) all_sent = false;
    changed = true;
  }
  if (body.find("allow") != std::string_view::npos) {
    AllowList allow = parse_allow_body(body, invalid);
    shared.punch_allow.set(allow);
    const std::string visit = shared.punch_visit.get();
    save_punch_settings(shared.key_path, allow, visit);
    SessionControl control{SessionControl::Tag::CONTROL_ALLOW_LIST, std::move(allow), {}};
    if (!ctx.control_tx.try_send(std::move(control))) all_sent = false;
    changed = true;
  }

  const PunchListsJson lists = punch_lists_json(shared);
  std::string note;
  if (!invalid.empty()) {
    note = "有 " + std::to_string(invalid.size()) +
           " 条不是合法设备名（只许小写字母、数字、-、_），已忽略：" + join(invalid, "、");
  } else if (!changed) {
    note = "没收到要改的内容（allow 或 visit）";
  } else if (!all_sent) {
    note = "已保存，连上网关后自动生效";
  } else {
    note = "已生效（不用重连，网关当场重算配对）";
  }
  return json_response("{\"ok\":true,\"allow\":[" + lists.allow + "],\"visit\":" + lists.visit +
                       ",\"note\":" + json_string(note) + "}");
}

}  // namespace

void retain_ports(std::map<std::uint16_t, std::string>& map,
                  const std::vector<std::uint16_t>& ports) {
  std::erase_if(map, [&](const auto& entry) {
    return std::find(ports.begin(), ports.end(), entry.first) == ports.end();
  });
}

std::string handle_state(RouteContext& ctx) {
  return json_response(render_state_json(*ctx.shared, ctx.domain, ctx.gateway));
}

std::string handle_ports(std::string_view body, RouteContext& ctx) {
  auto ports = collect_ports(body);
  if (!ports.ok()) return port_list_refusal(ports.error());
  auto targets = parse_targets(body, ports.value());
  if (!targets.ok()) return reader_refusal(targets.error());

  SharedState& shared = *ctx.shared;
  save_ports(shared.key_path, ports.value());
  save_targets(shared.key_path, targets.value());
  // The digests of ports no longer mapped go; the lock stays held while the file is
  // written so that a concurrent password change cannot be saved in between.
  shared.access.with([&](PortDigests& access) {
    retain_ports(access, ports.value());
    save_access(shared.key_path, access);
  });
  shared.targets.set(std::move(targets).value());
  shared.ports.set(std::move(ports).value());
  request_reload(ctx);
  return note_reply("已生效");
}

std::string handle_access(std::string_view body, RouteContext& ctx) {
  std::optional<std::uint16_t> port;
  if (auto ports = collect_ports(body); ports.ok() && !ports.value().empty())
    port = ports.value().front();
  auto password = json_string_field(body, "password");
  if (!password.ok()) return reader_refusal(password.error());
  if (!port) return fixed_refusal("缺少有效端口");

  SharedState& shared = *ctx.shared;
  const bool mapped = shared.ports.with([&](const std::vector<std::uint16_t>& ports) {
    return std::find(ports.begin(), ports.end(), *port) != ports.end();
  });
  if (!mapped) return fixed_refusal("该端口尚未添加映射");
  if (password.value().size() > MAX_ACCESS_PASSWORD_LEN)
    return fixed_refusal("访问密码最长 128 个字符");

  // The digest is made before the lock is taken; hashing needs no shared state.
  const std::string digest =
      password.value().empty() ? std::string() : hash_access_password(password.value());
  shared.access.with([&](PortDigests& access) {
    if (digest.empty()) {
      access.erase(*port);
    } else {
      access[*port] = digest;
    }
    save_access(shared.key_path, access);
  });
  request_reload(ctx);
  return note_reply("访问密码已更新");
}

std::string handle_invite(std::string_view body, RouteContext& ctx) {
  auto code = parse_invite_field(body);
  if (!code.ok()) return reader_refusal(code.error());
  SharedState& shared = *ctx.shared;
  if (Status saved = set_key_line(shared.key_path, "invite", code.value()); !saved.ok()) {
    return reader_refusal("保存接入码失败: " + saved.error().display());
  }
  shared.invite.set(std::move(code).value());
  request_reload(ctx);
  return note_reply("接入码已保存，正在连接");
}

std::string handle_reconnect(RouteContext& ctx) {
  request_reload(ctx);
  return note_reply("正在刷新套餐与连接状态");
}

std::string handle_subdomain(std::string_view body, RouteContext& ctx) {
  auto wanted = parse_subdomain_field(body);
  if (!wanted.ok()) return reader_refusal(wanted.error());
  SharedState& shared = *ctx.shared;
  const std::string& name = wanted.value();
  const bool same = shared.sub.with([&](const std::string& sub) { return sub == name; });
  if (same) return note_reply("域名未变化");

  update_creds(shared.key_path, [&name](Creds& creds) {
    creds.sub = name;
    return true;
  });
  shared.sub.set(name);
  clear_connection_error(shared);
  request_reload(ctx);
  return json_response("{\"ok\":true,\"sub\":" + json_string(name) +
                       ",\"note\":\"正在切换到新域名\"}");
}

std::string handle_trust_reset(RouteContext& ctx) {
  SharedState& shared = *ctx.shared;
  update_creds(shared.key_path, [](Creds& creds) {
    creds.gw_pin.clear();
    return true;
  });
  clear_connection_error(shared);
  request_reload(ctx);
  return note_reply("网关证书信任已更新，正在重新连接");
}

std::string handle_punch(std::string_view method, std::string_view body, RouteContext& ctx) {
  if (ctx.shared->punch_api_off) return not_found_response();
  if (method == "POST") return punch_change(body, ctx);
  return punch_lists_reply(*ctx.shared);
}

}  // namespace quillmar
