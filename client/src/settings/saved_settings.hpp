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

// The values of those lines: ports joined by ',' (0 and repeats skipped), items of a
// port, '=' and its digest, items of a port, '@' and its host (invalid items skipped).
std::vector<std::uint16_t> parse_saved_ports(std::string_view value);
PortDigests parse_saved_access(std::string_view value);
PortHosts parse_saved_targets(std::string_view value);

std::vector<std::uint16_t> load_saved_ports(const std::filesystem::path& key_path);
PortDigests load_saved_access(const std::filesystem::path& key_path);
PortHosts load_saved_targets(const std::filesystem::path& key_path);

}  // namespace quillmar
