#include "settings/saved_settings.hpp"

#include <algorithm>

#include "app/options.hpp"
#include "proto/access.hpp"
#include "proto/text.hpp"
#include "settings/key_file.hpp"
#include "settings/validators.hpp"

namespace quillmar {
namespace {

std::optional<std::string> saved_value(const std::filesystem::path& key_path,
                                       std::string_view key) {
  auto text = read_key_text(key_path);
  if (!text) return std::nullopt;
  return saved_line_value(text.value(), key);
}

}  // namespace

std::optional<std::string> saved_line_value(std::string_view file_text, std::string_view key) {
  std::string prefix = std::string(key) + "=";
  for (auto line : split(file_text, '\n')) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.starts_with(prefix)) return std::string(line.substr(prefix.size()));
  }
  return std::nullopt;
}

std::vector<std::uint16_t> parse_saved_ports(std::string_view value) {
  std::vector<std::uint16_t> ports;
  for (auto item : split(value, ',')) {
    auto port = parse_port_number(trim(item));
    if (!port || *port == 0 || std::find(ports.begin(), ports.end(), *port) != ports.end())
      continue;
    ports.push_back(*port);
  }
  return ports;
}

PortDigests parse_saved_access(std::string_view value) {
  std::string lines(value);
  std::replace(lines.begin(), lines.end(), ',', '\n');
  PortDigests access;
  for (auto& entry : parse_access_list(lines)) access[entry.port] = entry.hash;
  return access;
}

PortHosts parse_saved_targets(std::string_view value) {
  PortHosts targets;
  for (auto item : split(value, ',')) {
    auto at = item.find('@');
    if (at == std::string_view::npos) continue;
    auto port = parse_port_number(item.substr(0, at));
    auto host = item.substr(at + 1);
    if (!port || !is_valid_host(host)) continue;
    targets[*port] = std::string(host);
  }
  return targets;
}

std::vector<std::uint16_t> load_saved_ports(const std::filesystem::path& key_path) {
  auto value = saved_value(key_path, "ports");
  return value ? parse_saved_ports(*value) : std::vector<std::uint16_t>();
}

PortDigests load_saved_access(const std::filesystem::path& key_path) {
  auto value = saved_value(key_path, "access");
  return value ? parse_saved_access(*value) : PortDigests();
}

PortHosts load_saved_targets(const std::filesystem::path& key_path) {
  auto value = saved_value(key_path, "targets");
  return value ? parse_saved_targets(*value) : PortHosts();
}

}  // namespace quillmar
