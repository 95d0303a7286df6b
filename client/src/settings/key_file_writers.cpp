#include "settings/key_file_writers.hpp"

#include <string>

#include "app/output.hpp"
#include "proto/access.hpp"
#include "proto/text.hpp"
#include "settings/key_file.hpp"
#include "settings/validators.hpp"

namespace quillmar {
namespace {

std::string join(const std::vector<std::string>& items) {
  std::string joined;
  for (const auto& item : items) {
    if (!joined.empty()) joined += ",";
    joined += item;
  }
  return joined;
}

bool has_line_break(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

void report(std::string_view what, const Status& saved) {
  if (!saved) print_err("client: " + std::string(what) + ": " + saved.error().display() + "\n");
}

}  // namespace

std::optional<std::string> lines_without_key(std::string_view& rest, std::string_view prefix) {
  while (!rest.empty()) {
    std::string_view line = rest;
    auto end = rest.find('\n');
    if (end == std::string_view::npos) {
      rest = {};
    } else {
      line = rest.substr(0, end);
      rest.remove_prefix(end + 1);
      if (line.ends_with('\r')) line.remove_suffix(1);
    }
    if (!trim_start(line).starts_with(prefix)) return std::string(line);
  }
  return std::nullopt;
}

Status set_key_line(const std::filesystem::path& key_path, std::string_view key,
                    std::string_view value) {
  auto lock = lock_key_file();
  auto read = read_key_text(key_path);
  std::string old = read ? std::move(read).value() : std::string();

  bool has_token = false;
  for (auto line : key_file_lines(old)) has_token = has_token || line.starts_with("token=");
  if (!has_token) return IoError::make(ErrorKind::Other, "设备凭据尚未初始化");
  // The value would otherwise end the line and start another setting.
  if (has_line_break(value)) return IoError::make(ErrorKind::InvalidInput, "设置值里不能有换行");

  std::string prefix = std::string(key) + "=";
  std::string text;
  std::string_view rest = old;
  while (auto kept = lines_without_key(rest, prefix)) text.append(*kept).append("\n");
  text.append(prefix).append(value).append("\n");
  return write_key_text(key_path, text);
}

void save_ports(const std::filesystem::path& key_path, const std::vector<std::uint16_t>& ports) {
  std::vector<std::string> items;
  for (auto port : ports) items.push_back(std::to_string(port));
  report("保存端口映射失败", set_key_line(key_path, "ports", join(items)));
}

void save_access(const std::filesystem::path& key_path, const PortDigests& access) {
  std::vector<AccessEntry> entries;  // the map keeps them in ascending port order
  for (const auto& [port, hash] : access) entries.push_back({port, hash});
  std::string value = format_access_list(entries);
  for (char& c : value) {
    if (c == '\n') c = ',';
  }
  report("保存访问密码失败", set_key_line(key_path, "access", value));
}

void save_targets(const std::filesystem::path& key_path, const PortHosts& targets) {
  std::vector<std::string> items;  // the map keeps them in ascending port order
  for (const auto& [port, host] : targets) {
    if (is_valid_host(host)) items.push_back(std::to_string(port) + "@" + host);
  }
  report("保存目标地址失败", set_key_line(key_path, "targets", join(items)));
}

void save_punch_settings(const std::filesystem::path& key_path,
                         const std::vector<std::string>& allow, std::string_view visit) {
  auto lock = lock_key_file();
  auto read = read_key_text(key_path);
  if (!read) return;
  std::string punch_line = "punch=" + join(allow);
  std::string visit_line = "visit=" + std::string(visit);
  if (has_line_break(punch_line) || has_line_break(visit_line)) return;

  std::string text;
  bool had_punch = false;
  bool had_visit = false;
  for (auto line : key_file_lines(read.value())) {
    auto key = line_key(line);
    if (key == "punch") {
      text.append(punch_line).append("\n");
      had_punch = true;
    } else if (key == "visit") {
      text.append(visit_line).append("\n");
      had_visit = true;
    } else {
      text.append(line).append("\n");
    }
  }
  if (!had_punch) text.append(punch_line).append("\n");
  if (!had_visit) text.append(visit_line).append("\n");
  (void)write_key_text(key_path, text);  // a failed save leaves the old file whole; nobody is told
}

}  // namespace quillmar
