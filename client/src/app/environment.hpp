// Environment variables and paths as UTF-8 text on both platforms.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillmar {

// The variable's value when it is set and holds valid Unicode text (the empty text
// included); otherwise none.
std::optional<std::string> env_var(const char* name);
bool env_is_set(const char* name);
// TUNNEL_DEBUG is set: extra diagnostic lines.
bool debug_enabled();

std::filesystem::path path_from_utf8(std::string_view text);
// Never fails: on Windows an unpaired surrogate becomes U+FFFD.
std::string path_to_utf8(const std::filesystem::path& path);

}  // namespace quillmar
