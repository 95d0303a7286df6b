// Where the key file lives, and the one-time move out of the older "tunnel-client"
// folder.
#pragma once

#include <filesystem>

namespace quillmar {

inline constexpr const char* KEY_FILE_NAME = "id.ini";
inline constexpr const char* SETTINGS_FOLDER_NAME = "Quillmar";
inline constexpr const char* OLD_SETTINGS_FOLDER_NAME = "tunnel-client";

// The folder that holds the program's settings folder: APPDATA when set; on Linux
// then XDG_CONFIG_HOME (when absolute) or $HOME/.config, since the temporary folder is
// emptied at reboot; last the system's temporary folder.
std::filesystem::path settings_base_dir();

// TUNNEL_KEY_DIR's "id.ini" when that is set; otherwise "Quillmar/id.ini" under the
// settings base, after migrate_key_dir. Never fails; creates no folder.
std::filesystem::path locate_key_file();

// Moves the older folder's "id.ini" into the new folder when the new one has none:
// the whole folder by a rename when the new folder does not exist, else a copy of the
// file. Gives the key file to use: the new one, or the old one when the move failed.
std::filesystem::path migrate_key_dir(const std::filesystem::path& new_dir,
                                      const std::filesystem::path& old_dir);

}  // namespace quillmar
