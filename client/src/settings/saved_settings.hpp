// The mapping settings start-up reads from the key file: ports, access digests and
// target hosts (each reads the file anew; an unreadable file or a missing line gives
// an empty result).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/key_file_writers.hpp"

namespace quillmar {

// The value of the first line that begins exactly with key and "=".
std::optional<std::string> saved_line_value(std::string_view file_text, std::string_view key);

std::vector<std::uint16_t> load_saved_ports(const std::filesystem::path& key_path);
PortDigests load_saved_access(const std::filesystem::path& key_path);
PortHosts load_saved_targets(const std::filesystem::path& key_path);

}  // namespace quillmar
