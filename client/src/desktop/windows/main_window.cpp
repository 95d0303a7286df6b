#include "desktop/windows/main_window.hpp"

#include <optional>

#include "desktop/status_texts.hpp"
#include "desktop/window_commands.hpp"
#include "desktop/windows/install_actions.hpp"
#include "desktop/windows/tray.hpp"
#include "desktop/windows/wide_text.hpp"

namespace quillmar {
namespace {

struct ControlSpec {
  std::string_view class_name;
  std::string_view text;
  DWORD style;
  int x, y, width, height;
  int id;
  HWND WindowState::*kept;  // null: the handle is not kept
};

constexpr ControlSpec CONTROLS[] = {
    {"STATIC", "Quillmar", 0, 24, 18, 560, 30, 0, nullptr},
    {"STATIC", STARTING_TEXT, 0, 24, 56, 560, 24, 0, &WindowState::status_label},
    {"STATIC", "访问域名：准备中", 0, 24, 86, 580, 24, 0, &WindowState::domain_label},
    {"STATIC", "接入码（只保存在本机，不回显）", 0, 24, 125, 300, 22, 0, nullptr},
    {"EDIT", "", WS_TABSTOP | ES_PASSWORD, 24, 150, 430, 30, 0, &WindowState::invite_edit},
    {"BUTTON", "保存并连接", WS_TABSTOP, 466, 150, 130, 30, ID_SAVE_INVITE, nullptr},
    {"STATIC", "本地端口", 0, 24, 202, 160, 22, 0, nullptr},
    {"EDIT", "", WS_TABSTOP | ES_NUMBER, 24, 228, 180, 30, 0, &WindowState::port_edit},
    {"BUTTON", "添加映射", WS_TABSTOP, 216, 228, 105, 30, ID_ADD_MAPPING, nullptr},
    {"BUTTON", "删除选中", WS_TABSTOP, 333, 228, 105, 30, ID_DELETE_MAPPING, nullptr},
    {"STATIC", "访问密码（留空默认公开）", 0, 24, 274, 220, 22, 0, nullptr},
    {"EDIT", "", WS_TABSTOP | ES_PASSWORD, 24, 298, 260, 30, 0, &WindowState::password_edit},
    {"BUTTON", "设置密码", WS_TABSTOP, 296, 298, 100, 30, ID_SET_PASSWORD, nullptr},
    {"BUTTON", "恢复公开", WS_TABSTOP, 408, 298, 100, 30, ID_MAKE_PUBLIC, nullptr},
    {"LISTBOX", "", WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY, 24, 342, 572, 120, 0,
     &WindowState::mapping_list},
    {"STATIC", "默认允许所有访客访问；关闭窗口后程序继续在托盘运行。", 0, 24, 472, 572, 24, 0,
     &WindowState::message_label},
};

void create_controls(HWND window, WindowState& state) {
  for (const ControlSpec& spec : CONTROLS) {
    HWND control = create_control(spec.class_name, spec.text, spec.style, spec.x, spec.y,
                                  spec.width, spec.height, window, spec.id);
    if (spec.kept != nullptr) state.*spec.kept = control;
  }
}

std::optional<std::size_t> selected_row(HWND list) {
  LRESULT index = SendMessageW(list, LB_GETCURSEL, 0, 0);
  if (index == LB_ERR || index < 0) return std::nullopt;
  return static_cast<std::size_t>(index);
}

void run_settings_command(WindowState& state, int id) {
  const WindowFields fields{
      .invite = get_window_text(state.invite_edit),
      .port = get_window_text(state.port_edit),
      .password = get_window_text(state.password_edit),
      .selected = selected_row(state.mapping_list),
  };
  const CommandOutcome outcome =
      run_window_command(id, fields, state.listed_ports, *state.shared, state.reload_tx);
  if (outcome.clear_invite) set_window_text(state.invite_edit, "");
  if (outcome.clear_port) set_window_text(state.port_edit, "");
  if (outcome.clear_password) set_window_text(state.password_edit, "");
  if (outcome.message) set_window_text(state.message_label, *outcome.message);
  if (outcome.refresh) refresh_window(state);
}

LRESULT on_create(HWND window) {
  WindowState* state = window_state(window);
  if (state == nullptr) return -1;
  create_controls(window, *state);
  SetTimer(window, REFRESH_TIMER_ID, REFRESH_INTERVAL_MS, nullptr);
  update_tray_icon(window, *state, NIM_ADD);
  refresh_window(*state);
  offer_first_run_install(window, state->message_box);
  return 0;
}

void on_timer(HWND window, WindowState& state) {
  refresh_window(state);
  std::string status = tray_status_text(*state.shared);
  if (status == state.tray_status) return;
  state.tray_status = std::move(status);
  update_tray_icon(window, state, NIM_MODIFY);
}

void on_command(HWND window, WindowState& state, int id) {
  if (is_window_command(id)) {
    run_settings_command(state, id);
  } else if (id == CMD_OPEN_CONSOLE) {
    open_console(state);
  } else if (id == CMD_EXIT) {
    DestroyWindow(window);
  }
}

void on_tray_callback(HWND window, WindowState& state, LPARAM event) {
  if (event == WM_LBUTTONDBLCLK) {
    open_console(state);
  } else if (event == WM_RBUTTONUP) {
    show_tray_menu(window, state);
  }
}

void on_destroy(HWND window) {
  if (WindowState* state = window_state(window); state != nullptr) {
    update_tray_icon(window, *state, NIM_DELETE);
    // A closed channel means the supervisor has ended already.
    (void)state->exit_tx.try_send(Signal{});
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  }
  PostQuitMessage(0);
}

}  // namespace

WindowState::WindowState(GuiContext context, HICON tray_icon)
    : domain(std::move(context.domain)),
      shared(std::move(context.shared)),
      reload_tx(std::move(context.reload_tx)),
      exit_tx(std::move(context.exit_tx)),
      icon(tray_icon),
      console_port(context.console_port) {}

bool register_main_window_class(HINSTANCE instance, HICON large_icon) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = main_window_proc;
  window_class.hInstance = instance;
  window_class.hIcon = large_icon;
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  window_class.lpszClassName = WINDOW_CLASS;
  return RegisterClassW(&window_class) != 0;
}

