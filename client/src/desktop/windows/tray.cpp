#include "desktop/windows/tray.hpp"

#include <algorithm>
#include <iterator>

#include "desktop/open_browser.hpp"
#include "desktop/status_texts.hpp"
#include "desktop/windows/autostart.hpp"
#include "desktop/windows/clipboard.hpp"
#include "desktop/windows/install_actions.hpp"
#include "desktop/windows/self_install.hpp"
#include "desktop/windows/shortcuts.hpp"
#include "desktop/windows/wide_text.hpp"

namespace quillmar {
namespace {

constexpr std::size_t TIP_UNITS = std::size(NOTIFYICONDATAW{}.szTip) - 1;

void open_folder(const std::string& folder) {
  // Best effort, like every shell call here.
  ShellExecuteW(nullptr, L"open", to_wide(folder).c_str(), nullptr, nullptr, SW_SHOW);
}

}  // namespace

std::wstring tray_tip(std::string_view status) {
  std::wstring tip = to_wide("Quillmar · " + std::string(status));
  if (tip.size() > TIP_UNITS) tip.resize(TIP_UNITS);
  return tip;
}

void update_tray_icon(HWND window, const WindowState& state, DWORD action) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = window;
  data.uID = TRAY_ICON_ID;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_TRAY_CALLBACK;
  data.hIcon = state.icon;
  const std::wstring tip = tray_tip(state.tray_status);
  std::copy(tip.begin(), tip.end(), data.szTip);  // the zeroed rest terminates it
  // The result is not looked at: without a notification area there is nothing to do.
  state.notify_icon(action, &data);
}

std::vector<TrayMenuItem> current_tray_menu(const WindowState& state) {
  return tray_menu_items({
      .status_text = tray_status_text(*state.shared),
      .has_access_url = access_url(*state.shared, state.domain).has_value(),
      .installed = is_installed(),
      .desktop_link = desktop_link_exists(),
      .autostart = autostart_enabled(),
  });
}

HMENU create_tray_menu(const std::vector<TrayMenuItem>& items) {
  HMENU menu = CreatePopupMenu();
  for (const TrayMenuItem& item : items) {
    if (item.kind == TrayMenuItem::Kind::separator) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      continue;
    }
    const UINT flags =
        MF_STRING | (item.grayed ? MF_GRAYED : 0u) | (item.checked ? MF_CHECKED : 0u);
    AppendMenuW(menu, flags, static_cast<UINT_PTR>(item.id), to_wide(item.text).c_str());
  }
  return menu;
}

void show_tray_menu(HWND window, WindowState& state) {
  HMENU menu = create_tray_menu(current_tray_menu(state));
  POINT cursor{};
  GetCursorPos(&cursor);
  // Without it the menu would not close when the user clicks elsewhere.
  SetForegroundWindow(window);
  const int chosen = static_cast<int>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON,
                                                     cursor.x, cursor.y, 0, window, nullptr));
  DestroyMenu(menu);
  run_tray_command(window, state, chosen);
}

void run_tray_command(HWND window, WindowState& state, int id) {
  switch (id) {
    case CMD_OPEN_CONSOLE:
      open_console(state);
      break;
    case CMD_EXIT:
      DestroyWindow(window);
      break;
    case CMD_COPY_URL:
      if (auto url = access_url(*state.shared, state.domain)) copy_to_clipboard(window, *url);
      break;
    case CMD_OPEN_CONFIG_DIR:
      if (auto folder = config_dir_text(state.shared->key_path)) open_folder(*folder);
      break;
    case CMD_INSTALL:
      menu_install(window, state.message_box);
      break;
    case CMD_DESKTOP_LINK:
      toggle_desktop_link(window, state.message_box);
      break;
    case CMD_AUTOSTART:
      toggle_autostart(window, state.message_box);
      break;
    default:
      break;
  }
}

// Through the program's browser opener rather than ShellExecuteW: the opener hands the
// browser nothing but the null device, whereas a browser started by the shell may inherit
// the console's listening socket and keep the port taken after the program has ended.
void open_console(const WindowState& state) { open_browser(console_url(state.console_port)); }

}  // namespace quillmar
