#include "desktop/tray_menu.hpp"

#include "app/environment.hpp"

namespace quillmar {

std::vector<TrayMenuItem> tray_menu_items(const TrayMenuFacts& facts) {
  using Kind = TrayMenuItem::Kind;
  const TrayMenuItem separator{.kind = Kind::separator};
  return {
      {.text = facts.status_text, .grayed = true},
      separator,
      {.id = CMD_OPEN_CONSOLE, .text = "打开控制台"},
      {.id = CMD_COPY_URL, .text = "复制访问地址", .grayed = !facts.has_access_url},
      {.id = CMD_OPEN_CONFIG_DIR, .text = "打开配置目录"},
      separator,
      facts.installed ? TrayMenuItem{.id = CMD_INSTALL, .text = "已安装到本机", .grayed = true}
                      : TrayMenuItem{.id = CMD_INSTALL, .text = "安装到本机"},
      {.id = CMD_DESKTOP_LINK, .text = "桌面快捷方式", .checked = facts.desktop_link},
      {.id = CMD_AUTOSTART, .text = "开机启动", .checked = facts.autostart},
      separator,
      {.id = CMD_EXIT, .text = "退出 Quillmar"},
  };
}

std::optional<std::string> config_dir_text(const std::filesystem::path& key_path) {
  auto folder = key_path.parent_path();
  if (folder.empty()) return std::nullopt;
  return path_to_utf8(folder);
}

}  // namespace quillmar
