// What counts as a device name and as a local target host.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillmar {

inline constexpr std::size_t MAX_NAME_LEN = 40;
inline constexpr std::size_t MAX_HOST_LEN = 253;

// Any text to a usable device name (a random one when nothing usable is left).
std::string normalize_name(std::string_view text);
// The trimmed, lower-cased name when it is already a valid device name.
std::optional<std::string> check_device_name(std::string_view text);
bool is_valid_host(std::string_view text);

}  // namespace quillmar
