#include "desktop/status_texts.hpp"

#include <algorithm>
#include <vector>

namespace quillmar {
namespace {

std::string public_address(std::string_view sub, std::uint16_t port, std::string_view domain) {
  return "https://" + std::string(sub) + "-" + std::to_string(port) + "." + std::string(domain);
}

}  // namespace

std::string tray_status_text(const SharedState& shared) {
  std::string error = shared.connection_error.get();
  if (!error.empty()) return "连接异常：" + error;
  if (load(shared.quota_used) != 0) return "今日流量已用完，北京时间 00:00 恢复";
  if (load(shared.connected) != 0) {
    auto count = shared.ports.with([](const auto& ports) { return ports.size(); });
    return "已连接 · " + std::to_string(count) + " 条映射";
  }
  if (!shared.invite.get().empty()) return "正在连接…";
  return "未配置接入码";
}

std::string status_line_text(const SharedState& shared) {
  std::string error = shared.connection_error.get();
  if (!error.empty()) return error;
  if (load(shared.connected) != 0) {
    return load(shared.tls_active) != 0 ? "● 已连接 · 隧道已加密" : "● 已连接";
  }
  if (!shared.invite.get().empty()) return "● 正在连接…";
  return "● 首次使用：请粘贴接入码";
}

std::string domain_line_text(std::string_view sub, std::string_view domain) {
  return "访问域名：" + std::string(sub) + "." + std::string(domain);
}

std::string mapping_row_text(std::uint16_t port, bool has_password, std::string_view sub,
                             std::string_view domain) {
  return "本机 127.0.0.1:" + std::to_string(port) + (has_password ? " [访问密码]" : " [公开]") +
         "    →    " + public_address(sub, port, domain);
}

std::optional<std::string> access_url(const SharedState& shared, std::string_view domain) {
  std::string sub = shared.sub.get();
  std::vector<std::uint16_t> ports = shared.ports.get();
  std::uint64_t examined_limit = std::max<std::uint64_t>(load(shared.max_mappings), 1);
  std::vector<std::uint16_t> blocked = shared.blocked_ports.get();
  std::uint64_t examined = 0;
  for (auto port : ports) {
    if (examined == examined_limit) break;
    if (std::find(blocked.begin(), blocked.end(), port) == blocked.end())
      return public_address(sub, port, domain);
    ++examined;
  }
  return std::nullopt;
}

}  // namespace quillmar
