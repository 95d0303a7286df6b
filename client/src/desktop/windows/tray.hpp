// The tray icon and its right-click menu.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "desktop/tray_menu.hpp"
#include "desktop/windows/main_window.hpp"

namespace quillmar {

// "Quillmar · {status}" as UTF-16, cut to its first 127 units so that the 0 that ends it
// fits the tip's 128 (a cut may fall inside a surrogate pair).
std::wstring tray_tip(std::string_view status);
// NIM_ADD, NIM_MODIFY or NIM_DELETE of the one icon, with the current tray_status.
void update_tray_icon(HWND window, const WindowState& state, DWORD action);

// The menu's items as they stand now (installation, shortcut and autostart read afresh).
std::vector<TrayMenuItem> current_tray_menu(const WindowState& state);
HMENU create_tray_menu(const std::vector<TrayMenuItem>& items);
// Shows the menu at the cursor and runs the chosen command.
void show_tray_menu(HWND window, WindowState& state);
// Runs one menu command directly; 0 (the menu dismissed) and unknown ids do nothing.
void run_tray_command(HWND window, WindowState& state, int id);

void open_console(const WindowState& state);

}  // namespace quillmar
