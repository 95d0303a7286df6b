// The hidden main window: it owns the tray icon, the refresh timer and a set of child
// controls that serve callers sending it window messages. It is never shown.
//
// run_gui owns the WindowState; the window borrows it from WM_NCCREATE until
// WM_DESTROY, which removes the tray icon, sends the one exit message and clears the
// window's user data.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "desktop/gui.hpp"
#include "desktop/windows/message_boxes.hpp"

namespace quillmar {

inline constexpr const wchar_t* WINDOW_CLASS = L"QuillmarNativeWindow";
inline constexpr const wchar_t* WINDOW_TITLE = L"Quillmar";
inline constexpr int WINDOW_WIDTH = 650;
inline constexpr int WINDOW_HEIGHT = 570;
inline constexpr UINT_PTR REFRESH_TIMER_ID = 1;
inline constexpr UINT REFRESH_INTERVAL_MS = 800;
inline constexpr UINT TRAY_ICON_ID = 1;
inline constexpr UINT WM_TRAY_CALLBACK = WM_APP + 1;
inline constexpr std::string_view STARTING_TEXT = "正在启动…";

// Shell_NotifyIconW, or what a test puts in its place to see what the icon was given.
using NotifyIconCall = std::function<BOOL(DWORD message, NOTIFYICONDATAW* data)>;

struct WindowState {
  WindowState(GuiContext context, HICON tray_icon);

  std::string domain;
  std::vector<std::uint16_t> listed_ports;  // the mapping list's rows, in row order
  std::string tray_status{STARTING_TEXT};   // the status text in the tray tip
  SharedStatePtr shared;
  ReloadSender reload_tx;
  ExitSender exit_tx;
  HWND status_label = nullptr;
  HWND domain_label = nullptr;
  HWND invite_edit = nullptr;
  HWND port_edit = nullptr;
  HWND password_edit = nullptr;
  HWND mapping_list = nullptr;
  HWND message_label = nullptr;
  HICON icon = nullptr;
  std::uint16_t console_port = 0;

  NotifyIconCall notify_icon = Shell_NotifyIconW;
  MessageBoxCall message_box = MessageBoxW;
};

// Registers WINDOW_CLASS with main_window_proc and the large icon.
bool register_main_window_class(HINSTANCE instance, HICON large_icon);
// Creates the hidden window for the state (the first-run offer runs inside); null when
// it cannot be created.
HWND create_main_window(HINSTANCE instance, WindowState& state);
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// The state the window borrows; null before WM_NCCREATE and after WM_DESTROY.
WindowState* window_state(HWND window);

HWND create_control(std::string_view class_name, std::string_view text, DWORD style, int x, int y,
                    int width, int height, HWND parent, int id);
// The status line, the domain line and, when the port list changed, the mapping list.
void refresh_window(WindowState& state);

}  // namespace quillmar
