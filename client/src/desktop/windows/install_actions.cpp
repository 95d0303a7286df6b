#include "desktop/windows/install_actions.hpp"

#include <string>

#include "app/environment.hpp"
#include "desktop/shell_settings.hpp"
#include "desktop/windows/autostart.hpp"
#include "desktop/windows/self_install.hpp"
#include "desktop/windows/shortcuts.hpp"

namespace quillmar {

void menu_install(HWND owner, const MessageBoxCall& message_box) {
  auto installed = install_self();
  if (!installed) {
    show_info(message_box, owner, "安装失败：" + installed.error().display());
    return;
  }
  show_info(
      message_box, owner,
      "已安装 / 更新到本机：\n" + path_to_utf8(installed.value()) + "\n开始菜单快捷方式已就绪。");
}

void toggle_desktop_link(HWND owner, const MessageBoxCall& message_box) {
  const bool create = !desktop_link_exists();
  if (Status done = set_desktop_link(create); !done) {
    show_info(message_box, owner, "桌面快捷方式操作失败：" + done.error().display());
  } else if (create) {
    show_info(message_box, owner, "已创建桌面快捷方式。");
  }
}

void toggle_autostart(HWND owner, const MessageBoxCall& message_box) {
  const bool enable = !autostart_enabled();
  if (Status done = set_autostart(enable); !done) {
    show_info(message_box, owner, "开机启动设置失败：" + done.error().display());
  } else {
    show_info(message_box, owner, enable ? "已开启开机启动。" : "已关闭开机启动。");
  }
}

void offer_first_run_install(HWND owner, const MessageBoxCall& message_box) {
  if (is_installed() || shell_ini_flag(SHELL_KEY_OFFER_DONE)) return;
  // Written before asking, so the question comes once whatever the answer.
  (void)set_shell_ini_flag(SHELL_KEY_OFFER_DONE, true);
  if (!ask_yes_no(message_box, owner,
                  "是否安装到本机？\n\n推荐：复制到用户目录、创建开始菜单快捷方式。\n"
                  "可随时在托盘菜单里改「开机启动」和「桌面快捷方式」。")) {
    return;
  }
  if (auto installed = install_self(); !installed) {
    show_info(message_box, owner, "安装失败：" + installed.error().display());
    return;
  }
  if (ask_yes_no(message_box, owner, "是否在桌面创建快捷方式？")) {
    if (Status done = set_desktop_link(true); !done)
      show_info(message_box, owner, "创建桌面快捷方式失败：" + done.error().display());
  }
  if (ask_yes_no(message_box, owner, "是否开机自动启动 Quillmar？")) {
    if (Status done = set_autostart(true); !done)
      show_info(message_box, owner, "设置开机启动失败：" + done.error().display());
  }
  show_info(message_box, owner,
            "已安装到本机。\n开始菜单可找到 "
            "Quillmar。\n建议下次从开始菜单启动（不必再从下载文件夹打开）。");
}

}  // namespace quillmar
