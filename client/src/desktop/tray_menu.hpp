// The tray icon's right-click menu as data: what it shows, in order, with each item's
// command id and state. The Windows side turns it into a popup menu.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillmar {

inline constexpr int CMD_OPEN_CONSOLE = 201;
inline constexpr int CMD_EXIT = 202;
inline constexpr int CMD_COPY_URL = 203;
inline constexpr int CMD_OPEN_CONFIG_DIR = 204;
inline constexpr int CMD_INSTALL = 205;
inline constexpr int CMD_DESKTOP_LINK = 206;
inline constexpr int CMD_AUTOSTART = 207;

struct TrayMenuItem {
  enum class Kind { text, separator } kind = Kind::text;
  int id = 0;  // 0 for the status line and the separators
  std::string text{};
  bool grayed = false;
  bool checked = false;

  friend bool operator==(const TrayMenuItem&, const TrayMenuItem&) = default;
};

// What the menu depends on, read afresh each time it opens.
struct TrayMenuFacts {
  std::string status_text{};
  bool has_access_url = false;
  bool installed = false;
  bool desktop_link = false;
  bool autostart = false;
};

std::vector<TrayMenuItem> tray_menu_items(const TrayMenuFacts& facts);

// What "打开配置目录" opens: the key file's folder as display text; none when the path
// has no folder.
std::optional<std::string> config_dir_text(const std::filesystem::path& key_path);

}  // namespace quillmar
