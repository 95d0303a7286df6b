#include "desktop/window_commands.hpp"

#include <algorithm>

#include "console/body_readers.hpp"
#include "console/routes.hpp"
#include "proto/access.hpp"
#include "proto/text.hpp"
#include "settings/key_file_writers.hpp"

namespace quillmar {
namespace {

constexpr std::string_view MALFORMED_INVITE = "接入码格式有误，请重新复制完整接入码。";
constexpr std::string_view PORT_RANGE = "端口范围是 1 到 65535。";
constexpr std::string_view SELECT_FIRST = "请先在列表中选择一条映射。";

// Control characters, the C1 range and every blank: none of them is ever part of a
// copied access code. A backslash is.
bool is_valid_invite_char(char32_t c) {
  return c >= 0x21 && !(c >= 0x7F && c <= 0x9F) && !is_unicode_space(c);
}

bool is_valid_invite(std::string_view code) {
  if (code.empty() || code.size() > MAX_INVITE_LEN) return false;
  for (std::size_t pos = 0; pos < code.size();) {
    if (!is_valid_invite_char(next_code_point(code, pos))) return false;
  }
  return true;
}

std::optional<std::uint16_t> parse_port_field(std::string_view text) {
  auto port = parse_u16(trim(text));
  if (!port || *port == 0) return std::nullopt;
  return port;
}

void request_reload(ReloadSender& reload_tx) {
  // A closed channel means the supervisor is gone; there is nobody left to tell.
  (void)reload_tx.try_send(Signal{});
}

CommandOutcome message_only(std::string_view text) {
  return CommandOutcome{.message = std::string(text)};
}

CommandOutcome save_invite(const WindowFields& fields, SharedState& shared,
                           ReloadSender& reload_tx) {
  std::string code(trim(fields.invite));
  if (!is_valid_invite(code)) return message_only(MALFORMED_INVITE);
  if (Status saved = set_key_line(shared.key_path, "invite", code); !saved.ok())
    return message_only("保存接入码失败：" + saved.error().display());
  shared.invite.set(std::move(code));
  request_reload(reload_tx);
  return {.message = "接入码已保存，正在连接…", .clear_invite = true};
}

CommandOutcome add_mapping(const WindowFields& fields, SharedState& shared,
                           ReloadSender& reload_tx) {
  auto port = parse_port_field(fields.port);
  if (!port) return message_only(PORT_RANGE);
  shared.ports.with([&](std::vector<std::uint16_t>& ports) {
    if (std::find(ports.begin(), ports.end(), *port) == ports.end()) ports.push_back(*port);
    save_ports(shared.key_path, ports);
  });
  if (!fields.password.empty()) {
    const std::string digest = hash_access_password(fields.password);
    shared.access.with([&](PortDigests& access) {
      access[*port] = digest;
      save_access(shared.key_path, access);
    });
  }
  request_reload(reload_tx);
  return {
      .message = "端口映射已保存。", .clear_port = true, .clear_password = true, .refresh = true};
}

CommandOutcome delete_mapping(const WindowFields& fields,
                              const std::vector<std::uint16_t>& listed_ports, SharedState& shared,
                              ReloadSender& reload_tx) {
  if (!fields.selected || *fields.selected >= listed_ports.size()) return {};
  const std::uint16_t port = listed_ports[*fields.selected];
  shared.ports.with([&](std::vector<std::uint16_t>& ports) {
    remove_port(ports, port);
    save_ports(shared.key_path, ports);
  });
  shared.access.with([&](PortDigests& access) {
    if (access.erase(port) != 0) save_access(shared.key_path, access);
  });
  shared.targets.with([&](PortHosts& targets) {
    if (targets.erase(port) != 0) save_targets(shared.key_path, targets);
  });
  request_reload(reload_tx);
  return {.message = "已删除端口 " + std::to_string(port) + " 的映射。", .refresh = true};
}

// The selected row's port; with no selection the port field's number, used as it is
// (0 and ports without a mapping included).
std::optional<std::uint16_t> password_target(const WindowFields& fields,
                                             const std::vector<std::uint16_t>& listed_ports) {
  if (!fields.selected) return parse_u16(trim(fields.port));
  if (*fields.selected >= listed_ports.size()) return std::nullopt;
  return listed_ports[*fields.selected];
}

CommandOutcome change_password(int id, const WindowFields& fields,
                               const std::vector<std::uint16_t>& listed_ports, SharedState& shared,
                               ReloadSender& reload_tx) {
  auto port = password_target(fields, listed_ports);
  if (!port) return message_only(SELECT_FIRST);
  const bool make_public = id == ID_MAKE_PUBLIC;
  const std::string& password = fields.password;
  if (!make_public && password.empty())
    return message_only("请输入访问密码；恢复公开请点“恢复公开”。");
  if (password.size() > MAX_ACCESS_PASSWORD_LEN) return message_only("访问密码最长 128 个字符。");
  const std::string digest = make_public ? std::string() : hash_access_password(password);
  shared.access.with([&](PortDigests& access) {
    if (make_public) {
      access.erase(*port);
    } else {
      access[*port] = digest;
    }
    save_access(shared.key_path, access);
  });
  request_reload(reload_tx);
  return {.message = make_public ? "已恢复公开访问。" : "访问密码已保存。",
          .clear_password = true,
          .refresh = true};
}

}  // namespace

bool is_window_command(int id) { return id >= ID_SAVE_INVITE && id <= ID_MAKE_PUBLIC; }

CommandOutcome run_window_command(int id, const WindowFields& fields,
                                  const std::vector<std::uint16_t>& listed_ports,
                                  SharedState& shared, ReloadSender& reload_tx) {
  switch (id) {
    case ID_SAVE_INVITE:
      return save_invite(fields, shared, reload_tx);
    case ID_ADD_MAPPING:
      return add_mapping(fields, shared, reload_tx);
    case ID_DELETE_MAPPING:
      return delete_mapping(fields, listed_ports, shared, reload_tx);
    case ID_SET_PASSWORD:
    case ID_MAKE_PUBLIC:
      return change_password(id, fields, listed_ports, shared, reload_tx);
    default:
      return {};
  }
}

void remove_port(std::vector<std::uint16_t>& ports, std::uint16_t port) { std::erase(ports, port); }

}  // namespace quillmar
