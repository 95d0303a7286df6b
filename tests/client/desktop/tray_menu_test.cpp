#include "desktop/tray_menu.hpp"

#include <gtest/gtest.h>

#include "app/environment.hpp"

namespace quillmar {
namespace {

using Kind = TrayMenuItem::Kind;

TEST(TrayMenu, ItemsInOrderWithTheirIdsAndStates) {
  const TrayMenuFacts facts{.status_text = "已连接 · 1 条映射", .has_access_url = true};
  const TrayMenuItem separator{.kind = Kind::separator};
  const std::vector<TrayMenuItem> expected = {
      {.text = "已连接 · 1 条映射", .grayed = true},
      separator,
      {.id = 201, .text = "打开控制台"},
      {.id = 203, .text = "复制访问地址"},
      {.id = 204, .text = "打开配置目录"},
      separator,
      {.id = 205, .text = "安装到本机"},
      {.id = 206, .text = "桌面快捷方式"},
      {.id = 207, .text = "开机启动"},
      separator,
      {.id = 202, .text = "退出 Quillmar"},
  };
  EXPECT_EQ(tray_menu_items(facts), expected);
}

TEST(TrayMenu, StatesFollowTheFacts) {
  auto items = tray_menu_items({.status_text = "未配置接入码",
                                .has_access_url = false,
                                .installed = true,
                                .desktop_link = true,
                                .autostart = true});
  ASSERT_EQ(items.size(), 11u);
  EXPECT_EQ(items[3], (TrayMenuItem{.id = CMD_COPY_URL, .text = "复制访问地址", .grayed = true}));
  EXPECT_EQ(items[6], (TrayMenuItem{.id = CMD_INSTALL, .text = "已安装到本机", .grayed = true}));
  EXPECT_EQ(items[7],
            (TrayMenuItem{.id = CMD_DESKTOP_LINK, .text = "桌面快捷方式", .checked = true}));
  EXPECT_EQ(items[8], (TrayMenuItem{.id = CMD_AUTOSTART, .text = "开机启动", .checked = true}));
}

TEST(ConfigDirText, TheKeyFilesFolderOrNone) {
  auto folder = path_from_utf8("keys") / "设备";
  EXPECT_EQ(config_dir_text(folder / "id.ini"), path_to_utf8(folder));
  EXPECT_EQ(config_dir_text("id.ini"), std::nullopt);
  EXPECT_EQ(config_dir_text(""), std::nullopt);
}

}  // namespace
}  // namespace quillmar
