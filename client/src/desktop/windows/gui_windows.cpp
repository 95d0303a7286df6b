// The GUI thread on Windows: the hidden window with the tray icon, then the console
// page in the browser, then the window's message loop until the window is destroyed.
#include <windows.h>

#include "app/output.hpp"
#include "desktop/gui.hpp"
#include "desktop/windows/main_window.hpp"
#include "desktop/windows/tray.hpp"

namespace quillmar {
namespace {

constexpr WORD ICON_RESOURCE = 1;

struct Icons {
  HICON large;
  HICON small;
};

Icons load_icons(HINSTANCE instance) {
  HICON large = LoadIconW(instance, MAKEINTRESOURCEW(ICON_RESOURCE));
  if (large == nullptr) large = LoadIconW(nullptr, IDI_APPLICATION);
  auto* small = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(ICON_RESOURCE), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON),
                                              GetSystemMetrics(SM_CYSMICON), 0));
  return {large, small != nullptr ? small : large};
}

void run_message_loop() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

void run_gui(GuiContext context) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const Icons icons = load_icons(instance);
  if (!register_main_window_class(instance, icons.large)) {
    print_err("client: Windows GUI 类注册失败\n");
    return;
  }
  WindowState state(std::move(context), icons.small);
  HWND window = create_main_window(instance, state);
  if (window == nullptr) {
    print_err("client: Windows GUI 窗口创建失败\n");
    return;
  }
  ShowWindow(window, SW_HIDE);
  UpdateWindow(window);
  if (window_state(window) != nullptr) {
    wait_for_console(state.console_port);
    open_console(state);
  }
  run_message_loop();
}

}  // namespace quillmar