HWND create_main_window(HINSTANCE instance, WindowState& state) {
  return CreateWindowExW(0, WINDOW_CLASS, WINDOW_TITLE, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                         CW_USEDEFAULT, WINDOW_WIDTH, WINDOW_HEIGHT, nullptr, nullptr, instance,
                         &state);
}

WindowState* window_state(HWND window) {
  return reinterpret_cast<WindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcW(window, message, wparam, lparam);
  }
  if (message == WM_CREATE) return on_create(window);
  if (message == WM_DESTROY) {
    on_destroy(window);
    return 0;
  }
  if (message == WM_CLOSE) {
    ShowWindow(window, SW_HIDE);
    return 0;
  }
  WindowState* state = window_state(window);
  switch (message) {
    case WM_TIMER:
      if (state != nullptr) on_timer(window, *state);
      return 0;
    case WM_COMMAND:
      if (state != nullptr) on_command(window, *state, LOWORD(wparam));
      return 0;
    case WM_TRAY_CALLBACK:
      if (state != nullptr) on_tray_callback(window, *state, lparam);
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

HWND create_control(std::string_view class_name, std::string_view text, DWORD style, int x, int y,
                    int width, int height, HWND parent, int id) {
  const DWORD ex_style = class_name == "EDIT" || class_name == "LISTBOX" ? WS_EX_CLIENTEDGE : 0;
  return CreateWindowExW(ex_style, to_wide(class_name).c_str(), to_wide(text).c_str(),
                         style | WS_CHILD | WS_VISIBLE, x, y, width, height, parent,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

void refresh_window(WindowState& state) {
  const SharedState& shared = *state.shared;
  set_window_text(state.status_label, status_line_text(shared));
  const std::string sub = shared.sub.get();
  set_window_text(state.domain_label, domain_line_text(sub, state.domain));
  std::vector<std::uint16_t> ports = shared.ports.get();
  if (ports == state.listed_ports) return;  // keeps the user's selection
  const PortDigests access = shared.access.get();
  SendMessageW(state.mapping_list, LB_RESETCONTENT, 0, 0);
  for (auto port : ports) {
    const std::wstring row =
        to_wide(mapping_row_text(port, access.contains(port), sub, state.domain));
    SendMessageW(state.mapping_list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row.c_str()));
  }
  state.listed_ports = std::move(ports);
}

}  // namespace quillmar
