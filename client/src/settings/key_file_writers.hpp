// Single-setting writers of the key file: each rewrites one line and keeps the rest.
// They share the key file's process-wide lock and its atomic replacement.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/result.hpp"

namespace quillmar {

using PortHosts = std::map<std::uint16_t, std::string>;    // port -> target host
using PortDigests = std::map<std::uint16_t, std::string>;  // port -> access digest

// Refuses ("设备凭据尚未初始化") a file without a "token=" line, and a value holding a
// line break. The new line becomes the file's last line.
Status set_key_line(const std::filesystem::path& key_path, std::string_view key,
                    std::string_view value);
// The next line of rest (advanced past it) that, after its leading white space, does
// not begin with prefix; none when rest is used up.
std::optional<std::string> lines_without_key(std::string_view& rest, std::string_view prefix);
// The typed writers print their own failure line and return nothing.
void save_ports(const std::filesystem::path& key_path, const std::vector<std::uint16_t>& ports);
void save_access(const std::filesystem::path& key_path, const PortDigests& access);
void save_targets(const std::filesystem::path& key_path, const PortHosts& targets);
void save_punch_settings(const std::filesystem::path& key_path,
                         const std::vector<std::string>& allow, std::string_view visit);

}  // namespace quillmar
