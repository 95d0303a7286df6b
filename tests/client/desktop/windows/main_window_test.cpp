#include "desktop/windows/main_window.hpp"

#include <gtest/gtest.h>

#include <map>

#include "desktop/status_texts.hpp"
#include "desktop/window_commands.hpp"
#include "desktop/windows/clipboard.hpp"
#include "desktop/windows/tray.hpp"
#include "desktop_test_support.hpp"
#include "proto/access.hpp"

namespace quillmar {
namespace {

using namespace std::chrono_literals;
using test::TestWindow;

constexpr auto WAIT = 10s;

std::wstring class_name(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

std::vector<HWND> children(HWND parent) {
  std::vector<HWND> found;
  for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    found.push_back(child);
  return found;
}

RECT client_rect_of(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

struct ExpectedControl {
  const wchar_t* class_name;
  std::string text;
  DWORD style;
  RECT rect;
  int id;
  HWND WindowState::*kept;
};

TEST(MainWindow, IsCreatedHiddenWithItsControls) {
  // Enough rows for the list box to need its scroll bar, which it hides otherwise.
  TestWindow w({.prepare = [](SharedState& s) {
    std::vector<std::uint16_t> ports;
    for (std::uint16_t port = 1; port <= 20; ++port) ports.push_back(port);
    s.ports.set(ports);
  }});
  ASSERT_NE(w.window, nullptr);
  EXPECT_FALSE(IsWindowVisible(w.window));
  EXPECT_EQ(class_name(w.window), L"QuillmarNativeWindow");
  EXPECT_EQ(get_window_text(w.window), "Quillmar");
  RECT outer{};
  GetWindowRect(w.window, &outer);
  EXPECT_EQ(outer.right - outer.left, 650);
  EXPECT_EQ(outer.bottom - outer.top, 570);
  EXPECT_EQ(GetWindowLongW(w.window, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
  EXPECT_EQ(window_state(w.window), w.state.get());

  // The two status lines show the first refresh, not their creation texts.
  const ExpectedControl expected[] = {
      {L"Static", "Quillmar", 0, {24, 18, 584, 48}, 0, nullptr},
      {L"Static", "● 首次使用：请粘贴接入码", 0, {24, 56, 584, 80}, 0, &WindowState::status_label},
      {L"Static",
       "访问域名：desk.example.test",
       0,
       {24, 86, 604, 110},
       0,
       &WindowState::domain_label},
      {L"Static", "接入码（只保存在本机，不回显）", 0, {24, 125, 324, 147}, 0, nullptr},
      {L"Edit", "", WS_TABSTOP | ES_PASSWORD, {24, 150, 454, 180}, 0, &WindowState::invite_edit},
      {L"Button", "保存并连接", WS_TABSTOP, {466, 150, 596, 180}, 101, nullptr},
      {L"Static", "本地端口", 0, {24, 202, 184, 224}, 0, nullptr},
      {L"Edit", "", WS_TABSTOP | ES_NUMBER, {24, 228, 204, 258}, 0, &WindowState::port_edit},
      {L"Button", "添加映射", WS_TABSTOP, {216, 228, 321, 258}, 102, nullptr},
      {L"Button", "删除选中", WS_TABSTOP, {333, 228, 438, 258}, 103, nullptr},
      {L"Static", "访问密码（留空默认公开）", 0, {24, 274, 244, 296}, 0, nullptr},
      {L"Edit", "", WS_TABSTOP | ES_PASSWORD, {24, 298, 284, 328}, 0, &WindowState::password_edit},
      {L"Button", "设置密码", WS_TABSTOP, {296, 298, 396, 328}, 104, nullptr},
      {L"Button", "恢复公开", WS_TABSTOP, {408, 298, 508, 328}, 105, nullptr},
      {L"ListBox",
       "",
       WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY,
       {24, 342, 596, 462},
       0,
       &WindowState::mapping_list},
      {L"Static",
       "默认允许所有访客访问；关闭窗口后程序继续在托盘运行。",
       0,
       {24, 472, 596, 496},
       0,
       &WindowState::message_label},
  };
  const std::vector<HWND> made = children(w.window);
  ASSERT_EQ(made.size(), std::size(expected));
  for (const auto& control : expected) {
    SCOPED_TRACE(control.text + " at " + std::to_string(control.rect.left) + "," +
                 std::to_string(control.rect.top));
    HWND found = nullptr;
    RECT rect{};
    for (HWND child : made) {
      rect = client_rect_of(child);
      if (rect.left == control.rect.left && rect.top == control.rect.top) {
        found = child;
        break;
      }
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(rect.right, control.rect.right);
    // A list box without LBS_NOINTEGRALHEIGHT shows whole rows only.
    const bool list = std::wstring_view(control.class_name) == L"ListBox";
    EXPECT_TRUE(list ? rect.bottom <= control.rect.bottom : rect.bottom == control.rect.bottom)
        << rect.bottom;
    EXPECT_EQ(_wcsicmp(class_name(found).c_str(), control.class_name), 0);
    EXPECT_EQ(get_window_text(found), control.text);
    const DWORD style = static_cast<DWORD>(GetWindowLongW(found, GWL_STYLE));
    EXPECT_EQ(style & (control.style | WS_CHILD | WS_VISIBLE),
              control.style | WS_CHILD | WS_VISIBLE);
    const bool edge = (GetWindowLongW(found, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0;
    const std::wstring name = control.class_name;
    EXPECT_EQ(edge, name == L"Edit" || name == L"ListBox");
    EXPECT_EQ(GetDlgCtrlID(found), control.id);
    if (control.kept != nullptr) {
      EXPECT_EQ(w.state.get()->*control.kept, found);
    }
  }
}

TEST(MainWindow, WithoutAStateItCannotBeCreated) {
  TestWindow w;  // registers the class
  HWND window = CreateWindowExW(0, WINDOW_CLASS, WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 650, 570, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  EXPECT_EQ(window, nullptr);
  test::take_quit_message();
}

TEST(MainWindow, TrayIconIsAddedOnceAndModifiedOnlyWhenItsTextChanges) {
  TestWindow w;
  ASSERT_EQ(w.notify.records.size(), 1u);
  const auto& added = w.notify.records[0];
  EXPECT_EQ(added.message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(added.window, w.window);
  EXPECT_EQ(added.id, 1u);
  EXPECT_EQ(added.flags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
  EXPECT_EQ(added.callback_message, static_cast<UINT>(WM_APP + 1));
  EXPECT_EQ(added.icon, w.state->icon);
  EXPECT_EQ(added.tip, L"Quillmar · 正在启动…");
  EXPECT_TRUE(added.result) << "Wine's notification area took the icon";

  // The refresh timer runs on its own: the first tick brings the tray text up to date.
  ASSERT_TRUE(test::pump_until([&] { return w.notify.records.size() == 2; }, WAIT));
  EXPECT_EQ(w.notify.records[1].message, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(w.notify.records[1].tip, L"Quillmar · 未配置接入码");
  EXPECT_EQ(w.state->tray_status, "未配置接入码");

  // Any timer id refreshes; an unchanged text leaves the icon alone.
  SendMessageW(w.window, WM_TIMER, 7, 0);
  EXPECT_EQ(w.notify.records.size(), 2u);
  w.shared->connection_error.set("网关拒绝");
  SendMessageW(w.window, WM_TIMER, 7, 0);
  ASSERT_EQ(w.notify.records.size(), 3u);
  EXPECT_EQ(w.notify.records[2].message, static_cast<DWORD>(NIM_MODIFY));
  EXPECT_EQ(w.notify.records[2].tip, L"Quillmar · 连接异常：网关拒绝");
  EXPECT_EQ(get_window_text(w.state->status_label), "网关拒绝");
  EXPECT_TRUE(KillTimer(w.window, REFRESH_TIMER_ID)) << "the refresh timer is set";
}

TEST(MainWindow, CloseKeepsEverythingAndDestroyRemovesTheIconAndSendsOneExit) {
  TestWindow w;
  SendMessageW(w.window, WM_CLOSE, 0, 0);
  test::pump_messages();
  EXPECT_TRUE(IsWindow(w.window));
  EXPECT_FALSE(IsWindowVisible(w.window));
  EXPECT_EQ(w.exits(), 0);
  for (const auto& record : w.notify.records)
    EXPECT_NE(record.message, static_cast<DWORD>(NIM_DELETE));

  ASSERT_TRUE(DestroyWindow(w.window));
  EXPECT_FALSE(IsWindow(w.window));
  ASSERT_FALSE(w.notify.records.empty());
  const auto& removed = w.notify.records.back();
  EXPECT_EQ(removed.message, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(removed.id, 1u);
  EXPECT_EQ(removed.window, w.window);
  EXPECT_TRUE(removed.result);
  EXPECT_EQ(w.exits(), 1);
  EXPECT_TRUE(test::take_quit_message());
}

TEST(MainWindow, DestroyAfterTheSupervisorIsGoneStillEndsTheLoop) {
  TestWindow w;
  w.exit_rx.reset();
  ASSERT_TRUE(DestroyWindow(w.window));
  EXPECT_EQ(w.notify.records.back().message, static_cast<DWORD>(NIM_DELETE));
  EXPECT_TRUE(test::take_quit_message());
}

std::vector<std::string> list_rows(HWND list) {
  std::vector<std::string> rows;
  const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring row(static_cast<std::size_t>(SendMessageW(list, LB_GETTEXTLEN, i, 0)), L'\0');
    SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(row.data()));
    rows.push_back(from_wide(row));
  }
  return rows;
}

TEST(MainWindow, RefreshRebuildsTheListOnlyWhenThePortsChange) {
  TestWindow w({.prepare = [](SharedState& s) {
    s.ports.set({8080, 22});
    s.access.set({{22, std::string(64, 'a')}});
    s.targets.set({{8080, "192.168.1.9"}});
  }});
  HWND list = w.state->mapping_list;
  const std::vector<std::string> rows = {
      "本机 127.0.0.1:8080 [公开]    →    https://desk-8080.example.test",
      "本机 127.0.0.1:22 [访问密码]    →    https://desk-22.example.test",
  };
  EXPECT_EQ(list_rows(list), rows);
  EXPECT_EQ(w.state->listed_ports, (std::vector<std::uint16_t>{8080, 22}));

  // A digest change alone leaves the rows and the user's selection as they are.
  SendMessageW(list, LB_SETCURSEL, 1, 0);
  w.shared->access.set({{8080, std::string(64, 'b')}});
  SendMessageW(w.window, WM_TIMER, REFRESH_TIMER_ID, 0);
  EXPECT_EQ(list_rows(list), rows);
  EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), 1);

  w.shared->ports.set({3000});
  w.shared->sub.set("other");
  SendMessageW(w.window, WM_TIMER, REFRESH_TIMER_ID, 0);
  EXPECT_EQ(list_rows(list),
            std::vector<std::string>{
                "本机 127.0.0.1:3000 [公开]    →    https://other-3000.example.test"});
  EXPECT_EQ(get_window_text(w.state->domain_label), "访问域名：other.example.test");
}

void command(HWND window, int id) {
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

TEST(MainWindow, SettingsCommandsAsWindowMessages) {
  TestWindow w;
  const WindowState& s = *w.state;

  set_window_text(s.invite_edit, "  CODE-1  ");
  command(w.window, ID_SAVE_INVITE);
  EXPECT_EQ(get_window_text(s.message_label), "接入码已保存，正在连接…");
  EXPECT_EQ(get_window_text(s.invite_edit), "");
  EXPECT_EQ(w.shared->invite.get(), "CODE-1");
  EXPECT_EQ(w.reloads(), 1);

  set_window_text(s.port_edit, "0");
  command(w.window, ID_ADD_MAPPING);
  EXPECT_EQ(get_window_text(s.message_label), "端口范围是 1 到 65535。");
  EXPECT_EQ(w.reloads(), 0);

  set_window_text(s.port_edit, "8080");
  set_window_text(s.password_edit, "pw");
  command(w.window, ID_ADD_MAPPING);
  set_window_text(s.port_edit, "22");
  command(w.window, ID_ADD_MAPPING);
  EXPECT_EQ(get_window_text(s.message_label), "端口映射已保存。");
  EXPECT_EQ(get_window_text(s.port_edit), "");
  EXPECT_EQ(get_window_text(s.password_edit), "");
  EXPECT_EQ(w.reloads(), 2);
  EXPECT_EQ(list_rows(s.mapping_list).size(), 2u) << "the list follows at once";

  SendMessageW(s.mapping_list, LB_SETCURSEL, 1, 0);
  set_window_text(s.password_edit, "secret");
  command(w.window, ID_SET_PASSWORD);
  EXPECT_EQ(get_window_text(s.message_label), "访问密码已保存。");
  EXPECT_EQ(w.shared->access.get().at(22), hash_access_password("secret"));

  SendMessageW(s.mapping_list, LB_SETCURSEL, 0, 0);
  command(w.window, ID_MAKE_PUBLIC);
  EXPECT_EQ(get_window_text(s.message_label), "已恢复公开访问。");

  SendMessageW(s.mapping_list, LB_SETCURSEL, 0, 0);
  command(w.window, ID_DELETE_MAPPING);
  EXPECT_EQ(get_window_text(s.message_label), "已删除端口 8080 的映射。");
  EXPECT_EQ(w.reloads(), 3);
  EXPECT_EQ(w.shared->ports.get(), std::vector<std::uint16_t>{22});
  EXPECT_EQ(w.key_text(), test::KEY_START + "invite=CODE-1\n" +
                              "access=22=" + hash_access_password("secret") + "\nports=22\n");

  // Nothing selected: delete does nothing and says nothing.
  SendMessageW(s.mapping_list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
  set_window_text(s.message_label, "");
  command(w.window, ID_DELETE_MAPPING);
  EXPECT_EQ(get_window_text(s.message_label), "");
  EXPECT_EQ(w.reloads(), 0);
}

// --- the tray menu -----------------------------------------------------------------

struct ShownItem {
  bool separator;
  UINT id;
  std::string text;
  UINT state;  // MF_GRAYED, MF_CHECKED
};

std::vector<ShownItem> menu_contents(HMENU menu) {
  std::vector<ShownItem> items;
  const int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; ++i) {
    wchar_t text[256] = {};
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STATE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 256;
    GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
    items.push_back({(info.fType & MFT_SEPARATOR) != 0, info.wID, from_wide(text),
                     info.fState & (MF_GRAYED | MF_CHECKED)});
  }
  return items;
}

TEST(TrayMenu, PopupMenuHoldsTheItemsInOrderWithTheirFlags) {
  const auto items = tray_menu_items({.status_text = "正在连接…",
                                      .has_access_url = false,
                                      .installed = true,
                                      .desktop_link = true,
                                      .autostart = false});
  HMENU menu = create_tray_menu(items);
  const auto shown = menu_contents(menu);
  DestroyMenu(menu);
  ASSERT_EQ(shown.size(), 11u);
  struct Expected {
    bool separator;
    UINT id;
    std::string text;
    UINT state;
  };
  const Expected expected[] = {
      {false, 0, "正在连接…", MF_GRAYED},
      {true, 0, "", 0},
      {false, 201, "打开控制台", 0},
      {false, 203, "复制访问地址", MF_GRAYED},
      {false, 204, "打开配置目录", 0},
      {true, 0, "", 0},
      {false, 205, "已安装到本机", MF_GRAYED},
      {false, 206, "桌面快捷方式", MF_CHECKED},
      {false, 207, "开机启动", 0},
      {true, 0, "", 0},
      {false, 202, "退出 Quillmar", 0},
  };
  for (std::size_t i = 0; i < shown.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(shown[i].separator, expected[i].separator);
    if (expected[i].separator) continue;
    EXPECT_EQ(shown[i].id, expected[i].id);
    EXPECT_EQ(shown[i].text, expected[i].text);
    EXPECT_EQ(shown[i].state, expected[i].state);
  }
}

// What the thread timer below saw of an open popup menu before it closed it.
std::optional<std::vector<ShownItem>> popup_seen;

void CALLBACK close_open_menu(HWND, UINT, UINT_PTR, DWORD) {
  HWND popup = FindWindowW(L"#32768", nullptr);
  if (popup == nullptr || !IsWindowVisible(popup)) return;
  auto* menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
  popup_seen = menu != nullptr ? menu_contents(menu) : std::vector<ShownItem>{};
  EndMenu();
}

TEST(TrayMenu, OnlyReleasingTheRightButtonOpensIt) {
  TestWindow w({.prepare = [](SharedState& s) { s.ports.set({8080}); }});
  popup_seen.reset();
  UINT_PTR watcher = SetTimer(nullptr, 0, 50, close_open_menu);
  for (LPARAM event : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_MOUSEMOVE, WM_RBUTTONDOWN}) {
    SendMessageW(w.window, WM_TRAY_CALLBACK, TRAY_ICON_ID, event);
    test::pump_messages();
  }
  EXPECT_FALSE(popup_seen.has_value());

  SendMessageW(w.window, WM_TRAY_CALLBACK, TRAY_ICON_ID, WM_RBUTTONUP);  // returns once closed
  KillTimer(nullptr, watcher);
  ASSERT_TRUE(popup_seen.has_value()) << "no menu was shown";
  ASSERT_EQ(popup_seen->size(), 11u);
  EXPECT_EQ((*popup_seen)[0].text, "未配置接入码");
  EXPECT_EQ((*popup_seen)[3].id, 203u);
  EXPECT_EQ((*popup_seen)[3].state, 0u) << "8080 gives an address to copy";
  EXPECT_EQ((*popup_seen)[10].id, 202u);
  EXPECT_TRUE(IsWindow(w.window)) << "a dismissed menu runs no command";
  EXPECT_EQ(w.exits(), 0);
}

std::optional<std::wstring> clipboard_text() {
  if (!OpenClipboard(nullptr)) return std::nullopt;
  std::optional<std::wstring> text;
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT); data != nullptr) {
    if (auto* units = static_cast<const wchar_t*>(GlobalLock(data)); units != nullptr) {
      text = units;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

TEST(TrayCommands, CopyPutsTheAccessAddressOnTheClipboard) {
  TestWindow w;
  copy_to_clipboard(w.window, "before");
  run_tray_command(w.window, *w.state, CMD_COPY_URL);
  EXPECT_EQ(clipboard_text(), L"before") << "no address, nothing copied";

  w.shared->ports.set({8080});
  run_tray_command(w.window, *w.state, CMD_COPY_URL);
  EXPECT_EQ(clipboard_text(), L"https://desk-8080.example.test");

  copy_to_clipboard(w.window, "访问 \U0001F600");
  EXPECT_EQ(clipboard_text(), L"访问 \U0001F600");
}

TEST(TrayCommands, ExitEndsTheWindowAndOtherIdsDoNothing) {
  TestWindow w;
  for (int id : {0, 208, ID_SAVE_INVITE}) run_tray_command(w.window, *w.state, id);
  SendMessageW(w.window, WM_COMMAND, CMD_COPY_URL, 0);  // a menu-only command
  EXPECT_TRUE(IsWindow(w.window));
  EXPECT_EQ(w.exits(), 0);
  EXPECT_EQ(w.reloads(), 0);

  run_tray_command(w.window, *w.state, CMD_EXIT);
  EXPECT_FALSE(IsWindow(w.window));
  EXPECT_EQ(w.exits(), 1);
}

TEST(MainWindow, ExitCommandAsAWindowMessage) {
  TestWindow w;
  SendMessageW(w.window, WM_COMMAND, MAKEWPARAM(CMD_EXIT, BN_CLICKED), 0);
  EXPECT_FALSE(IsWindow(w.window));
  EXPECT_EQ(w.exits(), 1);
  EXPECT_TRUE(test::take_quit_message());
}

TEST(TrayTip, CutToTheFirst127Units) {
  const std::wstring prefix = L"Quillmar · ";
  EXPECT_EQ(tray_tip("正在连接…"), prefix + L"正在连接…");
  EXPECT_EQ(tray_tip(std::string(200, 'x')), prefix + std::wstring(127 - prefix.size(), L'x'));
  // A surrogate pair on the 127th and 128th unit keeps only its first half.
  const std::string status = std::string(127 - prefix.size() - 1, 'a') + "\U0001F600";
  const std::wstring tip = tray_tip(status);
  ASSERT_EQ(tip.size(), 127u);
  EXPECT_EQ(tip.back(), static_cast<wchar_t>(0xD83D));
}

TEST(WideText, ConvertsBothWaysAndReplacesUnpairedSurrogates) {
  EXPECT_EQ(to_wide(""), L"");
  EXPECT_EQ(to_wide("a\U0001F600\u00e9"), (std::wstring{L'a', 0xD83D, 0xDE00, 0xE9}));
  EXPECT_EQ(from_wide(std::wstring{L'a', 0xD83D, 0xDE00}), "a\U0001F600");
  EXPECT_EQ(from_wide(std::wstring{L'a', 0xD800, L'b'}), "a\uFFFDb");
  EXPECT_EQ(from_wide(std::wstring{0xDC00}), "\uFFFD");
  EXPECT_TRUE(is_valid_utf16(L"访问"));
  EXPECT_FALSE(is_valid_utf16(std::wstring{L'a', 0xD800}));

  TestWindow w;
  const wchar_t unpaired[] = {L'x', 0xDFFF, L'y', 0};
  SetWindowTextW(w.state->message_label, unpaired);
  EXPECT_EQ(get_window_text(w.state->message_label), "x\uFFFDy");
  set_window_text(w.state->message_label, "访问 \U0001F600");
  EXPECT_EQ(get_window_text(w.state->message_label), "访问 \U0001F600");
}

}  // namespace
}  // namespace quillmar
