// The shell settings file "shell.ini": the desktop-side choices that do not belong in
// the key file (the first-run install offer, the desktop shortcut).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "proto/result.hpp"

namespace quillmar {

inline constexpr std::string_view SHELL_KEY_OFFER_DONE = "offer_done";
inline constexpr std::string_view SHELL_KEY_DESKTOP_SHORTCUT = "desktop_shortcut";

// "Quillmar/shell.ini" under the settings base folder (APPDATA first; TUNNEL_KEY_DIR
// does not move it).
std::filesystem::path shell_ini_path();
// True when a line of the key holds "true", "yes" or "1" (trimmed, exact case).
bool shell_ini_flag(std::string_view key);
// Rewrites the file with one line for the key at its end, through "shell.ini.tmp".
Status set_shell_ini_flag(std::string_view key, bool value);
// The lines of the text without those of the key; lines without "=" stay.
std::vector<std::string> lines_except_key(std::string_view text, std::string_view key);

}  // namespace quillmar
